// Jolt: one picture zooms over the other along the arc of a sine, overshooting and settling.
//
// The picture is scaled about the centre of the frame and drawn over the background, sampled with
// bilinear interpolation in double precision. In mode 0 the picture is input 1 and grows from
// nothing, passes full size at a quarter of the way, swells to about 1.70 times full size and
// springs back to full size at the end. Any other mode plays the arc backwards with the roles of
// the inputs exchanged. The background, drawn over in place, is the output; the picture is given
// back. The host's abort poll is served once after every drawn row.
#include <math.h>
#include <string.h>

#include "operator_frame.h"
#include "vector_path.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t joltModes[] = {711, 712, 0};

static ParamChoice joltMode = {OP_PARAM_HEAD(PARAM_CHOICE, 710), CHOICE_STYLE_TEXT, joltModes, 0};

static const char joltIdent[] = "$Id: KT3_Jolt,v 1.0 2014/03/22 00:00:00 Vethmar $";

static uintptr_t joltInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)joltIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&joltMode,
    OPE_End};

static const opframe::ModuleLog joltLog = {"src\\Jolt", 0x0B770000};
enum { LINE_NO_INPUT0 = 90, LINE_NO_INPUT1 = 96 };

// ---- Sampler ----------------------------------------------------------------------------------------

static int32_t clampIndex(int32_t index, int32_t size) {
  if (index < 0) return 0;
  if (index >= size) return size - 1;
  return index;
}

// A sampled value outside 0..255 (possible where a coordinate of -0.5 extrapolates) is held at the
// nearer end; anything else is truncated toward zero.
//
// Truncating first and holding the whole number in 0..255 afterwards gives the same byte: a value
// in (-1, 0) truncates to 0, one at or below -1 to a negative number held at 0, one above 255 to
// 255 or more, held at 255. Every value sampled lies well inside the 32-bit range (the fractions
// lie in -0.5..1 and the bytes in 0..255, so values stay within -400..700), where the truncation
// is exact. In this form the compiler runs it on several values at a time.
__attribute__((always_inline)) static inline uint8_t toByte(double value) {
  const int32_t whole = (int32_t)value;
  return (uint8_t)(whole < 0 ? 0 : whole > 255 ? 255 : whole);
}

// Where one picture coordinate is sampled along an axis: the two neighbouring pixels (clamped to
// the edge), and the fraction between them.
struct Tap {
  int32_t before;
  int32_t after;
  double fraction;
};

// A coordinate c is sampled between pixels (int32_t)c and (int32_t)c + 1, at fraction c - (int32_t)c.
static Tap tapAt(double c, int32_t size) {
  const int32_t whole = (int32_t)c;
  return Tap{clampIndex(whole, size), clampIndex(whole + 1, size), c - whole};
}

// The picture at a point between four pixels p00, p10 (upper row, left and right) and p01, p11
// (lower row) is interpolated byte by byte, first along the rows at fraction fx, then between them
// at fraction fy:
//   upper = (double)(p10 - p00) * fx + p00
//   lower = (double)(p11 - p01) * fx + p01
//   value = toByte((lower - upper) * fy + upper)
// `upper` and `lower` depend only on a picture row and the drawn column, not on the drawn row, so
// they are worked out once per picture row and render (joltAlongRow) and kept while drawn rows
// still sample that picture row; and where two drawn rows in a row sample the same two picture
// rows (the picture enlarged), lower - upper is worked out once for both (joltBetweenTwoRuns). The
// same operations on the same operands give the same doubles.

// The taps of the render in progress: per drawn column the byte offsets of the two pixels in a row
// and the fraction between them, and per drawn row its two picture rows and fraction.
static int32_t joltColumnBefore[32767];
static int32_t joltColumnAfter[32767];
static double joltColumnFraction[32767];
static Tap joltRowTaps[32767];

// Two picture rows interpolated along the row, each value as `upper` above (byte n of drawn column
// i at i * PIXEL_BYTES + n), and which picture row each holds (-1: none yet).
static double joltRowValues[2][32767 * PIXEL_BYTES];
static int32_t joltRowHeld[2];

__attribute__((always_inline)) static inline void joltAlongRow(const uint8_t* row, int32_t count,
                                                               double* values) {
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* p0 = row + joltColumnBefore[i];
    const uint8_t* p1 = row + joltColumnAfter[i];
    const double fx = joltColumnFraction[i];
    for (int n = 0; n < PIXEL_BYTES; ++n) {
      values[i * PIXEL_BYTES + n] = (double)(p1[n] - p0[n]) * fx + p0[n];
    }
  }
}

