#pragma once

#include <stdexcept>
#include <string>

namespace ophost {

// Anything the host refuses: a library that is not a plug-in, a value out of range, a bad picture.
// The message is meant for the user as it stands.
class HostError : public std::runtime_error {
 public:
  explicit HostError(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace ophost
