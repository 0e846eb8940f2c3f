#include "output_choice.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "host_error.h"
#include "output_codec.h"

namespace ophost::render {

namespace {

std::string names(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : ", ") + word;
  return text;
}

std::vector<media::Codec> codecsTaking(bool (*takes)(media::Codec)) {
  std::vector<media::Codec> codecs;
  for (media::Codec codec : media::allCodecs()) {
    if (takes(codec)) codecs.push_back(codec);
  }
  return codecs;
}

bool takesCrf(media::Codec codec) { return media::crfRange(codec).has_value(); }
bool takesPreset(media::Codec codec) { return !media::presetsOf(codec).empty(); }

}  // namespace

int64_t parseBitRate(const std::string& text) {
  const std::string refusal = "--bitrate " + text + ": not a bit rate (8M, 2500k or 800000 bits per second)";
  const size_t digits = text.find_first_not_of("0123456789.");
  const std::string number = text.substr(0, digits);
  const std::string unit = digits == std::string::npos ? "" : text.substr(digits);
  char* end = nullptr;
  double value = number.empty() ? 0 : std::strtod(number.c_str(), &end);
  if (number.empty() || end != number.c_str() + number.size()) throw HostError(refusal);
  if (unit == "k" || unit == "K") {
    value *= 1e3;
  } else if (unit == "m" || unit == "M") {
    value *= 1e6;
  } else if (!unit.empty()) {
    throw HostError(refusal);
  }
  if (!std::isfinite(value) || value < 1e3 || value > 2e9) {
    throw HostError("--bitrate " + text + " lies outside 1k..2000M");
  }
  return static_cast<int64_t>(std::llround(value));
}

media::OutputOptions outputOptionsFrom(const Options& options, int32_t width, int32_t height, media::FrameRate fps,
                                       const InputTraits& traits) {
  media::OutputOptions out;
  out.width = width;
  out.height = height;
  out.fps = fps;
  if (!options.codec.empty()) {
    out.codec = media::codecNamed(options.codec);
    if (!out.codec) {
      throw HostError("--codec " + options.codec + ": no such codec (" + media::codecList(media::allCodecs()) + ")");
    }
  }
  const media::Codec codec = media::outputCodec(options.output, out);
  const std::string name = media::codecName(codec);
  if (!options.crf.empty()) {
    const auto range = media::crfRange(codec);
    if (!range) {
      throw HostError("--crf does not apply to " + name + " (only " + media::codecList(codecsTaking(takesCrf)) +
                      " take a rate factor)");
    }
    const int64_t crf = wholeOption(options, "--crf", 0);
    if (crf < range->low || crf > range->high) {
      throw HostError("--crf " + options.crf + " lies outside " + name + "'s range " + std::to_string(range->low) +
                      ".." + std::to_string(range->high));
    }
    out.quality = static_cast<int32_t>(crf);
  }
  if (!options.preset.empty()) {
    const std::vector<std::string>& presets = media::presetsOf(codec);
    if (presets.empty()) {
      throw HostError("--preset does not apply to " + name + " (only " +
                      media::codecList(codecsTaking(takesPreset)) + " take one)");
    }
    if (std::find(presets.begin(), presets.end(), options.preset) == presets.end()) {
      throw HostError("--preset " + options.preset + ": no such " + name + " preset (" + names(presets) + ")");
    }
    out.preset = options.preset;
  }
  if (!options.bitrate.empty()) {
    if (!media::takesBitRate(codec)) {
      throw HostError("--bitrate does not apply to " + name + " (only " +
                      media::codecList(codecsTaking(media::takesBitRate)) + " take one)");
    }
    if (!options.crf.empty()) throw HostError("give --crf or --bitrate, not both");
    out.bitRate = parseBitRate(options.bitrate);
  }
  out.alpha = traits.alpha;
  out.bt709 = traits.bt709;
  out.pixelAspect = traits.pixelAspect;
  out.fieldOrder = traits.fieldOrder;
  return out;
}

std::string describeEncoding(const std::string& file, const media::OutputOptions& options) {
  const media::Codec codec = media::outputCodec(file, options);
  std::string text = media::codecName(codec);
  const bool alpha = media::writesAlpha(file, options);
  if (codec == media::Codec::Prores) text += alpha ? " 4444" : " 422 HQ";
  if (alpha) text += " with alpha";
  if (options.bt709 && codec != media::Codec::Ffv1 && codec != media::Codec::Png && codec != media::Codec::Gif) {
    text += ", BT.709";
  }
  if (!options.pixelAspect.square()) text += ", " + options.pixelAspect.describe() + " pixels";
  if (interlaced(options.fieldOrder)) text += ", " + media::describe(options.fieldOrder);
  // 4:2:0 and 4:2:2 halve the chroma across (and 4:2:0 down): an odd last line is dropped.
  const bool video = codec != media::Codec::Ffv1 && codec != media::Codec::Png && codec != media::Codec::Gif;
  const bool halvedDown = codec == media::Codec::H264 || codec == media::Codec::Hevc || codec == media::Codec::Vp9;
  if (video && options.width % 2 == 1) text += ", its last column cropped";
  if (video && halvedDown && options.height % 2 == 1) text += ", its last row cropped";
  return text;
}

}  // namespace ophost::render
