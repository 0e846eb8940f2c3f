// How the bridge shows an effect's parameter descriptors to a frei0r host: every descriptor becomes
// one frei0r parameter named by the host's catalogue, and a transition gets `progress` in front.
//
//   slider  a double 0..1, the slider's value / max (rounded to the nearest whole value, at least
//           min): softness=0.4 is 40, Halves' share 0.5 is 50 of 1..99 (round(49.5))
//   choice  a double selecting an entry: with n entries, entry k is k / (n - 1) (0 and 1 for two
//           entries); a value in between selects the nearest entry
//   colour  a frei0r colour (full-range RGB), converted to an OpPixel with the host's BT.601 matrix
//   progress  0..1, the transition's position / length
//   frames    a transition's length in frames (the editor's out - in), the length its renders are
//             given: progress p renders position round(p * frames) of frames, ophost's frame at
//             that length. A value below 1 is the length / kFramesScale, for hosts that keep
//             doubles within 0..1 (GStreamer: frames=0.00005 is 50 frames). 0 (the default)
//             renders in kLength steps, for an editor that cannot say.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <frei0r.h>
}

#define KT3_FREI0R_API __attribute__((visibility("default")))

namespace ophost {
struct OperatorModel;
}

namespace kt3frei0r {

// The length a transition render is given without `frames`; progress p renders position
// round(p * kLength).
inline constexpr uint32_t kLength = 10000;
// The longest `frames` (ophost's longest --length).
inline constexpr uint32_t kLongestLength = 4000000;
// `frames` below 1 is the length / kFramesScale.
inline constexpr double kFramesScale = 1000000.0;

struct BridgeParam {
  enum class Role { Progress, Frames, Slider, Choice, Colour };
  Role role = Role::Progress;
  size_t descriptor = 0;      // index into the model's parameters (not for Progress, Frames)
  int type = F0R_PARAM_DOUBLE;
  std::string name;           // the frei0r name: the catalogue key ("softness", "layout", ...)
  std::string label;          // the catalogue text ("Edge softness")
  std::string explanation;    // what a frei0r host shows: the label and how the value maps
  int64_t min = 0;            // the descriptor's range (sliders) or entry count - 1 (choices)
  int64_t max = 0;
  int64_t nativeDefault = 0;  // the descriptor's default value
  std::string unit;           // sliders: the catalogue's unit text ("%")
  std::vector<std::string> entries;     // choices: what each entry is called, in index order
  std::vector<std::string> entryNames;  // choices: the catalogue keys or direction names
  double defaultNumber = 0;             // the frei0r default of a double
  f0r_param_color_t defaultColour{1.0f, 1.0f, 1.0f};
};

// The frei0r parameters of an effect: a transition's (`mixer`) `progress` first and `frames` last,
// so the descriptors' parameters keep the indices they had before `frames` came.
KT3_FREI0R_API std::vector<BridgeParam> bridgeParams(const ophost::OperatorModel& model, bool mixer);

// A frei0r double as the descriptor value it stands for (always within range; NaN gives the
// default), and a descriptor value as the double that selects it.
KT3_FREI0R_API int64_t nativeFromNumber(const BridgeParam& param, double number);
KT3_FREI0R_API double numberFromNative(const BridgeParam& param, int64_t native);

// A frei0r colour as an opaque OpPixel word and back (components clamped to 0..1).
KT3_FREI0R_API uint32_t nativeFromColour(const f0r_param_color_t& colour);
KT3_FREI0R_API f0r_param_color_t colourFromNative(uint32_t pixel);

// `frames` as the length renders are given: round(frames) within 1..kLongestLength (frames below 1
// scaled by kFramesScale first), kLength for 0, negative, NaN or a length below a half.
KT3_FREI0R_API uint32_t lengthFromFrames(double frames);
// Progress 0..1 as a position within `length` (clamped; NaN is 0).
KT3_FREI0R_API uint32_t positionFromProgress(double progress, uint32_t length);

}  // namespace kt3frei0r
