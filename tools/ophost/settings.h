// How the command line names a plug-in's parameters and values, and the small value syntaxes of
// the command line (sizes, areas, frame ranges, easing curves).
//
// A parameter is named by the key of its label in the string catalogue ("fill", "softness") or by
// its number (1..4, in descriptor order). Choice values are an entry's key or text ("squeeze"), a
// direction's name or arrow ("up-left", "↖"), or the entry's index; colours are #RRGGBB,
// #AARRGGBB (AA the key) or a packed OpPixel word 0xWWWWWWWW; sliders are whole numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator_model.h"
#include "picture.h"

namespace ophost::cli {

// The command-line name of parameter `index` (0-based) of a plug-in.
std::string paramName(const ParamModel& param, size_t index);
// The command-line name of entry `entry` of a choice.
std::string entryName(const ParamModel& param, size_t entry);
// What the host shows for entry `entry`: its text, or a direction's name with its arrow.
std::string entryText(const ParamModel& param, size_t entry);
// A value as `info` shows it ("squeeze", "50", "#FFFFFF (0xEB8080FF)").
std::string describeValue(const ParamModel& param, int64_t value);

// Finds the parameter called `name` (key or number); throws HostError naming the ones there are.
size_t findParam(const OperatorModel& model, const std::string& plugin, const std::string& name);
// Reads `text` as a value of `param`; throws HostError (with the range for numbers out of range).
int64_t parseValue(const ParamModel& param, const std::string& label, const std::string& text);

// "PARAM=VALUE" split at the first '='; throws HostError for text without one.
std::pair<std::string, std::string> splitSetting(const std::string& setting);

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
