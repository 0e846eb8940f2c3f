// What a plug-in says about itself: its OperatorInfo tag list read into a typed model.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "operator_abi.h"

namespace ophost {

enum class ParamKind : uint16_t { Choice = PARAM_CHOICE, Colour = PARAM_COLOUR, Slider = PARAM_SLIDER };

struct ParamModel {
  int tag = 0;             // 1..4: which OPE_ParamN tag carries it
  ParamKind kind = ParamKind::Slider;
  uint16_t label = 0;      // string identifier
  uint32_t style = 0;      // choices: CHOICE_STYLE_TEXT or CHOICE_STYLE_DIRECTIONS
  std::vector<uint32_t> entries;  // choices: string identifiers or direction codes
  uint32_t subLabel = 0;   // sliders
  int32_t min = 0;         // the values the host may store: choices 0..entries-1, colours any word
  int32_t max = 0;
  int32_t defaultValue = 0;
  uint32_t* valueWord = nullptr;  // where the host writes the current value, inside the plug-in

  // The range as the host enforces it, in 64 bits so a colour's whole u32 range fits.
  int64_t lowest() const { return kind == ParamKind::Colour ? 0 : min; }
  int64_t highest() const { return kind == ParamKind::Colour ? 0xFFFFFFFFll : max; }
};

struct OperatorModel {
  std::vector<std::pair<uintptr_t, uintptr_t>> pairs;  // the tag list as read, end tag excluded
  uintptr_t tag00 = 0;
  uintptr_t tag01 = 0;
  uintptr_t tag0D = 0;
  int (*action)(OperatorContext*) = nullptr;
  std::string ident;
  std::vector<ParamModel> params;

  bool singleInput() const { return tag01 == 1; }
};

// Walks the tag list at `info` up to its 0 tag (reading no value word for it). Throws HostError for
// a list that is not well formed: an unknown tag, a tag twice, parameters out of order or with gaps,
// no action or ident, an unknown descriptor kind, a default outside its range, or a list or string
// that does not end within sane bounds.
OperatorModel readOperatorInfo(const uintptr_t* info);

}  // namespace ophost
