#include "tone_map.h"

#include "host_error.h"

namespace ophost::media {

namespace {

// Light at 100 nits is the standard-range white the curve maps toward.
constexpr const char* kChain =
    "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,tonemap=tonemap=hable:desat=0,"
    "zscale=t=bt709:m=bt709:r=tv,format=yuv444p";

}  // namespace

std::string highDynamicRange(const AVFrame& frame) {
  if (frame.color_trc == AVCOL_TRC_SMPTE2084) return "PQ";
  if (frame.color_trc == AVCOL_TRC_ARIB_STD_B67) return "HLG";
  return "";
}

void ToneMapper::map(AVFrame& frame, const std::string& name) {
  if (!filter_ || !filter_->suits(frame)) {
    filter_ = std::make_unique<FrameFilter>(kChain, frame, AVRational{1, 25}, name, "tone-mapped");
  }
  filter_->give(&frame);
  if (!filter_->take(&frame)) throw HostError(name + ": a high-dynamic-range picture could not be tone-mapped");
  frame.colorspace = AVCOL_SPC_BT709;
  frame.color_primaries = AVCOL_PRI_BT709;
  frame.color_trc = AVCOL_TRC_BT709;
  frame.color_range = AVCOL_RANGE_MPEG;
}

}  // namespace ophost::media
