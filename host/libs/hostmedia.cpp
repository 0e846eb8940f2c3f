// libhostmedia: texture files.
#include "host_functions.h"
#include "host_services.h"

using ophost::servicesFor;

extern "C" {

OP_EXPORT OpImage* txGetOpImageFile(const char* path, int32_t mode) {
  auto* services = servicesFor("libhostmedia", "txGetOpImageFile");
  return services != nullptr ? services->getImageFile(path, mode) : nullptr;
}

}  // extern "C"
