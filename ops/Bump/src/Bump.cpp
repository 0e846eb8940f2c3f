// Bump: shades input 0 with relief lighting taken from the luma of input 1.
//
// For every pixel, the lumas of two neighbouring pixels of input 1 along the chosen light direction
// are compared; the luma of input 0 at the same place is raised or lowered in proportion to the
// difference and to the strength. Chroma and key are left alone. Input 0, shaded in place, is the
// output; input 1 is given back.
#include "operator_frame.h"

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

// The effective strength of the frame being rendered, set once per frame before any pixel.
static int32_t bumpStrength;

// Any strength of 12800 or more (50 x 256) moves every luma whose d is not 128 by at least 256,
// which the clamp turns into 0 or 255 exactly as a larger strength would, and d = 128 moves nothing.
// Bounding the strength there keeps every product in range without changing a single result.
enum { STRENGTH_BOUND = 50 * 256 };

// Where pixels a (subtracted) and b (added) lie for each direction index, relative to the current
// pixel: 0 the pixel itself, 1 the one to the right, 2 the one below, 3 the one below and right.
static const uint8_t bumpPairs[8][2] = {
    {0, 2}, {1, 2}, {1, 0}, {3, 0}, {2, 0}, {2, 1}, {0, 1}, {0, 3}};

// Shades `count` pixels of one row. `source` and `target` address the row's first pixel in input 1
// and input 0; `stride` is the buffer row length in pixels.
static void bumpRow(const uint8_t* source, uint8_t* target, int32_t count, int32_t stride,
                    int32_t direction) {
  const ptrdiff_t neighbour[4] = {0, PIXEL_BYTES, (ptrdiff_t)stride * PIXEL_BYTES,
                                  ((ptrdiff_t)stride + 1) * PIXEL_BYTES};
  const ptrdiff_t a = neighbour[bumpPairs[direction][0]] + PIXEL_LUMA;
  const ptrdiff_t b = neighbour[bumpPairs[direction][1]] + PIXEL_LUMA;
  for (int32_t i = 0; i < count; ++i) {
    const uint8_t* s = source + (ptrdiff_t)i * PIXEL_BYTES;
    uint8_t* luma = target + (ptrdiff_t)i * PIXEL_BYTES + PIXEL_LUMA;
    const int32_t d = (s[b] - s[a] + 255) / 2;
    int32_t shaded;
    if (d > 128) {
      shaded = *luma + (d - 128) * bumpStrength / 50;
    } else {
      shaded = *luma - (128 - d) * bumpStrength / 50;
    }
    *luma = (uint8_t)(shaded < 0 ? 0 : shaded > 255 ? 255 : shaded);
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
  bumpStrength = effectiveStrength(context);
  if (direction < 0 || direction > 7) return input0;
  // The area's last row and last column keep their values: their neighbours lie outside it.
  for (int32_t r = 0; r < area.height - 1; ++r) {
    bumpRow(opframe::pixelAt(input1, area, 0, r), opframe::pixelAt(input0, area, 0, r),
            area.width - 1, area.stride, direction);
  }
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
