// The way a clip is meant to be shown when its pictures are stored otherwise: a phone held upright
// stores its frames on their side with a display rotation (and a front camera, mirrored) for the
// player to apply. Sources apply it as they decode, so every frame a plug-in gets is upright.
#pragma once

#include <memory>

#include "media_input.h"

namespace ophost::media {

struct Orientation {
  int quarterTurns = 0;  // anticlockwise, 0..3, applied after the mirroring
  bool mirrored = false; // left and right swapped
  bool upright() const { return quarterTurns == 0 && !mirrored; }
};

// The orientation a container's display matrix (nine 16.16 and 2.30 fixed-point numbers, as
// FFmpeg gives it) asks for, to the nearest quarter turn.
Orientation orientationOf(const int32_t* displayMatrix);

// `source` shown in `orientation`: its sizes as shown, each frame turned as it is decoded.
std::unique_ptr<FrameSource> orientedSource(std::unique_ptr<FrameSource> source, Orientation orientation);

}  // namespace ophost::media
