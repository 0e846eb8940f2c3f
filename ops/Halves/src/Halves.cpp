// Halves: the split-screen transition.
//
// One straight boundary, parallel to an edge of the frame, splits each frame into a band of input 0
// and a band of input 1. Over the effect the boundary runs in from one edge (the opening phase),
// stands still with input 1 holding a set share of the frame (the hold phase), and then runs on
// until input 1 fills the frame or, in layouts 4 to 7, back until input 0 fills it again (the
// closing phase). A band is filled by push (each picture keeps its size and slides with the
// boundary) or by squeeze (each picture is scaled whole into its band, nearest row or column
// below). Whole pixels are moved, nothing is mixed. The frame is written in place into input 0,
// which is the output; input 1 is given back.
#include <string.h>

#include "operator_frame.h"
#include "vector_path.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t halvesFillEntries[] = {111, 112, 0};
static const uint32_t halvesLayoutEntries[] = {121, 122, 123, 124, 125, 126, 127, 128, 0};

static ParamChoice halvesFill = {OP_PARAM_HEAD(PARAM_CHOICE, 110), CHOICE_STYLE_TEXT,
                                 halvesFillEntries, 0};
static ParamChoice halvesLayout = {OP_PARAM_HEAD(PARAM_CHOICE, 120), CHOICE_STYLE_TEXT,
                                   halvesLayoutEntries, 0};
static ParamSlider halvesShare = {OP_PARAM_HEAD(PARAM_SLIDER, 130), 0, 131, 0, 1, 99, 50};
static ParamSlider halvesHold = {OP_PARAM_HEAD(PARAM_SLIDER, 140), 0, 141, 0, 0, 100, 50};

static const char halvesIdent[] = "$Id: KT3_Halves,v 1.0 2014/03/22 00:00:00 Vethmar $";

static uintptr_t halvesInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)halvesIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&halvesFill,
    OPE_Param2, (uintptr_t)&halvesLayout,
    OPE_Param3, (uintptr_t)&halvesShare,
    OPE_Param4, (uintptr_t)&halvesHold,
    OPE_End};

static const opframe::ModuleLog halvesLog = {"src\\Halves", 0x0B700000};
enum { LINE_NO_INPUT0 = 84, LINE_NO_INPUT1 = 90 };

// Layouts, by halvesLayout modulo 4: the edge input 1's band lies along.
enum { LAYOUT_BOTTOM = 0, LAYOUT_LEFT = 1, LAYOUT_TOP = 2, LAYOUT_RIGHT = 3 };

// ---- Timing -------------------------------------------------------------------------------------------

static int64_t withinExtent(int64_t band, int32_t extent) {
  return band < 0 ? 0 : band > extent ? extent : band;
}

// D: input 1's band in the frame at the context's position, in rows or columns of `extent`.
//
// Phases and divisions are unsigned 32-bit; the products are taken in 64 bits, which gives the
// 32-bit result wherever that does not overflow and the right band where it would. A position past
// the end is the end. With no closing phase (B = 0) the end of the effect shows the closing phase's
// end state.
//
// Whatever the parameter values, the band stays within 0..extent. S and Q lie there for every share
// the host allows and are held there for any other. Then the opening phase gives at most S
// (position < A), and the closing phase divides by B at least the length still to go: it is reached
// only with A + H <= position <= length, where B = length - (A + H), in 32 bits as well.
static int32_t halvesBand(const OperatorContext* context, uint32_t layout, int32_t extent) {
  const uint32_t length = context->length;
  const uint32_t position = opframe::clampedPosition(context);
  const uint32_t hold = (uint32_t)((uint64_t)length * (uint32_t)halvesHold.value / 100);  // H
  const uint32_t opening = (length - hold) / 2;                                           // A
  const uint32_t closing = length - opening - hold;                                       // B
  const int64_t share = halvesShare.value;
  const int64_t still = withinExtent(share * extent / 100, extent);          // S
  const int64_t rest = withinExtent((100 - share) * extent / 100, extent);   // Q
  const uint64_t toGo = length - position;

  int64_t band;
  if (position < opening) {
    band = (int64_t)((uint64_t)still * position / opening);
  } else if (position < opening + hold) {
    band = still;
  } else if (layout < 4) {
    band = closing == 0 ? extent : extent - (int64_t)((uint64_t)rest * toGo / closing);
  } else {
    band = closing == 0 ? 0 : (int64_t)((uint64_t)still * toGo / closing);
  }
  return (int32_t)band;
}

