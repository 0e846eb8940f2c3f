// What ophost and a worker process say to each other, message by message, and how each message is
// laid out on the pipe between them (both ends are the same program on one machine, so numbers go
// in the machine's own byte order).
//
//   frame order   (ophost -> worker)  int64 frame (kNoMoreFrames ends the work), uint8 flags
//                                     (which inputs the frame has, which come with the order),
//                                     then each input that comes: its geometry and its bytes
//   frame answer  (worker -> ophost)  int32 kind (picture or failure), int64 plug-in time and
//                                     host time in ns, uint32 warning count and each warning's
//                                     key and text, then the picture or the failure's text
//
// A worker keeps the last picture of each input it was sent, so an input that did not change is
// not sent again. Texts are a uint32 length and the bytes, at most kMaxText of them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "picture.h"
#include "warning.h"

namespace ophost::render::wire {

inline constexpr int64_t kNoMoreFrames = -1;
inline constexpr uint32_t kMaxText = 1 << 16;
inline constexpr uint32_t kMaxWarnings = 4096;

struct FrameOrder {
  int64_t frame = kNoMoreFrames;
  bool has[2] = {false, false};            // the frame has input i
  std::shared_ptr<const Picture> sent[2];  // input i, when it comes with this order
};

struct FrameAnswer {
  std::optional<Picture> picture;  // the rendered frame, or nothing and
  std::string failure;             // why it could not be rendered
  std::chrono::nanoseconds pluginTime{0};
  std::chrono::nanoseconds hostTime{0};
  std::vector<Warning> warnings;
};

// Where a message's bytes go and where they come from: each call moves exactly `size` bytes, or
// throws (the pipe's owner says what: gone, silent, interrupted).
using Put = std::function<void(const void* data, size_t size)>;
using Take = std::function<void(void* data, size_t size)>;

void putOrder(const FrameOrder& order, const Put& put);
// Throws HostError for a message no ophost sends.
FrameOrder takeOrder(const Take& take);
void putAnswer(const FrameAnswer& answer, const Put& put);
// Throws HostError for a message no worker sends.
FrameAnswer takeAnswer(const Take& take);

}  // namespace ophost::render::wire
