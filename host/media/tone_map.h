// High-dynamic-range pictures (PQ or HLG transfer, as HDR video and phones' HDR clips carry them)
// brought down to standard range BT.709, so that they look on an ordinary screen as they were
// meant to rather than washed out: the transfer undone to light, the BT.2020 colours mapped into
// BT.709's, the highlights compressed (Hable's curve), and the BT.709 transfer applied, through
// libavfilter's zscale and tonemap.
#pragma once

#include <memory>
#include <string>

#include "frame_filter.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace ophost::media {

// The name of a frame's high-dynamic-range transfer ("PQ", "HLG"), or empty for standard range.
std::string highDynamicRange(const AVFrame& frame);

class ToneMapper {
 public:
  // Replaces `frame` by its standard-range BT.709 picture (8-bit 4:4:4, studio range, tagged so).
  // The filters are set up for the first frame's size and format, and again when those change.
  // Throws HostError naming `name` when the filters are missing or fail.
  void map(AVFrame& frame, const std::string& name);

 private:
  std::unique_ptr<FrameFilter> filter_;
};

}  // namespace ophost::media
