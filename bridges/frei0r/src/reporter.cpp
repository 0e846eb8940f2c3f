#include "reporter.h"

#include <cstdio>

#include "param_vocabulary.h"
#include "plugin.h"

namespace kt3frei0r {

void Reporter::say(const std::string& message) {
  size_t count = 0;
  {
    std::lock_guard lock(mutex_);
    if (seen_.size() > 4096) seen_.clear();  // bounded, whatever the messages
    count = ++seen_[message];
  }
  if (count > 3 && count % 1000 != 0) return;
  std::string line = "kt3 frei0r " + effect_ + ": " + message;
  if (count == 3) line += " (repeats of this message are shown once in a thousand)";
  if (count > 3) line += " (" + std::to_string(count) + " times)";
  std::fprintf(stderr, "%s\n", line.c_str());
}

void Reporter::report(const std::string& action, const ophost::ActionResult& result) {
  for (const ophost::LogRecord& log : result.logs) {
    say(action + ": plug-in log record: level " + std::to_string(log.level) + ", " + log.file + " line " +
        std::to_string(log.line) + ", module " + ophost::hexWord(log.code) + ", text \"" + log.text + "\"");
  }
  for (const std::string& fault : result.faults) say(action + ": plug-in fault: " + fault);
  for (const std::string& note : result.notes) say(action + ": " + note);
}

}  // namespace kt3frei0r
