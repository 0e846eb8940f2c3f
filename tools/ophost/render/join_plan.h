// The timeline of a join: clips played one after another, each cut a transition over the tail of
// the clip before and the head of the clip after, so the whole lasts the clips' frames less the
// cuts'. This file holds the arithmetic and the syntaxes the join is given in; join_renderer.h
// renders frames of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "easing.h"
#include "frame_rate.h"

namespace ophost::render {

// A length of time as a user writes it, in frames of `rate`: seconds ("1.5", "1.5s"), frames
// ("36f") or a timecode ("HH:MM:SS:FF", frames at `rate`; "HH:MM:SS.sss"; "MM:SS"). Rounded to
// the nearest frame. Throws HostError naming `what` for any other text or a length below one frame.
int64_t parseDuration(const std::string& text, const std::string& what, media::FrameRate rate);

// "00:00:04.00": a time as the summary of a join shows it.
std::string clockText(int64_t frames, media::FrameRate rate);

// One --with: the effect of a cut, its parameters, and the join's own keys: easing=CURVE (how the
// effect's frames map onto its positions), audio=CURVE (the sound's cross-fade) and duration=D
// (this cut's length instead of --duration).
struct CutEffect {
  std::string effect;
  std::vector<std::string> settings;  // "PARAM=VALUE", the plug-in's own
  std::string easing;                  // empty: the join's --easing
  std::string audioCurve;              // empty: the default cross-fade
  std::string duration;                // empty: the join's --duration
  std::string text;                    // as given, for messages
};
// "ripples:easing=ease-in,share=40": commas inside parentheses (cubic-bezier(...)) belong to the
// value. Throws HostError for an empty effect name or an entry that is not KEY=VALUE.
CutEffect parseCutEffect(const std::string& text);

// A clip's place in the timeline.
struct ClipSpan {
  int64_t frames = 0;  // the output frames it plays for, its cuts included
  int64_t start = 0;   // the output frame it starts on
};

// What output frame `frame` shows: clip `clip`'s own frame `local` (counted from its start), or,
// within a cut, cut `cut` at position `position` of its length.
struct TimelinePoint {
  bool inCut = false;
  size_t clip = 0;        // the clip shown, or the clip before the cut
  int64_t local = 0;      // frame of `clip` counted in output frames from its start
  size_t cut = 0;
  int64_t position = 0;   // 0 .. the cut's length - 1
};

class Timeline {
 public:
  // Clip k lasts clipFrames[k] output frames, cut k joins clip k to clip k + 1 over cutFrames[k].
  // Throws HostError (naming the clips by `clipNames`) for a cut longer than either clip it joins,
  // or a clip too short for both of its cuts.
  Timeline(std::vector<int64_t> clipFrames, std::vector<int64_t> cutFrames,
           const std::vector<std::string>& clipNames);
  int64_t totalFrames() const { return total_; }
  const std::vector<ClipSpan>& clips() const { return spans_; }
  const std::vector<int64_t>& cuts() const { return cuts_; }
  // The first output frame of cut k.
  int64_t cutStart(size_t cut) const { return spans_[cut + 1].start; }
  TimelinePoint at(int64_t frame) const;

 private:
  std::vector<ClipSpan> spans_;
  std::vector<int64_t> cuts_;
  int64_t total_ = 0;
};

// The time output frame `frame` comes on screen at `rate`, in seconds from the first.
inline double frameTime(int64_t frame, media::FrameRate rate) {
  return static_cast<double>(frame) * rate.den / rate.num;
}
// How many frames of `rate` a clip lasting `seconds` plays for: the nearest whole number, at
// least one.
int64_t framesLasting(double seconds, media::FrameRate rate);

}  // namespace ophost::render
