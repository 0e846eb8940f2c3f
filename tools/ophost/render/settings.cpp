#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <regex>

#include "host_error.h"
#include "media_input.h"
#include "param_vocabulary.h"

namespace ophost::render {

int64_t parseWhole(const std::string& text, const std::string& what, int64_t low, int64_t high) {
  const auto number = wholeNumber(text);
  if (!number) throw HostError(what + ": \"" + text + "\" is not a whole number");
  if (*number < low || *number > high) {
    throw HostError(what + ": " + text + " is outside " + std::to_string(low) + ".." +
                    std::to_string(high));
  }
  return *number;
}

FrameSize parseSize(const std::string& text) {
  static const std::regex size("([0-9]{1,5})[xX]([0-9]{1,5})");
  std::smatch match;
  if (!std::regex_match(text, match, size)) throw HostError("--size " + text + ": write WIDTHxHEIGHT, e.g. 720x576");
  FrameSize result{std::stoi(match[1]), std::stoi(match[2])};
  const int32_t most = media::kMaxDecodedSide;
  if (result.width < 2 || result.height < 2 || result.width > most || result.height > most) {
    throw HostError("--size " + text + ": each side must lie within 2.." + std::to_string(most));
  }
  return result;
}

Geometry parseArea(const std::string& text) {
  static const std::regex area("([0-9]{1,5}),([0-9]{1,5}),([0-9]{1,5}),([0-9]{1,5})");
  std::smatch match;
  if (!std::regex_match(text, match, area)) throw HostError("--area " + text + ": write X,Y,WIDTH,HEIGHT");
  Geometry g;
  g.x = std::stoi(match[1]);
  g.y = std::stoi(match[2]);
  g.width = std::stoi(match[3]);
  g.height = std::stoi(match[4]);
  if (g.width < 1 || g.height < 1) throw HostError("--area " + text + ": the area is empty");
  return g;
}

std::pair<int64_t, int64_t> parseRange(const std::string& text) {
  static const std::regex range("([0-9]{1,9}):([0-9]{1,9})");
  std::smatch match;
  if (!std::regex_match(text, match, range)) throw HostError("--frames " + text + ": write FIRST:LAST, e.g. 0:50");
  const int64_t first = std::stoll(match[1]), last = std::stoll(match[2]);
  if (first > last) throw HostError("--frames " + text + ": the first frame comes after the last");
  return {first, last};
}

}  // namespace ophost::render
