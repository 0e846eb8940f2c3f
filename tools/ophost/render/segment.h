// A job cut into segments for rendering on several machines: `--segment K/N` renders the K-th of
// N contiguous parts of a job's frames, sizes balanced (they differ by one frame at most), each at
// least a second of video at the output rate, so that the parts joined by stream copy are the
// whole job.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "frame_rate.h"

namespace ophost::render {

struct SegmentChoice {
  int64_t index = 1;  // K of N, 1-based
  int64_t count = 1;
};

// "K/N", 1 <= K <= N. Throws HostError naming --segment for anything else.
SegmentChoice parseSegment(const std::string& text);
// The same for a segment written to `output`, which must be a video or a numbered PNG sequence.
SegmentChoice parseSegmentFor(const std::string& text, const std::string& output);

// How many segments a job of `frames` frames at `rate` can be cut into, each at least a second
// long (ceil(rate) frames); at least 1.
int64_t mostSegments(int64_t frames, media::FrameRate rate);

// The frames [first, end) of segment `choice` of a job of `frames` frames (0-based within it):
// the first frames % N segments have one frame more than the others. Throws HostError, saying how
// many segments the job can make at most, when choice.count > mostSegments(frames, rate).
std::pair<int64_t, int64_t> segmentFrames(int64_t frames, media::FrameRate rate, SegmentChoice choice);

}  // namespace ophost::render
