// A frame rate as the rational number containers keep (30000/1001 for the 29.97 of NTSC video),
// read from a command line as "25", "29.97" or "30000/1001".
#pragma once

#include <cstdint>
#include <string>

namespace ophost::media {

struct FrameRate {
  int32_t num = 25;  // frames ...
  int32_t den = 1;   // ... per this many seconds

  FrameRate() = default;
  FrameRate(int32_t frames, int32_t seconds = 1) : num(frames), den(seconds) {}
  bool operator==(const FrameRate& other) const {
    return int64_t{num} * other.den == int64_t{other.num} * den;
  }
  double perSecond() const { return static_cast<double>(num) / den; }
  // "25", "29.97", "23.976": as a person would say it, to two decimals at most.
  std::string describe() const;
};

// The rates the host writes and accepts.
inline constexpr int32_t kMinFps = 1;
inline constexpr int32_t kMaxFps = 240;

// "25", "29.97" (read as 30000/1001, as the video rates that end so are), "12.5" or "N/M". Throws
// HostError naming `what` for anything else, and for a rate outside kMinFps..kMaxFps.
FrameRate parseFrameRate(const std::string& text, const std::string& what);

}  // namespace ophost::media
