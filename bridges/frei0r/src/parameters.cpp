#include "parameters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "colour.h"
#include "operator_model.h"
#include "param_vocabulary.h"
#include "string_catalogue.h"

namespace kt3frei0r {

namespace {

// "0.142857" rather than "0.142857142857": enough to select the entry, short enough to read.
std::string shortNumber(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

void describeChoice(BridgeParam& p, const ophost::ParamModel& model) {
  const bool directions = model.style == CHOICE_STYLE_DIRECTIONS;
  for (size_t k = 0; k < model.entries.size(); ++k) {
    p.entryNames.push_back(ophost::entryName(model, k));
    // A direction is shown by its name (the arrow is not in every editor's font).
    p.entries.push_back(directions ? p.entryNames.back() : ophost::catalogueText(model.entries[k]));
  }
  p.min = 0;
  p.max = static_cast<int64_t>(model.entries.size()) - 1;
  std::string text = p.label + ": a choice of " + std::to_string(p.entries.size()) + ", ";
  for (size_t k = 0; k < p.entries.size(); ++k) {
    if (k > 0) text += ", ";
    text += shortNumber(numberFromNative(p, static_cast<int64_t>(k))) + " = " + p.entries[k];
  }
  p.explanation = text + " (a value in between selects the nearest)";
}

}  // namespace

std::vector<BridgeParam> bridgeParams(const ophost::OperatorModel& model, bool mixer) {
  std::vector<BridgeParam> params;
  if (mixer) {
    BridgeParam progress;
    progress.role = BridgeParam::Role::Progress;
    progress.name = "progress";
    progress.label = "Progress";
    progress.explanation = "Progress of the transition: 0 its start, 1 its finished state";
    progress.max = kLength;
    params.push_back(progress);
  }
  for (size_t i = 0; i < model.params.size(); ++i) {
    const ophost::ParamModel& m = model.params[i];
    BridgeParam p;
    p.descriptor = i;
    p.name = ophost::paramName(m, i);
    p.label = ophost::catalogueText(m.label);
    p.nativeDefault = m.defaultValue;
    switch (m.kind) {
      case ophost::ParamKind::Slider:
        p.role = BridgeParam::Role::Slider;
        p.min = m.min;
        p.max = m.max;
        p.unit = ophost::catalogueText(m.subLabel);
        p.explanation = p.label + ": " + std::to_string(m.min) + ".." + std::to_string(m.max) +
                        " " + p.unit + " as value / " + std::to_string(m.max);
        break;
      case ophost::ParamKind::Choice:
        p.role = BridgeParam::Role::Choice;
        describeChoice(p, m);
        break;
      case ophost::ParamKind::Colour:
        p.role = BridgeParam::Role::Colour;
        p.type = F0R_PARAM_COLOR;
        p.explanation = p.label + " (RGB)";
        p.defaultColour = colourFromNative(static_cast<uint32_t>(m.defaultValue));
        break;
    }
    if (p.role != BridgeParam::Role::Colour) p.defaultNumber = numberFromNative(p, p.nativeDefault);
    params.push_back(std::move(p));
  }
  if (mixer) {
    BridgeParam frames;
    frames.role = BridgeParam::Role::Frames;
    frames.name = "frames";
    frames.label = "Length in frames";
    frames.explanation = "The transition's length in frames (out - in), so that frame r renders position r "
                         "of that length; below 1, the length / 1000000 (for hosts that keep doubles "
                         "within 0..1); 0 renders in " + std::to_string(kLength) + " steps";
    frames.max = kLongestLength;
    params.push_back(frames);
  }
  // Names must be unique for a host that sets parameters by name.
  for (size_t i = 0; i < params.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      if (params[j].name == params[i].name) params[i].name += std::to_string(i);
    }
  }
  return params;
}

// value = native / max, so an editor that shows the double times max (Kdenlive's `factor`) shows
// the slider's own units; a double below min / max selects min.
int64_t nativeFromNumber(const BridgeParam& param, double number) {
  if (std::isnan(number)) return param.nativeDefault;
  const double clamped = std::clamp(number, 0.0, 1.0);
  const int64_t native = std::llround(clamped * static_cast<double>(param.max));
  return std::clamp(native, param.min, param.max);
}

double numberFromNative(const BridgeParam& param, int64_t native) {
  if (param.max <= 0) return 0.0;
  return static_cast<double>(native) / static_cast<double>(param.max);
}

namespace {
uint8_t component(float value) {
  if (std::isnan(value)) return 0;
  return static_cast<uint8_t>(std::lround(std::clamp(static_cast<double>(value), 0.0, 1.0) * 255.0));
}
}  // namespace

uint32_t nativeFromColour(const f0r_param_color_t& colour) {
  return ophost::media::rgbToOpPixel(component(colour.r), component(colour.g), component(colour.b));
}

f0r_param_color_t colourFromNative(uint32_t pixel) {
  const auto rgb = ophost::media::opPixelToRgb(pixel);
  return {static_cast<float>(rgb[0]) / 255.0f, static_cast<float>(rgb[1]) / 255.0f,
          static_cast<float>(rgb[2]) / 255.0f};
}

uint32_t lengthFromFrames(double frames) {
  if (std::isnan(frames) || frames <= 0) return kLength;
  const double count = frames < 1 ? frames * kFramesScale : frames;
  if (count < 0.5) return kLength;
  return static_cast<uint32_t>(std::llround(std::min(count, static_cast<double>(kLongestLength))));
}

uint32_t positionFromProgress(double progress, uint32_t length) {
  if (std::isnan(progress)) return 0;
  return static_cast<uint32_t>(std::llround(std::clamp(progress, 0.0, 1.0) * length));
}

}  // namespace kt3frei0r
