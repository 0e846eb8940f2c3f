// Bump: shades input 0 with relief lighting taken from the luma of input 1.
//
// For every pixel, the lumas of two neighbouring pixels of input 1 along the chosen light direction
// are compared; the luma of input 0 at the same place is raised or lowered in proportion to the
// difference and to the strength. Chroma and key are left alone. Input 0, shaded in place, is the
// output; input 1 is given back.
#include <string.h>

#include "operator_frame.h"
#include "vector_path.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixels are read as little-endian words");

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t bumpDirections[] = {DIR_UP,   DIR_UP_RIGHT,  DIR_RIGHT, DIR_DOWN_RIGHT,
                                          DIR_DOWN, DIR_DOWN_LEFT, DIR_LEFT,  DIR_UP_LEFT, 0};

static ParamChoice bumpDirection = {OP_PARAM_HEAD(PARAM_CHOICE, 810), CHOICE_STYLE_DIRECTIONS,
                                    bumpDirections, 3};
static ParamSlider bumpStrengthSlider = {OP_PARAM_HEAD(PARAM_SLIDER, 820), 0, 821, 0, 0, 100, 50};

static const char bumpIdent[] = "$Id: KT3_Bump,v 1.0 2014/03/20 00:00:00 Vethmar $";

static uintptr_t bumpInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)bumpIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&bumpDirection,
    OPE_Param2, (uintptr_t)&bumpStrengthSlider,
    OPE_End};

static const opframe::ModuleLog bumpLog = {"src\\Bump", 0x0B780000};
enum { LINE_NO_INPUT0 = 84, LINE_NO_INPUT1 = 90 };

// ---- Render -----------------------------------------------------------------------------------------

// The effective strength of the frame being rendered, set once per frame before any pixel, as
// its quotient and remainder by 50 (see bumpRow).
static int32_t bumpStrengthQuotient;
static int32_t bumpStrengthRemainder;

// Any strength of 12750 or more (50 x 255) moves every luma whose d is not 128 by at least 255,
// which the clamp turns into 0 or 255 exactly as a larger strength would, and d = 128 moves nothing.
// Bounding the strength there keeps every product within 16 bits without changing a single result.
enum { STRENGTH_BOUND = 50 * 255 };

// Where pixels a (subtracted) and b (added) lie for each direction index, relative to the current
// pixel: 0 the pixel itself, 1 the one to the right, 2 the one below, 3 the one below and right.
static const uint8_t bumpPairs[8][2] = {
    {0, 2}, {1, 2}, {1, 0}, {3, 0}, {2, 0}, {2, 1}, {0, 1}, {0, 3}};

// Shades `count` pixels in a row: `sa` and `sb` address pixels a and b of the first of them in
// input 1, `target` the pixel itself in input 0.
//
// Per pixel: d = (luma(b) - luma(a) + 255) / 2, and the luma moves by (d - 128) * strength / 50,
// upwards when d > 128 and downwards when d < 128, clamped to 0..255.
//
// The same values, in arithmetic the compiler can run on eight pixels at a time in 16-bit lanes:
// - With m = d - 128 (-128..127) both ways are the one expression m * strength / 50: C division
//   truncates toward zero, so for m < 0, -((-m) * strength / 50) == m * strength / 50.
// - With strength = 50 q + r (C quotient and remainder, so q and r never differ in sign),
//   m * strength / 50 == m * q + m * r / 50: m * q is a whole number of the same sign as m * r / 50,
//   and adding it does not change how that quotient truncates. |m * q| <= 128 * 255 and
//   |m * r| <= 128 * 49, so both products and their sum fit 16 bits.
// - A move beyond +-255 ends at 0 or 255 as surely as a move of +-255, so the move is limited to
//   that before it is added.
// The pixels are read as whole 32-bit words (byte k in bits 8k..8k+7, the host's byte order) and
// written back with the luma replaced and the other three bytes as they were.
__attribute__((always_inline)) static inline void bumpPixels(const uint8_t* __restrict sa,
                                                             const uint8_t* __restrict sb,
                                                             uint8_t* __restrict target,
                                                             int32_t count, int16_t q, int16_t r) {
  const int lumaShift = 8 * PIXEL_LUMA;
  for (int32_t i = 0; i < count; ++i) {
    uint32_t a, b, pixel;
    memcpy(&a, sa + (ptrdiff_t)i * PIXEL_BYTES, sizeof a);
    memcpy(&b, sb + (ptrdiff_t)i * PIXEL_BYTES, sizeof b);
    memcpy(&pixel, target + (ptrdiff_t)i * PIXEL_BYTES, sizeof pixel);
    const int16_t lumaA = (int16_t)((a >> lumaShift) & 0xFF);
    const int16_t lumaB = (int16_t)((b >> lumaShift) & 0xFF);
    const int16_t luma = (int16_t)((pixel >> lumaShift) & 0xFF);
    const int16_t m = (int16_t)((lumaB - lumaA + 255) / 2 - 128);
    int16_t move = (int16_t)((int16_t)(m * q) + (int16_t)((int16_t)(m * r) / 50));
    move = move < -255 ? -255 : move > 255 ? 255 : move;
    int16_t shaded = (int16_t)(luma + move);
    shaded = shaded < 0 ? 0 : shaded > 255 ? 255 : shaded;
    pixel = (pixel & ~(0xFFu << lumaShift)) | ((uint32_t)shaded << lumaShift);
    memcpy(target + (ptrdiff_t)i * PIXEL_BYTES, &pixel, sizeof pixel);
  }
}

