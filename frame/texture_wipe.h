// The texture threshold wipe shared by Ripples, Slant, Streaks and Sunbeams.
//
// A grey texture is laid over the frame and a wipe level rises through its grey levels as the
// effect runs: a pixel whose texel lies well below the level takes the incoming pixel, one whose
// texel lies in the soft band just below the level is blended, and the rest keep their pixel.
// Each plug-in maps its pixels to texels and chooses which image is painted from which; the band
// arithmetic is this one routine. Header-only: every plug-in compiles its own copy.
#pragma once

#include <stdint.h>
#include <string.h>

#include "operator_abi.h"
#include "vector_path.h"

namespace opframe {

// The width of the soft band in grey levels, from a softness percentage (0..100 gives 0..255).
// A softness outside 0..100 (which the host never stores) is taken at the nearer end of the band
// widths, so the product cannot overflow and the band stays within the grey range.
inline int32_t edgeWidth(int32_t softness) {
  const int64_t width = (int64_t)softness * 255 / 100;
  return width < 0 ? 0 : width > 255 ? 255 : (int32_t)width;
}

// The level of a forward wipe: (edgeWidth + 255) * position / length, unsigned and truncating.
// It runs from 0 at position 0 to edgeWidth + 255 at position == length.
//
// The product is taken in 64 bits: in 32 it wraps once position passes about 8.4 million, and the
// wipe would then not end on the incoming picture. Wherever the 32-bit product fits, the result is
// the same. A position past the end is the end, and an effect of length 0 stays at its start.
inline uint32_t wipeLevel(int32_t edgeWidth, uint32_t position, uint32_t length) {
  if (length == 0) return 0;
  if (position > length) position = length;
  const uint32_t top = (uint32_t)edgeWidth + 255u;
  return (uint32_t)((uint64_t)top * position / length);
}

// The band of one frame: E (edgeWidth) and L (the wipe level).
struct WipeBand {
  int32_t edgeWidth;
  int32_t level;
};

inline WipeBand wipeBand(int32_t edgeWidth, uint32_t level) {
  return WipeBand{edgeWidth, (int32_t)level};
}

// Applies the wipe to one pixel whose texel is `texel`. `kept` is the pixel being painted, changed
// in place; `incoming` the pixel painted into it. All four bytes are treated alike:
//   texel < L - E        takes the incoming pixel;
//   L - E <= texel < L   blends with keepWeight w = texel + E - L, byte by byte
//                        (kept * w + incoming * (E - w)) / E, truncating;
//   texel >= L           keeps its pixel.
// The band is empty when E is 0, so its division never meets a zero divisor.
inline void wipePixel(uint8_t* kept, const uint8_t* incoming, int32_t texel, const WipeBand& band) {
  const int32_t e = band.edgeWidth;
  const int32_t l = band.level;
  if (texel >= l) return;
  if (texel < l - e) {
    for (int32_t k = 0; k < PIXEL_BYTES; ++k) kept[k] = incoming[k];
    return;
  }
  const int32_t w = texel + e - l;  // keepWeight, 0..E - 1
  for (int32_t k = 0; k < PIXEL_BYTES; ++k) {
    kept[k] = (uint8_t)((kept[k] * w + incoming[k] * (e - w)) / e);
  }
}

// ---- Whole rows ----------------------------------------------------------------------------------------
//
// The same wipe, a row at a time, for plug-ins whose pixel column j samples texel column
// columns[j] in every row. Results are byte for byte those of wipePixel; the work is arranged so a
// row costs little more than copying it:
//
// - One rule for all three cases. With E' = max(E, 1), the keep weight w = texel + E' - L held to
//   0..E' makes (kept * w + incoming * (E' - w)) / E' give every byte wipePixel gives: w = E'
//   exactly when texel >= L (the kept byte comes back), w = 0 for texel <= L - E' (the incoming
//   byte comes back; for E > 0 that includes the band's first level, whose blend is all incoming),
//   and in the band w = texel + E - L as there. With E = 0 the rule is take or keep, as there.
// - The weights depend on the texel row alone; they are worked out once for all the pixel rows that
//   sample the same texel row, and cut into spans: long stretches that keep (left alone) or take
//   (copied whole) and the rest, blended.
// - The division by E' through a multiplication and a shift (wipeDivideExactly), exact for every
//   numerator that occurs.

// Byte n of a blend span: (kept * w + incoming * (E' - w)) / E'; at most 255 * E', within 16 bits.
// x / E' is found as q0 = (x * R) >> 16 with R = floor(65536 / E') (65535 for E' = 1), which is
// the quotient or one less (R <= 65536 / E' < R + 1 and x < 65536), then corrected by one step.
// This is the AVX-512 blend's division (wipeBlendAvx512), written out one value at a time so that
// its test can prove it for every divisor and numerator; the other paths use wipeDivideExactly.
inline uint16_t wipeDivide(uint16_t x, uint16_t divisor, uint16_t reciprocal) {
  uint16_t q = (uint16_t)(((uint32_t)x * reciprocal) >> 16);
  const uint16_t rest = (uint16_t)(x - q * divisor);
  q = (uint16_t)(q + (rest >= divisor ? 1 : 0));
  return q;
}

// The frame's division by d = E' (1..255), in both forms: wipeDivide's reciprocal, and
// x / d == (((x + add) * multiplier) >> 16) >> shift, with no correction step, for every x up to
// 255 * d. wipeDivision finds add, multiplier and shift; with P = 2^(16 + shift):
// - add 0, multiplier m = ceil(P / d), e = m * d - P (0..d - 1): x * m / P = x / d + x * e / (d * P).
//   Writing x = q * d + r, the fraction r / d + x * e / (d * P) stays below 1 when x * e < P, which
//   255 * d * e < P assures: the shifts give q.
// - add 1, multiplier m <= P / d, f = P - m * d > 0: (x + 1) * m / P = (x + 1) / d - (x + 1) * f / (d * P).
//   That is below (x + 1) / d <= q + 1, and at least q when (x + 1) * f <= (r + 1) * P, which
//   (255 * d + 1) * f <= P assures (r + 1 >= 1): the shifts give q.
// The first shift from 0 up at which one of the two holds is taken (every d in 1..255 has one).
struct WipeDivision {
  uint16_t divisor;     // d
  uint16_t reciprocal;  // floor(65536 / d), 65535 for d = 1
  uint16_t add;
  uint16_t multiplier;
  uint16_t shift;
};

inline WipeDivision wipeDivision(int32_t d) {
  WipeDivision division = {(uint16_t)d, (uint16_t)(d == 1 ? 65535 : 65536 / d), 0, 0, 0};
  for (int32_t shift = 0; shift <= 8; ++shift) {
    const int64_t p = (int64_t)1 << (16 + shift);
    const int64_t up = (p + d - 1) / d;
    if (up <= 65535 && 255 * d * (up * d - p) < p) {
      division.multiplier = (uint16_t)up;
      division.shift = (uint16_t)shift;
      return division;
    }
    const int64_t down = p / d < 65535 ? p / d : 65535;
    const int64_t f = p - down * d;
    if (f > 0 && (255 * d + 1) * f <= p) {
      division.add = 1;
      division.multiplier = (uint16_t)down;
      division.shift = (uint16_t)shift;
      return division;
    }
  }
  return division;  // not reached for d in 1..255
}

inline uint16_t wipeDivideExactly(uint16_t x, const WipeDivision& division) {
  const uint32_t product = (uint32_t)(uint16_t)(x + division.add) * division.multiplier;
  return (uint16_t)((uint16_t)(product >> 16) >> division.shift);
}

// Blends `bytes` bytes of `kept` with `incoming` by the keep weights from `weights` on (three
// separate buffers).
__attribute__((always_inline)) inline void wipeBlendRun(uint8_t* __restrict kept,
                                                        const uint8_t* __restrict incoming,
                                                        const uint8_t* __restrict weights,
                                                        int32_t bytes,
                                                        const WipeDivision& frameDivision) {
  const WipeDivision division = frameDivision;  // a copy no store to `kept` can reach
  for (int32_t n = 0; n < bytes; ++n) {
    const uint16_t w = weights[n];
    const uint16_t x = (uint16_t)(kept[n] * w + incoming[n] * (division.divisor - w));
    kept[n] = (uint8_t)wipeDivideExactly(x, division);
  }
}

// The same in blocks of BLOCK bytes, then the rest: a loop of a known count, which the compiler
// runs as vector code at any optimisation level that vectorises at all.
template <int32_t BLOCK>
__attribute__((always_inline)) inline void wipeBlendBlocks(uint8_t* kept, const uint8_t* incoming,
                                                           const uint8_t* weights, int32_t bytes,
                                                           const WipeDivision& division) {
  int32_t n = 0;
  for (; n + BLOCK <= bytes; n += BLOCK) {
    wipeBlendRun(kept + n, incoming + n, weights + n, BLOCK, division);
  }
  for (; n + 16 <= bytes; n += 16) {
    wipeBlendRun(kept + n, incoming + n, weights + n, 16, division);
  }
  wipeBlendRun(kept + n, incoming + n, weights + n, bytes - n, division);
}

// The baseline blend: sixteen bytes a block, which the compiler runs as SSE2 vector code.
typedef void (*WipeBlendFunction)(uint8_t*, const uint8_t*, const uint8_t*, int32_t,
                                  const WipeDivision&);
inline void wipeBlend(uint8_t* kept, const uint8_t* incoming, const uint8_t* weights, int32_t bytes,
                      const WipeDivision& division) {
  wipeBlendBlocks<16>(kept, incoming, weights, bytes, division);
}
// The same on sixteen-bit lanes, 32 bytes a step: x + add = (kept - incoming) * w + incoming * E'
// + add (the signed difference's product wraps in sixteen bits and the sum comes back to the exact
// value, at most 255 * E' + 1), then wipeDivideExactly's multiply-high and shift. The rest as above.
OP_TARGET_AVX2 inline void wipeBlendAvx2(uint8_t* kept, const uint8_t* incoming,
                                         const uint8_t* weights, int32_t bytes,
                                         const WipeDivision& division) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i e = _mm256_set1_epi16((short)division.divisor);
  const __m256i add = _mm256_set1_epi16((short)division.add);
  const __m256i m = _mm256_set1_epi16((short)division.multiplier);
  const __m128i shift = _mm_cvtsi32_si128(division.shift);
  int32_t n = 0;
  for (; n + 32 <= bytes; n += 32) {
    // Both rows asked for a kilobyte ahead (a hint only: it reads nothing and never faults).
    _mm_prefetch((const char*)(kept + n + 1024), _MM_HINT_T0);
    _mm_prefetch((const char*)(incoming + n + 1024), _MM_HINT_T0);
    const __m256i k = _mm256_loadu_si256((const __m256i*)(kept + n));
    const __m256i in = _mm256_loadu_si256((const __m256i*)(incoming + n));
    const __m256i w = _mm256_loadu_si256((const __m256i*)(weights + n));
    __m256i halves[2];
    for (int h = 0; h < 2; ++h) {
      const __m256i kh = h == 0 ? _mm256_unpacklo_epi8(k, zero) : _mm256_unpackhi_epi8(k, zero);
      const __m256i ih = h == 0 ? _mm256_unpacklo_epi8(in, zero) : _mm256_unpackhi_epi8(in, zero);
      const __m256i wh = h == 0 ? _mm256_unpacklo_epi8(w, zero) : _mm256_unpackhi_epi8(w, zero);
      const __m256i x = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_sub_epi16(kh, ih), wh),
                                         _mm256_add_epi16(_mm256_mullo_epi16(ih, e), add));
      halves[h] = _mm256_srl_epi16(_mm256_mulhi_epu16(x, m), shift);
    }
    _mm256_storeu_si256((__m256i*)(kept + n), _mm256_packus_epi16(halves[0], halves[1]));
  }
  wipeBlend(kept + n, incoming + n, weights + n, bytes - n, division);
}

