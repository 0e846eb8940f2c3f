// The records, tags and codes that cross the boundary between a plug-in and its host.
//
// Every record is plain C data with a fixed layout; the static_asserts below pin each offset so a
// change that would break the binary interface fails to compile. The layout is the 64-bit Linux
// one; the same declarations give the classic 32-bit offsets on a 32-bit build.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(__cplusplus)
extern "C" {
#endif

// ---- Records passed to OperatorAction ------------------------------------------------------------

// The context of one action. Reserved bytes are never read by a plug-in.
typedef struct OperatorContext {
  uint16_t action;       // ACTION_OPEN, ACTION_CLOSE, ACTION_RENDER, or anything else (ignored)
  uint16_t reserved0;
  uint8_t flags;         // bit 0: scale the strength by scaleNum / scaleDen
  uint8_t reserved1[3];
  uint32_t length;       // length of the effect in the host's time steps
  uint32_t position;     // the step being rendered; position == length is the finished state
  uint8_t reserved2[8];
  int16_t scaleNum;
  int16_t scaleDen;
} OperatorContext;

// The host's image record. Inputs and new images hold four-byte OpPixels; textures one grey byte
// per texel. The pixel at column i, row j of the active area starts at
// pixels + ((y + j) * stride + x + i) * bytes-per-pixel.
typedef struct OpImage {
  uint8_t* pixels;
  int16_t stride;        // pixels (texels) per buffer row
  int16_t rows;          // rows in the buffer
  int16_t x;             // active area's left column
  int16_t y;             // active area's top row
  int16_t width;         // active area's width
  int16_t height;        // active area's height
} OpImage;

// One OpPixel, as bytes: key (255 opaque), two colour differences (128 neutral), luma (235 white).
enum {
  PIXEL_KEY = 0,
  PIXEL_CB = 1,
  PIXEL_CR = 2,
  PIXEL_LUMA = 3,
  PIXEL_BYTES = 4
};

enum {
  ACTION_OPEN = 1,
  ACTION_CLOSE = 2,
  ACTION_RENDER = 3
};

enum { CONTEXT_FLAG_SCALE = 0x01 };

// ---- The descriptor tag list returned by GetOperatorInfo -----------------------------------------

// OperatorInfo is an array of words read as (tag, value) pairs, ended by one 0 tag word that has no
// value word after it.
typedef uintptr_t OperatorInfoWord;

enum {
  OPE_End = 0,
  OPE_Tag00 = 0x4F504500,
  OPE_Tag01 = 0x4F504501,
  OPE_Action = 0x4F504503,
  OPE_Param1 = 0x4F504504,
  OPE_Param2 = 0x4F504505,
  OPE_Param3 = 0x4F504506,
  OPE_Param4 = 0x4F504507,
  OPE_Tag0D = 0x4F50450D,
  OPE_Ident = 0x4F504510
};

// A descriptor's first word: kind in the low half, label string identifier in the high half.
enum {
  PARAM_CHOICE = 0,
  PARAM_COLOUR = 1,
  PARAM_SLIDER = 2
};

enum {
  CHOICE_STYLE_TEXT = 0,        // entries are string identifiers shown as text
  CHOICE_STYLE_DIRECTIONS = 1   // entries are direction codes 1..8 shown as arrows
};

// Direction codes, clockwise from up; c and c + 4 are opposite.
enum {
  DIR_UP = 1,
  DIR_UP_RIGHT = 2,
  DIR_RIGHT = 3,
  DIR_DOWN_RIGHT = 4,
  DIR_DOWN = 5,
  DIR_DOWN_LEFT = 6,
  DIR_LEFT = 7,
  DIR_UP_LEFT = 8
};

typedef struct ParamChoice {
  uint32_t head;
  uint32_t style;
  const uint32_t* entries;   // ended by a 0 entry
  int32_t value;             // index of the chosen entry
} ParamChoice;

typedef struct ParamColour {
  uint32_t head;
  uint32_t reserved;
  uint32_t value;            // one OpPixel, byte k in bits 8k..8k+7
} ParamColour;

typedef struct ParamSlider {
  uint32_t head;
  uint32_t reserved0;
  uint32_t subLabel;         // always label + 1
  uint32_t reserved1;
  int32_t min;
  int32_t max;
  int32_t value;
} ParamSlider;

#define OP_PARAM_HEAD(kind, label) ((uint32_t)(kind) | ((uint32_t)(label) << 16))

// ---- The two exports of every plug-in --------------------------------------------------------------

#define OP_EXPORT __attribute__((visibility("default")))

OP_EXPORT int OperatorAction(OperatorContext* context);
OP_EXPORT uintptr_t* GetOperatorInfo(void);

#if defined(__cplusplus)
}  // extern "C"
#endif

