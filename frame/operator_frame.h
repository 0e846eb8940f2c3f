// The operator frame: the dispatch and the render skeleton that every plug-in shares. Each plug-in
// compiles its own copy (everything here is inline), and supplies only its descriptor data, its
// open and close work and the body of its render.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "host_functions.h"
#include "operator_abi.h"

namespace opframe {

// ---- Log records ----------------------------------------------------------------------------------

// Where a plug-in's log records say they come from: its module's source path and module code.
struct ModuleLog {
  const char* source;
  uint32_t code;
};

// Every record has level 4 and the text " "; the line is the literal number the record carries.
inline void logFailure(const ModuleLog& module, int32_t line) {
  loggerMessage(4, line, module.source, module.code, " ");
}

// ---- Dispatch ---------------------------------------------------------------------------------------

// What a plug-in does for each action. A null hook does nothing and succeeds.
struct ActionHooks {
  int (*open)(const OperatorContext* context);
  int (*close)(const OperatorContext* context);
  int (*render)(const OperatorContext* context);
};

// Any action other than open, close and render returns 0 and touches nothing.
inline int dispatch(const OperatorContext* context, const ActionHooks& hooks) {
  int (*hook)(const OperatorContext*) = nullptr;
  switch (context->action) {
    case ACTION_OPEN: hook = hooks.open; break;
    case ACTION_CLOSE: hook = hooks.close; break;
    case ACTION_RENDER: hook = hooks.render; break;
    default: return 0;
  }
  return hook != nullptr ? hook(context) : 0;
}

// ---- Render skeleton ------------------------------------------------------------------------------

// Fetches one input at the context's position; a missing input is logged at `line`.
inline OpImage* fetchInput(int32_t index, const OperatorContext* context, const ModuleLog& module,
                           int32_t line) {
  OpImage* image = opGetField(index, context->position);
  if (image == nullptr) logFailure(module, line);
  return image;
}

// The skeleton of a render that changes one of its two inputs in place: fetch input 0 (logged at
// line0 when missing), fetch input 1 (line1), let `body(input0, input1)` compute the output and say
// which of the two it is, give the other one back, and return the host's answer to the put.
// A failed fetch returns -1 at once; an input already fetched is left for the host to reclaim.
template <typename Body>
inline int renderTwoInputs(const OperatorContext* context, const ModuleLog& module, int32_t line0,
                           int32_t line1, Body body) {
  OpImage* input0 = fetchInput(0, context, module, line0);
  if (input0 == nullptr) return -1;
  OpImage* input1 = fetchInput(1, context, module, line1);
  if (input1 == nullptr) return -1;
  OpImage* output = body(input0, input1);
  opFreeImage(output == input0 ? input1 : input0);
  return opPutField(output);
}

// ---- Geometry -----------------------------------------------------------------------------------------

// The active area of a frame, read once from input 0 (both inputs, and any new image, share its
// layout). The fields are sign-extended to 32 bits; byte offsets are taken in pointer width.
struct Area {
  int32_t stride;
  int32_t x;
  int32_t y;
  int32_t width;
  int32_t height;
};

inline Area areaOf(const OpImage* image) {
  return Area{image->stride, image->x, image->y, image->width, image->height};
}

// Address of the pixel at column i, row j of the active area, in an image laid out like `area`.
inline uint8_t* pixelAt(const OpImage* image, const Area& area, int32_t i, int32_t j) {
  const ptrdiff_t index = (ptrdiff_t)(area.y + j) * area.stride + area.x + i;
  return image->pixels + index * PIXEL_BYTES;
}

// Unsigned 32-bit progress clamped to the finished state: a position past the end is the end.
inline uint32_t clampedPosition(const OperatorContext* context) {
  return context->position > context->length ? context->length : context->position;
}

}  // namespace opframe