// (AVX-512, 64 bytes a step: the same blend with wipeDivide's reciprocal and one correction step,
// q0 + 1 where x - q0 * E' >= E', as q0 + min(x - q0 * E' - (E' - 1) saturating at 0, 1).)
OP_TARGET_AVX512 inline void wipeBlendAvx512(uint8_t* kept, const uint8_t* incoming,
                                             const uint8_t* weights, int32_t bytes,
                                             const WipeDivision& division) {
  const uint16_t divisor = division.divisor;
  const uint16_t reciprocal = division.reciprocal;
  const __m512i zero = _mm512_setzero_si512();
  const __m512i one = _mm512_set1_epi16(1);
  const __m512i e = _mm512_set1_epi16((short)divisor);
  const __m512i eLess1 = _mm512_set1_epi16((short)(divisor - 1));
  const __m512i r = _mm512_set1_epi16((short)reciprocal);
  int32_t n = 0;
  for (; n + 64 <= bytes; n += 64) {
    const __m512i k = _mm512_loadu_si512((const void*)(kept + n));
    const __m512i in = _mm512_loadu_si512((const void*)(incoming + n));
    const __m512i w = _mm512_loadu_si512((const void*)(weights + n));
    __m512i halves[2];
    for (int h = 0; h < 2; ++h) {
      const __m512i kh = h == 0 ? _mm512_unpacklo_epi8(k, zero) : _mm512_unpackhi_epi8(k, zero);
      const __m512i ih = h == 0 ? _mm512_unpacklo_epi8(in, zero) : _mm512_unpackhi_epi8(in, zero);
      const __m512i wh = h == 0 ? _mm512_unpacklo_epi8(w, zero) : _mm512_unpackhi_epi8(w, zero);
      const __m512i x = _mm512_add_epi16(_mm512_mullo_epi16(kh, wh),
                                         _mm512_mullo_epi16(ih, _mm512_sub_epi16(e, wh)));
      const __m512i q = _mm512_mulhi_epu16(x, r);
      const __m512i rest = _mm512_sub_epi16(x, _mm512_mullo_epi16(q, e));
      halves[h] = _mm512_add_epi16(q, _mm512_min_epu16(_mm512_subs_epu16(rest, eLess1), one));
    }
    _mm512_storeu_si512((void*)(kept + n), _mm512_packus_epi16(halves[0], halves[1]));
  }
  wipeBlend(kept + n, incoming + n, weights + n, bytes - n, division);
}

