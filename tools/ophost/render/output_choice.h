// How a command writes its output: the codec (--codec, else the file name's), its rate factor
// (--crf), speed preset (--preset) or bit rate (--bitrate), read from the command line and checked
// against the codec and the file name before anything is rendered. `render` and `join` both
// choose their output here.
#pragma once

#include <cstdint>
#include <string>

#include "command_line.h"
#include "media_output.h"

namespace ophost::render {

// What a render's inputs bring to its output.
struct InputTraits {
  bool alpha = false;  // some input has transparency (FrameSource::hasAlpha): the output keeps the
                       // keys as alpha where its codec can hold them
  bool bt709 = false;  // input 0 is BT.709 YCbCr: a lossy YCbCr video output is written in BT.709
  media::PixelAspect pixelAspect{};  // input 0's pixels, as the output's
  media::FieldOrder fieldOrder = media::FieldOrder::Progressive;  // input 0's fields, kept
};

// The output `options` ask for, of frames `width` x `height` at `fps`, for inputs of `traits`. Throws HostError, with one line naming the option, for an unknown codec, one the file
// cannot carry, one whose encoder is missing, a rate factor outside the codec's range or given to
// a codec that takes none, an unknown preset (naming the known ones), a preset or bit rate the
// codec takes none of, a bit rate that is not one, and --crf given with --bitrate.
media::OutputOptions outputOptionsFrom(const Options& options, int32_t width, int32_t height, media::FrameRate fps,
                                       const InputTraits& traits);

// "8M", "2500k", "800000" (bits per second, k and M thousands and millions; "1.5M" too) in bits
// per second. Throws HostError naming --bitrate for anything else, or a rate outside 1k..2000M.
int64_t parseBitRate(const std::string& text);

// The codec as the summary line of a render says it: "h264", "prores 4444 with alpha",
// "hevc, BT.709", "h264, 16:15 pixels, interlaced, top field first, the last column cropped" ...
std::string describeEncoding(const std::string& file, const media::OutputOptions& options);

}  // namespace ophost::render
