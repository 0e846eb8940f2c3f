// Interruption of a long render: SIGINT (Ctrl-C) or SIGTERM (a scheduler cancelling the job) sets
// one atomic flag. The render loop looks at it
// before every frame and stops there; the plug-in's opChkAbort answers it while it is set, so Jolt
// learns of it within the frame it is rendering.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>


namespace ophost::render {

// The flag SIGINT and SIGTERM set (lock-free, so the handler may set it).
std::atomic<bool>& interruptFlag();
inline bool interrupted() { return interruptFlag().load(std::memory_order_relaxed); }

// What a render throws when it stops for an interruption; ophost then exits with status 130. It
// is no HostError: a stop asked for is not a failure, and no handler of failures takes it.
class Interrupted : public std::runtime_error {
 public:
  explicit Interrupted(const std::string& message) : std::runtime_error(message) {}
};

// Installs the handler for SIGINT and SIGTERM (without SA_RESTART, so a blocked read returns) and ignores
// SIGPIPE, so a write to a worker that has gone away fails with EPIPE instead of ending ophost.
void installInterruptHandler();

// Blocks SIGINT and SIGTERM in the calling thread (for the helper threads: the main thread takes the signal).
void blockInterruptInThisThread();

}  // namespace ophost::render