constexpr int32_t WIPE_MAX_WIDTH = 32767;  // the widest active area an OpImage can describe
// Keep and take stretches shorter than this many pixels (4 KiB) are blended with the rest: a row
// read with gaps, or in pieces, much shorter than that runs slower than the same row blended whole.
constexpr int32_t WIPE_SHORTEST_SPAN = 1024;
enum { WIPE_KEEP = 0, WIPE_TAKE = 1, WIPE_BLEND = 2 };

struct WipeSpan {
  int32_t first;  // first pixel column
  int32_t end;    // one past the last
  int32_t kind;   // WIPE_KEEP, WIPE_TAKE or WIPE_BLEND
};

// A plug-in's working store for row-at-a-time wipes (static in the plug-in: nothing is allocated
// while rendering). The plug-in fills `columns` for each render; the rest is the routine's.
struct WipeRows {
  int32_t columns[WIPE_MAX_WIDTH];             // texel column of each pixel column
  uint8_t ofTexel[256];                        // keep weight of each grey level, this frame
  WipeDivision division;                       // by E'
  WipeBand band;                               // the frame's band
  bool pixelByPixel;                           // E outside 0..255: wipePixel for every pixel
  // The runs of neighbouring pixel columns that sample one texel column, found from `columns` at
  // the frame's first row: run r covers pixel columns runFirst[r] .. runFirst[r + 1] - 1 and samples
  // texel column runColumn[r].
  int32_t runsWidth;                           // the row width they were found for; -1: not yet
  int32_t runCount;
  int32_t runFirst[WIPE_MAX_WIDTH + 1];
  int32_t runColumn[WIPE_MAX_WIDTH];
  const uint8_t* weightsFor;                   // the texel row `weights` and `spans` belong to
  // Each byte's keep weight along that row, with room for the last run's sixteen-byte stores.
  uint8_t weights[WIPE_MAX_WIDTH * PIXEL_BYTES + 16];
  WipeSpan spans[WIPE_MAX_WIDTH];
  int32_t spanCount;
  WipeBlendFunction blend;                     // wipeBlend for this plug-in's vector path
};