// Bytes of a drawn row from the two interpolated picture rows around it.
__attribute__((always_inline)) static inline void joltBetweenRun(const double* __restrict upper,
                                                                 const double* __restrict lower,
                                                                 double fy, int32_t bytes,
                                                                 uint8_t* __restrict out) {
  for (int32_t n = 0; n < bytes; ++n) out[n] = toByte((lower[n] - upper[n]) * fy + upper[n]);
}

// Bytes of two drawn rows, at fractions fy0 and fy1, between the same two interpolated picture rows.
__attribute__((always_inline)) static inline void joltBetweenTwoRuns(
    const double* __restrict upper, const double* __restrict lower, double fy0, double fy1,
    int32_t bytes, uint8_t* __restrict out0, uint8_t* __restrict out1) {
  for (int32_t n = 0; n < bytes; ++n) {
    const double difference = lower[n] - upper[n];
    out0[n] = toByte(difference * fy0 + upper[n]);
    out1[n] = toByte(difference * fy1 + upper[n]);
  }
}

// One drawn row, in blocks of BLOCK bytes, then the rest: loops of a known count, which the
// compiler runs as vector code at any optimisation level that vectorises at all.
template <int32_t BLOCK>
__attribute__((always_inline)) static inline void joltBetweenRows(const double* upper,
                                                                  const double* lower, double fy,
                                                                  int32_t bytes, uint8_t* out) {
  int32_t n = 0;
  for (; n + BLOCK <= bytes; n += BLOCK) joltBetweenRun(upper + n, lower + n, fy, BLOCK, out + n);
  for (; n + 16 <= bytes; n += 16) joltBetweenRun(upper + n, lower + n, fy, 16, out + n);
  joltBetweenRun(upper + n, lower + n, fy, bytes - n, out + n);
}

// The three loops of a drawn row or two, compiled for each vector path.
struct JoltKernels {
  void (*alongRow)(const uint8_t* row, int32_t count, double* values);
  void (*betweenRows)(const double* upper, const double* lower, double fy, int32_t bytes,
                      uint8_t* out);
  void (*betweenTwoRows)(const double* upper, const double* lower, double fy0, double fy1,
                         int32_t bytes, uint8_t* out0, uint8_t* out1);
};

static void joltAlongRowBaseline(const uint8_t* row, int32_t count, double* values) {
  joltAlongRow(row, count, values);
}

// The four bytes of the pixel at `at`, each widened to 32 bits.
OP_TARGET_AVX2 static inline __m128i joltPixelWords(const uint8_t* at) {
  int32_t word;
  memcpy(&word, at, sizeof word);
  return _mm_cvtepu8_epi32(_mm_cvtsi32_si128(word));
}

// The same operations on a pixel's four bytes at once: (double)(p1 - p0), times fx, plus p0.
OP_TARGET_AVX2 static void joltAlongRowAvx2(const uint8_t* row, int32_t count, double* values) {
  for (int32_t i = 0; i < count; ++i) {
    const __m128i p0 = joltPixelWords(row + joltColumnBefore[i]);
    const __m128i p1 = joltPixelWords(row + joltColumnAfter[i]);
    const __m256d difference = _mm256_cvtepi32_pd(_mm_sub_epi32(p1, p0));
    const __m256d fx = _mm256_set1_pd(joltColumnFraction[i]);
    const __m256d value = _mm256_add_pd(_mm256_mul_pd(difference, fx), _mm256_cvtepi32_pd(p0));
    _mm256_storeu_pd(values + (ptrdiff_t)i * PIXEL_BYTES, value);
  }
}

static void joltBetweenRowsBaseline(const double* upper, const double* lower, double fy,
                                    int32_t bytes, uint8_t* out) {
  joltBetweenRows<16>(upper, lower, fy, bytes, out);
}

static void joltBetweenTwoRowsBaseline(const double* upper, const double* lower, double fy0,
                                       double fy1, int32_t bytes, uint8_t* out0, uint8_t* out1) {
  int32_t n = 0;
  for (; n + 16 <= bytes; n += 16) {
    joltBetweenTwoRuns(upper + n, lower + n, fy0, fy1, 16, out0 + n, out1 + n);
  }
  joltBetweenTwoRuns(upper + n, lower + n, fy0, fy1, bytes - n, out0 + n, out1 + n);
}

// (lower - upper) * fy + upper for four values, truncated to 32 bits as toByte truncates.
OP_TARGET_AVX2 static inline __m128i joltBetweenFour(const double* upper, const double* lower,
                                                     __m256d fy) {
  const __m256d u = _mm256_loadu_pd(upper);
  const __m256d l = _mm256_loadu_pd(lower);
  return _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(_mm256_sub_pd(l, u), fy), u));
}

