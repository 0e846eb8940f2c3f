// Slant: a transition from input 0 to input 1 shaped by a grey texture of any size.
//
// The texture, loaded at open, is stretched over the active area by nearest sample, as stored or
// mirrored top to bottom. A forward run raises a wipe level through its grey levels and paints
// input 1 into input 0 from the darkest texels up; a backward run lowers the level and paints
// input 0 into input 1, which input 0 then leaves from the brightest texels down. Either way the
// painted image, changed in place, is the output and the other input is given back.
#include "operator_frame.h"
#include "texture_wipe.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t slantDirections[] = {DIR_UP_LEFT, DIR_UP_RIGHT, DIR_DOWN_RIGHT,
                                           DIR_DOWN_LEFT, 0};

static ParamSlider slantSoftness = {OP_PARAM_HEAD(PARAM_SLIDER, 210), 0, 211, 0, 0, 100, 20};
static ParamChoice slantDirection = {OP_PARAM_HEAD(PARAM_CHOICE, 220), CHOICE_STYLE_DIRECTIONS,
                                     slantDirections, 0};

static const char slantIdent[] = "$Id: KT3_Slant,v 1.0 2014/03/21 00:00:00 Vethmar $";

static uintptr_t slantInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)slantIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&slantSoftness,
    OPE_Param2, (uintptr_t)&slantDirection,
    OPE_End};

static const opframe::ModuleLog slantLog = {"src\\Slant", 0x0B720000};
enum { LINE_NO_INPUT0 = 81, LINE_NO_INPUT1 = 87, LINE_NO_TEXTURE = 187 };

// ---- Texture -----------------------------------------------------------------------------------------

// The texture's size is the loaded image's: stride texels per row (also bytes per row), rows rows.
static OpImage* slantTexture;  // held from open to close

static int slantClose(const OperatorContext*) {
  if (slantTexture != nullptr) {
    opFreeImage(slantTexture);
    slantTexture = nullptr;
  }
  return 0;
}

static int slantOpen(const OperatorContext* context) {
  // A second open without a close first gives back the texture the first one took.
  slantClose(context);
  slantTexture = txGetOpImageFile("/programs/kt3/diagonal.png", 1);
  // An image without a texel has nothing to sample; it counts as a failed load.
  if (slantTexture != nullptr && (slantTexture->stride < 1 || slantTexture->rows < 1)) {
    opFreeImage(slantTexture);
    slantTexture = nullptr;
  }
  if (slantTexture == nullptr) {
    opframe::logFailure(slantLog, LINE_NO_TEXTURE);
    return -1;
  }
  return 0;
}

// ---- Render -----------------------------------------------------------------------------------------

// The texel column of each pixel column and the wipe's working rows (see texture_wipe.h).
static opframe::WipeRows slantRows;

// Direction index: 0 as stored, forward; 1 mirrored top to bottom, backward; 2 as stored,
// backward; 3 mirrored top to bottom, forward. Columns are never mirrored.
static OpImage* slantWipe(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t direction = slantDirection.value;
  const bool mirrorRows = direction == 1 || direction == 3;
  const bool backward = direction == 1 || direction == 2;
  OpImage* painted = backward ? input1 : input0;
  const OpImage* source = backward ? input0 : input1;

  const int32_t edge = opframe::edgeWidth(slantSoftness.value);
  const uint32_t forwardLevel = opframe::wipeLevel(edge, context->position, context->length);
  const uint32_t level = backward ? (uint32_t)edge + 255u - forwardLevel : forwardLevel;
  const opframe::WipeBand band = opframe::wipeBand(edge, level);

  const int32_t textureWidth = slantTexture->stride;
  const int32_t textureRows = slantTexture->rows;
  opframe::wipeRowsBegin(slantRows, band);
  for (int32_t j = 0; j < area.width; ++j) slantRows.columns[j] = textureWidth * j / area.width;
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t tr = textureRows * (mirrorRows ? area.height - 1 - i : i) / area.height;
    const uint8_t* texels = slantTexture->pixels + (ptrdiff_t)tr * textureWidth;
    opframe::wipeRow(slantRows, texels, opframe::pixelAt(painted, area, 0, i),
                     opframe::pixelAt(source, area, 0, i), area.width);
  }
  return painted;
}

static int slantRender(const OperatorContext* context) {
  // Without a texture there is nothing to render from: open failed or was never called.
  if (slantTexture == nullptr) return -1;
  return opframe::renderTwoInputs(context, slantLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return slantWipe(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks slantHooks = {slantOpen, slantClose, slantRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, slantHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return slantInfo; }
