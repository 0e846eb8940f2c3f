// liblogger: log records.
#include "host_functions.h"
#include "host_services.h"

using ophost::servicesFor;

extern "C" {

OP_EXPORT int32_t loggerMessage(int32_t level, int32_t line, const char* file, uint32_t code,
                                const char* text) {
  auto* services = servicesFor("liblogger", "loggerMessage");
  return services != nullptr ? services->logMessage(level, line, file, code, text) : -1;
}

}  // extern "C"
