#include "output_codec.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <algorithm>
#include <filesystem>

namespace ophost::media {

namespace {

struct CodecFacts {
  Codec codec;
  const char* name;
  const char* encoder;
  bool alpha;
  std::optional<CrfRange> crf;
  int32_t defaultCrf;
  bool presets;
  bool bitRate;
};

const std::vector<CodecFacts>& facts() {
  static const std::vector<CodecFacts> table = {
      {Codec::H264, "h264", "libx264", false, CrfRange{0, 51}, 18, true, true},
      {Codec::Hevc, "hevc", "libx265", false, CrfRange{0, 51}, 20, true, true},
      {Codec::Prores, "prores", "prores_ks", true, std::nullopt, 0, false, false},
      {Codec::Ffv1, "ffv1", "ffv1", true, std::nullopt, 0, false, false},
      {Codec::Vp9, "vp9", "libvpx-vp9", true, CrfRange{0, 63}, 24, false, true},
      {Codec::Png, "png", "png", true, std::nullopt, 0, false, false},
      {Codec::Gif, "gif", "gif", false, std::nullopt, 0, false, false},
  };
  return table;
}

const CodecFacts& factsOf(Codec codec) {
  const auto& table = facts();
  return *std::find_if(table.begin(), table.end(), [codec](const CodecFacts& f) { return f.codec == codec; });
}

std::string lowerExtension(const std::string& file) {
  std::string extension = std::filesystem::path(file).extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension;
}

}  // namespace

const std::vector<Codec>& allCodecs() {
  static const std::vector<Codec> codecs = [] {
    std::vector<Codec> all;
    for (const CodecFacts& f : facts()) all.push_back(f.codec);
    return all;
  }();
  return codecs;
}

std::string codecName(Codec codec) { return factsOf(codec).name; }

std::optional<Codec> codecNamed(const std::string& name) {
  for (const CodecFacts& f : facts()) {
    if (name == f.name) return f.codec;
  }
  return std::nullopt;
}

std::string codecList(const std::vector<Codec>& codecs) {
  std::string text;
  for (size_t n = 0; n < codecs.size(); ++n) {
    if (n > 0) text += n + 1 == codecs.size() ? " or " : ", ";
    text += codecName(codecs[n]);
  }
  return text;
}

std::vector<Codec> codecsCarriedBy(const std::string& file) {
  const std::string extension = lowerExtension(file);
  if (extension == ".png") return {Codec::Png};
  if (extension == ".gif") return {Codec::Gif};
  if (extension == ".webm") return {Codec::Vp9};
  if (extension == ".mp4" || extension == ".m4v") return {Codec::H264, Codec::Hevc};
  if (extension == ".mov") return {Codec::H264, Codec::Hevc, Codec::Prores};
  if (extension == ".mkv") return {Codec::H264, Codec::Hevc, Codec::Prores, Codec::Ffv1, Codec::Vp9};
  return {};
}

const char* encoderName(Codec codec) { return factsOf(codec).encoder; }

bool encoderInstalled(Codec codec) { return avcodec_find_encoder_by_name(encoderName(codec)) != nullptr; }

bool holdsAlpha(Codec codec) { return factsOf(codec).alpha; }

std::optional<CrfRange> crfRange(Codec codec) { return factsOf(codec).crf; }

int32_t defaultCrf(Codec codec) { return factsOf(codec).defaultCrf; }

const std::vector<std::string>& presetsOf(Codec codec) {
  // x264's and x265's presets are the same ten.
  static const std::vector<std::string> x26x = {"ultrafast", "superfast", "veryfast", "faster", "fast",
                                                "medium",    "slow",      "slower",   "veryslow", "placebo"};
  static const std::vector<std::string> none;
  return factsOf(codec).presets ? x26x : none;
}

bool takesBitRate(Codec codec) { return factsOf(codec).bitRate; }

}  // namespace ophost::media
