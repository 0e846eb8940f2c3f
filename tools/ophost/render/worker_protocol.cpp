#include "worker_protocol.h"

#include <algorithm>

#include "host_error.h"
#include "media_input.h"

namespace ophost::render::wire {

namespace {

constexpr uint8_t kHas0 = 4, kHas1 = 8, kSends0 = 1, kSends1 = 2;
constexpr int32_t kAnswerPicture = 0, kAnswerFailure = 1;

// The small fields of a message are gathered and put at once; pictures go straight from their
// buffers.
template <typename T>
void append(std::string& bytes, T value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}
void appendText(std::string& bytes, const std::string& text) {
  const auto size = static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxText));
  append(bytes, size);
  bytes.append(text, 0, size);
}
void appendGeometry(std::string& bytes, const Geometry& g) {
  for (int32_t field : {g.stride, g.rows, g.x, g.y, g.width, g.height}) append(bytes, field);
}

template <typename T>
T take(const Take& from) {
  T value;
  from(&value, sizeof value);
  return value;
}
std::string takeText(const Take& from) {
  const auto size = take<uint32_t>(from);
  if (size > kMaxText) throw HostError("a message between ophost and a worker is malformed (a text too long)");
  std::string text(size, '\0');
  from(text.data(), size);
  return text;
}
Picture takePicture(const Take& from) {
  Geometry g;
  for (int32_t* field : {&g.stride, &g.rows, &g.x, &g.y, &g.width, &g.height}) *field = take<int32_t>(from);
  if (g.stride < 0 || g.rows < 0 || g.stride > media::kMaxDecodedSide || g.rows > media::kMaxDecodedSide) {
    throw HostError("a picture passed between ophost and a worker is malformed");
  }
  Picture picture;
  picture.geometry = g;
  picture.bytesPerPixel = 4;
  picture.bytes.resize(static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) * 4);
  from(picture.bytes.data(), picture.bytes.size());
  return picture;
}

}  // namespace

void putOrder(const FrameOrder& order, const Put& put) {
  uint8_t flags = 0;
  for (int i = 0; i < 2; ++i) {
    if (order.has[i]) flags |= i == 0 ? kHas0 : kHas1;
    if (order.has[i] && order.sent[i]) flags |= i == 0 ? kSends0 : kSends1;
  }
  std::string head;
  append(head, order.frame);
  append(head, flags);
  put(head.data(), head.size());
  for (int i = 0; i < 2; ++i) {
    if (!(flags & (i == 0 ? kSends0 : kSends1))) continue;
    std::string geometry;
    appendGeometry(geometry, order.sent[i]->geometry);
    put(geometry.data(), geometry.size());
    put(order.sent[i]->bytes.data(), order.sent[i]->bytes.size());
  }
}

FrameOrder takeOrder(const Take& from) {
  FrameOrder order;
  order.frame = take<int64_t>(from);
  const auto flags = take<uint8_t>(from);
  if (order.frame < kNoMoreFrames || (flags & ~(kHas0 | kHas1 | kSends0 | kSends1)) != 0) {
    throw HostError("a frame order is malformed");
  }
  for (int i = 0; i < 2; ++i) {
    order.has[i] = (flags & (i == 0 ? kHas0 : kHas1)) != 0;
    if (flags & (i == 0 ? kSends0 : kSends1)) order.sent[i] = std::make_shared<const Picture>(takePicture(from));
  }
  return order;
}

void putAnswer(const FrameAnswer& answer, const Put& put) {
  std::string head;
  append(head, answer.picture ? kAnswerPicture : kAnswerFailure);
  append(head, static_cast<int64_t>(answer.pluginTime.count()));
  append(head, static_cast<int64_t>(answer.hostTime.count()));
  const auto count = static_cast<uint32_t>(std::min<size_t>(answer.warnings.size(), kMaxWarnings));
  append(head, count);
  for (uint32_t n = 0; n < count; ++n) {
    appendText(head, answer.warnings[n].key);
    appendText(head, answer.warnings[n].text);
  }
  if (!answer.picture) {
    appendText(head, answer.failure);
    put(head.data(), head.size());
    return;
  }
  appendGeometry(head, answer.picture->geometry);
  put(head.data(), head.size());
  put(answer.picture->bytes.data(), answer.picture->bytes.size());
}

FrameAnswer takeAnswer(const Take& from) {
  FrameAnswer answer;
  const auto kind = take<int32_t>(from);
  if (kind != kAnswerPicture && kind != kAnswerFailure) throw HostError("a worker answered nonsense");
  answer.pluginTime = std::chrono::nanoseconds(take<int64_t>(from));
  answer.hostTime = std::chrono::nanoseconds(take<int64_t>(from));
  const auto count = take<uint32_t>(from);
  if (count > kMaxWarnings) throw HostError("a worker's answer is malformed (too many warnings)");
  for (uint32_t n = 0; n < count; ++n) {
    Warning warning;
    warning.key = takeText(from);
    warning.text = takeText(from);
    answer.warnings.push_back(std::move(warning));
  }
  if (kind == kAnswerFailure) {
    answer.failure = takeText(from);
  } else {
    answer.picture = takePicture(from);
  }
  return answer;
}

}  // namespace ophost::render::wire
