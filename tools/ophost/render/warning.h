// A warning of a render: a plug-in's log record, a fault the runtime found in what the plug-in did,
// or a remark of the host. `key` names what it is about without the frame it came at, so the same
// fault met at many frames, or by many workers, is told once; `text` is what the user reads.
#pragma once

#include <functional>
#include <string>

namespace ophost::render {

struct Warning {
  std::string key;
  std::string text;
};

using WarningSink = std::function<void(const Warning&)>;

}  // namespace ophost::render
