#include "join_renderer.h"

#include <algorithm>
#include <cmath>

#include "host_error.h"
#include "interrupt.h"
#include "join_audio.h"
#include "media_output.h"
#include "param_vocabulary.h"

namespace ophost::render {

namespace {

std::string clipLabel(size_t index, const std::string& name) {
  return "clip " + std::to_string(index + 1) + " (" + name + ")";
}

// Where a picture of `own` size and pixel aspect goes in a frame of `frame` size and pixel aspect:
// all of it when stretched or of the frame's own shape as shown, else as large as fits, centred,
// with bars on two sides.
Geometry fittedArea(media::Size own, media::PixelAspect ownPixels, const Geometry& frame,
                    media::PixelAspect framePixels, Fit fit) {
  Geometry area = frame;
  // Both shapes as shown: width over height, each pixel as wide as its aspect says.
  const double ownShape = static_cast<double>(own.width) * ownPixels.num / (static_cast<double>(own.height) * ownPixels.den);
  const double frameShape =
      static_cast<double>(frame.width) * framePixels.num / (static_cast<double>(frame.height) * framePixels.den);
  if (fit == Fit::Stretch || std::abs(ownShape - frameShape) < 1e-9 * frameShape) return area;
  if (ownShape > frameShape) {
    area.height = static_cast<int32_t>(std::clamp<int64_t>(std::llround(frame.height * frameShape / ownShape), 1, frame.height));
  } else {
    area.width = static_cast<int32_t>(std::clamp<int64_t>(std::llround(frame.width * ownShape / frameShape), 1, frame.width));
  }
  area.x = (frame.width - area.width) / 2;
  area.y = (frame.height - area.height) / 2;
  return area;
}

// Throws HostError, naming the curves there are, for a sound curve acrossfade does not know.
void checkCurve(const CutEffect& effect) {
  if (effect.audioCurve.empty()) return;
  const auto& curves = media::crossfadeCurves();
  if (std::find(curves.begin(), curves.end(), effect.audioCurve) != curves.end()) return;
  std::string names;
  for (const std::string& curve : curves) names += (names.empty() ? "" : ", ") + curve;
  throw HostError("no cross-fade curve \"" + effect.audioCurve + "\" (there are: " + names + ")");
}

bool isCard(const std::string& name) { return name.rfind("card:", 0) == 0; }

}  // namespace

Fit parseFit(const std::string& text) {
  if (text.empty() || text == "letterbox") return Fit::Letterbox;
  if (text == "stretch") return Fit::Stretch;
  throw HostError("--fit " + text + ": write letterbox (the whole picture, with bars) or stretch");
}

JoinRenderer::JoinRenderer(const JoinSetup& setup) {
  if (setup.clips.size() < 2) throw HostError("join needs two clips or more: ophost join A B [C ...] --with EFFECT --output OUT");
  for (size_t k = 0; k < setup.clips.size(); ++k) {
    JoinClip clip;
    clip.name = setup.clips[k];
    try {
      clip.source = media::openSource(clip.name, &interruptFlag(), setup.source);
      for (const std::string& note : clip.source->notes()) {
        if (setup.warn) setup.warn(Warning{"note " + note, note});
      }
      clip.times = clip.source->frameTimes();
      clip.ownFrames = clip.source->countFrames();
    } catch (const HostError& error) {
      if (interrupted()) throw Interrupted("interrupted while " + clip.name + " was being opened");
      throw HostError("clip " + std::to_string(k + 1) + " " + error.what());
    }
    clip.still = clip.ownFrames == 1 || !clip.times;
    clip.ownRate = clip.source->frameRate();
    clip.hasOwnFile = !isCard(clip.name) && media::sequenceFileName(clip.name, 0) == clip.name;
    clips_.push_back(std::move(clip));
  }
  const JoinClip& first = clips_.front();
  rate_ = setup.fps ? *setup.fps : (!first.still && first.ownRate ? *first.ownRate : media::FrameRate());
  geometry_ = frameGeometry(std::nullopt, std::nullopt, first.source->naturalSize());

  std::vector<int64_t> clipFrames;
  std::vector<std::string> names;
  const int64_t stillFrames = parseDuration(setup.stillDuration, "--still-duration", rate_);
  for (JoinClip& clip : clips_) {
    clip.area = fittedArea(clip.source->naturalSize(), clip.source->pixelAspect(), geometry_,
                           first.source->pixelAspect(), setup.fit);
    clipFrames.push_back(clip.still || !clip.times ? stillFrames : framesLasting(clip.times->end, rate_));
    names.push_back(clip.name);
  }

  const size_t cutCount = clips_.size() - 1;
  if (setup.cuts.empty()) throw HostError("join needs the effect of its cuts: give --with EFFECT (e.g. --with ripples)");
  if (setup.cuts.size() != 1 && setup.cuts.size() != cutCount) {
    throw HostError(std::to_string(clips_.size()) + " clips make " + std::to_string(cutCount) + " cut" +
                    (cutCount == 1 ? "" : "s") + ": give one --with for each, or one for all (" +
                    std::to_string(setup.cuts.size()) + " given)");
  }
  // Each cut's effect loaded and set, then given the textures of its own and opened once, so that
  // a fault of any cut is found before any work.
  std::vector<int64_t> cutFrames;
  std::vector<std::string> effects;
  std::vector<std::string> what;
  for (size_t k = 0; k < cutCount; ++k) {
    const CutEffect& effect = setup.cuts[setup.cuts.size() == 1 ? 0 : k];
    what.push_back("cut " + std::to_string(k + 1) + " (--with " + effect.text + ")");
    JoinCut cut;
    cut.setup.pluginDirectory = setup.pluginDirectory;
    cut.setup.textureDirectory = setup.textureDirectory;
    cut.setup.plugin = effect.effect;
    cut.setup.settings = effect.settings;
    cut.setup.checks = setup.checks;
    cut.setup.warn = setup.warn;
    cut.audioCurve = effect.audioCurve;
    try {
      checkCurve(effect);
      cut.setup.length = effect.duration.empty() ? parseDuration(setup.duration, "--duration", rate_)
                                                 : parseDuration(effect.duration, "duration", rate_);
      const std::string& easing = effect.easing.empty() ? setup.easing : effect.easing;
      if (!easing.empty()) cut.setup.easing = Easing::parse(easing);
      PluginSession session(cut.setup);
      if (session.plugin().model().singleInput()) {
        throw HostError(session.name() + " changes one picture and joins none: a cut needs an effect that takes two");
      }
      cut.effect = session.name();
    } catch (const HostError& error) {
      throw HostError(what.back() + ": " + error.what());
    }
    effects.push_back(cut.effect);
    cutFrames.push_back(cut.setup.length);
    cuts_.push_back(std::move(cut));
  }
  textures_ = customTextures(setup.textures, effects);
  for (size_t k = 0; k < cutCount; ++k) {
    cuts_[k].setup.textures = textures_;
    try {
      PluginSession session(cuts_[k].setup);
      session.open();
    } catch (const Interrupted&) {
      throw;
    } catch (const HostError& error) {
      throw HostError(what[k] + ": " + error.what());
    }
  }
  timeline_ = std::make_unique<Timeline>(clipFrames, cutFrames, names);
  cached_.resize(clips_.size());
  cachedFrame_.assign(clips_.size(), -1);
}

JoinRenderer::~JoinRenderer() = default;

std::shared_ptr<const Picture> JoinRenderer::clipPicture(size_t index, int64_t local) {
  JoinClip& clip = clips_[index];
  // The frame of its own on screen when the output's frame comes on.
  const int64_t own = clip.still || !clip.times ? 0 : clip.times->frameAt(frameTime(local, rate_));
  if (cached_[index] && cachedFrame_[index] == own) return cached_[index];
  auto picture = std::make_shared<Picture>(geometry_, 4);
  if (clip.area != geometry_) {
    for (int32_t row = 0; row < geometry_.rows; ++row)
      for (int32_t column = 0; column < geometry_.stride; ++column) picture->setPixel(column, row, kOpaqueBlack);
  }
  picture->geometry = clip.area;  // the clip's picture goes into its area, the bars stay
  try {
    clip.source->frameInto(own, *picture);
  } catch (const HostError& error) {
    if (interrupted()) throw Interrupted("interrupted while " + clip.name + " was being read");
    throw HostError(clipLabel(index, clip.name) + ": " + error.what());
  }
  picture->geometry = geometry_;
  cached_[index] = picture;
  cachedFrame_[index] = own;
  return picture;
}

FrameInputs JoinRenderer::decodeInputs(int64_t frame) {
  const TimelinePoint point = timeline_->at(frame);
  FrameInputs inputs;
  inputs.input[0] = clipPicture(point.clip, point.local);
  if (point.inCut) inputs.input[1] = clipPicture(point.clip + 1, point.position);
  return inputs;
}

RenderedFrame JoinRenderer::renderWith(int64_t frame, FrameInputs inputs) {
  const TimelinePoint point = timeline_->at(frame);
  if (!point.inCut) return RenderedFrame{*inputs.input[0]};
  if (!session_ || sessionCut_ != point.cut) {
    session_.reset();
    session_ = std::make_unique<PluginSession>(cuts_[point.cut].setup);
    session_->open();
    sessionCut_ = point.cut;
  }
  RenderedFrame rendered = session_->render(point.position, std::move(inputs));
  if (point.position + 1 == timeline_->cuts()[point.cut]) session_.reset();  // the cut is done: close its effect
  return rendered;
}

}  // namespace ophost::render
