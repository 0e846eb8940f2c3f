#include "segment.h"

#include <algorithm>

#include "host_error.h"
#include "media_output.h"
#include "settings.h"

namespace ophost::render {

SegmentChoice parseSegment(const std::string& text) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos || slash == 0 || slash + 1 == text.size() ||
      text.find_first_not_of("0123456789/") != std::string::npos || text.find('/', slash + 1) != std::string::npos) {
    throw HostError("--segment " + text + ": not K/N (the K-th of N segments, 1 <= K <= N)");
  }
  SegmentChoice choice;
  choice.count = parseWhole(text.substr(slash + 1), "--segment's N", 1, 1000000);
  choice.index = parseWhole(text.substr(0, slash), "--segment's K", 1, 1000000);
  if (choice.index > choice.count) {
    throw HostError("--segment " + text + ": segment " + std::to_string(choice.index) + " of only " +
                    std::to_string(choice.count) + " (1 <= K <= N)");
  }
  return choice;
}

SegmentChoice parseSegmentFor(const std::string& text, const std::string& output) {
  const SegmentChoice choice = parseSegment(text);
  const media::OutputKind kind = media::outputKindFor(output);
  if (kind != media::OutputKind::Video && kind != media::OutputKind::PngSequence) {
    throw HostError("--segment: " + output + " cannot be a segment: write segments to a video or name%04d.png");
  }
  return choice;
}

int64_t mostSegments(int64_t frames, media::FrameRate rate) {
  const int64_t second = (int64_t{rate.num} + rate.den - 1) / rate.den;  // ceil(fps) frames
  return std::max<int64_t>(1, frames / std::max<int64_t>(1, second));
}

std::pair<int64_t, int64_t> segmentFrames(int64_t frames, media::FrameRate rate, SegmentChoice choice) {
  const int64_t most = mostSegments(frames, rate);
  if (choice.count > most) {
    throw HostError("--segment " + std::to_string(choice.index) + "/" + std::to_string(choice.count) + ": the job's " +
                    std::to_string(frames) + " frames at " + rate.describe() + " fps make " + std::to_string(most) +
                    " segment" + (most == 1 ? "" : "s") + " at most (each at least a second long)");
  }
  if (choice.index < 1 || choice.index > choice.count) {
    throw HostError("--segment " + std::to_string(choice.index) + "/" + std::to_string(choice.count) +
                    ": K lies outside 1..N");
  }
  const int64_t size = frames / choice.count, longer = frames % choice.count;
  const int64_t k = choice.index - 1;
  const int64_t first = k * size + std::min(k, longer);
  return {first, first + size + (k < longer ? 1 : 0)};
}

}  // namespace ophost::render
