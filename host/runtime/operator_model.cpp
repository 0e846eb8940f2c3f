#include "operator_model.h"

#include <cstdio>
#include <cstring>

#include "host_error.h"

namespace ophost {
namespace {

constexpr size_t kMaxPairs = 32;
constexpr size_t kMaxIdentLength = 256;
constexpr size_t kMaxEntries = 64;

std::string hex(uintptr_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

std::string readIdent(const char* text) {
  if (text == nullptr) throw HostError("OperatorInfo: the ident is a null address");
  size_t length = strnlen(text, kMaxIdentLength + 1);
  if (length > kMaxIdentLength) throw HostError("OperatorInfo: the ident string does not end");
  return std::string(text, length);
}

ParamModel readParam(int tag, uintptr_t address) {
  if (address == 0) throw HostError("OperatorInfo: parameter " + std::to_string(tag) + " is null");
  auto* words = reinterpret_cast<uint32_t*>(address);
  ParamModel param;
  param.tag = tag;
  const uint32_t head = words[0];
  const uint32_t kind = head & 0xFFFFu;
  param.label = static_cast<uint16_t>(head >> 16);
  const std::string where = "OperatorInfo: parameter " + std::to_string(tag);
  switch (kind) {
    case PARAM_CHOICE: {
      auto* choice = reinterpret_cast<ParamChoice*>(address);
      param.kind = ParamKind::Choice;
      param.style = choice->style;
      if (param.style != CHOICE_STYLE_TEXT && param.style != CHOICE_STYLE_DIRECTIONS) {
        throw HostError(where + " has an unknown choice style " + std::to_string(param.style));
      }
      if (choice->entries == nullptr) throw HostError(where + " has no entry list");
      for (size_t n = 0; choice->entries[n] != 0; ++n) {
        if (n == kMaxEntries) throw HostError(where + ": its entry list does not end");
        param.entries.push_back(choice->entries[n]);
      }
      if (param.entries.empty()) throw HostError(where + " offers no entries");
      param.min = 0;
      param.max = static_cast<int32_t>(param.entries.size()) - 1;
      param.defaultValue = choice->value;
      param.valueWord = reinterpret_cast<uint32_t*>(&choice->value);
      break;
    }
    case PARAM_COLOUR: {
      auto* colour = reinterpret_cast<ParamColour*>(address);
      param.kind = ParamKind::Colour;
      param.defaultValue = static_cast<int32_t>(colour->value);
      param.valueWord = &colour->value;
      break;
    }
    case PARAM_SLIDER: {
      auto* slider = reinterpret_cast<ParamSlider*>(address);
      param.kind = ParamKind::Slider;
      param.subLabel = slider->subLabel;
      param.min = slider->min;
      param.max = slider->max;
      if (param.min > param.max) throw HostError(where + " has an empty range");
      param.defaultValue = slider->value;
      param.valueWord = reinterpret_cast<uint32_t*>(&slider->value);
      break;
    }
    default:
      throw HostError(where + " has an unknown kind " + std::to_string(kind));
  }
  if (param.kind != ParamKind::Colour &&
      (param.defaultValue < param.min || param.defaultValue > param.max)) {
    throw HostError(where + " has a default outside its range");
  }
  return param;
}

}  // namespace

OperatorModel readOperatorInfo(const uintptr_t* info) {
  if (info == nullptr) throw HostError("GetOperatorInfo returned a null address");
  OperatorModel model;
  bool seen[5] = {};  // tag00, tag01, action, ident, tag0D
  auto once = [&](int slot, uintptr_t tag) {
    if (seen[slot]) throw HostError("OperatorInfo: tag " + hex(tag) + " appears twice");
    seen[slot] = true;
  };
  for (size_t n = 0;; ++n) {
    const uintptr_t tag = info[2 * n];
    if (tag == OPE_End) break;
    if (n == kMaxPairs) throw HostError("OperatorInfo: the tag list does not end");
    const uintptr_t value = info[2 * n + 1];
    model.pairs.emplace_back(tag, value);
    switch (tag) {
      case OPE_Tag00: once(0, tag); model.tag00 = value; break;
      case OPE_Tag01: once(1, tag); model.tag01 = value; break;
      case OPE_Action:
        once(2, tag);
        model.action = reinterpret_cast<int (*)(OperatorContext*)>(value);
        break;
      case OPE_Ident: once(3, tag); model.ident = readIdent(reinterpret_cast<const char*>(value)); break;
      case OPE_Tag0D: once(4, tag); model.tag0D = value; break;
      case OPE_Param1:
      case OPE_Param2:
      case OPE_Param3:
      case OPE_Param4: {
        const int number = static_cast<int>(tag - OPE_Param1) + 1;
        if (number != static_cast<int>(model.params.size()) + 1) {
          throw HostError("OperatorInfo: parameter " + std::to_string(number) + " is out of order");
        }
        model.params.push_back(readParam(number, value));
        break;
      }
      default:
        throw HostError("OperatorInfo: unknown tag " + hex(tag));
    }
  }
  if (model.action == nullptr) throw HostError("OperatorInfo names no action entry");
  if (!seen[3]) throw HostError("OperatorInfo carries no ident");
  return model;
}

}  // namespace ophost
