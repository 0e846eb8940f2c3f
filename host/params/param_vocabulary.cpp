#include "param_vocabulary.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <regex>

#include "colour.h"
#include "host_error.h"
#include "string_catalogue.h"

namespace ophost {

namespace {

std::string rangeText(const ParamModel& param) {
  return std::to_string(param.lowest()) + ".." + std::to_string(param.highest());
}

}  // namespace

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::optional<int64_t> wholeNumber(const std::string& text) {
  static const std::regex number("[+-]?[0-9]{1,12}");
  if (!std::regex_match(text, number)) return std::nullopt;
  return std::stoll(text);
}

std::string hexWord(uint32_t word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", word);
  return text;
}

std::string rgbText(uint32_t pixel) {
  const auto rgb = media::opPixelToRgb(pixel);
  char text[16];
  std::snprintf(text, sizeof text, "#%02X%02X%02X", rgb[0], rgb[1], rgb[2]);
  return text;
}

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
      std::string shown = rgbText(word);
      if ((word & 0xFF) != 0xFF) {
        char key[4];
        std::snprintf(key, sizeof key, "%02X", word & 0xFF);
        shown.insert(1, key);  // #AARRGGBB
      }
      return shown + " (" + hexWord(word) + ")";
    }
    case ParamKind::Slider:
      return std::to_string(value);
  }
  return std::to_string(value);
}

size_t findParam(const OperatorModel& model, const std::string& plugin, const std::string& name) {
  const std::string wanted = lowerCase(name);
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
      const std::string wanted = lowerCase(text);
      for (size_t n = 0; n < param.entries.size(); ++n) {
        const std::string shown = entryText(param, n);
        if (entryName(param, n) == wanted || lowerCase(shown) == wanted ||
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

}  // namespace ophost
