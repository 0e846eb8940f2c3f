#include "frame_filter.h"

#include "filter_graph.h"
#include "host_error.h"

namespace ophost::media {

FrameFilter::FrameFilter(const std::string& chain, const AVFrame& first, AVRational timeBase,
                         const std::string& name, const std::string& what)
    : width_(first.width), height_(first.height), format_(first.format) {
  const AVRational aspect = first.sample_aspect_ratio.num > 0 ? first.sample_aspect_ratio : AVRational{1, 1};
  const std::string arguments = "video_size=" + std::to_string(first.width) + "x" + std::to_string(first.height) +
                                ":pix_fmt=" + std::to_string(first.format) + ":time_base=" +
                                std::to_string(timeBase.num) + "/" + std::to_string(timeBase.den) +
                                ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
  graph_ = std::make_unique<FilterGraph>("[in]" + chain + "[out]", std::vector<std::pair<std::string, std::string>>{{"in", arguments}},
                                         FilterGraph::Kind::Video,
                                         name + ": its pictures cannot be " + what + " here (the filters are missing)",
                                         name + ": a picture could not be " + what);
}

FrameFilter::~FrameFilter() = default;

void FrameFilter::give(AVFrame* frame) { graph_->add(0, frame); }

bool FrameFilter::take(AVFrame* frame) { return graph_->take(frame); }

bool FrameFilter::suits(const AVFrame& frame) const {
  return frame.width == width_ && frame.height == height_ && frame.format == format_;
}

}  // namespace ophost::media
