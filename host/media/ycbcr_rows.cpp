#include "ycbcr_rows.h"

#include <immintrin.h>

#include <algorithm>

namespace ophost::media {

namespace {

// matrixRow's inputs are in sixteenths: four more bits than the coefficients' to shift away.
constexpr int kRowShift = kCoefficientBits + 4;
// What each output is put on before rounding, in the sum's units: black (16) or neutral (128)
// plus one half.
constexpr int32_t rowBase(int32_t level) { return (level << kRowShift) + (1 << (kRowShift - 1)); }
constexpr int32_t kRowLevels[3] = {16, 128, 128};

// ---- Plain ---------------------------------------------------------------------------------------

void plainMatrixRow(const uint8_t* luma, const int16_t* cb, const int16_t* cr, int32_t width,
                    const int16_t (&m)[3][3], int16_t lumaOffset, uint8_t* out) {
  for (int32_t i = 0; i < width; ++i) {
    const int32_t y = static_cast<int16_t>(luma[i] * 16 - lumaOffset);
    const int32_t u = cb[i] - 2048, v = cr[i] - 2048;
    int32_t value[3];
    for (int r = 0; r < 3; ++r) value[r] = (m[r][0] * y + m[r][1] * u + m[r][2] * v + rowBase(kRowLevels[r])) >> kRowShift;
    out[4 * i] = 255;
    out[4 * i + 1] = static_cast<uint8_t>(std::clamp(value[1], 0, 255));
    out[4 * i + 2] = static_cast<uint8_t>(std::clamp(value[2], 0, 255));
    out[4 * i + 3] = static_cast<uint8_t>(std::clamp(value[0], 0, 255));
  }
}

void plainMatrixPixels(const uint8_t* from, size_t count, const int32_t (&m)[3][3], uint8_t* to) {
  constexpr int32_t half = 1 << (kCoefficientBits - 1);
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* p = from + 4 * i;
    const int32_t y = p[3] - 16, u = p[1] - 128, v = p[2] - 128;
    const int32_t outY = ((m[0][0] * y + m[0][1] * u + m[0][2] * v + half) >> kCoefficientBits) + 16;
    const int32_t outCb = ((m[1][0] * y + m[1][1] * u + m[1][2] * v + half) >> kCoefficientBits) + 128;
    const int32_t outCr = ((m[2][0] * y + m[2][1] * u + m[2][2] * v + half) >> kCoefficientBits) + 128;
    uint8_t* q = to + 4 * i;
    q[0] = p[0];
    q[1] = static_cast<uint8_t>(std::clamp(outCb, 0, 255));
    q[2] = static_cast<uint8_t>(std::clamp(outCr, 0, 255));
    q[3] = static_cast<uint8_t>(std::clamp(outY, 0, 255));
  }
}

void plainLumaOf(const uint8_t* from, int32_t count, uint8_t* to) {
  for (int32_t i = 0; i < count; ++i) to[i] = from[4 * i + 3];
}

// ---- AVX2 ----------------------------------------------------------------------------------------
// The same integer sums, each pair of products by one multiply-add of 16-bit lanes into 32-bit
// sums (exact: every coefficient and input fits 16 bits, every sum 32), the clamp by saturating
// packs or min/max.

#define OPHOST_AVX2 __attribute__((target("avx2")))

// Two 16-bit values as one 32-bit lane: `low` first, as a multiply-add pairs them.
int32_t pair(int32_t low, int32_t high) {
  return static_cast<int32_t>((static_cast<uint32_t>(high) << 16) | (static_cast<uint32_t>(low) & 0xFFFFu));
}

OPHOST_AVX2 void avx2MatrixRow(const uint8_t* luma, const int16_t* cb, const int16_t* cr, int32_t width,
                               const int16_t (&m)[3][3], int16_t lumaOffset, uint8_t* out) {
  // Each sum is (y, u) . (m0, m1) + (v, 2048) . (m2, base / 2048): the base is a multiple of 2048
  // that fits 16 bits once divided.
  static_assert(rowBase(16) % 2048 == 0 && rowBase(128) % 2048 == 0 && rowBase(128) / 2048 < 32768);
  __m256i yu[3], vk[3];
  for (int r = 0; r < 3; ++r) {
    yu[r] = _mm256_set1_epi32(pair(m[r][0], m[r][1]));
    vk[r] = _mm256_set1_epi32(pair(m[r][2], rowBase(kRowLevels[r]) / 2048));
  }
  const __m256i offset = _mm256_set1_epi16(lumaOffset), neutral = _mm256_set1_epi16(2048);
  const __m256i keys = _mm256_set1_epi16(255);
  int32_t i = 0;
  for (; i + 16 <= width; i += 16) {
    const __m256i y = _mm256_sub_epi16(
        _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + i))), 4), offset);
    const __m256i u = _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + i)), neutral);
    const __m256i v = _mm256_sub_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + i)), neutral);
    // Pixels 0-3 and 8-11 in the low halves of the lanes, 4-7 and 12-15 in the high ones; the
    // packs below put them back in order.
    const __m256i yuLow = _mm256_unpacklo_epi16(y, u), yuHigh = _mm256_unpackhi_epi16(y, u);
    const __m256i vkLow = _mm256_unpacklo_epi16(v, neutral), vkHigh = _mm256_unpackhi_epi16(v, neutral);
    __m256i value[3];  // Y, Cb, Cr of the sixteen pixels, saturated to 16 bits
    for (int r = 0; r < 3; ++r) {
      const __m256i low = _mm256_add_epi32(_mm256_madd_epi16(yuLow, yu[r]), _mm256_madd_epi16(vkLow, vk[r]));
      const __m256i high = _mm256_add_epi32(_mm256_madd_epi16(yuHigh, yu[r]), _mm256_madd_epi16(vkHigh, vk[r]));
      value[r] = _mm256_packs_epi32(_mm256_srai_epi32(low, kRowShift), _mm256_srai_epi32(high, kRowShift));
    }
    // Bytes, clamped: per lane [Cb 0-7, Cr 0-7] and [255 x 8, Y 0-7], then interleaved to pixels.
    const __m256i cbCr = _mm256_packus_epi16(value[1], value[2]);
    const __m256i keyY = _mm256_packus_epi16(keys, value[0]);
    const __m256i keyCb = _mm256_unpacklo_epi8(keyY, cbCr), crY = _mm256_unpackhi_epi8(cbCr, keyY);
    const __m256i first = _mm256_unpacklo_epi16(keyCb, crY), second = _mm256_unpackhi_epi16(keyCb, crY);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i), _mm256_permute2x128_si256(first, second, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 4 * i + 32), _mm256_permute2x128_si256(first, second, 0x31));
  }
  plainMatrixRow(luma + i, cb + i, cr + i, width - i, m, lumaOffset, out + 4 * i);
}