// Sixteen bytes a step: the values truncated, then narrowed with unsigned saturation, 32 to 16 bits
// and 16 to 8, which holds them to 0..255 as toByte does (they lie within -400..700, see there).
OP_TARGET_AVX2 static void joltBetweenRowsAvx2(const double* upper, const double* lower, double fy,
                                               int32_t bytes, uint8_t* out) {
  const __m256d f = _mm256_set1_pd(fy);
  int32_t n = 0;
  for (; n + 16 <= bytes; n += 16) {
    const __m128i low = _mm_packus_epi32(joltBetweenFour(upper + n, lower + n, f),
                                         joltBetweenFour(upper + n + 4, lower + n + 4, f));
    const __m128i high = _mm_packus_epi32(joltBetweenFour(upper + n + 8, lower + n + 8, f),
                                          joltBetweenFour(upper + n + 12, lower + n + 12, f));
    _mm_storeu_si128((__m128i*)(out + n), _mm_packus_epi16(low, high));
  }
  joltBetweenRun(upper + n, lower + n, fy, bytes - n, out + n);
}

// Sixteen bytes of each of two drawn rows a step, narrowed as above.
OP_TARGET_AVX2 static void joltBetweenTwoRowsAvx2(const double* upper, const double* lower,
                                                  double fy0, double fy1, int32_t bytes,
                                                  uint8_t* out0, uint8_t* out1) {
  const __m256d f0 = _mm256_set1_pd(fy0);
  const __m256d f1 = _mm256_set1_pd(fy1);
  int32_t n = 0;
  for (; n + 16 <= bytes; n += 16) {
    __m128i first[4];
    __m128i second[4];
    for (int k = 0; k < 4; ++k) {
      const __m256d u = _mm256_loadu_pd(upper + n + 4 * k);
      const __m256d difference = _mm256_sub_pd(_mm256_loadu_pd(lower + n + 4 * k), u);
      first[k] = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(difference, f0), u));
      second[k] = _mm256_cvttpd_epi32(_mm256_add_pd(_mm256_mul_pd(difference, f1), u));
    }
    _mm_storeu_si128((__m128i*)(out0 + n),
                     _mm_packus_epi16(_mm_packus_epi32(first[0], first[1]),
                                      _mm_packus_epi32(first[2], first[3])));
    _mm_storeu_si128((__m128i*)(out1 + n),
                     _mm_packus_epi16(_mm_packus_epi32(second[0], second[1]),
                                      _mm_packus_epi32(second[2], second[3])));
  }
  joltBetweenTwoRuns(upper + n, lower + n, fy0, fy1, bytes - n, out0 + n, out1 + n);
}

// AVX-512 versions of the along-row and between-rows loops (two drawn columns, or sixteen values, a
// vector) gave the same bytes but ran 5 to 10% slower than the AVX2 ones on a processor with both
// (the shuffles and conversions that feed the doubles bound them, not the width), so the AVX-512
// path runs the AVX2 loops here.
static JoltKernels joltKernels() {
  return JoltKernels{
      opframe::pickVector<decltype(&joltAlongRowAvx2)>(joltAlongRowBaseline, joltAlongRowAvx2, nullptr),
      opframe::pickVector<decltype(&joltBetweenRowsAvx2)>(joltBetweenRowsBaseline,
                                                      joltBetweenRowsAvx2, nullptr),
      opframe::pickVector<decltype(&joltBetweenTwoRowsAvx2)>(joltBetweenTwoRowsBaseline,
                                                         joltBetweenTwoRowsAvx2, nullptr)};
}

// The values of picture row `wanted`, worked out unless held already; the row `keep`, needed by the
// same drawn row, is not overwritten.
static const double* joltRow(const JoltKernels& kernels, const uint8_t* origin, int32_t stride,
                             int32_t count, int32_t wanted, int32_t keep) {
  for (int k = 0; k < 2; ++k) {
    if (joltRowHeld[k] == wanted) return joltRowValues[k];
  }
  const int k = joltRowHeld[0] == keep ? 1 : 0;
  kernels.alongRow(origin + (ptrdiff_t)wanted * stride * PIXEL_BYTES, count, joltRowValues[k]);
  joltRowHeld[k] = wanted;
  return joltRowValues[k];
}

// ---- Render -----------------------------------------------------------------------------------------

// The scale at fraction f of the arc: s = sin((f * 1.570796327) * 1.6) / sin(2.5132741232000004),
// taken as a product with the reciprocal, which makes f = 1 give exactly 1.
static double joltScale(double f) {
  const double a = (f * 1.570796327) * 1.6;
  return sin(a) * (1.0 / sin(2.5132741232000004));
}

