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

// Per render: the mask column each column of the active area samples, and that column's distance
// from the column sampled by the first column of its block of eight (see fogWeighAvx2).
static int32_t fogColumns[32767];
static int32_t fogBlockOffsets[32767];
static bool fogBlocksFit;  // every block of eight columns samples eight mask columns or fewer
// Per render: the keep weight of each mask value, twice in a word (see fogWeights).
static uint32_t fogLevelWeights[256];
// Per mask row in use: the weight word of each mask column, with room for a vector read from any
// of them.
static uint32_t fogColumnWeights[MASK_WIDTH + 8];
// Per mask row in use: each pixel's keep weight w along the active area, once in each sixteen-bit
// half of a word, so that the row's bytes 2m and 2m + 1 (which lie in one pixel) find their weight in
// sixteen-bit lane m of the same bytes of this table.
static uint32_t fogWeights[32767];

// Every pixel is blended with the colour by its keep weight w, taken from its mask value h:
//   h >= fogLevel              unchanged;
//   h < fogLevel - 255         the colour;
//   otherwise                  w = h + 255 - fogLevel (0..254): (pixel * w + colour * (255 - w)) / 255.
// The first two are the blend itself at w = 255 and w = 0, which gives back the pixel or the colour
// exactly, so one blend with w = h + 255 - fogLevel held to 0..255 gives every pixel's bytes as the
// three cases do.
static inline uint8_t fogWeightOf(int32_t h, int32_t fogLevel) {
  const int32_t w = h + 255 - fogLevel;
  return (uint8_t)(w < 0 ? 0 : w > 255 ? 255 : w);
}

// One byte of the blend: pixel * w + colour * (255 - w) is at most 255 * 255 and fits 16 bits.
static inline uint8_t fogBlendByte(uint8_t pixel, uint8_t colour, uint16_t w) {
  return (uint8_t)opframe::divideBy255((uint16_t)(pixel * w + colour * (255 - w)));
}

// Vectors of sixteen-bit lanes, for the baseline (16 bytes) and AVX2 (32 bytes).
typedef uint16_t Lanes8 __attribute__((vector_size(16)));
typedef uint16_t Lanes16 __attribute__((vector_size(32)));

// The weights of one mask row along the active area, column by column.
static void fogWeigh(const uint8_t* maskRow, int32_t width) {
  for (int32_t k = 0; k < MASK_WIDTH; ++k) fogColumnWeights[k] = fogLevelWeights[maskRow[k]];
  for (int32_t j = 0; j < width; ++j) fogWeights[j] = fogColumnWeights[fogColumns[j]];
}

// The same, eight columns a step: the eight words from the mask column of the block's first column
// on, each column picking its own by its offset among them.
OP_TARGET_AVX2 static void fogWeighAvx2(const uint8_t* maskRow, int32_t width) {
  if (!fogBlocksFit) {
    fogWeigh(maskRow, width);
    return;
  }
  for (int32_t k = 0; k < MASK_WIDTH; ++k) fogColumnWeights[k] = fogLevelWeights[maskRow[k]];
  int32_t j = 0;
  for (; j + 8 <= width; j += 8) {
    const __m256i words = _mm256_loadu_si256((const __m256i*)(fogColumnWeights + fogColumns[j]));
    const __m256i offsets = _mm256_loadu_si256((const __m256i*)(fogBlockOffsets + j));
    _mm256_storeu_si256((__m256i*)(fogWeights + j), _mm256_permutevar8x32_epi32(words, offsets));
  }
  for (; j < width; ++j) fogWeights[j] = fogColumnWeights[fogColumns[j]];
}

