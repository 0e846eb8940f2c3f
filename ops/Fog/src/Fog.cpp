// Fog: lays a fog of one colour over input 0 through a grey mask.
//
// At open, one of two 180 x 144 grey textures is mirrored into a 360 x 288 mask, symmetric about
// both centre lines. Each render stretches the mask over the active area by nearest sample: pixels
// under dark mask values take the colour, a band of mask values just below the fog level is blended
// towards it, and the rest is left alone. Input 0, changed in place, is the output; it is the only
// input this plug-in reads.
#include <stdlib.h>

#include "operator_frame.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t fogShapes[] = {911, 912, 0};

static ParamChoice fogShape = {OP_PARAM_HEAD(PARAM_CHOICE, 910), CHOICE_STYLE_TEXT, fogShapes, 0};
static ParamSlider fogAmount = {OP_PARAM_HEAD(PARAM_SLIDER, 920), 0, 921, 0, 0, 100, 50};
static ParamColour fogColour = {OP_PARAM_HEAD(PARAM_COLOUR, 930), 0, 0xEB8080FF};

static const char fogIdent[] = "$Id: KT3_Fog,v 1.0 2014/03/21 00:00:00 Vethmar $";

static uintptr_t fogInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  1,  // the one plug-in that reads input 0 only
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)fogIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&fogShape,
    OPE_Param2, (uintptr_t)&fogAmount,
    OPE_Param3, (uintptr_t)&fogColour,
    OPE_End};

static const opframe::ModuleLog fogLog = {"src\\Fog", 0x0B790000};
enum { LINE_NO_INPUT0 = 93 };

// ---- Texture and mask --------------------------------------------------------------------------------

enum {
  TEXTURE_WIDTH = 180,
  TEXTURE_HEIGHT = 144,
  MASK_WIDTH = 2 * TEXTURE_WIDTH,
  MASK_HEIGHT = 2 * TEXTURE_HEIGHT,
  MASK_BYTES = MASK_WIDTH * MASK_HEIGHT  // 103680
};

static OpImage* fogTexture;   // held from open to close
static uint8_t* fogMask;      // MASK_HEIGHT rows of MASK_WIDTH grey levels, from the heap
static bool fogMaskBuilt;     // the mask holds a mirrored texture

// The texture becomes the mask's top-left quarter, mirrored left to right, top to bottom and both
// ways into the other three. The texture's rows are read as TEXTURE_WIDTH bytes back to back.
static void buildMask(const uint8_t* texels) {
  for (int32_t r = 0; r < TEXTURE_HEIGHT; ++r) {
    uint8_t* top = fogMask + r * MASK_WIDTH;
    uint8_t* bottom = fogMask + (MASK_HEIGHT - 1 - r) * MASK_WIDTH;
    for (int32_t k = 0; k < TEXTURE_WIDTH; ++k) {
      const uint8_t v = texels[r * TEXTURE_WIDTH + k];
      top[k] = v;
      top[MASK_WIDTH - 1 - k] = v;
      bottom[k] = v;
      bottom[MASK_WIDTH - 1 - k] = v;
    }
  }
}

static int fogClose(const OperatorContext*) {
  if (fogTexture != nullptr) {
    opFreeImage(fogTexture);
    fogTexture = nullptr;
  }
  if (fogMask != nullptr) {
    free(fogMask);
    fogMask = nullptr;
  }
  fogMaskBuilt = false;
  return 0;
}

static int fogOpen(const OperatorContext* context) {
  // A second open without a close first gives back what the first one took.
  fogClose(context);

  fogMask = (uint8_t*)malloc(MASK_BYTES);
  if (fogMask == nullptr) return -1;

  const char* path = fogShape.value == 0 ? "/programs/kt3/diamant.png" : "/programs/kt3/kreis.png";
  fogTexture = txGetOpImageFile(path, 1);
  if (fogTexture == nullptr) return -1;  // the unfilled mask stays until close

  // A texture smaller than the part the mask is built from would be read past its end.
  if (fogTexture->stride < TEXTURE_WIDTH || fogTexture->rows < TEXTURE_HEIGHT) {
    opFreeImage(fogTexture);
    fogTexture = nullptr;
    return -1;
  }

  buildMask(fogTexture->pixels);
  fogMaskBuilt = true;
  return 0;
}

