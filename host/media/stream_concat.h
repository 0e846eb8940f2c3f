// Video segments rendered apart (each one part of a longer job, its frames timed at their place
// in the job) joined into one file by stream copy: no frame is decoded or encoded again. The
// segments are first checked to fit one after another - the same codec and parameters, size,
// pixels, field order and time base, each starting with a keyframe that no frame before it
// needs, and each beginning where the one before it ends - and the sound of another file may be
// copied in beside them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "frame_rate.h"

namespace ophost::media {

struct ConcatResult {
  int64_t frames = 0;  // the pictures written
  FrameRate rate;      // as the segments were written
  int32_t width = 0, height = 0;
  std::string codec;   // FFmpeg's name of the video codec ("h264", "ffv1" ...)
  bool sound = false;  // an audio stream was copied in
};

// Writes `output` (.mp4, .m4v, .mov, .mkv or .webm): the video streams of `segments`, in the order
// given, one after another, their times moved so that the output starts at 0; with `audio` not
// empty, the first audio stream of that file beside them, copied as it is. Throws HostError with
// one line naming the first segment that does not fit the one before it (or the first) and why,
// or any file that cannot be read or written. `output` is written under a temporary name and
// renamed into place when complete, so that a failure leaves nothing; `stop` is asked between
// packets: when it answers true, what was written is removed and OutputStopped thrown.
ConcatResult concatSegments(const std::vector<std::string>& segments, const std::string& output,
                            const std::string& audio, const std::function<bool()>& stop = {});

}  // namespace ophost::media
