// Where the host's input pictures come from: built-in cards ("card:bars"), still images (PNG,
// JPEG ...), video files (MP4, MOV, MKV, WebM ...) and numbered image sequences ("shot%04d.png").
// A source gives frame n of itself, at any size: a clip its n-th frame (its last one beyond its
// end), a still or card the same picture for every n.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "colour.h"
#include "frame_rate.h"
#include "frame_shape.h"
#include "input_file.h"  // kDecodeSeconds

namespace ophost::media {

struct Size {
  int32_t width = 0;
  int32_t height = 0;
  bool operator==(const Size&) const = default;
};

// When each frame of a clip comes on screen, in seconds from the first, in the order they are
// shown, and when the last one goes off.
struct FrameTimes {
  std::vector<double> starts;
  double end = 0;
  // How far a start may lie after a time and still count as on screen then: a container stores
  // times rounded to its time base (MKV to the millisecond, so 1/30 s is 0.033).
  double slack = 1e-6;
  // The frame on screen at `seconds`: the last to start at or before it (the first before that).
  int64_t frameAt(double seconds) const;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // The size the source has of its own (a card's is 640x360).
  virtual Size naturalSize() const = 0;
  // Frame `index` scaled to `size`, as full-range RGB. Throws HostError when it cannot be decoded.
  virtual RgbImage frame(int64_t index, Size size) = 0;
  // Frame `index` scaled to the picture's active area and written there as OpPixels, their keys
  // from the frame's alpha (opaque where it has none); the rest of the picture is left as it is.
  // A decoded YCbCr frame goes there without RGB between.
  virtual void frameInto(int64_t index, Picture& picture);
  // Whether it has transparency: its first frame has alpha (in its pixel format or its palette)
  // and some pixel that is not opaque.
  virtual bool hasAlpha() const { return false; }
  // Whether its pictures are YCbCr of the BT.709 matrix (its first frame names it, or names none
  // and has 720 rows or more), which its OpPixels were converted from.
  virtual bool isBt709() const { return false; }
  // How many frames it holds, once known (1 for stills and cards).
  virtual std::optional<int64_t> frameCount() const = 0;
  virtual bool isStill() const = 0;
  // The rate a clip's frames are shown at, as its container gives it; none for stills and cards
  // (and for a clip whose container gives none).
  virtual std::optional<FrameRate> frameRate() const { return std::nullopt; }
  // A clip's frame times, read now (the file read through without decoding, once); none for stills
  // and cards. Frames of a clip whose container gives no times are taken to last 1 / frameRate()
  // each. Throws HostError when the file cannot be read through.
  virtual std::optional<FrameTimes> frameTimes() { return std::nullopt; }
  // What was done to its pictures that the user should know of, one line each (an HDR clip
  // tone-mapped), known from its first frame.
  virtual std::vector<std::string> notes() const { return {}; }
  // The aspect of its pixels as shown (square for stills and cards unless the file says otherwise).
  virtual PixelAspect pixelAspect() const { return {}; }
  // Whether its frames are two interlaced fields, and which comes first.
  virtual FieldOrder fieldOrder() const { return FieldOrder::Progressive; }
  // How many frames it holds: a clip's frame times counted, else frameCount().
  int64_t countFrames() {
    const auto times = frameTimes();
    return times ? static_cast<int64_t>(times->starts.size()) : frameCount().value_or(1);
  }
};

inline constexpr Size kCardSize{640, 360};

// The largest picture the host decodes, on either side; a file claiming more is refused before
// anything is allocated for it.
inline constexpr int32_t kMaxDecodedSide = 8192;

// Opens `name`: "card:NAME", a file, or a printf-style numbered sequence. Throws HostError with one
// clear message for a missing or unreadable file, one that is not a regular file (a pipe or a
// device could block for ever), one that is not a picture or video, or one whose pictures are
// larger than kMaxDecodedSide. A file is read by what it holds, whatever its name says, but only
// when it is a plain picture or video: a playlist or any other file that names further files to
// open is refused, and nothing but local files is ever opened. While `cancel` is set, opening and
// decoding give up at once (with a HostError) instead of waiting for kDecodeSeconds.
//
// A high-dynamic-range clip (PQ or HLG) is tone-mapped to standard-range BT.709 as it is decoded
// (and notes() says so), or refused with one message when `options.hdr` says Refuse. With
// `options.deinterlace`, an interlaced clip's frames are deinterlaced as they are decoded
// (libavfilter's bwdif, a frame for each frame) and it is then progressive.
enum class HighDynamicRange { ToneMap, Refuse };
struct SourceOptions {
  HighDynamicRange hdr = HighDynamicRange::ToneMap;
  bool deinterlace = false;
};
std::unique_ptr<FrameSource> openSource(const std::string& name, const std::atomic<bool>* cancel = nullptr,
                                        const SourceOptions& options = {});

}  // namespace ophost::media
