// How the host opens a file that it was asked to read, for its pictures or its sound: a plain file
// on the local disk only (never a pipe, a device or a protocol), read through plain demuxers only
// (never a playlist or any other file that names further files to open), and every operation on
// it under a time limit.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

#include "ffmpeg_owners.h"

namespace ophost::media {

// How long opening a file, or decoding one frame of it, may take before it is given up as a file
// that never yields a picture (a demuxer spinning on garbage, a stream that never ends).
inline constexpr int kDecodeSeconds = 20;

// The time limit of the operation running now; libavformat asks through its interrupt callback.
// A stop asked for from outside (Ctrl-C, a server stopping) ends the wait at once.
struct Deadline {
  std::chrono::steady_clock::time_point until = std::chrono::steady_clock::time_point::max();
  const std::atomic<bool>* cancel = nullptr;
  void start() { until = std::chrono::steady_clock::now() + std::chrono::seconds(kDecodeSeconds); }
  bool cancelled() const { return cancel != nullptr && cancel->load(std::memory_order_relaxed); }
  bool passed() const { return cancelled() || std::chrono::steady_clock::now() > until; }
  static int check(void* self) { return static_cast<Deadline*>(self)->passed() ? 1 : 0; }
};

// FFmpeg's own words for what went wrong: the last error it logged on this thread while a
// FailureWords was listening there. Nothing it logs is printed.
class FailureWords {
 public:
  FailureWords();
  ~FailureWords();
  FailureWords(const FailureWords&) = delete;
  FailureWords& operator=(const FailureWords&) = delete;
  const std::string& words() const { return words_; }

 private:
  std::string words_;
  std::string* previous_;
};

// FFmpeg's text for an error code.
std::string averror(int code);

// Throws HostError, naming `name`, unless it is a regular file that may be read: a missing file,
// a directory, a pipe or a device (which could block for ever) are refused.
void checkReadableFile(const std::string& name);

// The name libavformat is given for the file `name`: a plain path, never read as a protocol
// ("concat:...", "http:...") even when a file is called so.
std::string plainUrl(const std::string& name);

// Opens `name` (a file, or with `sequence` a printf-style numbered image sequence) for demuxing,
// under `deadline`, which must outlive what is returned. Throws HostError with one clear line,
// naming `name` and why, for a file that cannot be opened or is not of a plain kind.
// `awaited` is what the file is read for ("picture", "sound"), for the message of a file that
// yields nothing in time.
InputFormat openPlainInput(const std::string& name, bool sequence, Deadline& deadline, const char* awaited);

// Why an operation on a file opened under `deadline` failed with `status`: the time limit (no
// `awaited` came in time) or a stop from outside when it was that, FFmpeg's own text otherwise.
std::string failureReason(int status, const Deadline& deadline, const char* awaited);

}  // namespace ophost::media
