#include "easing.h"

#include <algorithm>
#include <cmath>
#include <regex>

#include "host_error.h"
#include "param_vocabulary.h"

namespace ophost::render {

Easing Easing::parse(const std::string& text) {
  Easing easing;
  easing.name_ = text;
  const std::string name = lowerCase(text);
  auto curve = [&](double x1, double y1, double x2, double y2) {
    easing.linear_ = false;
    easing.x1_ = x1, easing.y1_ = y1, easing.x2_ = x2, easing.y2_ = y2;
    return easing;
  };
  if (name == "linear") return easing;
  if (name == "ease") return curve(0.25, 0.1, 0.25, 1.0);
  if (name == "ease-in") return curve(0.42, 0.0, 1.0, 1.0);
  if (name == "ease-out") return curve(0.0, 0.0, 0.58, 1.0);
  if (name == "ease-in-out") return curve(0.42, 0.0, 0.58, 1.0);
  static const std::regex bezier(
      "cubic-bezier\\(\\s*([-+0-9.eE]+)\\s*,\\s*([-+0-9.eE]+)\\s*,\\s*([-+0-9.eE]+)\\s*,\\s*([-+0-9.eE]+)\\s*\\)");
  std::smatch match;
  if (std::regex_match(name, match, bezier)) {
    double v[4];
    for (int k = 0; k < 4; ++k) {
      const std::string number = match[k + 1].str();  // strtod's end pointer points into it
      char* end = nullptr;
      v[k] = std::strtod(number.c_str(), &end);
      if (end == nullptr || *end != '\0' || !std::isfinite(v[k])) {
        throw HostError("--easing " + text + ": \"" + number + "\" is not a number");
      }
    }
    if (v[0] < 0 || v[0] > 1 || v[2] < 0 || v[2] > 1) {
      throw HostError("--easing " + text + ": X1 and X2 must lie within 0..1");
    }
    return curve(v[0], v[1], v[2], v[3]);
  }
  throw HostError("--easing " + text +
                  ": unknown curve (linear, ease, ease-in, ease-out, ease-in-out, cubic-bezier(X1,Y1,X2,Y2))");
}

double Easing::apply(double progress) const {
  progress = std::clamp(progress, 0.0, 1.0);
  if (linear_) return progress;
  // The curve runs from (0,0) to (1,1) with control points (x1,y1) and (x2,y2); x(t) is monotonic
  // for x1, x2 in 0..1, so t for a given x is found by bisection.
  auto bezier = [](double t, double p1, double p2) {
    const double u = 1 - t;
    return 3 * u * u * t * p1 + 3 * u * t * t * p2 + t * t * t;
  };
  double low = 0, high = 1, t = progress;
  for (int step = 0; step < 60; ++step) {
    const double x = bezier(t, x1_, x2_);
    if (std::fabs(x - progress) < 1e-12) break;
    if (x < progress) low = t; else high = t;
    t = (low + high) / 2;
  }
  return bezier(t, y1_, y2_);
}

PluginTime pluginTime(const Easing& easing, int64_t frame, int64_t length) {
  if (easing.isLinear() || length == 0) {
    return {static_cast<uint32_t>(length), static_cast<uint32_t>(frame)};
  }
  const int64_t scaled = length * kEasingScale;
  const double eased = easing.apply(static_cast<double>(frame) / static_cast<double>(length));
  const int64_t position = std::clamp<int64_t>(std::llround(eased * static_cast<double>(scaled)), 0, scaled);
  return {static_cast<uint32_t>(scaled), static_cast<uint32_t>(position)};
}

}  // namespace ophost::render