// ---- Render -----------------------------------------------------------------------------------------

// Per render, for each column of the active area: the mask column it samples.
static uint16_t fogColumns[32767];
// Per render: the fog colour repeated along a row, byte for byte.
static uint8_t fogColours[32767 * PIXEL_BYTES];
// Per mask row in use: each byte of a row of pixels' keep weight (the pixel's weight four times).
static uint8_t fogWeights[32767 * PIXEL_BYTES];

// Every pixel is blended with the colour by its keep weight w, taken from its mask value h:
//   h >= fogLevel              unchanged;
//   h < fogLevel - 255         the colour;
//   otherwise                  w = h + 255 - fogLevel (0..254): (pixel * w + colour * (255 - w)) / 255.
// The first two are the blend itself at w = 255 and w = 0, which gives back the pixel or the colour
// exactly, so one blend with w = h + 255 - fogLevel held to 0..255 gives every pixel's bytes as the
// three cases do. Each byte's blend is at most 255 * 255 and fits 16 bits: one branch-free loop
// over the bytes of a row, which the compiler runs sixteen bytes at a time.
static void fogBlendRun(uint8_t* __restrict pixels, const uint8_t* __restrict weights,
                        const uint8_t* __restrict colours, int32_t bytes) {
  for (int32_t n = 0; n < bytes; ++n) {
    const uint16_t w = weights[n];
    pixels[n] = (uint8_t)((uint16_t)(pixels[n] * w + colours[n] * (255 - w)) / 255);
  }
}

// A row in blocks of sixteen bytes, then the rest: a loop of a known count, which the compiler
// runs as vector code at any optimisation level that vectorises at all.
static void fogBlendRow(uint8_t* pixels, int32_t bytes) {
  int32_t n = 0;
  for (; n + 16 <= bytes; n += 16) fogBlendRun(pixels + n, fogWeights + n, fogColours + n, 16);
  fogBlendRun(pixels + n, fogWeights + n, fogColours + n, bytes - n);
}

static int fogRender(const OperatorContext* context) {
  // Without a mask there is nothing to render from: open failed or was never called.
  if (!fogMaskBuilt) return -1;

  OpImage* input0 = opframe::fetchInput(0, context, fogLog, LINE_NO_INPUT0);
  if (input0 == nullptr) return -1;

  uint8_t colour[PIXEL_BYTES];
  for (int32_t k = 0; k < PIXEL_BYTES; ++k) colour[k] = (uint8_t)(fogColour.value >> (8 * k));
  // An amount outside 0..100 (which the host never stores) is held to the nearer end: a level below 0
  // changes nothing, as 0 does, and one above 512 paints everything, as 512 does.
  const int64_t level = (int64_t)fogAmount.value * 512 / 100;
  const int32_t fogLevel = level < 0 ? 0 : level > 512 ? 512 : (int32_t)level;

  const opframe::Area area = opframe::areaOf(input0);
  for (int32_t j = 0; j < area.width; ++j) {
    fogColumns[j] = (uint16_t)(j * MASK_WIDTH / area.width);
    for (int32_t k = 0; k < PIXEL_BYTES; ++k) fogColours[j * PIXEL_BYTES + k] = colour[k];
  }

  // Neighbouring rows mostly sample the same mask row; its weights are worked out once for them.
  int32_t weightsRow = -1;
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t maskRowIndex = i * MASK_HEIGHT / area.height;
    if (maskRowIndex != weightsRow) {
      const uint8_t* maskRow = fogMask + maskRowIndex * MASK_WIDTH;
      for (int32_t j = 0; j < area.width; ++j) {
        const int32_t w = maskRow[fogColumns[j]] + 255 - fogLevel;
        const uint8_t weight = (uint8_t)(w < 0 ? 0 : w > 255 ? 255 : w);
        for (int32_t k = 0; k < PIXEL_BYTES; ++k) fogWeights[j * PIXEL_BYTES + k] = weight;
      }
      weightsRow = maskRowIndex;
    }
    fogBlendRow(opframe::pixelAt(input0, area, 0, i), area.width * PIXEL_BYTES);
  }

  return opPutField(input0);
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks fogHooks = {fogOpen, fogClose, fogRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, fogHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return fogInfo; }