// Sets up a frame's wipe: the weight of each grey level and the divisor. A band wider than 255
// (or narrower than 0), which only a softness outside 0..100 gives, is left to wipePixel itself.
inline void wipeRowsBegin(WipeRows& rows, const WipeBand& band) {
  rows.band = band;
  rows.pixelByPixel = band.edgeWidth < 0 || band.edgeWidth > 255;
  const int32_t e = band.edgeWidth > 0 ? band.edgeWidth : 1;
  for (int32_t t = 0; t < 256; ++t) {
    const int32_t w = t + e - band.level;
    rows.ofTexel[t] = (uint8_t)(w < 0 ? 0 : w > e ? e : w);
  }
  rows.division = wipeDivision(e);
  rows.weightsFor = nullptr;
  rows.runsWidth = -1;
  rows.blend = pickVector<WipeBlendFunction>(wipeBlend, wipeBlendAvx2, wipeBlendAvx512);
}

// Finds the runs of `width` pixel columns that sample the same texel column.
inline void wipeRowsFindRuns(WipeRows& rows, int32_t width) {
  rows.runCount = 0;
  for (int32_t j = 0; j < width; ++j) {
    if (j == 0 || rows.columns[j] != rows.columns[j - 1]) {
      rows.runFirst[rows.runCount] = j;
      rows.runColumn[rows.runCount++] = rows.columns[j];
    }
  }
  rows.runFirst[rows.runCount] = width;
  rows.runsWidth = width;
}

