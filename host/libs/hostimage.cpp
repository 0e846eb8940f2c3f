// libhostimage: new images, and giving images back.
#include "host_functions.h"
#include "host_services.h"

using ophost::servicesFor;

extern "C" {

OP_EXPORT OpImage* opAllocImage(int32_t width, int32_t height, int32_t mode, int32_t flags) {
  auto* services = servicesFor("libhostimage", "opAllocImage");
  return services != nullptr ? services->allocImage(width, height, mode, flags) : nullptr;
}

OP_EXPORT void opFreeImage(OpImage* image) {
  auto* services = servicesFor("libhostimage", "opFreeImage");
  if (services != nullptr) services->freeImage(image);
}

}  // extern "C"
