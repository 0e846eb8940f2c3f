#include "join_plan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <regex>

#include "host_error.h"
#include "param_vocabulary.h"

namespace ophost::render {

namespace {

int64_t framesOfSeconds(double seconds, media::FrameRate rate) {
  return std::llround(seconds * rate.num / rate.den);
}

std::string ordinalClip(size_t index) { return "clip " + std::to_string(index + 1); }

}  // namespace

int64_t parseDuration(const std::string& text, const std::string& what, media::FrameRate rate) {
  static const std::regex seconds("([0-9]{1,6}(\\.[0-9]{1,6})?)s?");
  static const std::regex frames("([0-9]{1,8})f");
  static const std::regex timecode("([0-9]{1,3}):([0-5][0-9]):([0-5][0-9]):([0-9]{2})");
  static const std::regex clock("(([0-9]{1,3}):)?([0-5]?[0-9]):([0-5][0-9](\\.[0-9]{1,6})?)");
  std::smatch match;
  int64_t result = 0;
  if (std::regex_match(text, match, frames)) {
    result = std::stoll(match[1]);
  } else if (std::regex_match(text, match, seconds)) {
    result = framesOfSeconds(std::stod(match[1]), rate);
  } else if (std::regex_match(text, match, timecode)) {
    const int64_t whole = std::stoll(match[1]) * 3600 + std::stoll(match[2]) * 60 + std::stoll(match[3]);
    const int64_t frame = std::stoll(match[4]);
    const auto perSecond = static_cast<int64_t>(std::ceil(rate.perSecond()));
    if (frame >= perSecond) {
      throw HostError(what + " " + text + ": frame " + match[4].str() + " of a second that has " +
                      std::to_string(perSecond) + " (frames 00.." + std::to_string(perSecond - 1) + ")");
    }
    result = framesOfSeconds(static_cast<double>(whole), rate) + frame;
  } else if (std::regex_match(text, match, clock)) {
    const double hours = match[2].matched ? std::stod(match[2]) : 0.0;
    result = framesOfSeconds(hours * 3600 + std::stod(match[3]) * 60 + std::stod(match[4]), rate);
  } else {
    throw HostError(what + ": \"" + text + "\" is not a length of time (write 1.5, 1.5s, 36f or 00:00:01:12)");
  }
  if (result < 1) throw HostError(what + " " + text + " is shorter than one frame at " + rate.describe() + " fps");
  if (result > 4000000) throw HostError(what + " " + text + " is longer than 4000000 frames");
  return result;
}

std::string clockText(int64_t frames, media::FrameRate rate) {
  const double seconds = static_cast<double>(frames) * rate.den / rate.num;
  const auto hundredths = static_cast<int64_t>(std::llround(seconds * 100));
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%02lld", static_cast<long long>(hundredths / 360000),
                static_cast<long long>(hundredths / 6000 % 60), static_cast<long long>(hundredths / 100 % 60),
                static_cast<long long>(hundredths % 100));
  return text;
}

CutEffect parseCutEffect(const std::string& text) {
  CutEffect cut;
  cut.text = text;
  const size_t colon = text.find(':');
  cut.effect = text.substr(0, colon);
  if (cut.effect.empty()) throw HostError("--with " + text + ": name the effect first (--with ripples:share=40)");
  if (colon == std::string::npos) return cut;
  std::vector<std::string> entries(1);
  int depth = 0;
  for (const char c : text.substr(colon + 1)) {
    if (c == '(') ++depth;
    if (c == ')') depth = std::max(0, depth - 1);
    if (c == ',' && depth == 0) {
      entries.emplace_back();
    } else {
      entries.back() += c;
    }
  }
  for (const std::string& entry : entries) {
    const size_t equals = entry.find('=');
    if (equals == std::string::npos || equals == 0) {
      throw HostError("--with " + text + ": \"" + entry + "\" is not PARAM=VALUE");
    }
    const std::string key = lowerCase(entry.substr(0, equals));
    const std::string value = entry.substr(equals + 1);
    if (key == "easing") {
      cut.easing = value;
    } else if (key == "audio") {
      cut.audioCurve = value;
    } else if (key == "duration") {
      cut.duration = value;
    } else {
      cut.settings.push_back(entry);
    }
  }
  return cut;
}

Timeline::Timeline(std::vector<int64_t> clipFrames, std::vector<int64_t> cutFrames,
                   const std::vector<std::string>& clipNames)
    : cuts_(std::move(cutFrames)) {
  if (clipFrames.size() < 2 || cuts_.size() + 1 != clipFrames.size()) {
    throw HostError("a join needs two clips or more, and one cut between each two");
  }
  const auto named = [&](size_t k) {
    return ordinalClip(k) + (k < clipNames.size() ? " (" + clipNames[k] + ")" : std::string());
  };
  for (size_t k = 0; k < cuts_.size(); ++k) {
    for (const size_t clip : {k, k + 1}) {
      if (cuts_[k] > clipFrames[clip]) {
        throw HostError("cut " + std::to_string(k + 1) + " lasts " + std::to_string(cuts_[k]) + " frames, longer than " +
                        named(clip) + ", which lasts " + std::to_string(clipFrames[clip]) + ": give a shorter --duration");
      }
    }
    if (k > 0 && cuts_[k - 1] + cuts_[k] > clipFrames[k]) {
      throw HostError(named(k) + " lasts " + std::to_string(clipFrames[k]) + " frames, fewer than its two cuts take (" +
                      std::to_string(cuts_[k - 1]) + " + " + std::to_string(cuts_[k]) + "): give a shorter --duration");
    }
  }
  int64_t start = 0;
  for (size_t k = 0; k < clipFrames.size(); ++k) {
    spans_.push_back({clipFrames[k], start});
    if (k < cuts_.size()) start += clipFrames[k] - cuts_[k];
  }
  total_ = spans_.back().start + spans_.back().frames;
}

TimelinePoint Timeline::at(int64_t frame) const {
  size_t k = spans_.size() - 1;
  while (k > 0 && spans_[k].start > frame) --k;
  TimelinePoint point;
  if (k > 0 && frame < spans_[k].start + cuts_[k - 1]) {
    point.inCut = true;
    point.cut = k - 1;
    point.clip = k - 1;
    point.position = frame - spans_[k].start;
    point.local = frame - spans_[k - 1].start;
  } else {
    point.clip = k;
    point.local = frame - spans_[k].start;
  }
  return point;
}

int64_t framesLasting(double seconds, media::FrameRate rate) {
  return std::max<int64_t>(1, std::llround(seconds * rate.num / rate.den));
}

}  // namespace ophost::render
