// Blinds: the blinds transition from input 0 to input 1, composed into a new image.
//
// The frame is cut into N bands of nearly equal size, the blinds: bands of rows when the edge
// travels up or down, bands of columns when it travels right or left. Inside every blind a straight
// edge crosses the blind in the chosen direction, input 1 behind it and input 0 ahead of it. Either
// both pictures slide with the edge or both stay in place; the blinds move together, or one after
// another in the direction of travel. Both inputs are only read; the output is a fresh image laid
// out like them, and pixels are copied whole.
#include <string.h>

#include "operator_frame.h"

// ---- Descriptor ------------------------------------------------------------------------------------

static const uint32_t blindsDirections[] = {DIR_UP, DIR_RIGHT, DIR_DOWN, DIR_LEFT, 0};
static const uint32_t blindsMotions[] = {621, 622, 0};
static const uint32_t blindsTimings[] = {641, 642, 0};

static ParamChoice blindsDirection = {OP_PARAM_HEAD(PARAM_CHOICE, 610), CHOICE_STYLE_DIRECTIONS,
                                      blindsDirections, 0};
static ParamChoice blindsMotion = {OP_PARAM_HEAD(PARAM_CHOICE, 620), CHOICE_STYLE_TEXT,
                                   blindsMotions, 0};
static ParamSlider blindsCount = {OP_PARAM_HEAD(PARAM_SLIDER, 630), 0, 631, 0, 2, 20, 5};
static ParamChoice blindsTiming = {OP_PARAM_HEAD(PARAM_CHOICE, 640), CHOICE_STYLE_TEXT,
                                   blindsTimings, 0};

static const char blindsIdent[] = "$Id: KT3_Blinds,v 1.0 2014/03/20 00:00:00 Vethmar $";

static uintptr_t blindsInfo[] = {
    OPE_Tag00,  0,
    OPE_Tag01,  0,
    OPE_Action, (uintptr_t)&OperatorAction,
    OPE_Ident,  (uintptr_t)blindsIdent,
    OPE_Tag0D,  2,
    OPE_Param1, (uintptr_t)&blindsDirection,
    OPE_Param2, (uintptr_t)&blindsMotion,
    OPE_Param3, (uintptr_t)&blindsCount,
    OPE_Param4, (uintptr_t)&blindsTiming,
    OPE_End};

static const opframe::ModuleLog blindsLog = {"src\\Blinds", 0x0B760000};
enum { LINE_NO_INPUT0 = 82, LINE_NO_INPUT1 = 88, LINE_NO_OUTPUT = 94 };

// ---- Render -----------------------------------------------------------------------------------------

// Direction indices: where the edge travels.
enum { TRAVEL_UP = 0, TRAVEL_RIGHT = 1, TRAVEL_DOWN = 2, TRAVEL_LEFT = 3 };

static int32_t clampLines(int32_t lines, int32_t size) {
  return lines < 0 ? 0 : lines > size ? size : lines;
}

// How many of the `size` lines of blind `index` (of `count`) show input 1. Staggered blinds each
// move over half the length: those travelling up or left start from the last blind, those
// travelling down or right from blind 0. `position` is at most `length`.
static int32_t blindProgress(int32_t index, int32_t size, int32_t count, bool staggered,
                             bool towardStart, uint32_t position, uint32_t length) {
  const int32_t span = staggered ? 2 * size : size;
  // The product is taken in 64 bits; a length of 0 leaves every blind at progress 0.
  const int32_t q = length == 0 ? 0 : (int32_t)((uint64_t)span * position / length);
  if (!staggered) return q;
  const int32_t d = (count - index) * size / count;
  if (towardStart) return clampLines(q - d, size);
  return size - clampLines(2 * size - q - d, size);
}

// Copies `count` whole pixels from `source` at column si, row sj of the active area to `target`
// at column ti, row tj.
static void copyRun(OpImage* target, const OpImage* source, const opframe::Area& area, int32_t ti,
                    int32_t tj, int32_t si, int32_t sj, int32_t count) {
  if (count <= 0) return;
  memcpy(opframe::pixelAt(target, area, ti, tj), opframe::pixelAt(source, area, si, sj),
         (size_t)count * PIXEL_BYTES);
}

// One blind's composition: its lines start + j for j < split come from `lead`, line
// start + j + leadShift; the others from `trail`, line start + j + trailShift. Both shifts keep
// every source line inside the blind.
struct BlindLines {
  int32_t start;
  int32_t size;
  int32_t split;
  const OpImage* lead;
  int32_t leadShift;
  const OpImage* trail;
  int32_t trailShift;
};

