// A join rendered frame by frame: the clips opened and fitted into the first one's frame, their
// rates converted to the output's, and each cut's effect rendered over the tail of the clip
// before and the head of the clip after. Frames are asked for in order, each once.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "frame_rate.h"
#include "join_plan.h"
#include "media_input.h"
#include "renderer.h"
#include "warning.h"

namespace ophost::render {

enum class Fit { Letterbox, Stretch };
Fit parseFit(const std::string& text);  // "letterbox" or "stretch"; throws HostError

struct JoinSetup {
  std::filesystem::path pluginDirectory;
  std::filesystem::path textureDirectory;
  std::vector<std::string> clips;     // as given: files, sequences, card:NAME
  std::vector<CutEffect> cuts;        // one per cut, or one for all
  std::string duration = "1s";        // of each cut without its own
  std::string stillDuration = "3s";   // of each still picture
  std::string easing;                 // of each cut without its own; empty: linear
  Fit fit = Fit::Letterbox;
  std::optional<media::FrameRate> fps;  // the output's; clip 1's own (25 for a still) when not given
  std::vector<std::string> textures;  // --texture entries, for the cuts' effects
  media::SourceOptions source;  // HDR and interlaced clips: how they are read
  bool checks = false;
  WarningSink warn;
};

// One clip as the join plays it.
struct JoinClip {
  std::string name;
  std::unique_ptr<media::FrameSource> source;
  bool still = false;
  int64_t ownFrames = 1;                 // its own frames (1 for a still)
  std::optional<media::FrameRate> ownRate;
  std::optional<media::FrameTimes> times;  // when each of its frames is on screen (a clip's)
  Geometry area;                         // where its pictures go in the frame
  bool hasOwnFile = false;               // a file of its own (its sound may be taken from it)
};

// One cut as it is rendered.
struct JoinCut {
  RenderSetup setup;      // the effect, its values, length (the cut's frames) and easing
  std::string effect;     // the plug-in's own name
  std::string audioCurve;
};

class JoinRenderer final : public FrameStages {
 public:
  // Opens every clip and counts its frames, builds the timeline, and loads, sets and opens each
  // cut's effect once to see that it starts: every fault of the command line is found here,
  // before anything is written. Throws HostError with one message.
  explicit JoinRenderer(const JoinSetup& setup);
  ~JoinRenderer() override;

  const Timeline& timeline() const { return *timeline_; }
  const Geometry& geometry() const { return geometry_; }
  media::FrameRate rate() const { return rate_; }
  const std::vector<JoinClip>& clips() const { return clips_; }
  const std::vector<JoinCut>& cuts() const { return cuts_; }
  const std::vector<CustomTexture>& textures() const { return textures_; }

  // The two steps of output frame `frame`, each asked for in order from frame 0: the clip
  // pictures it shows (the two of a cut), and the frame made of them.
  FrameInputs decodeInputs(int64_t frame) override;
  RenderedFrame renderWith(int64_t frame, FrameInputs inputs) override;

 private:
  std::shared_ptr<const Picture> clipPicture(size_t clip, int64_t local);

  std::vector<JoinClip> clips_;
  std::vector<JoinCut> cuts_;
  std::vector<CustomTexture> textures_;
  std::unique_ptr<Timeline> timeline_;
  Geometry geometry_;
  media::FrameRate rate_;
  // The last picture of each clip and the frame of its own it shows.
  std::vector<std::shared_ptr<const Picture>> cached_;
  std::vector<int64_t> cachedFrame_;
  // The effect of the cut being rendered; one plug-in is open at a time.
  std::unique_ptr<PluginSession> session_;
  size_t sessionCut_ = 0;
};

}  // namespace ophost::render
