// Sunbeams: a transition from input 0 to input 1 shaped by a grey sunbeam texture.
//
// The texture, loaded at open, is stretched over the active area by nearest sample, always as
// stored. A wipe level rises through its grey levels over the effect: input 1 shows first where the
// texture is darkest, with a soft band of blended pixels at the edge. Input 0, changed in place, is
// the output; input 1 is given back.
#include "operator_frame.h"
#include "texture_wipe.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static ParamSlider sunbeamSoftness = {OP_PARAM_HEAD(PARAM_SLIDER, 510), 0, 511, 0, 0, 100, 20};

static const char sunbeamIdent[] = "$Id: KT3_Sunbeams,v 1.0 2014/03/22 00:00:00 Vethmar $";

static uintptr_t sunbeamInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)sunbeamIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&sunbeamSoftness,
    OPE_End};

static const opframe::ModuleLog sunbeamLog = {"src\\Sunbeams", 0x0B750000};
enum { LINE_NO_INPUT0 = 84, LINE_NO_INPUT1 = 90 };

// ---- Texture -----------------------------------------------------------------------------------------

// The sunbeam texture: 286 x 228 grey texels, rows of 286 bytes back to back.
enum { TEXTURE_WIDTH = 286, TEXTURE_HEIGHT = 228 };

static OpImage* sunbeamTexture;  // held from open to close

static int sunbeamClose(const OperatorContext*) {
  if (sunbeamTexture != nullptr) {
    opFreeImage(sunbeamTexture);
    sunbeamTexture = nullptr;
  }
  return 0;
}

static int sunbeamOpen(const OperatorContext* context) {
  // A second open without a close first gives back the texture the first one took.
  sunbeamClose(context);
  sunbeamTexture = txGetOpImageFile("/programs/kt3/sunbeams__xy.png", 1);
  if (sunbeamTexture == nullptr) return -1;
  // A smaller image would be read past its end.
  if (sunbeamTexture->stride < TEXTURE_WIDTH || sunbeamTexture->rows < TEXTURE_HEIGHT) {
    opFreeImage(sunbeamTexture);
    sunbeamTexture = nullptr;
    return -1;
  }
  return 0;
}

// ---- Render -----------------------------------------------------------------------------------------

// The texel column of each pixel column and the wipe's working rows (see texture_wipe.h).
static opframe::WipeRows sunbeamRows;

static OpImage* sunbeamWipe(const OperatorContext* context, OpImage* input0, OpImage* input1) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t edge = opframe::edgeWidth(sunbeamSoftness.value);
  const opframe::WipeBand band =
      opframe::wipeBand(edge, opframe::wipeLevel(edge, context->position, context->length));

  opframe::wipeRowsBegin(sunbeamRows, band);
  for (int32_t j = 0; j < area.width; ++j) sunbeamRows.columns[j] = j * TEXTURE_WIDTH / area.width;
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t tr = i * TEXTURE_HEIGHT / area.height;
    const uint8_t* texels = sunbeamTexture->pixels + tr * TEXTURE_WIDTH;
    opframe::wipeRow(sunbeamRows, texels, opframe::pixelAt(input0, area, 0, i),
                     opframe::pixelAt(input1, area, 0, i), area.width);
  }
  return input0;
}

static int sunbeamRender(const OperatorContext* context) {
  // Without a texture there is nothing to render from: open failed or was never called.
  if (sunbeamTexture == nullptr) return -1;
  return opframe::renderTwoInputs(context, sunbeamLog, LINE_NO_INPUT0, LINE_NO_INPUT1,
                                  [context](OpImage* input0, OpImage* input1) {
                                    return sunbeamWipe(context, input0, input1);
                                  });
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks sunbeamHooks = {sunbeamOpen, sunbeamClose, sunbeamRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, sunbeamHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return sunbeamInfo; }
