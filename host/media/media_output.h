// Where rendered frames go, chosen by the output file name: one PNG ("out.png"), a numbered PNG
// sequence ("out%04d.png"), an H.264 video ("out.mp4", ".mov", ".mkv") or an animated GIF
// ("out.gif"). Everything is written under temporary names and renamed into place by finish(); a
// sink destroyed before finish() removes what it wrote, so a failed render leaves no file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "colour.h"
#include "picture.h"

namespace ophost::media {

enum class OutputKind { Png, PngSequence, Video, Gif };

// The kind for a file name. Throws HostError naming the formats that can be written.
OutputKind outputKindFor(const std::string& name);
bool isAnimated(OutputKind kind);

// The file name of frame `number` of a numbered sequence "name%04d.png".
std::string sequenceFileName(const std::string& pattern, int64_t number);

struct OutputOptions {
  int32_t width = 0;   // every frame's size (the whole buffer)
  int32_t height = 0;
  int32_t fps = 25;
  int32_t quality = 18;  // H.264 constant rate factor: lower is better
};

class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // Adds the next frame, RGB of the sink's size; `number` names a sequence's file.
  virtual void add(const RgbImage& frame, int64_t number) = 0;
  // Completes the output and renames it into place; the final file names are then returned.
  virtual std::vector<std::string> finish() = 0;
};

// Throws HostError when the output cannot be created (no such directory, no encoder, ...).
std::unique_ptr<FrameSink> createSink(const std::string& name, const OutputOptions& options);

// A temporary name next to `file` that no other process picks.
std::filesystem::path temporaryNameFor(const std::filesystem::path& file);

}  // namespace ophost::media
