// The small value syntaxes of the command line: sizes, areas, frame ranges, whole numbers and
// easing curves. Parameters and their values are named by the host's one vocabulary
// (param_vocabulary.h), which this header brings along.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator_model.h"
#include "param_vocabulary.h"
#include "picture.h"

namespace ophost::cli {

struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
};
FrameSize parseSize(const std::string& text);          // "WxH"
Geometry parseArea(const std::string& text);           // "X,Y,W,H" (stride and rows left 0)
std::pair<int64_t, int64_t> parseRange(const std::string& text);  // "FIRST:LAST"
int64_t parseWhole(const std::string& text, const std::string& what, int64_t low, int64_t high);

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

}  // namespace ophost::cli
