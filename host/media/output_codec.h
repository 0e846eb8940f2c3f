// The codecs the host writes, and what each file name can carry: a .png holds PNG, a .gif GIF, a
// .webm VP9, a .mp4 H.264 or HEVC, a .mov those and ProRes, a .mkv every video codec but GIF's.
// Which of them can hold transparency, which take a constant rate factor (and in what range), a
// speed preset or a bit rate, and the FFmpeg encoder each is written with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ophost::media {

enum class Codec { H264, Hevc, Prores, Ffv1, Vp9, Png, Gif };

// Every codec, in the order the usage lists them.
const std::vector<Codec>& allCodecs();
// "h264", "hevc", "prores", "ffv1", "vp9", "png", "gif".
std::string codecName(Codec codec);
// The codec called `name` (as codecName spells it); none for any other name.
std::optional<Codec> codecNamed(const std::string& name);
// "h264, hevc or prores": the names of `codecs` as a sentence says them.
std::string codecList(const std::vector<Codec>& codecs);

// The codecs a file of this name can carry, the first one its default. Empty for a name the host
// writes no file of.
std::vector<Codec> codecsCarriedBy(const std::string& file);

// The FFmpeg encoder the codec is written with ("libx264", "prores_ks" ...).
const char* encoderName(Codec codec);
// Whether this machine's FFmpeg has that encoder.
bool encoderInstalled(Codec codec);

// Whether the codec, as the host writes it, can hold the key bytes as alpha.
bool holdsAlpha(Codec codec);

// The range of the constant rate factor the codec takes; none for a codec that takes no such
// factor (its quality is fixed by its profile, or it is lossless).
struct CrfRange {
  int32_t low = 0, high = 0;
};
std::optional<CrfRange> crfRange(Codec codec);
// The factor a codec with a range encodes at when none is given (a quality that looks lossless
// to most viewers).
int32_t defaultCrf(Codec codec);

// The speed presets the codec's encoder takes, fastest first; empty when it takes none.
const std::vector<std::string>& presetsOf(Codec codec);
inline constexpr const char* kDefaultPreset = "medium";

// Whether an average bit rate can be asked of the codec instead of a rate factor.
bool takesBitRate(Codec codec);

}  // namespace ophost::media