OPHOST_AVX2 void avx2MatrixPixels(const uint8_t* from, size_t count, const int32_t (&m)[3][3], uint8_t* to) {
  for (const auto& row : m) {
    for (int32_t value : row) {
      if (value < -32768 || value > 32767) return plainMatrixPixels(from, count, m, to);
    }
  }
  // A pixel's bytes (key, Cb, Cr, Y) as 16-bit lanes less (0, 128, 128, 16), multiplied and added
  // in pairs with (0, m1) and (m2, m0): two sums a pixel, added across.
  __m256i weights[3];
  for (int r = 0; r < 3; ++r) {
    weights[r] = _mm256_setr_epi32(pair(0, m[r][1]), pair(m[r][2], m[r][0]), pair(0, m[r][1]), pair(m[r][2], m[r][0]),
                                   pair(0, m[r][1]), pair(m[r][2], m[r][0]), pair(0, m[r][1]), pair(m[r][2], m[r][0]));
  }
  const __m256i levels = _mm256_set1_epi64x(0x0010008000800000LL);  // 0, 128, 128, 16 as 16-bit lanes
  const __m256i half = _mm256_set1_epi32(1 << (kCoefficientBits - 1));
  const __m256i black = _mm256_set1_epi32(16), neutral = _mm256_set1_epi32(128);
  const __m256i zero = _mm256_setzero_si256(), top = _mm256_set1_epi32(255);
  size_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 4 * i));
    // Pixels 0, 1 and 4, 5 in `low`; 2, 3 and 6, 7 in `high`: the horizontal adds put them back.
    const __m256i low = _mm256_sub_epi16(_mm256_unpacklo_epi8(pixels, zero), levels);
    const __m256i high = _mm256_sub_epi16(_mm256_unpackhi_epi8(pixels, zero), levels);
    __m256i value[3];
    for (int r = 0; r < 3; ++r) {
      const __m256i sum = _mm256_hadd_epi32(_mm256_madd_epi16(low, weights[r]), _mm256_madd_epi16(high, weights[r]));
      const __m256i level = r == 0 ? black : neutral;
      value[r] = _mm256_min_epi32(
          _mm256_max_epi32(_mm256_add_epi32(_mm256_srai_epi32(_mm256_add_epi32(sum, half), kCoefficientBits), level), zero),
          top);
    }
    const __m256i key = _mm256_and_si256(pixels, top);
    const __m256i out = _mm256_or_si256(
        _mm256_or_si256(key, _mm256_slli_epi32(value[1], 8)),
        _mm256_or_si256(_mm256_slli_epi32(value[2], 16), _mm256_slli_epi32(value[0], 24)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + 4 * i), out);
  }
  plainMatrixPixels(from + 4 * i, count - i, m, to + 4 * i);
}

// The luma of eight OpPixels, each in a 32-bit lane.
OPHOST_AVX2 inline __m256i lumaLanes(const uint8_t* pixels) {
  return _mm256_srli_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(pixels)), 24);
}

OPHOST_AVX2 void avx2LumaOf(const uint8_t* from, int32_t count, uint8_t* to) {
  // Four vectors of luma lanes packed to bytes, lane by lane, then put back in order.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  int32_t i = 0;
  for (; i + 32 <= count; i += 32) {
    const uint8_t* at = from + 4 * i;
    const __m256i ab = _mm256_packs_epi32(lumaLanes(at), lumaLanes(at + 32));
    const __m256i cd = _mm256_packs_epi32(lumaLanes(at + 64), lumaLanes(at + 96));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to + i),
                        _mm256_permutevar8x32_epi32(_mm256_packus_epi16(ab, cd), order));
  }
  plainLumaOf(from + 4 * i, count - i, to + i);
}

}  // namespace

const YcbcrRowKernels& plainRowKernels() {
  static const YcbcrRowKernels kernels{plainMatrixRow, plainMatrixPixels, plainLumaOf};
  return kernels;
}

const YcbcrRowKernels* avx2RowKernels() {
  static const YcbcrRowKernels kernels{avx2MatrixRow, avx2MatrixPixels, avx2LumaOf};
  return __builtin_cpu_supports("avx2") ? &kernels : nullptr;
}

const YcbcrRowKernels& rowKernels() {
  static const YcbcrRowKernels& chosen = avx2RowKernels() != nullptr ? *avx2RowKernels() : plainRowKernels();
  return chosen;
}

}  // namespace ophost::media