// ---- Layout checks -----------------------------------------------------------------------------------

#define OP_ASSERT_OFFSET(type, field, offset) \
  _Static_assert(offsetof(type, field) == (offset), #type "." #field " must sit at byte " #offset)

#if defined(__cplusplus)
#undef OP_ASSERT_OFFSET
#define OP_ASSERT_OFFSET(type, field, offset) \
  static_assert(offsetof(type, field) == (offset), #type "." #field " must sit at byte " #offset)
#define OP_ASSERT_SIZE(type, size) static_assert(sizeof(type) == (size), #type " must be " #size " bytes")
#else
#define OP_ASSERT_SIZE(type, size) _Static_assert(sizeof(type) == (size), #type " must be " #size " bytes")
#endif

#define OP_PTR (sizeof(void*))

OP_ASSERT_OFFSET(OperatorContext, action, 0);
OP_ASSERT_OFFSET(OperatorContext, flags, 4);
OP_ASSERT_OFFSET(OperatorContext, length, 8);
OP_ASSERT_OFFSET(OperatorContext, position, 12);
OP_ASSERT_OFFSET(OperatorContext, scaleNum, 24);
OP_ASSERT_OFFSET(OperatorContext, scaleDen, 26);
OP_ASSERT_SIZE(OperatorContext, 28);

OP_ASSERT_OFFSET(OpImage, pixels, 0);
OP_ASSERT_OFFSET(OpImage, stride, OP_PTR + 0);
OP_ASSERT_OFFSET(OpImage, rows, OP_PTR + 2);
OP_ASSERT_OFFSET(OpImage, x, OP_PTR + 4);
OP_ASSERT_OFFSET(OpImage, y, OP_PTR + 6);
OP_ASSERT_OFFSET(OpImage, width, OP_PTR + 8);
OP_ASSERT_OFFSET(OpImage, height, OP_PTR + 10);
OP_ASSERT_SIZE(OpImage, OP_PTR == 8 ? 24 : 16);

OP_ASSERT_OFFSET(ParamChoice, head, 0);
OP_ASSERT_OFFSET(ParamChoice, style, 4);
OP_ASSERT_OFFSET(ParamChoice, entries, 8);
OP_ASSERT_OFFSET(ParamChoice, value, OP_PTR == 8 ? 16 : 12);
OP_ASSERT_OFFSET(ParamColour, head, 0);
OP_ASSERT_OFFSET(ParamColour, reserved, 4);
OP_ASSERT_OFFSET(ParamColour, value, 8);
OP_ASSERT_SIZE(ParamColour, 12);
OP_ASSERT_OFFSET(ParamSlider, head, 0);
OP_ASSERT_OFFSET(ParamSlider, subLabel, 8);
OP_ASSERT_OFFSET(ParamSlider, min, 16);
OP_ASSERT_OFFSET(ParamSlider, max, 20);
OP_ASSERT_OFFSET(ParamSlider, value, 24);
OP_ASSERT_SIZE(ParamSlider, 28);
OP_ASSERT_SIZE(OperatorInfoWord, OP_PTR);

#undef OP_PTR
