// Ripples: a transition from input 0 to input 1 shaped by a grey ripple texture.
//
// The texture, loaded at open, is stretched over the active area by nearest sample, as stored or
// mirrored left to right, top to bottom or both. A wipe level rises through its grey levels over
// the effect: input 1 shows first where the texture is darkest, with a soft band of blended pixels
// at the edge. Input 0, changed in place, is the output; input 1 is given back.
#include "operator_frame.h"
#include "texture_wipe.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t rippleDirections[] = {DIR_UP_LEFT, DIR_UP_RIGHT, DIR_DOWN_RIGHT,
                                            DIR_DOWN_LEFT, 0};

static ParamSlider rippleSoftness = {OP_PARAM_HEAD(PARAM_SLIDER, 310), 0, 311, 0, 0, 100, 20};
static ParamChoice rippleDirection = {OP_PARAM_HEAD(PARAM_CHOICE, 320), CHOICE_STYLE_DIRECTIONS,
                                      rippleDirections, 2};

static const char rippleIdent[] = "$Id: KT3_Ripples,v 1.0 2014/03/21 00:00:00 Vethmar $";

static uintptr_t rippleInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)rippleIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&rippleSoftness,
    OPE_Param2, (uintptr_t)&rippleDirection,
    OPE_End};

static const opframe::ModuleLog rippleLog = {"src\\Ripples", 0x0B730000};
enum { LINE_NO_INPUT0 = 84, LINE_NO_INPUT1 = 90 };

// ---- Texture -----------------------------------------------------------------------------------------

// The ripple texture: 286 x 228 grey texels, rows of 286 bytes back to back.
enum { TEXTURE_WIDTH = 286, TEXTURE_HEIGHT = 228 };

static OpImage* rippleTexture;  // held from open to close

static int rippleClose(const OperatorContext*) {
  if (rippleTexture != nullptr) {
    opFreeImage(rippleTexture);
    rippleTexture = nullptr;
  }
  return 0;
}

static int rippleOpen(const OperatorContext* context) {
  // A second open without a close first gives back the texture the first one took.
  rippleClose(context);
  rippleTexture = txGetOpImageFile("/programs/kt3/ripples.png", 1);
  if (rippleTexture == nullptr) return -1;
  // A smaller image would be read past its end.
  if (rippleTexture->stride < TEXTURE_WIDTH || rippleTexture->rows < TEXTURE_HEIGHT) {
    opFreeImage(rippleTexture);
    rippleTexture = nullptr;
    return -1;
  }
  return 0;
}

// ---- Render -----------------------------------------------------------------------------------------

// The texel column of each pixel column and the wipe's working rows (see texture_wipe.h).
static opframe::WipeRows rippleRows;

// Direction index: 0 as stored, 1 mirrored left to right, 2 both ways, 3 top to bottom.
static OpImage* rippleWipe(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t edge = opframe::edgeWidth(rippleSoftness.value);
  const opframe::WipeBand band =
      opframe::wipeBand(edge, opframe::wipeLevel(edge, context->position, context->length));
  const int32_t direction = rippleDirection.value;
  const bool mirrorColumns = direction == 1 || direction == 2;
  const bool mirrorRows = direction == 2 || direction == 3;

  opframe::wipeRowsBegin(rippleRows, band);
  for (int32_t j = 0; j < area.width; ++j) {
    rippleRows.columns[j] = (mirrorColumns ? area.width - 1 - j : j) * TEXTURE_WIDTH / area.width;
  }
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t tr = (mirrorRows ? area.height - 1 - i : i) * TEXTURE_HEIGHT / area.height;
    const uint8_t* texels = rippleTexture->pixels + tr * TEXTURE_WIDTH;
    opframe::wipeRow(rippleRows, texels, opframe::pixelAt(input0, area, 0, i),
                     opframe::pixelAt(input1, area, 0, i), area.width);
  }
  return input0;
}

static int rippleRender(const OperatorContext* context) {
  // Without a texture there is nothing to render from: open failed or was never called.
  if (rippleTexture == nullptr) return -1;
  return opframe::renderTwoInputs(context, rippleLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return rippleWipe(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks rippleHooks = {rippleOpen, rippleClose, rippleRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, rippleHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return rippleInfo; }