// Pixels a and b of the first pixel of a row that starts at `source`.
struct BumpPair {
  const uint8_t* a;
  const uint8_t* b;
};

static inline BumpPair bumpPair(const uint8_t* source, int32_t stride, int32_t direction) {
  const ptrdiff_t neighbour[4] = {0, PIXEL_BYTES, (ptrdiff_t)stride * PIXEL_BYTES,
                                  ((ptrdiff_t)stride + 1) * PIXEL_BYTES};
  return BumpPair{source + neighbour[bumpPairs[direction][0]], source + neighbour[bumpPairs[direction][1]]};
}

// A row in blocks of BLOCK pixels, then the rest: a loop of a known count, which the compiler runs
// as vector code at any optimisation level that vectorises at all. Input 1 is only read and input 0
// only written, so the three pointers never meet.
template <int32_t BLOCK>
__attribute__((always_inline)) static inline void bumpRow(const uint8_t* source, uint8_t* target,
                                                          int32_t count, int32_t stride,
                                                          int32_t direction) {
  const BumpPair pair = bumpPair(source, stride, direction);
  const uint8_t* sa = pair.a;
  const uint8_t* sb = pair.b;
  const int16_t q = (int16_t)bumpStrengthQuotient;
  const int16_t r = (int16_t)bumpStrengthRemainder;
  int32_t i = 0;
  for (; i + BLOCK <= count; i += BLOCK) {
    const ptrdiff_t at = (ptrdiff_t)i * PIXEL_BYTES;
    bumpPixels(sa + at, sb + at, target + at, BLOCK, q, r);
  }
  for (; BLOCK > 8 && i + 8 <= count; i += 8) {
    const ptrdiff_t at = (ptrdiff_t)i * PIXEL_BYTES;
    bumpPixels(sa + at, sb + at, target + at, 8, q, r);
  }
  const ptrdiff_t at = (ptrdiff_t)i * PIXEL_BYTES;
  bumpPixels(sa + at, sb + at, target + at, count - i, q, r);
}

// The area's rows but the last (their neighbours below lie outside it); its last column keeps its
// values as well. The baseline runs blocks of 8 pixels; AVX2 its own sixteen below. (Blocks of 32 in
// AVX-512 ran no faster than the compiler's AVX2 blocks of 16: the AVX-512 path runs AVX2 here.)
template <int32_t BLOCK>
__attribute__((always_inline)) static inline void bumpRows(const OpImage* input1, OpImage* input0,
                                                           const opframe::Area& area,
                                                           int32_t direction) {
  for (int32_t r = 0; r < area.height - 1; ++r) {
    bumpRow<BLOCK>(opframe::pixelAt(input1, area, 0, r), opframe::pixelAt(input0, area, 0, r),
                   area.width - 1, area.stride, direction);
  }
}