// The blend of a row, a vector of sixteen-bit lanes at a step, then byte by byte. Lane m holds
// the row's bytes 2m (the even lanes) and 2m + 1 (the odd lanes, shifted down) of pixel m / 2, with
// that pixel's weight w from fogWeights; the colour's bytes sit in the same places. With y = x + 1,
//   x + 1 = pixel * w + colour * (255 - w) + 1 = (pixel - colour) * w + (255 * colour + 1),
// which lies in 1..65026: the product of the signed difference wraps in sixteen bits and the sum
// comes back to the exact value. divideBy255FromNext's shifts and add, lane by lane, then give the even
// bytes' quotients in the low bytes; for the odd ones its sum y + (y >> 8) keeps only its high byte,
// the quotient, in place.
template <typename Lanes>
__attribute__((always_inline)) static inline void fogBlendLanes(uint8_t* pixels, int32_t bytes,
                                                               uint32_t colour) {
  const int32_t BYTES = (int32_t)sizeof(Lanes);
  Lanes even, odd;
  for (int32_t m = 0; m < BYTES / 2; ++m) {
    const int32_t low = m % 2 == 0 ? 0 : 16;  // bytes 0 and 1, or 2 and 3, of the pixel word
    even[m] = (uint16_t)(colour >> low & 0xFF);
    odd[m] = (uint16_t)(colour >> (low + 8) & 0xFF);
  }
  const Lanes evenTerm = even * 255 + 1;
  const Lanes oddTerm = odd * 255 + 1;
  const uint8_t* weights = (const uint8_t*)fogWeights;
  int32_t n = 0;
  for (; n + BYTES <= bytes; n += BYTES) {
    __builtin_prefetch(pixels + n + 1024);  // a kilobyte ahead: a hint, it never faults
    Lanes p, w;
    memcpy(&p, pixels + n, sizeof p);
    memcpy(&w, weights + n, sizeof w);
    const Lanes yEven = ((p & 0xFF) - even) * w + evenTerm;
    const Lanes yOdd = ((p >> 8) - odd) * w + oddTerm;
    p = ((yEven + (yEven >> 8)) >> 8) | ((yOdd + (yOdd >> 8)) & 0xFF00);
    memcpy(pixels + n, &p, sizeof p);
  }
  for (; n < bytes; ++n) {
    pixels[n] = fogBlendByte(pixels[n], (uint8_t)(colour >> (8 * (n % PIXEL_BYTES))),
                             (uint16_t)(fogWeights[n / PIXEL_BYTES] & 0xFFFF));
  }
}

// The baseline blends sixteen bytes a step, AVX2 thirty-two. (AVX-512 versions of an earlier blend
// and weighing ran no faster than AVX2 on a processor with both: the AVX-512 path runs AVX2 here.)
static void fogBlendRow(uint8_t* pixels, int32_t bytes, uint32_t colour) {
  fogBlendLanes<Lanes8>(pixels, bytes, colour);
}
OP_TARGET_AVX2 static void fogBlendRowAvx2(uint8_t* pixels, int32_t bytes, uint32_t colour) {
  fogBlendLanes<Lanes16>(pixels, bytes, colour);
}

// Every row of the active area. Neighbouring rows mostly sample the same mask row; its weights are
// worked out once for them.
static void fogRows(OpImage* input0, const opframe::Area& area, uint32_t colour) {
  typedef void (*Weigh)(const uint8_t*, int32_t);
  typedef void (*Blend)(uint8_t*, int32_t, uint32_t);
  const Weigh weigh = opframe::pickVector<Weigh>(fogWeigh, fogWeighAvx2, nullptr);
  const Blend blend = opframe::pickVector<Blend>(fogBlendRow, fogBlendRowAvx2, nullptr);
  int32_t weightsRow = -1;
  for (int32_t i = 0; i < area.height; ++i) {
    const int32_t maskRowIndex = i * MASK_HEIGHT / area.height;
    if (maskRowIndex != weightsRow) {
      weigh(fogMask + maskRowIndex * MASK_WIDTH, area.width);
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

  // An amount outside 0..100 (which the host never stores) is held to the nearer end: a level below 0
  // changes nothing, as 0 does, and one above 512 paints everything, as 512 does.
  const int64_t level = (int64_t)fogAmount.value * 512 / 100;
  const int32_t fogLevel = level < 0 ? 0 : level > 512 ? 512 : (int32_t)level;
  for (int32_t h = 0; h < 256; ++h) fogLevelWeights[h] = fogWeightOf(h, fogLevel) * 0x00010001u;

  const opframe::Area area = opframe::areaOf(input0);
  fogBlocksFit = true;
  for (int32_t j = 0; j < area.width; ++j) {
    fogColumns[j] = j * MASK_WIDTH / area.width;
    fogBlockOffsets[j] = fogColumns[j] - fogColumns[j & ~7];
    if (fogBlockOffsets[j] > 7) fogBlocksFit = false;
  }

  fogRows(input0, area, fogColour.value);

  return opPutField(input0);
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks fogHooks = {fogOpen, fogClose, fogRender};

extern "C" int OperatorAction(OperatorContext* context) { return opframe::dispatch(context, fogHooks); }

extern "C" uintptr_t* GetOperatorInfo(void) { return fogInfo; }
