// One vocabulary for a plug-in's parameters, used by every host of ours (ophost, its preview
// server, the frei0r bridge): what a parameter and a choice's entries are called, how a value is
// written and read back, and how it is shown.
//
// A parameter is named by the key of its label in the string catalogue ("fill", "softness") or by
// its number (1..4, in descriptor order); one the catalogue lacks is "paramN". Choice values are an
// entry's key or text ("squeeze"), a direction's name or arrow ("up-left", "↖"), or the entry's
// index; an entry the catalogue lacks is "entryN", a direction code it does not know "codeN".
// Colours are #RRGGBB, #AARRGGBB (AA the key) or a packed OpPixel word 0xWWWWWWWW; sliders are
// whole numbers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "operator_model.h"

namespace ophost {

// The name of parameter `index` (0-based) of a plug-in.
std::string paramName(const ParamModel& param, size_t index);
// The name of entry `entry` of a choice.
std::string entryName(const ParamModel& param, size_t entry);
// What the host shows for entry `entry`: its text, or a direction's name with its arrow.
std::string entryText(const ParamModel& param, size_t entry);
// A value as the host shows it ("squeeze (1)", "50", "#FFFFFF (0xEB8080FF)").
std::string describeValue(const ParamModel& param, int64_t value);

// Finds the parameter called `name` (name or number); throws HostError naming the ones there are.
size_t findParam(const OperatorModel& model, const std::string& plugin, const std::string& name);
// Reads `text` as a value of `param`; throws HostError (with the range for numbers out of range).
int64_t parseValue(const ParamModel& param, const std::string& label, const std::string& text);

// "PARAM=VALUE" split at the first '='; throws HostError for text without one.
std::pair<std::string, std::string> splitSetting(const std::string& setting);

// A whole number as a value is written ("-12", "+3"), or nothing for any other text.
std::optional<int64_t> wholeNumber(const std::string& text);
// A packed OpPixel word as a colour value is written: "0xEB8080FF" (also used for module codes).
std::string hexWord(uint32_t word);
// An OpPixel's colour as full-range RGB, "#FFFFFF" (its key left out).
std::string rgbText(uint32_t pixel);
// Names are matched without regard to case: `text` in lower case.
std::string lowerCase(std::string text);

}  // namespace ophost
