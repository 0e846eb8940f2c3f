// A container being written into a temporary file: the muxer and the file it writes, with the
// steps every writer of the host takes in the same order (streams added, header, packets,
// trailer, close). Each failure is one HostError naming the output.
#pragma once

#include <filesystem>
#include <string>

#include "ffmpeg_owners.h"

namespace ophost::media {

class MuxedFile {
 public:
  // The container the name `output` (or `container`, a muxer's name, when given) asks for,
  // writing into `temporary`. Throws HostError for a container that cannot be written here.
  MuxedFile(const std::string& output, const std::filesystem::path& temporary, const char* container = nullptr);
  // A file whose header was written and that was never finished gets its trailer all the same
  // (a muxer keeps state until then: the GIF muxer a packet), into the temporary file its owner
  // removes.
  ~MuxedFile();
  MuxedFile(const MuxedFile&) = delete;
  MuxedFile& operator=(const MuxedFile&) = delete;

  AVFormatContext* format() const { return format_.get(); }

  // A new stream carrying packets copied from a stream of `parameters` in `timeBase`, its codec
  // tag kept where this container knows that tag for the same codec. Throws HostError.
  AVStream* addCopiedStream(const AVCodecParameters& parameters, AVRational timeBase);
  // What a sound of `parameters`, its times in `timeBase`, has added to its times here: Matroska
  // (and WebM) count a block's time from its first sample, the encoder's priming included, and
  // name the priming in the track's codec delay, which readers take off again; so the times, which
  // start before 0 by the priming, are moved on by it. MP4 and MOV keep them as they are (0).
  int64_t soundPrimingShift(const AVCodecParameters& parameters, AVRational timeBase) const;
  // Opens the temporary file and writes the header of the streams added so far. Throws
  // HostError; `refusal`, when given, says what a header the muxer refuses means.
  void begin(const std::string& refusal = {});
  // Writes one packet (of a stream's time base) among the others by time; takes its data.
  void write(AVPacket* packet);
  // Writes the trailer and closes the file, whatever is still buffered written now.
  void finish();

 private:
  std::string output_;
  std::filesystem::path temporary_;
  // Destroyed in the reverse order: the muxer is freed before the file it wrote to is closed.
  Io io_;
  OutputFormat format_;
  bool begun_ = false, finished_ = false;
};

}  // namespace ophost::media
