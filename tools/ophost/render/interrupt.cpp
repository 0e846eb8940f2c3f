#include "interrupt.h"

#include <pthread.h>
#include <signal.h>

namespace ophost::render {

namespace {
std::atomic<bool> flag{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void onInterrupt(int) { flag.store(true, std::memory_order_relaxed); }
}  // namespace

std::atomic<bool>& interruptFlag() { return flag; }

void installInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = onInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void blockInterruptInThisThread() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace ophost::render