// The same pixels sixteen at a time in AVX2, the lumas in sixteen-bit lanes, then the rest as above.
// - The lumas of eight pixels are their words shifted down by 24; two such vectors packed to words
//   hold pixels 0-3 and 8-11 in the low half and 4-7 and 12-15 in the high half, the same order for
//   a, b and the pixel itself, and unpacking the result's words undoes it.
// - m = (luma(b) - luma(a) + 255) / 2 - 128 is (luma(b) - luma(a) - 1) >> 1, an arithmetic shift
//   (floor((x + 255) / 2) - 128 == floor((x - 1) / 2) for x >= -255).
// - m * r / 50, truncated, for |m * r| <= 6272: the multiply-high by 5243 shifted down by 2 is its
//   floor quotient, plus one where m * r < 0 (that is m * r >> 15 taken away): C's quotient.
// - m * q + m * r / 50 lies within +-32765; the luma plus it, saturating, then held to 0..255, is the
//   luma moved by the move held to +-255 and then held to 0..255.
// - The shaded luma goes back to byte 3 of its pixel by a byte blend.
OP_TARGET_AVX2 static void bumpPixelsAvx2(const uint8_t* sa, const uint8_t* sb, uint8_t* target,
                                          int32_t count, int16_t q, int16_t r) {
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i zero = _mm256_setzero_si256();
  const __m256i top = _mm256_set1_epi16(255);
  const __m256i byFifty = _mm256_set1_epi16(5243);
  const __m256i quotient = _mm256_set1_epi16(q);
  const __m256i remainder = _mm256_set1_epi16(r);
  const __m256i lumaByte = _mm256_set1_epi32((int)(0xFFu << (8 * PIXEL_LUMA)));
  const int lumaShift = 8 * PIXEL_LUMA;
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const ptrdiff_t at = (ptrdiff_t)i * PIXEL_BYTES;
    const __m256i a0 = _mm256_loadu_si256((const __m256i*)(sa + at));
    const __m256i a1 = _mm256_loadu_si256((const __m256i*)(sa + at + 32));
    const __m256i b0 = _mm256_loadu_si256((const __m256i*)(sb + at));
    const __m256i b1 = _mm256_loadu_si256((const __m256i*)(sb + at + 32));
    const __m256i p0 = _mm256_loadu_si256((const __m256i*)(target + at));
    const __m256i p1 = _mm256_loadu_si256((const __m256i*)(target + at + 32));
    const __m256i lumaA = _mm256_packus_epi32(_mm256_srli_epi32(a0, lumaShift), _mm256_srli_epi32(a1, lumaShift));
    const __m256i lumaB = _mm256_packus_epi32(_mm256_srli_epi32(b0, lumaShift), _mm256_srli_epi32(b1, lumaShift));
    const __m256i luma = _mm256_packus_epi32(_mm256_srli_epi32(p0, lumaShift), _mm256_srli_epi32(p1, lumaShift));
    const __m256i m = _mm256_srai_epi16(_mm256_sub_epi16(_mm256_sub_epi16(lumaB, lumaA), one), 1);
    const __m256i mr = _mm256_mullo_epi16(m, remainder);
    const __m256i share = _mm256_sub_epi16(_mm256_srai_epi16(_mm256_mulhi_epi16(mr, byFifty), 2),
                                           _mm256_srai_epi16(mr, 15));
    const __m256i move = _mm256_add_epi16(_mm256_mullo_epi16(m, quotient), share);
    const __m256i shaded = _mm256_min_epi16(_mm256_max_epi16(_mm256_adds_epi16(luma, move), zero), top);
    const __m256i high = _mm256_slli_epi16(shaded, 8);  // the luma in each word's high byte
    _mm256_storeu_si256((__m256i*)(target + at),
                        _mm256_blendv_epi8(p0, _mm256_unpacklo_epi16(zero, high), lumaByte));
    _mm256_storeu_si256((__m256i*)(target + at + 32),
                        _mm256_blendv_epi8(p1, _mm256_unpackhi_epi16(zero, high), lumaByte));
  }
  const ptrdiff_t at = (ptrdiff_t)i * PIXEL_BYTES;
  bumpPixels(sa + at, sb + at, target + at, count - i, q, r);
}

typedef void (*BumpRowsFunction)(const OpImage*, OpImage*, const opframe::Area&, int32_t);
static void bumpRowsBaseline(const OpImage* input1, OpImage* input0, const opframe::Area& area,
                             int32_t direction) {
  bumpRows<8>(input1, input0, area, direction);
}
OP_TARGET_AVX2 static void bumpRowsAvx2(const OpImage* input1, OpImage* input0,
                                        const opframe::Area& area, int32_t direction) {
  for (int32_t row = 0; row < area.height - 1; ++row) {
    const uint8_t* source = opframe::pixelAt(input1, area, 0, row);
    const BumpPair pair = bumpPair(source, area.stride, direction);
    bumpPixelsAvx2(pair.a, pair.b, opframe::pixelAt(input0, area, 0, row), area.width - 1,
                   (int16_t)bumpStrengthQuotient, (int16_t)bumpStrengthRemainder);
  }
}

static int32_t effectiveStrength(const OperatorContext* context) {
  int64_t strength = bumpStrengthSlider.value;
  if ((context->flags & CONTEXT_FLAG_SCALE) != 0 && context->scaleDen != 0) {
    strength = (int64_t)context->scaleNum * strength / context->scaleDen;
  }
  if (strength > STRENGTH_BOUND) strength = STRENGTH_BOUND;
  if (strength < -STRENGTH_BOUND) strength = -STRENGTH_BOUND;
  return (int32_t)strength;
}

static OpImage* bumpShade(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t direction = bumpDirection.value;
  const int32_t strength = effectiveStrength(context);
  bumpStrengthQuotient = strength / 50;
  bumpStrengthRemainder = strength % 50;
  if (direction < 0 || direction > 7) return input0;
  opframe::pickVector<BumpRowsFunction>(bumpRowsBaseline, bumpRowsAvx2, nullptr)(
      input1, input0, area, direction);
  return input0;
}

static int bumpRender(const OperatorContext* context) {
  return opframe::renderTwoInputs(context, bumpLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return bumpShade(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks bumpHooks = {nullptr, nullptr, bumpRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, bumpHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return bumpInfo; }
