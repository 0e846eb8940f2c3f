// Streaks: a transition from input 0 to input 1 shaped by a grey streak texture.
//
// The texture, loaded at open, is stretched over the active area by nearest sample, as stored or
// mirrored left to right, so that the streaks run one way or the other. A wipe level rises through
// its grey levels over the effect: input 1 shows first where the texture is darkest, with a soft
// band of blended pixels at the edge. Input 0, changed in place, is the output; input 1 is given
// back.
#include "operator_frame.h"
#include "texture_wipe.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t streakDirections[] = {DIR_RIGHT, DIR_LEFT, 0};

static ParamSlider streakSoftness = {OP_PARAM_HEAD(PARAM_SLIDER, 410), 0, 411, 0, 0, 100, 20};
static ParamChoice streakDirection = {OP_PARAM_HEAD(PARAM_CHOICE, 420), CHOICE_STYLE_DIRECTIONS,
                                      streakDirections, 0};

static const char streakIdent[] = "$Id: KT3_Streaks,v 1.0 2014/03/22 00:00:00 Vethmar $";

static uintptr_t streakInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)streakIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&streakSoftness,
    OPE_Param2, (uintptr_t)&streakDirection,
    OPE_End};

static const opframe::ModuleLog streakLog = {"src\\Streaks", 0x0B740000};
enum { LINE_NO_INPUT0 = 84, LINE_NO_INPUT1 = 90 };

// ---- Texture -----------------------------------------------------------------------------------------

// The streak texture: 286 x 228 grey texels, rows of 286 bytes back to back.
enum { TEXTURE_WIDTH = 286, TEXTURE_HEIGHT = 228 };

static OpImage* streakTexture;  // held from open to close

static int streakClose(const OperatorContext*) {
  if (streakTexture != nullptr) {
    opFreeImage(streakTexture);
    streakTexture = nullptr;
  }
  return 0;
}

static int streakOpen(const OperatorContext* context) {
  // A second open without a close first gives back the texture the first one took.
  streakClose(context);
  streakTexture = txGetOpImageFile("/programs/kt3/streaks.png", 1);
  if (streakTexture == nullptr) return -1;
  // A smaller image would be read past its end.
  if (streakTexture->stride < TEXTURE_WIDTH || streakTexture->rows < TEXTURE_HEIGHT) {
    opFreeImage(streakTexture);
    streakTexture = nullptr;
    return -1;
  }
  return 0;
}

// ---- Render -----------------------------------------------------------------------------------------

// The texel column of each pixel column and the wipe's working rows (see texture_wipe.h).
static opframe::WipeRows streakRows;

// Direction index: 0 as stored, 1 mirrored left to right. Rows are never mirrored.
static OpImage* streakWipe(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t edge = opframe::edgeWidth(streakSoftness.value);
  const opframe::WipeBand band =
      opframe::wipeBand(edge, opframe::wipeLevel(edge, context->position, context->length));
  const bool mirrorColumns = streakDirection.value == 1;

  opframe::wipeRowsBegin(streakRows, band);
  for (int32_t j = 0; j < area.width; ++j) {
    streakRows.columns[j] = (mirrorColumns ? area.width - 1 - j : j) * TEXTURE_WIDTH / area.width;
  }
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t tr = i * TEXTURE_HEIGHT / area.height;
    const uint8_t* texels = streakTexture->pixels + tr * TEXTURE_WIDTH;
    opframe::wipeRow(streakRows, texels, opframe::pixelAt(input0, area, 0, i),
                     opframe::pixelAt(input1, area, 0, i), area.width);
  }
  return input0;
}

static int streakRender(const OperatorContext* context) {
  // Without a texture there is nothing to render from: open failed or was never called.
  if (streakTexture == nullptr) return -1;
  return opframe::renderTwoInputs(context, streakLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return streakWipe(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks streakHooks = {streakOpen, streakClose, streakRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, streakHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return streakInfo; }
