// libhostcore: fields in and out, and the abort poll.
#include "host_functions.h"
#include "host_services.h"

using ophost::servicesFor;

extern "C" {

OP_EXPORT OpImage* opGetField(int32_t index, uint32_t position) {
  auto* services = servicesFor("libhostcore", "opGetField");
  return services != nullptr ? services->getField(index, position) : nullptr;
}

OP_EXPORT int32_t opPutField(OpImage* image) {
  auto* services = servicesFor("libhostcore", "opPutField");
  return services != nullptr ? services->putField(image) : -1;
}

OP_EXPORT int32_t opChkAbort(void) {
  auto* services = servicesFor("libhostcore", "opChkAbort");
  return services != nullptr ? services->chkAbort() : -1;
}

}  // extern "C"
