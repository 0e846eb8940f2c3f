// A graph of libavfilter's filters, written as libavfilter writes them, fed through named buffer
// sources and read from one buffer sink: the GIF's palette, the join's sound, the filters decoded
// frames pass through. Every filter belongs to the graph, which frees them all with itself.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ffmpeg_owners.h"

namespace ophost::media {

class FilterGraph {
 public:
  enum class Kind { Video, Audio };
  // `sources` pairs each source's label in `description` with its buffer arguments; the sink is
  // the description's "out". Throws HostError(`unavailable`, with libavfilter's reason) when the
  // filters are missing or refuse; `failed` is what a frame the graph then fails on says.
  FilterGraph(const std::string& description, const std::vector<std::pair<std::string, std::string>>& sources,
              Kind kind, const std::string& unavailable, std::string failed);

  // Hands `frame` (its references are taken; null ends the source) to source `index` and runs
  // the graph as far as it goes. Throws HostError(`failed`).
  void add(size_t index, AVFrame* frame);
  // The next frame out, into the empty `frame`: libavfilter's answer (0, AVERROR(EAGAIN) when there
  // is none yet, AVERROR_EOF after the last, or a failure).
  int receive(AVFrame* frame) const;
  // The same, false for none yet or no more; throws HostError(`failed`) for a failure.
  bool take(AVFrame* frame) const;

  AVFilterContext* source(size_t index) const { return sources_.at(index); }
  AVFilterContext* sink() const { return sink_; }

 private:
  std::string failed_;
  FilterGraphOwner graph_;
  std::vector<AVFilterContext*> sources_;  // the graph's, as is the sink
  AVFilterContext* sink_ = nullptr;
};

}  // namespace ophost::media
