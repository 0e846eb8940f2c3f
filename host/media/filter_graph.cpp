#include "filter_graph.h"

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
}

#include "host_error.h"
#include "input_file.h"

namespace ophost::media {

FilterGraph::FilterGraph(const std::string& description,
                         const std::vector<std::pair<std::string, std::string>>& sources, Kind kind,
                         const std::string& unavailable, std::string failed)
    : failed_(std::move(failed)), graph_(avfilter_graph_alloc()) {
  const bool audio = kind == Kind::Audio;
  int status = graph_ ? avfilter_graph_create_filter(&sink_, avfilter_get_by_name(audio ? "abuffersink" : "buffersink"),
                                                     "out", nullptr, nullptr, graph_.get())
                      : AVERROR(ENOMEM);
  FilterEnds outputs;
  for (size_t n = sources.size(); status >= 0 && n-- > 0;) {
    AVFilterContext* source = nullptr;
    status = avfilter_graph_create_filter(&source, avfilter_get_by_name(audio ? "abuffer" : "buffer"),
                                          sources[n].first.c_str(), sources[n].second.c_str(), nullptr, graph_.get());
    if (status < 0) break;
    sources_.insert(sources_.begin(), source);
    FilterEnds output(avfilter_inout_alloc());
    if (!output) status = AVERROR(ENOMEM);
    if (status < 0) break;
    output->name = av_strdup(sources[n].first.c_str());
    output->filter_ctx = source;
    output->next = outputs.release();
    outputs = std::move(output);
  }
  FilterEnds inputs(avfilter_inout_alloc());
  if (status >= 0 && !inputs) status = AVERROR(ENOMEM);
  if (status >= 0) {
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink_;
    AVFilterInOut* in = inputs.release();  // the parser frees or keeps what it is given
    AVFilterInOut* out = outputs.release();
    status = avfilter_graph_parse_ptr(graph_.get(), description.c_str(), &in, &out, nullptr);
    inputs.reset(in);
    outputs.reset(out);
    if (status >= 0) status = avfilter_graph_config(graph_.get(), nullptr);
  }
  if (status < 0) throw HostError(unavailable + " (" + averror(status) + ")");
}

void FilterGraph::add(size_t index, AVFrame* frame) {
  const int status = av_buffersrc_add_frame_flags(sources_.at(index), frame, AV_BUFFERSRC_FLAG_PUSH);
  if (status < 0) {
    if (frame != nullptr) av_frame_unref(frame);
    throw HostError(failed_ + " (" + averror(status) + ")");
  }
}

int FilterGraph::receive(AVFrame* frame) const { return av_buffersink_get_frame(sink_, frame); }

bool FilterGraph::take(AVFrame* frame) const {
  const int status = receive(frame);
  if (status == AVERROR_EOF || status == AVERROR(EAGAIN)) return false;
  if (status < 0) throw HostError(failed_ + " (" + averror(status) + ")");
  return true;
}

}  // namespace ophost::media
