#include "frame_rate.h"

#include <cmath>
#include <cstdio>
#include <numeric>
#include <regex>

#include "host_error.h"

namespace ophost::media {

std::string FrameRate::describe() const {
  if (den == 1) return std::to_string(num);
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", perSecond());
  std::string out = text;
  while (out.back() == '0') out.pop_back();
  if (out.back() == '.') out.pop_back();
  return out;
}

FrameRate parseFrameRate(const std::string& text, const std::string& what) {
  static const std::regex ratio("([0-9]{1,6})/([0-9]{1,6})");
  static const std::regex decimal("([0-9]{1,3})(\\.([0-9]{1,3}))?");
  std::smatch match;
  FrameRate rate;
  if (std::regex_match(text, match, ratio)) {
    rate = {std::stoi(match[1]), std::stoi(match[2])};
    if (rate.den == 0) throw HostError(what + ": " + text + " divides by zero");
  } else if (std::regex_match(text, match, decimal)) {
    const int32_t whole = std::stoi(match[1]);
    const std::string fraction = match[3];
    if (fraction.empty() || std::stoi(fraction) == 0) {
      rate = {whole, 1};
    } else {
      // 23.976, 29.97, 59.94 ... are the NTSC rates N*1000/1001; any other decimal is what it says.
      const int32_t ntsc = whole + 1;
      const double asWritten = std::stod(text);
      if (std::fabs(asWritten - ntsc * 1000.0 / 1001.0) < 0.005) {
        rate = {ntsc * 1000, 1001};
      } else {
        int32_t scale = 1;
        for (size_t k = 0; k < fraction.size(); ++k) scale *= 10;
        rate = {whole * scale + std::stoi(fraction), scale};
      }
    }
  } else {
    throw HostError(what + ": \"" + text + "\" is not a frame rate (write 25, 29.97 or 30000/1001)");
  }
  const int32_t common = std::gcd(rate.num, rate.den);
  if (common > 1) rate = {rate.num / common, rate.den / common};
  if (rate.num < kMinFps * int64_t{rate.den} || rate.num > kMaxFps * int64_t{rate.den}) {
    throw HostError(what + ": " + text + " is outside " + std::to_string(kMinFps) + ".." +
                    std::to_string(kMaxFps) + " frames per second");
  }
  return rate;
}

}  // namespace ophost::media