// Where the scaled picture lands along one axis of a frame `size` long, and how it is sampled there.
struct Span {
  int32_t offset;  // first drawn column (row) of the background's active area
  int32_t count;   // drawn columns (rows)
  double start;    // picture coordinate sampled by the first of them
  double step;     // picture pixels advanced per drawn column (row)
};

static Span placeSpan(int32_t size, double scale) {
  const int32_t scaled = (int32_t)(size * scale);
  const int32_t spare = size - scaled;
  Span span;
  span.offset = spare / 2;
  if (span.offset < 0) span.offset = 0;
  span.step = (double)size / (double)scaled;
  if (scaled > size) {
    // Wider than the frame: the centre part is shown, equal parts cut on both sides.
    span.count = size;
    span.start = ((double)(scaled - size) * span.step) * 0.5;
  } else {
    // 0 when the spare room is even, -0.5 when it is odd.
    span.count = scaled;
    span.start = (double)span.offset - (double)spare * 0.5;
  }
  return span;
}

static OpImage* joltDraw(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const bool forwards = joltMode.value == 0;
  OpImage* picture = forwards ? input1 : input0;
  OpImage* background = forwards ? input0 : input1;

  // With no length there is no scale: the background goes back unchanged.
  const uint32_t length = context->length;
  if (length == 0) return background;
  const uint32_t position = opframe::clampedPosition(context);
  const double f = forwards ? (double)position / (double)length
                            : ((double)length - (double)position) / (double)length;
  const double s = joltScale(f);
  const Span columns = placeSpan(area.width, s);
  const Span rows = placeSpan(area.height, s);
  const uint8_t* origin = opframe::pixelAt(picture, area, 0, 0);

  // At full size (a step of exactly 1 from 0 along both axes) every coordinate is a whole pixel and
  // every fraction 0: (p10 - p00) * 0 + p00 is p00 and (lower - upper) * 0 + upper is upper, so
  // each drawn row is the picture's row, byte for byte. The last frame of the arc is one of these.
  if (columns.step == 1.0 && columns.start == 0.0 && rows.step == 1.0 && rows.start == 0.0) {
    for (int32_t j = 0; j < rows.count; ++j) {
      memmove(opframe::pixelAt(background, area, columns.offset, rows.offset + j),
             origin + (ptrdiff_t)j * area.stride * PIXEL_BYTES, (size_t)columns.count * PIXEL_BYTES);
      opChkAbort();
    }
    return background;
  }

  // Every drawn row samples the same picture columns, at the coordinates columns.start,
  // columns.start + step, ... summed one step at a time, and every drawn column the same picture
  // rows. Both are summed here once, in the same order, so each tap and fraction is exactly what a
  // pixel-by-pixel sum would give.
  double sx = columns.start;
  for (int32_t i = 0; i < columns.count; ++i) {
    const Tap column = tapAt(sx, area.width);
    joltColumnBefore[i] = column.before * PIXEL_BYTES;
    joltColumnAfter[i] = column.after * PIXEL_BYTES;
    joltColumnFraction[i] = column.fraction;
    sx += columns.step;
  }

  double sy = rows.start;
  for (int32_t j = 0; j < rows.count; ++j) {
    joltRowTaps[j] = tapAt(sy, area.height);
    sy += rows.step;
  }

  // Drawn rows one at a time, or two together where they sample the same two picture rows; the
  // abort poll follows each drawn row (both polls follow a pair).
  joltRowHeld[0] = joltRowHeld[1] = -1;
  const JoltKernels kernels = joltKernels();
  const int32_t bytes = columns.count * PIXEL_BYTES;
  for (int32_t j = 0; j < rows.count;) {
    const Tap& row = joltRowTaps[j];
    const double* upper = joltRow(kernels, origin, area.stride, columns.count, row.before, row.after);
    const double* lower = joltRow(kernels, origin, area.stride, columns.count, row.after, row.before);
    uint8_t* out = opframe::pixelAt(background, area, columns.offset, rows.offset + j);
    const Tap* next = j + 1 < rows.count ? &joltRowTaps[j + 1] : nullptr;
    if (next != nullptr && next->before == row.before && next->after == row.after) {
      kernels.betweenTwoRows(upper, lower, row.fraction, next->fraction, bytes, out,
                             opframe::pixelAt(background, area, columns.offset, rows.offset + j + 1));
      opChkAbort();
      opChkAbort();
      j += 2;
    } else {
      kernels.betweenRows(upper, lower, row.fraction, bytes, out);
      opChkAbort();
      j += 1;
    }
  }
  return background;
}

static int joltRender(const OperatorContext* context) {
  return opframe::renderTwoInputs(context, joltLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return joltDraw(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks joltHooks = {nullptr, nullptr, joltRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, joltHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return joltInfo; }
