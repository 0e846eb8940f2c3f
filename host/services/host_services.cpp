#include "host_services.h"

#include <atomic>
#include <cstdio>

namespace ophost {
namespace {
std::atomic<HostServices*> installed{nullptr};
std::atomic<bool> saidMissing{false};
}  // namespace

HostServices* installHostServices(HostServices* services) { return installed.exchange(services); }

HostServices* installedHostServices() { return installed.load(); }

HostServices* servicesFor(const char* library, const char* function) {
  HostServices* services = installed.load();
  if (services == nullptr && !saidMissing.exchange(true)) {
    std::fprintf(stderr,
                 "%s: %s called but no host is installed; host calls answer null or -1\n",
                 library, function);
  }
  return services;
}

}  // namespace ophost
