// The bridge's messages on stderr: the plug-ins' log records, plug-in faults the host runtime finds,
// the host's notes and the bridge's own errors, one line each, prefixed with the effect. An editor
// renders thousands of frames, so a message repeated word for word is shown three times and then
// once more with every thousandth repeat.
#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace ophost {
struct ActionResult;
}

namespace kt3frei0r {

class Reporter {
 public:
  explicit Reporter(std::string effect) : effect_(std::move(effect)) {}
  void say(const std::string& message);
  // Everything an action brought back: log records, faults, notes.
  void report(const std::string& action, const ophost::ActionResult& result);

 private:
  std::string effect_;
  std::mutex mutex_;
  std::map<std::string, size_t> seen_;
};

}  // namespace kt3frei0r
