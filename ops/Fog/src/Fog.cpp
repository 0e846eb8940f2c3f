// Fog: lays a fog of one colour over input 0 through a grey mask.
//
// At open, one of two 180 x 144 grey textures is mirrored into a 360 x 288 mask, symmetric about
// both centre lines. Each render stretches the mask over the active area by nearest sample: pixels
// under dark mask values take the colour, a band of mask values just below the fog level is blended
// towards it, and the rest is left alone. Input 0, changed in place, is the output; it is the only
// input this plug-in reads.
#include <stdlib.h>
#include <string.h>

#include "exact_divide.h"
#include "operator_frame.h"
#include "vector_path.h"

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
static int32_t fogColumns[32767];
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
// three cases do. Each byte's blend is at most 255 * 255 and fits 16 bits, and its division by 255
// is the exact multiplication of divideBy255: one branch-free loop over the bytes of a row.
__attribute__((always_inline)) static inline void fogBlendRun(uint8_t* __restrict pixels,
                                                              const uint8_t* __restrict weights,
                                                              const uint8_t* __restrict colours,
                                                              int32_t bytes) {
  for (int32_t n = 0; n < bytes; ++n) {
    const uint16_t w = weights[n];
    pixels[n] = (uint8_t)opframe::divideBy255((uint16_t)(pixels[n] * w + colours[n] * (255 - w)));
  }
}

static void fogBlendRow(uint8_t* pixels, int32_t bytes, uint32_t) {
  int32_t n = 0;
  for (; n + 16 <= bytes; n += 16) fogBlendRun(pixels + n, fogWeights + n, fogColours + n, 16);
  fogBlendRun(pixels + n, fogWeights + n, fogColours + n, bytes - n);
}

// The same blend on sixteen-bit lanes: the bytes widened, pixel * w + colour * (255 - w) in each,
// divideBy255 as a multiply-high by 0x8081 and a shift by 7, narrowed back; the rest of the row as
// above. `colour` is the fog colour as one pixel word.
OP_TARGET_AVX2 static void fogBlendRowAvx2(uint8_t* pixels, int32_t bytes, uint32_t colour) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i all = _mm256_set1_epi16(255);
  const __m256i reciprocal = _mm256_set1_epi16((short)0x8081);
  const __m256i colours = _mm256_set1_epi32((int)colour);
  const __m256i colourLow = _mm256_unpacklo_epi8(colours, zero);
  const __m256i colourHigh = _mm256_unpackhi_epi8(colours, zero);
  int32_t n = 0;
  for (; n + 32 <= bytes; n += 32) {
    const __m256i p = _mm256_loadu_si256((const __m256i*)(pixels + n));
    const __m256i w = _mm256_loadu_si256((const __m256i*)(fogWeights + n));
    const __m256i wLow = _mm256_unpacklo_epi8(w, zero);
    const __m256i wHigh = _mm256_unpackhi_epi8(w, zero);
    const __m256i xLow = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(p, zero), wLow),
                                          _mm256_mullo_epi16(colourLow, _mm256_sub_epi16(all, wLow)));
    const __m256i xHigh = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(p, zero), wHigh),
                                           _mm256_mullo_epi16(colourHigh, _mm256_sub_epi16(all, wHigh)));
    const __m256i qLow = _mm256_srli_epi16(_mm256_mulhi_epu16(xLow, reciprocal), 7);
    const __m256i qHigh = _mm256_srli_epi16(_mm256_mulhi_epu16(xHigh, reciprocal), 7);
    _mm256_storeu_si256((__m256i*)(pixels + n), _mm256_packus_epi16(qLow, qHigh));
  }
  fogBlendRun(pixels + n, fogWeights + n, fogColours + n, bytes - n);
}

// The keep weight of a mask value: h + 255 - fogLevel held to 0..255.
static inline uint8_t fogWeightOf(int32_t h, int32_t fogLevel) {
  const int32_t w = h + 255 - fogLevel;
  return (uint8_t)(w < 0 ? 0 : w > 255 ? 255 : w);
}

// The weights of one mask row along the active area.
static void fogWeigh(const uint8_t* maskRow, int32_t width, int32_t fogLevel) {
  for (int32_t j = 0; j < width; ++j) {
    const uint8_t weight = fogWeightOf(maskRow[fogColumns[j]], fogLevel);
    for (int32_t k = 0; k < PIXEL_BYTES; ++k) fogWeights[j * PIXEL_BYTES + k] = weight;
  }
}

// The same, from the weights of the mask row's 360 values (each four times in a word), picked for
// eight columns a gather.
static uint32_t fogMaskRowWeights[MASK_WIDTH];

static inline void fogWeighMaskRow(const uint8_t* maskRow, int32_t fogLevel) {
  for (int32_t k = 0; k < MASK_WIDTH; ++k) {
    fogMaskRowWeights[k] = fogWeightOf(maskRow[k], fogLevel) * 0x01010101u;
  }
}

static inline void fogWeighRest(int32_t j, int32_t width) {
  for (; j < width; ++j) {
    memcpy(fogWeights + j * PIXEL_BYTES, &fogMaskRowWeights[fogColumns[j]], PIXEL_BYTES);
  }
}

OP_TARGET_AVX2 static void fogWeighAvx2(const uint8_t* maskRow, int32_t width, int32_t fogLevel) {
  fogWeighMaskRow(maskRow, fogLevel);
  int32_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256i at = _mm256_loadu_si256((const __m256i*)(fogColumns + j));
    const __m256i words = _mm256_i32gather_epi32((const int*)fogMaskRowWeights, at, 4);
    _mm256_storeu_si256((__m256i*)(fogWeights + j * PIXEL_BYTES), words);
  }
  fogWeighRest(j, width);
}

// Every row of the active area. Neighbouring rows mostly sample the same mask row; its weights are
// worked out once for them.
static void fogRows(OpImage* input0, const opframe::Area& area, int32_t fogLevel, uint32_t colour) {
  typedef void (*Weigh)(const uint8_t*, int32_t, int32_t);
  typedef void (*Blend)(uint8_t*, int32_t, uint32_t);
  // AVX-512 versions of both (64 bytes, sixteen gathered columns a step) ran no faster than these
  // AVX2 ones on a processor with both: the AVX-512 path runs AVX2 here.
  const Weigh weigh = opframe::pickVector<Weigh>(fogWeigh, fogWeighAvx2, nullptr);
  const Blend blend = opframe::pickVector<Blend>(fogBlendRow, fogBlendRowAvx2, nullptr);
  int32_t weightsRow = -1;
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t maskRowIndex = i * MASK_HEIGHT / area.height;
    if (maskRowIndex != weightsRow) {
      weigh(fogMask + maskRowIndex * MASK_WIDTH, area.width, fogLevel);
      weightsRow = maskRowIndex;
    }
    blend(opframe::pixelAt(input0, area, 0, i), area.width * PIXEL_BYTES, colour);
  }
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
    fogColumns[j] = j * MASK_WIDTH / area.width;
    for (int32_t k = 0; k < PIXEL_BYTES; ++k) fogColours[j * PIXEL_BYTES + k] = colour[k];
  }

  fogRows(input0, area, fogLevel, fogColour.value);

  return opPutField(input0);
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks fogHooks = {fogOpen, fogClose, fogRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, fogHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return fogInfo; }