// ---- Pixel moves --------------------------------------------------------------------------------------

// One whole 32-bit pixel, all four bytes; `to` may be `from` itself.
static inline void copyPixel(uint8_t* to, const uint8_t* from) {
  uint32_t pixel;
  memcpy(&pixel, from, sizeof pixel);
  memcpy(to, &pixel, sizeof pixel);
}

// Copies `count` whole pixels as one run. The callers' runs either lie in different images or in
// one row (or one image) with the source on the side that makes a pixel-by-pixel copy read every
// source pixel before overwriting it; memmove gives that same result for any overlap.
static void copyRun(uint8_t* to, const uint8_t* from, int32_t count) {
  if (count > 0) memmove(to, from, (size_t)count * PIXEL_BYTES);
}

// Picks whole pixels: pixel i of `to` takes pixel from[i] of `source`, for i in first..end-1, left
// to right. `source` may be `to` itself when every from[i] >= i: then each pixel is read before
// any write reaches it, and a vector of pixels read at once reads the same pixels. `sourceWidth`
// pixels from `source` on may be read.
static void pickPixels(uint8_t* to, const uint8_t* source, int32_t, const int32_t* from,
                       int32_t first, int32_t end) {
  for (int32_t i = first; i < end; ++i) copyPixel(to + i * PIXEL_BYTES, source + from[i] * PIXEL_BYTES);
}

// Eight pixels of a pick, for i..i+7. Where the eight lie within sixteen source pixels from the
// first one's (a squeeze by two or less), and those sixteen within the source's width, they are
// read as two vectors and picked by permutes; otherwise gathered. Of the sixteen only the eight
// picked are used, so the other eight may already have been overwritten.
OP_TARGET_AVX2 static inline __m256i pickEightAvx2(const uint8_t* source, int32_t sourceWidth,
                                                   const int32_t* from, int32_t i) {
  const __m256i at = _mm256_loadu_si256((const __m256i*)(from + i));
  const int32_t base = from[i];
  const __m256i offsets = _mm256_sub_epi32(at, _mm256_set1_epi32(base));
  if (base <= sourceWidth - 16 && _mm256_testz_si256(offsets, _mm256_set1_epi32(~15))) {
    const uint8_t* near = source + (ptrdiff_t)base * PIXEL_BYTES;
    const __m256i low = _mm256_loadu_si256((const __m256i*)near);
    const __m256i high = _mm256_loadu_si256((const __m256i*)(near + 8 * PIXEL_BYTES));
    return _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(low, offsets),
                              _mm256_permutevar8x32_epi32(high, offsets),
                              _mm256_cmpgt_epi32(offsets, _mm256_set1_epi32(7)));
  }
  return _mm256_i32gather_epi32((const int*)source, at, PIXEL_BYTES);
}

// pickPixels, eight pixels a step. Each eight are all read before they are stored, so a pick in
// place reads the same pixels as above. (Sixteen a gather, in AVX-512, ran no faster than eight:
// the AVX-512 path runs this one.)
OP_TARGET_AVX2 static void pickPixelsAvx2(uint8_t* to, const uint8_t* source, int32_t sourceWidth,
                                          const int32_t* from, int32_t first, int32_t end) {
  int32_t i = first;
  for (; i + 8 <= end; i += 8) {
    // A hint, which never faults: the source pixels a squeeze by two reads sixteen steps on.
    _mm_prefetch((const char*)(source + (ptrdiff_t)from[i] * PIXEL_BYTES + 1024), _MM_HINT_T0);
    _mm256_storeu_si256((__m256i*)(to + i * PIXEL_BYTES), pickEightAvx2(source, sourceWidth, from, i));
  }
  pickPixels(to, source, sourceWidth, from, i, end);
}