// Works out the weights and spans of the pixel columns sampling the texel row `texels`, a run of
// columns at a time (every pixel of a run has its texel's weight and kind). Keep and take stretches
// shorter than WIPE_SHORTEST_SPAN pixels are blended instead, which gives the same bytes.
inline void wipeRowsWeigh(WipeRows& rows, const uint8_t* texels) {
  typedef uint32_t Words __attribute__((vector_size(16)));
  const int32_t e = rows.division.divisor;
  rows.spanCount = 0;
  int32_t stretchStart = 0;
  int32_t stretchKind = -1;
  for (int32_t r = 0; r <= rows.runCount; ++r) {
    int32_t kind = -1;
    if (r < rows.runCount) {
      const uint8_t w = rows.ofTexel[texels[rows.runColumn[r]]];
      // The run's weights, four pixels a store; the last store may run past the run's end, into
      // the next run (written after it) or the spare room at the end.
      const Words word = Words{} + w * 0x01010101u;
      for (int32_t j = rows.runFirst[r]; j < rows.runFirst[r + 1]; j += 4) {
        memcpy(rows.weights + (ptrdiff_t)j * PIXEL_BYTES, &word, sizeof word);
      }
      kind = w == e ? WIPE_KEEP : w == 0 ? WIPE_TAKE : WIPE_BLEND;
    }
    if (kind == stretchKind) continue;
    const int32_t j = rows.runFirst[r];
    if (stretchKind >= 0) {
      int32_t k = stretchKind;
      if (k != WIPE_BLEND && j - stretchStart < WIPE_SHORTEST_SPAN) k = WIPE_BLEND;
      if (rows.spanCount > 0 && rows.spans[rows.spanCount - 1].kind == k) {
        rows.spans[rows.spanCount - 1].end = j;
      } else {
        rows.spans[rows.spanCount++] = WipeSpan{stretchStart, j, k};
      }
    }
    stretchStart = j;
    stretchKind = kind;
  }
  rows.weightsFor = texels;
}

// Wipes one row of `width` pixels: `kept` is changed in place, `incoming` (another image) painted
// into it, pixel column j by texel texels[columns[j]].
inline void wipeRow(WipeRows& rows, const uint8_t* texels, uint8_t* kept, const uint8_t* incoming,
                    int32_t width) {
  if (rows.pixelByPixel) {
    for (int32_t j = 0; j < width; ++j) {
      const ptrdiff_t at = (ptrdiff_t)j * PIXEL_BYTES;
      wipePixel(kept + at, incoming + at, texels[rows.columns[j]], rows.band);
    }
    return;
  }
  if (rows.runsWidth != width) wipeRowsFindRuns(rows, width);
  if (rows.weightsFor != texels) wipeRowsWeigh(rows, texels);
  for (int32_t s = 0; s < rows.spanCount; ++s) {
    const WipeSpan& span = rows.spans[s];
    const ptrdiff_t at = (ptrdiff_t)span.first * PIXEL_BYTES;
    const int32_t bytes = (span.end - span.first) * PIXEL_BYTES;
    if (span.kind == WIPE_TAKE) {
      memcpy(kept + at, incoming + at, (size_t)bytes);
    } else if (span.kind == WIPE_BLEND) {
      rows.blend(kept + at, incoming + at, rows.weights + at, bytes, rows.division);
    }
  }
}

}  // namespace opframe
