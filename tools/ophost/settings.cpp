#include "settings.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <regex>

#include "colour.h"
#include "host_error.h"
#include "string_catalogue.h"

namespace ophost::cli {

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<int64_t> wholeNumber(const std::string& text) {
  static const std::regex number("[+-]?[0-9]{1,12}");
  if (!std::regex_match(text, number)) return std::nullopt;
  return std::stoll(text);
}

std::string rangeText(const ParamModel& param) {
  return std::to_string(param.lowest()) + ".." + std::to_string(param.highest());
}

std::string hexWord(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", word);
  return text;
}

}  // namespace

std::string paramName(const ParamModel& param, size_t index) {
  if (auto entry = catalogueString(param.label)) return std::string(entry->key);
  return "param" + std::to_string(index + 1);
}

std::string entryName(const ParamModel& param, size_t entry) {
  const uint32_t id = param.entries.at(entry);
  if (param.style == CHOICE_STYLE_DIRECTIONS) {
    if (auto direction = directionForCode(id)) return std::string(direction->name);
    return "code" + std::to_string(id);
  }
  if (auto text = catalogueString(id)) return std::string(text->key);
  return "entry" + std::to_string(entry);
}

std::string entryText(const ParamModel& param, size_t entry) {
  const uint32_t id = param.entries.at(entry);
  if (param.style == CHOICE_STYLE_DIRECTIONS) {
    if (auto direction = directionForCode(id)) {
      return std::string(direction->arrow) + " " + std::string(direction->name);
    }
    return "direction code " + std::to_string(id);
  }
  return catalogueText(id);
}

std::string describeValue(const ParamModel& param, int64_t value) {
  switch (param.kind) {
    case ParamKind::Choice:
      if (value >= 0 && static_cast<size_t>(value) < param.entries.size()) {
        return entryName(param, static_cast<size_t>(value)) + " (" + std::to_string(value) + ")";
      }
      return std::to_string(value);
    case ParamKind::Colour: {
      const auto word = static_cast<uint32_t>(value);
      const auto rgb = media::opPixelToRgb(word);
      char text[32];
      std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
      std::string shown = text;
      if ((word & 0xFF) != 0xFF) {
        std::snprintf(text, sizeof text, "#%02X%02X%02X%02X", word & 0xFF, rgb[0], rgb[1], rgb[2]);
        shown = text;
      }
      return shown + " (" + hexWord(word) + ")";
    }
    case ParamKind::Slider:
      return std::to_string(value);
  }
  return std::to_string(value);
}

size_t findParam(const OperatorModel& model, const std::string& plugin, const std::string& name) {
  const std::string wanted = lower(name);
  for (size_t n = 0; n < model.params.size(); ++n) {
    if (paramName(model.params[n], n) == wanted || std::to_string(n + 1) == wanted) return n;
  }
  std::string known;
  for (size_t n = 0; n < model.params.size(); ++n) {
    known += (n ? ", " : "") + paramName(model.params[n], n) + " (" + std::to_string(n + 1) + ")";
  }
  throw HostError(plugin + " has no parameter \"" + name + "\" (its parameters: " + known + ")");
}

int64_t parseValue(const ParamModel& param, const std::string& label, const std::string& text) {
  auto inRange = [&](int64_t value) {
    if (value < param.lowest() || value > param.highest()) {
      throw HostError(label + ": " + text + " is outside its range " + rangeText(param));
    }
    return value;
  };
  switch (param.kind) {
    case ParamKind::Slider: {
      const auto number = wholeNumber(text);
      if (!number) {
        throw HostError(label + ": \"" + text + "\" is not a whole number (its range is " +
                        rangeText(param) + ")");
      }
      return inRange(*number);
    }
    case ParamKind::Choice: {
      const std::string wanted = lower(text);
      for (size_t n = 0; n < param.entries.size(); ++n) {
        const std::string shown = entryText(param, n);
        if (entryName(param, n) == wanted || lower(shown) == wanted ||
            (param.style == CHOICE_STYLE_DIRECTIONS && shown.substr(0, shown.find(' ')) == text)) {
          return static_cast<int64_t>(n);
        }
      }
      if (const auto number = wholeNumber(text)) return inRange(*number);
      std::string known;
      for (size_t n = 0; n < param.entries.size(); ++n) known += (n ? ", " : "") + entryName(param, n);
      throw HostError(label + ": no entry \"" + text + "\" (its entries: " + known + ", or 0.." +
                      std::to_string(param.entries.size() - 1) + ")");
    }
    case ParamKind::Colour: {
      static const std::regex rgb("#([0-9a-fA-F]{6})"), argb("#([0-9a-fA-F]{8})"),
          word("(0x|0X)?([0-9a-fA-F]{8})");
      std::smatch match;
      if (std::regex_match(text, match, rgb) || std::regex_match(text, match, argb)) {
        const uint32_t v = static_cast<uint32_t>(std::stoul(match[1].str(), nullptr, 16));
        const bool withKey = match[1].length() == 8;
        return media::rgbToOpPixel(static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                                   static_cast<uint8_t>(v), withKey ? static_cast<uint8_t>(v >> 24) : 255);
      }
      if (std::regex_match(text, match, word)) {
        return static_cast<int64_t>(std::stoul(match[2].str(), nullptr, 16));
      }
      throw HostError(label + ": \"" + text +
                      "\" is not a colour (write #RRGGBB, #AARRGGBB or a packed word 0xEB8080FF)");
    }
  }
  throw HostError(label + ": cannot be set");
}

std::pair<std::string, std::string> splitSetting(const std::string& setting) {
  const size_t equals = setting.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw HostError("--set " + setting + ": write PARAM=VALUE");
  }
  return {setting.substr(0, equals), setting.substr(equals + 1)};
}

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
  if (result.width < 2 || result.height < 2 || result.width > 8192 || result.height > 8192) {
    throw HostError("--size " + text + ": each side must lie within 2..8192");
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

Easing Easing::parse(const std::string& text) {
  Easing easing;
  easing.name_ = text;
  const std::string name = lower(text);
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

}  // namespace ophost::cli