// Picks as pickPixels does, but right to left, for i from end-1 down to first. `source` may be
// `to` itself when every from[i] <= i: then each pixel is read before any write reaches it.
static void pickPixelsBack(uint8_t* to, const uint8_t* source, int32_t, const int32_t* from,
                           int32_t first, int32_t end) {
  for (int32_t i = end - 1; i >= first; --i) copyPixel(to + i * PIXEL_BYTES, source + from[i] * PIXEL_BYTES);
}

// The same, eight pixels a step from the right, then the rest pixel by pixel. The eight of a step
// take source pixels at or left of the eight themselves, none of them yet written.
OP_TARGET_AVX2 static void pickPixelsBackAvx2(uint8_t* to, const uint8_t* source, int32_t sourceWidth,
                                              const int32_t* from, int32_t first, int32_t end) {
  int32_t i = end - 8;
  for (; i >= first; i -= 8) {
    _mm256_storeu_si256((__m256i*)(to + i * PIXEL_BYTES), pickEightAvx2(source, sourceWidth, from, i));
  }
  pickPixelsBack(to, source, sourceWidth, from, first, i + 8);
}

// A hint to bring a row of `width` pixels into the cache, front to back; it never faults.
static void prefetchRow(const uint8_t* row, int32_t width) {
  for (size_t n = 0; n < (size_t)width * PIXEL_BYTES; n += 64) _mm_prefetch((const char*)(row + n), _MM_HINT_T0);
}

typedef void (*PickFunction)(uint8_t*, const uint8_t*, int32_t, const int32_t*, int32_t, int32_t);

struct Frame {
  OpImage* input0;  // written in place: the output
  const OpImage* input1;
  opframe::Area area;
};

static uint8_t* out(const Frame& f, int32_t i, int32_t j) { return opframe::pixelAt(f.input0, f.area, i, j); }
static const uint8_t* in1(const Frame& f, int32_t i, int32_t j) { return opframe::pixelAt(f.input1, f.area, i, j); }

// Push: input 0 is shifted by D away from input 1's band; input 1's band shows the D rows or
// columns of input 1 that face input 0. Input 0's band goes first, in an order that reads every
// source pixel before it is overwritten.
static void pushBands(const Frame& f, int32_t layout, int32_t d) {
  const int32_t w = f.area.width;
  const int32_t h = f.area.height;
  switch (layout) {
    case LAYOUT_BOTTOM:
      for (int32_t j = 0; j < h - d; ++j) copyRun(out(f, 0, j), out(f, 0, j + d), w);
      for (int32_t j = h - d; j < h; ++j) copyRun(out(f, 0, j), in1(f, 0, j - (h - d)), w);
      break;
    case LAYOUT_LEFT:
      for (int32_t j = 0; j < h; ++j) {
        copyRun(out(f, d, j), out(f, 0, j), w - d);
        copyRun(out(f, 0, j), in1(f, w - d, j), d);
      }
      break;
    case LAYOUT_TOP:
      for (int32_t j = h - 1; j >= d; --j) copyRun(out(f, 0, j), out(f, 0, j - d), w);
      for (int32_t j = 0; j < d; ++j) copyRun(out(f, 0, j), in1(f, 0, j + h - d), w);
      break;
    case LAYOUT_RIGHT:
      for (int32_t j = 0; j < h; ++j) {
        copyRun(out(f, 0, j), out(f, d, j), w - d);
        copyRun(out(f, w - d, j), in1(f, 0, j), d);
      }
      break;
  }
}

// Squeeze: each picture is scaled whole into its band by picking rows or columns. Input 1 is
// sampled from its top or left edge: the k-th row or column of its band takes source (k * E) / D.
// Input 0 is sampled from the frame edge its band touches: its k-th row or column from that edge
// takes the source at distance (k * E) / (E - D) from the same edge. k * E is kept as a running sum.
//
// Every row of a column squeeze picks the same columns, so the source column of each output column
// is worked out once per render into this table (the same divisions, done once rather than once a
// row), and each row then copies pixel by pixel in the same order as before.
static int32_t halvesSourceColumn[32767];

