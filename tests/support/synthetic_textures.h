// Synthetic grey textures of the real files' sizes, for the plug-ins that ask for textures: what
// the benchmarks and the before/after equivalence check serve them.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "host_error.h"
#include "picture.h"
#include "texture_files.h"

namespace synthetic {

// The size each texture file has on a real installation.
inline bool textureSize(const std::string& name, int32_t& width, int32_t& height) {
  if (name == "ripples.png" || name == "streaks.png" || name == "sunbeams__xy.png" ||
      name == "diagonal.png") {
    width = 286;
    height = 228;
    return true;
  }
  if (name == "diamant.png" || name == "kreis.png") {
    width = 180;
    height = 144;
    return true;
  }
  return false;
}

// A smooth grey picture that runs through every grey level, like the real textures do: a diagonal
// ramp for diagonal.png, a pattern of soft hills for the others.
inline ophost::Picture syntheticTexture(const std::string& name, int32_t width, int32_t height) {
  ophost::Picture grey(ophost::Geometry::exact(width, height), 1);
  for (int32_t row = 0; row < height; ++row) {
    for (int32_t column = 0; column < width; ++column) {
      double v;
      if (name == "diagonal.png") {
        v = 255.0 * (column + row) / (width + height - 2);
      } else {
        v = 127.5 + 127.5 * std::sin(column * 0.071) * std::cos(row * 0.053 + column * 0.011);
      }
      *grey.at(column, row) = static_cast<uint8_t>(std::lround(v < 0 ? 0 : v > 255 ? 255 : v));
    }
  }
  return grey;
}

// Serves every known texture name with a synthetic picture of its real size.
inline ophost::TextureProvider syntheticTextures() {
  return [](const std::string& name) -> std::shared_ptr<const ophost::Picture> {
    int32_t width = 0;
    int32_t height = 0;
    if (!textureSize(name, width, height)) throw ophost::HostError("no synthetic texture " + name);
    return std::make_shared<const ophost::Picture>(syntheticTexture(name, width, height));
  };
}

}  // namespace synthetic
