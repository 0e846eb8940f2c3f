// Easing: how an effect's frames map onto the positions its plug-in renders.
#pragma once

#include <cstdint>
#include <string>

namespace ophost::render {

// An easing curve as CSS defines them: linear, ease, ease-in, ease-out, ease-in-out and
// cubic-bezier(X1,Y1,X2,Y2) with X1 and X2 within 0..1.
class Easing {
 public:
  static Easing parse(const std::string& text);  // throws HostError
  static Easing linear() { return Easing(); }
  bool isLinear() const { return linear_; }
  double apply(double progress) const;  // progress 0..1 -> eased progress (may overshoot)
  const std::string& name() const { return name_; }

 private:
  bool linear_ = true;
  double x1_ = 0, y1_ = 0, x2_ = 1, y2_ = 1;
  std::string name_ = "linear";
};

// The length and position the plug-in sees for `frame` of an effect `length` frames long: the
// frame itself when linear, otherwise both scaled by kEasingScale with the position eased (and
// kept within 0..length, so a curve that overshoots holds at the ends).
inline constexpr uint32_t kEasingScale = 1000;
struct PluginTime {
  uint32_t length = 0;
  uint32_t position = 0;
};
PluginTime pluginTime(const Easing& easing, int64_t frame, int64_t length);

}  // namespace ophost::render
