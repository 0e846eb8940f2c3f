// A chain of libavfilter's video filters that decoded frames pass through on their way to the
// host: frames in, in order; frames out, as the chain gives them (a deinterlacer holds one back
// to see the next).
#pragma once

#include <memory>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

namespace ophost::media {

class FilterGraph;

class FrameFilter {
 public:
  // `chain` as libavfilter writes it ("bwdif=mode=send_frame"), for frames like `first` with
  // timestamps in `timeBase`. Throws HostError naming `name` and `what` the chain does when the
  // filters are missing or refuse.
  FrameFilter(const std::string& chain, const AVFrame& first, AVRational timeBase, const std::string& name,
              const std::string& what);
  ~FrameFilter();
  FrameFilter(const FrameFilter&) = delete;
  FrameFilter& operator=(const FrameFilter&) = delete;

  // Hands the chain `frame`'s picture (the frame is left empty), or with null, the end.
  void give(AVFrame* frame);
  // The next frame out into the empty `frame`; false when there is none yet, or no more.
  bool take(AVFrame* frame);
  // Whether frames of `frame`'s size and format suit the chain as it was set up.
  bool suits(const AVFrame& frame) const;

 private:
  std::unique_ptr<FilterGraph> graph_;
  int width_, height_, format_;  // of the frames it was set up for
};

}  // namespace ophost::media
