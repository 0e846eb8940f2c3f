#include "frame_filter.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "ffmpeg_owners.h"
#include "host_error.h"

namespace ophost::media {

struct FrameFilter::Graph {
  FilterGraphOwner graph;
  AVFilterContext* source = nullptr;  // the graph's, as is the sink
  AVFilterContext* sink = nullptr;
  int width = 0, height = 0, format = -1;
};

FrameFilter::FrameFilter(const std::string& chain, const AVFrame& first, AVRational timeBase,
                         const std::string& name, const std::string& what)
    : graph_(std::make_unique<Graph>()), name_(name), what_(what) {
  Graph& g = *graph_;
  g.graph.reset(avfilter_graph_alloc());
  g.width = first.width, g.height = first.height, g.format = first.format;
  const AVRational aspect = first.sample_aspect_ratio.num > 0 ? first.sample_aspect_ratio : AVRational{1, 1};
  const std::string arguments = "video_size=" + std::to_string(first.width) + "x" + std::to_string(first.height) +
                                ":pix_fmt=" + std::to_string(first.format) + ":time_base=" +
                                std::to_string(timeBase.num) + "/" + std::to_string(timeBase.den) +
                                ":pixel_aspect=" + std::to_string(aspect.num) + "/" + std::to_string(aspect.den);
  bool ready = g.graph &&
               avfilter_graph_create_filter(&g.source, avfilter_get_by_name("buffer"), "in", arguments.c_str(), nullptr,
                                            g.graph.get()) >= 0 &&
               avfilter_graph_create_filter(&g.sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                            g.graph.get()) >= 0;
  if (ready) {
    FilterEnds outputs(avfilter_inout_alloc()), inputs(avfilter_inout_alloc());
    ready = outputs && inputs;
    if (ready) {
      outputs->name = av_strdup("in");
      outputs->filter_ctx = g.source;
      inputs->name = av_strdup("out");
      inputs->filter_ctx = g.sink;
      AVFilterInOut* in = inputs.release();  // the parser frees or keeps what it is given
      AVFilterInOut* out = outputs.release();
      ready = avfilter_graph_parse_ptr(g.graph.get(), chain.c_str(), &in, &out, nullptr) >= 0;
      inputs.reset(in);
      outputs.reset(out);
      ready = ready && avfilter_graph_config(g.graph.get(), nullptr) >= 0;
    }
  }
  if (!ready) throw HostError(name + ": its pictures cannot be " + what + " here (the filters are missing)");
}

FrameFilter::~FrameFilter() = default;

void FrameFilter::give(AVFrame* frame) {
  if (av_buffersrc_add_frame_flags(graph_->source, frame, AV_BUFFERSRC_FLAG_PUSH) < 0) {
    if (frame != nullptr) av_frame_unref(frame);
    throw HostError(name_ + ": a picture could not be " + what_);
  }
}

bool FrameFilter::take(AVFrame* frame) {
  const int status = av_buffersink_get_frame(graph_->sink, frame);
  if (status == AVERROR(EAGAIN) || status == AVERROR_EOF) return false;
  if (status < 0) throw HostError(name_ + ": a picture could not be " + what_);
  return true;
}

bool FrameFilter::suits(const AVFrame& frame) const {
  return frame.width == graph_->width && frame.height == graph_->height && frame.format == graph_->format;
}

}  // namespace ophost::media
