// The object behind the host libraries. libhostcore, libhostimage, libhostmedia and liblogger are
// thin C front ends that the plug-ins link against; every call they receive is forwarded to the one
// HostServices object that the loading program installed. With none installed they answer null or
// -1 (and say so once on stderr).
#pragma once

#include <cstdint>

#include "operator_abi.h"

namespace ophost {

class HostServices {
 public:
  virtual ~HostServices() = default;

  virtual OpImage* getField(int32_t index, uint32_t position) = 0;
  virtual int32_t putField(OpImage* image) = 0;
  virtual int32_t chkAbort() = 0;
  virtual OpImage* allocImage(int32_t width, int32_t height, int32_t mode, int32_t flags) = 0;
  virtual void freeImage(OpImage* image) = 0;
  virtual OpImage* getImageFile(const char* path, int32_t mode) = 0;
  virtual int32_t logMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                             const char* text) = 0;
};

// Installs the services the host libraries forward to (null uninstalls); returns the previous one.
HostServices* installHostServices(HostServices* services);
HostServices* installedHostServices();

// Used by the host libraries: the installed services, or null after one note on stderr naming the
// library and function that found none.
HostServices* servicesFor(const char* library, const char* function);

}  // namespace ophost
