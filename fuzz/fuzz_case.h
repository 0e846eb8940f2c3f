// One plug-in fuzz case: the fuzzer's bytes decoded into everything a host could do to a plug-in -
// which plug-in, the inputs' layout and content, parameter values (in range through the host, or
// any word written straight into the plug-in's value word), the texture the host serves, how the
// host answers, and a run of actions in any order with any context fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture.h"
#include "plugin.h"

namespace opfuzz {

struct ParamSetting {
  // InRange: set through the host, `word` picks a value of the range. The others are written
  // straight into the value word, past the host's range check: `word` itself, or the range's
  // highest value plus 1 + `word`, or its lowest minus 1 + `word`.
  enum class Kind { InRange, Word, AboveRange, BelowRange };
  Kind kind = Kind::InRange;
  uint32_t word = 0;

  // The word the plug-in sees for a parameter of this model.
  uint32_t resolve(const ophost::ParamModel& param) const;
};

struct TextureSetting {
  enum class Kind { Real, Sized, Null, Refused };
  Kind kind = Kind::Real;  // Real: the host's own texture file (Sized when it has none)
  int32_t width = 0;       // Sized: a grey texture of this size
  int32_t height = 0;
  uint32_t seed = 0;       // Sized: its content
};

struct Step {
  uint16_t action = ACTION_RENDER;
  ophost::ActionRequest request;
  uint8_t missing = 0;      // bit k: input k is missing for this action
  int changeParam = -1;     // a parameter set again just before this action, or -1
  ParamSetting change;
};

struct FuzzCase {
  size_t plugin = 0;                  // index into the plug-ins being fuzzed
  ophost::Geometry geometry;          // both inputs' layout
  bool input1Misfit = false;          // input 1 laid out unlike input 0 (the host refuses it)
  uint32_t seed0 = 0, seed1 = 0;      // the inputs' content
  ParamSetting params[4];
  TextureSetting texture;
  bool allocAnswersNull = false;
  bool checks = true;
  bool abort = false;                 // opChkAbort answers 1
  int32_t putStatus = 0;
  uint32_t newImageFill = 0x108080FF;
  std::vector<Step> steps;
};

FuzzCase decodeCase(const uint8_t* data, size_t size, size_t pluginCount);

// The case in words, for a finding's record. `plugin` supplies the plug-in's name and parameters.
std::string describeCase(const FuzzCase& c, const ophost::Plugin& plugin);

}  // namespace opfuzz