// A band of rows: every output row is one run of the area's width.
static void composeRows(OpImage* output, const opframe::Area& area, const BlindLines& blind) {
  for (int32_t j = 0; j < blind.size; ++j) {
    const int32_t row = blind.start + j;
    if (j < blind.split) {
      copyRun(output, blind.lead, area, 0, row, 0, row + blind.leadShift, area.width);
    } else {
      copyRun(output, blind.trail, area, 0, row, 0, row + blind.trailShift, area.width);
    }
  }
}

// Bands of columns, row by row: in each row, every blind's leading columns, then its trailing
// columns, blind after blind. All the blinds of a group are composed in one pass over the rows, so
// the images are read and written front to back. The runs copied are the same whatever their order:
// they read only the inputs and write only the output, each output pixel once.
static void composeColumns(OpImage* output, const opframe::Area& area, const BlindLines* blinds,
                           int32_t count) {
  for (int32_t row = 0; row < area.height; ++row) {
    for (int32_t b = 0; b < count; ++b) {
      const BlindLines& blind = blinds[b];
      const int32_t middle = blind.start + blind.split;
      copyRun(output, blind.lead, area, blind.start, row, blind.start + blind.leadShift, row,
              blind.split);
      copyRun(output, blind.trail, area, middle, row, middle + blind.trailShift, row,
              blind.size - blind.split);
    }
  }
}

// Blinds of columns are composed in groups of this many.
enum { COLUMN_GROUP = 64 };

static void blindsCompose(const OperatorContext* context, const OpImage* input0,
                          const OpImage* input1, OpImage* output) {
  const opframe::Area area = opframe::areaOf(input0);
  const int32_t direction = blindsDirection.value;
  const bool sliding = blindsMotion.value == 0;
  const bool staggered = blindsTiming.value != 0;
  const uint32_t position = opframe::clampedPosition(context);
  if (direction < TRAVEL_UP || direction > TRAVEL_LEFT) return;
  if (area.width <= 0 || area.height <= 0) return;

  const bool rows = direction == TRAVEL_UP || direction == TRAVEL_DOWN;
  const bool towardStart = direction == TRAVEL_UP || direction == TRAVEL_LEFT;
  const int32_t extent = rows ? area.height : area.width;
  // At least one blind; and, for counts the host never stores (above 20), no more blinds than lines,
  // so a huge count cannot make a render take seconds over empty blinds.
  int32_t count = blindsCount.value < 1 ? 1 : blindsCount.value;
  if (count > 20 && count > extent) count = extent > 20 ? extent : 20;
  const float step = (float)extent / (float)count;

  BlindLines group[COLUMN_GROUP];
  int32_t grouped = 0;
  int32_t start = 0;
  for (int32_t i = 0; i < count; ++i) {
    // The last blind always ends at the extent; single precision alone can end it one line short.
    int32_t end = i + 1 == count ? extent : (int32_t)((float)(i + 1) * step);
    if (end < start) end = start;
    if (end > extent) end = extent;
    const int32_t size = end - start;
    const int32_t progress =
        blindProgress(i, size, count, staggered, towardStart, position, context->length);

    // Up and left: input 0 leads and input 1 fills the last `progress` lines. Right and down:
    // input 1 fills the first `progress` lines and input 0 trails. Sliding, the leading part
    // shows the far end of its picture's blind and the trailing part the near end.
    BlindLines blind;
    blind.start = start;
    blind.size = size;
    blind.split = towardStart ? size - progress : progress;
    blind.lead = towardStart ? input0 : input1;
    blind.trail = towardStart ? input1 : input0;
    blind.leadShift = sliding ? size - blind.split : 0;
    blind.trailShift = sliding ? -blind.split : 0;
    if (rows) {
      composeRows(output, area, blind);
    } else {
      group[grouped++] = blind;
      if (grouped == COLUMN_GROUP || i + 1 == count) {
        composeColumns(output, area, group, grouped);
        grouped = 0;
      }
    }
    start = end;
  }
}

static int blindsRender(const OperatorContext* context) {
  OpImage* input0 = opframe::fetchInput(0, context, blindsLog, LINE_NO_INPUT0);
  if (input0 == nullptr) return -1;
  OpImage* input1 = opframe::fetchInput(1, context, blindsLog, LINE_NO_INPUT1);
  if (input1 == nullptr) return -1;
  OpImage* output = opAllocImage(-1, -1, 1, 0);
  if (output == nullptr) {
    opframe::logFailure(blindsLog, LINE_NO_OUTPUT);
    return -1;
  }
  blindsCompose(context, input0, input1, output);
  opFreeImage(input0);
  opFreeImage(input1);
  return opPutField(output);
}

// ---- Exports ------------------------------------------------------------------------------------------

static const opframe::ActionHooks blindsHooks = {nullptr, nullptr, blindsRender};

extern "C" int OperatorAction(OperatorContext* context) {
  return opframe::dispatch(context, blindsHooks);
}

extern "C" uintptr_t* GetOperatorInfo(void) { return blindsInfo; }
