// Where rendered frames go, chosen by the output file name: one PNG ("out.png"), a numbered PNG
// sequence ("out%04d.png"), a video ("out.mp4", ".m4v", ".mov", ".mkv", ".webm") in one of the
// codecs the container carries (output_codec.h), or an animated GIF ("out.gif"). Everything is written under temporary names and renamed into place by finish(); a
// sink destroyed before finish() removes what it wrote, so a failed render leaves no file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "colour.h"
#include "frame_rate.h"
#include "frame_shape.h"
#include "host_error.h"
#include "output_codec.h"
#include "picture.h"

namespace ophost::media {

enum class OutputKind { Png, PngSequence, Video, Gif };

// The kind for a file name. Throws HostError naming the formats that can be written.
OutputKind outputKindFor(const std::string& name);
bool isAnimated(OutputKind kind);

// The longest file name (one path component) the host writes, in bytes: Linux's NAME_MAX.
inline constexpr size_t kMaxFileNameBytes = 255;

// The file name of frame `number` of a numbered sequence "name%04d.png" (the number padded as
// printf pads it). Throws HostError for a width no file name could hold.
std::string sequenceFileName(const std::string& pattern, int64_t number);

// Throws HostError, naming `name` (what was asked for), when `file` cannot be written as an
// output: its file name is longer than kMaxFileNameBytes, or it is a directory already.
void checkOutputFile(const std::string& file, const std::string& name);

// The H.264 constant rate factor ophost encodes with (lower is better; 18 looks lossless to most).
inline constexpr int32_t kDefaultQuality = 18;

struct OutputOptions {
  int32_t width = 0;   // every frame's size (the whole buffer)
  int32_t height = 0;
  FrameRate fps;
  std::optional<int32_t> quality{};  // the constant rate factor; the codec's default when none
  std::optional<Codec> codec{};      // the file name's default codec when none
  std::string preset{};              // the encoder's speed preset; kDefaultPreset when empty
  int64_t bitRate = 0;             // an average in bits per second instead of a quality; 0: none
  // Whether the key bytes of rendered pictures are written as alpha, where the codec holds it.
  bool alpha = false;
  // Whether a YCbCr video is written in the BT.709 matrix (and tagged so), as a source of that
  // matrix was, rather than in the OpPixels' own BT.601. FFV1 keeps the OpPixels exactly, in BT.601.
  bool bt709 = false;
  // The pixels' aspect and the fields, as input 0 (or a join's clip 1) had them: carried in the
  // file's tags (a PNG's pHYs), and an interlaced H.264 or ProRes video encoded field by field.
  PixelAspect pixelAspect{};
  FieldOrder fieldOrder = FieldOrder::Progressive;
  // A video written as one segment of a longer job, to be joined to the others by stream copy:
  // its first frame's time is this frame of the job (the frames after it follow on), and its
  // groups of pictures are closed, so that it decodes on its own from its first frame. None: a
  // whole video, from time 0.
  std::optional<int64_t> segmentStart{};
  // Told once, when the pictures have keys below 255 that the output writes as opaque.
  std::function<void(const std::string&)> warn{};
};

// The codec `options` write `name` in: theirs, else the file name's default. Throws HostError
// for a file name the host writes no file of, a codec its container cannot carry (naming those
// it can) and one whose encoder this FFmpeg lacks. A rate factor, preset or bit rate is used by
// the codecs that take one (within their ranges, crfRange() ...) and ignored by the others.
Codec outputCodec(const std::string& name, const OutputOptions& options);

// Whether `name` written with `options` holds the pictures' keys as alpha.
bool writesAlpha(const std::string& name, const OutputOptions& options);

// What finish() throws when the sink's stop check asked it to stop.
class OutputStopped : public HostError {
 public:
  explicit OutputStopped(const std::string& message) : HostError(message) {}
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Adds the next frame, RGB of the sink's size; `number` names a sequence's file.
  virtual void add(const RgbImage& frame, int64_t number) = 0;
  // The same for a rendered picture as the plug-in put it: its whole buffer of OpPixels. A video
  // takes it in YCbCr as it is, its keys as alpha where it holds them; pictures and GIFs go
  // through RGB (RGBA where they hold alpha).
  virtual void add(const Picture& frame, int64_t number) {
    noteDroppedAlpha(frame);
    add(pictureToRgb(frame), number);
  }
  // Completes the output and renames it into place; the final file names are then returned.
  virtual std::vector<std::string> finish() = 0;
  // Asked between frames while finish() completes the output (a GIF's frames are mapped onto its
  // palette then, a video's last frames encoded): when it answers true, finish() stops, removes
  // what was written and throws OutputStopped.
  void stopWhen(std::function<bool()> stop) { stop_ = std::move(stop); }

 protected:
  void checkStop(const std::string& name) const {
    if (stop_ && stop_()) throw OutputStopped("stopped while " + name + " was being completed");
  }
  // For a sink that writes `frame` opaque: the first time a frame has a key below 255, tells
  // `warning_` to the warn function it was given.
  void noteDroppedAlpha(const Picture& frame);

 private:
  friend std::unique_ptr<FrameSink> createSink(const std::string& name, const OutputOptions& options);
  std::function<bool()> stop_;
  std::function<void(const std::string&)> warn_;
  std::string warning_;
  bool warned_ = false;
};

// Throws HostError, naming `name`, when the directory it would be written in is missing or not
// writable (as createSink does before it creates anything).
void checkOutputDirectory(const std::string& name);

// Throws HostError when the output cannot be created (no such directory, no encoder, ...).
std::unique_ptr<FrameSink> createSink(const std::string& name, const OutputOptions& options);

// A temporary name next to `file` that no other process picks, hidden and short: it keeps no more
// than the start of the file name, so it fits wherever the file name itself fits.
std::filesystem::path temporaryNameFor(const std::filesystem::path& file);

}  // namespace ophost::media
