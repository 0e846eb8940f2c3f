#include "tone_map.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/pixdesc.h>
}

#include "ffmpeg_owners.h"
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

struct ToneMapper::Graph {
  FilterGraphOwner graph;
  AVFilterContext* source = nullptr;  // the graph's, as is the sink
  AVFilterContext* sink = nullptr;
  int width = 0, height = 0, format = -1;
};

ToneMapper::ToneMapper() = default;
ToneMapper::~ToneMapper() = default;

void ToneMapper::map(AVFrame& frame, const std::string& name) {
  if (!graph_ || graph_->width != frame.width || graph_->height != frame.height || graph_->format != frame.format) {
    auto graph = std::make_unique<Graph>();
    graph->graph.reset(avfilter_graph_alloc());
    graph->width = frame.width, graph->height = frame.height, graph->format = frame.format;
    const std::string arguments = "video_size=" + std::to_string(frame.width) + "x" + std::to_string(frame.height) +
                                  ":pix_fmt=" + std::to_string(frame.format) + ":time_base=1/25:pixel_aspect=1/1";
    bool ready = graph->graph &&
                 avfilter_graph_create_filter(&graph->source, avfilter_get_by_name("buffer"), "in", arguments.c_str(),
                                              nullptr, graph->graph.get()) >= 0 &&
                 avfilter_graph_create_filter(&graph->sink, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                              graph->graph.get()) >= 0;
    if (ready) {
      FilterEnds outputs(avfilter_inout_alloc()), inputs(avfilter_inout_alloc());
      ready = outputs && inputs;
      if (ready) {
        outputs->name = av_strdup("in");
        outputs->filter_ctx = graph->source;
        inputs->name = av_strdup("out");
        inputs->filter_ctx = graph->sink;
        AVFilterInOut* in = inputs.release();  // the parser frees or keeps what it is given
        AVFilterInOut* out = outputs.release();
        ready = avfilter_graph_parse_ptr(graph->graph.get(), kChain, &in, &out, nullptr) >= 0;
        inputs.reset(in);
        outputs.reset(out);
        ready = ready && avfilter_graph_config(graph->graph.get(), nullptr) >= 0;
      }
    }
    if (!ready) throw HostError(name + ": its high-dynamic-range pictures cannot be tone-mapped here (no zscale or tonemap filter)");
    graph_ = std::move(graph);
  }
  // The source takes the frame's picture; the frame is then refilled from the sink.
  bool mapped = av_buffersrc_add_frame_flags(graph_->source, &frame, AV_BUFFERSRC_FLAG_PUSH) >= 0;
  av_frame_unref(&frame);
  mapped = mapped && av_buffersink_get_frame(graph_->sink, &frame) >= 0;
  if (!mapped) throw HostError(name + ": a high-dynamic-range picture could not be tone-mapped");
  frame.colorspace = AVCOL_SPC_BT709;
  frame.color_primaries = AVCOL_PRI_BT709;
  frame.color_trc = AVCOL_TRC_BT709;
  frame.color_range = AVCOL_RANGE_MPEG;
}

}  // namespace ophost::media
