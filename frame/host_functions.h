// The functions a plug-in calls in its host, bound at load time by name from the host libraries:
// libhostcore (fields, abort poll), libhostimage (new images, giving images back), libhostmedia
// (texture files) and liblogger (log records).
#pragma once

#include <stdint.h>

#include "operator_abi.h"

#if defined(__cplusplus)
extern "C" {
#endif

// libhostcore
OpImage* opGetField(int32_t index, uint32_t position);   // input 0 or 1 at position, or null
int32_t opPutField(OpImage* image);                      // hands the output to the host
int32_t opChkAbort(void);                                // a chance to serve a cancel request

// libhostimage
OpImage* opAllocImage(int32_t width, int32_t height, int32_t mode, int32_t flags);
void opFreeImage(OpImage* image);

// libhostmedia
OpImage* txGetOpImageFile(const char* path, int32_t mode);  // one grey byte per texel, or null

// liblogger
int32_t loggerMessage(int32_t level, int32_t line, const char* file, uint32_t code, const char* text);

#if defined(__cplusplus)
}  // extern "C"
#endif
