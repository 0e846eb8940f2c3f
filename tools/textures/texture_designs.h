// The host's six wipe and fog textures, drawn procedurally: one-byte grey pictures that the
// texture-driven plug-ins ask for as "/programs/kt3/NAME". Dark texels take input 1 (or the fog)
// first, bright ones last, so each picture is designed as the order in which the frame changes.
// Every texture spans the whole grey range 0..255 smoothly, so the soft band of a wipe shows.
#pragma once

#include <string>
#include <vector>

#include "picture.h"

namespace ophost::textures {

struct TextureDesign {
  std::string name;    // the file name, "ripples.png"
  int32_t width = 0;
  int32_t height = 0;
  std::string about;
};

// All six, in a fixed order.
const std::vector<TextureDesign>& textureDesigns();

// Draws the texture called `name`; throws HostError for a name that is not one of the six.
Picture drawTexture(const std::string& name);

}  // namespace ophost::textures