static void squeezeBands(const Frame& f, int32_t layout, int32_t d) {
  const int32_t w = f.area.width;
  const int32_t h = f.area.height;
  int32_t* const from = halvesSourceColumn;
  const PickFunction pick = opframe::pickVector<PickFunction>(pickPixels, pickPixelsAvx2, nullptr);
  const PickFunction pickBack =
      opframe::pickVector<PickFunction>(pickPixelsBack, pickPixelsBackAvx2, nullptr);
  switch (layout) {
    case LAYOUT_BOTTOM: {
      int32_t kh = 0;
      for (int32_t j = 0; j < h - d; ++j, kh += h) copyRun(out(f, 0, j), out(f, 0, kh / (h - d)), w);
      kh = 0;
      for (int32_t j = h - d; j < h; ++j, kh += h) copyRun(out(f, 0, j), in1(f, 0, kh / d), w);
      break;
    }
    case LAYOUT_LEFT: {
      // Input 0's columns w-1 down to d, in place: each takes a column at or left of itself,
      // which right to left is read before it is overwritten. Then input 1's columns 0..d-1. A
      // descending pick streams its row in from memory slower than an ascending one does, so the
      // next row is hinted in, front to back, while this one is picked.
      int32_t kw = 0;
      for (int32_t i = w - 1; i >= d; --i, kw += w) from[i] = w - 1 - kw / (w - d);
      kw = 0;
      for (int32_t i = 0; i < d; ++i, kw += w) from[i] = kw / d;
      for (int32_t j = 0; j < h; ++j) {
        uint8_t* row = out(f, 0, j);
        const uint8_t* source = in1(f, 0, j);
        if (j + 1 < h) prefetchRow(out(f, 0, j + 1), w);
        pickBack(row, row, w, from, d, w);
        pick(row, source, w, from, 0, d);
      }
      break;
    }
    case LAYOUT_TOP: {
      int32_t kh = 0;
      for (int32_t j = h - 1; j >= d; --j, kh += h) {
        copyRun(out(f, 0, j), out(f, 0, h - 1 - kh / (h - d)), w);
      }
      kh = 0;
      for (int32_t j = 0; j < d; ++j, kh += h) copyRun(out(f, 0, j), in1(f, 0, kh / d), w);
      break;
    }
    case LAYOUT_RIGHT: {
      // Input 0's columns 0..w-d-1, left to right: each reads a column at or right of itself.
      // Then input 1's columns w-d..w-1.
      int32_t kw = 0;
      for (int32_t i = 0; i < w - d; ++i, kw += w) from[i] = kw / (w - d);
      kw = 0;
      for (int32_t i = w - d; i < w; ++i, kw += w) from[i] = kw / d;
      for (int32_t j = 0; j < h; ++j) {
        uint8_t* row = out(f, 0, j);
        const uint8_t* source = in1(f, 0, j);
        pick(row, row, w, from, 0, w - d);
        pick(row, source, w, from, w - d, w);
      }
      break;
    }
  }
}

// ---- Render -----------------------------------------------------------------------------------------

static OpImage* halvesSplit(const OperatorContext* context, OpImage* input0, const OpImage* input1) {
  const Frame f = {input0, input1, opframe::areaOf(input0)};
  // Out of range, a negative index counts as above 7 as well.
  const uint32_t layout = (uint32_t)halvesLayout.value;
  if (layout > 7) return input0;
  // With no length there is no progress: the frame stays input 0, as at the start.
  if (context->length == 0) return input0;
  if (f.area.width <= 0 || f.area.height <= 0) return input0;

  const int32_t edge = (int32_t)(layout % 4);
  const int32_t extent = edge == LAYOUT_BOTTOM || edge == LAYOUT_TOP ? f.area.height : f.area.width;
  const int32_t d = halvesBand(context, layout, extent);
  if (halvesFill.value == 0) {
    pushBands(f, edge, d);
  } else {
    squeezeBands(f, edge, d);
  }
  return input0;
}

static int halvesRender(const OperatorContext* context) {
  return opframe::renderTwoInputs(context, halvesLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return halvesSplit(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks halvesHooks = {nullptr, nullptr, halvesRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, halvesHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return halvesInfo; }
