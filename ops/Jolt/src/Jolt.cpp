// Jolt: one picture zooms over the other along the arc of a sine, overshooting and settling.
//
// The picture is scaled about the centre of the frame and drawn over the background, sampled with
// bilinear interpolation in double precision. In mode 0 the picture is input 1 and grows from
// nothing, passes full size at a quarter of the way, swells to about 1.70 times full size and
// springs back to full size at the end. Any other mode plays the arc backwards with the roles of
// the inputs exchanged. The background, drawn over in place, is the output; the picture is given
// back. The host's abort poll is served once after every drawn row.
#include <math.h>

#include "operator_frame.h"

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

// The picture as the sampler reads it, set up by the render before its first row: the address of
// the active area's first pixel, the buffer row length in pixels, and the area's size.
static const uint8_t* pictureOrigin;
static int32_t pictureStride;
static int32_t pictureWidth;
static int32_t pictureHeight;

static int32_t clampIndex(int32_t index, int32_t size) {
  if (index < 0) return 0;
  if (index >= size) return size - 1;
  return index;
}

// A sampled value outside 0..255 (possible where a coordinate of -0.5 extrapolates) is held at the
// nearer end; anything else is truncated toward zero.
static uint8_t toByte(double value) {
  if (value < 0.0) return 0;
  if (value > 255.0) return 255;
  return (uint8_t)(int32_t)value;
}

// The picture at column sx, row sy of its active area (pixel (i, j) lies at (i, j)), interpolated
// between the four pixels around it, byte by byte. Neighbours past an edge are taken from the edge.
static void joltSample(double sx, double sy, uint8_t* out) {
  const int32_t ix = (int32_t)sx;
  const int32_t iy = (int32_t)sy;
  const double fx = sx - ix;
  const double fy = sy - iy;
  const int32_t left = clampIndex(ix, pictureWidth);
  const int32_t right = clampIndex(ix + 1, pictureWidth);
  const int32_t top = clampIndex(iy, pictureHeight);
  const int32_t bottom = clampIndex(iy + 1, pictureHeight);
  const uint8_t* upper = pictureOrigin + (ptrdiff_t)top * pictureStride * PIXEL_BYTES;
  const uint8_t* lower = pictureOrigin + (ptrdiff_t)bottom * pictureStride * PIXEL_BYTES;
  const uint8_t* p00 = upper + (ptrdiff_t)left * PIXEL_BYTES;
  const uint8_t* p10 = upper + (ptrdiff_t)right * PIXEL_BYTES;
  const uint8_t* p01 = lower + (ptrdiff_t)left * PIXEL_BYTES;
  const uint8_t* p11 = lower + (ptrdiff_t)right * PIXEL_BYTES;
  for (int n = 0; n < PIXEL_BYTES; ++n) {
    const double upperValue = (double)(p10[n] - p00[n]) * fx + p00[n];
    const double lowerValue = (double)(p11[n] - p01[n]) * fx + p01[n];
    out[n] = toByte((lowerValue - upperValue) * fy + upperValue);
  }
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

  pictureOrigin = opframe::pixelAt(picture, area, 0, 0);
  pictureStride = area.stride;
  pictureWidth = area.width;
  pictureHeight = area.height;

  double sy = rows.start;
  for (int32_t j = 0; j < rows.count; ++j) {
    uint8_t* out = opframe::pixelAt(background, area, columns.offset, rows.offset + j);
    double sx = columns.start;
    for (int32_t i = 0; i < columns.count; ++i) {
      joltSample(sx, sy, out + (ptrdiff_t)i * PIXEL_BYTES);
      sx += columns.step;
    }
    sy += rows.step;
    opChkAbort();
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
