#include "frames.h"

#include <cstring>

#include "colour.h"
#include "host_error.h"

namespace kt3frei0r {

ophost::Picture pictureFromRgba(const uint32_t* rgba, int32_t width, int32_t height) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(rgba);
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  ophost::media::RgbImage rgb(width, height);
  for (size_t k = 0; k < count; ++k) {
    rgb.rgb[k * 3] = bytes[k * 4];
    rgb.rgb[k * 3 + 1] = bytes[k * 4 + 1];
    rgb.rgb[k * 3 + 2] = bytes[k * 4 + 2];
  }
  ophost::Picture picture(ophost::Geometry::exact(width, height), 4);
  ophost::media::rgbIntoArea(rgb, picture);
  for (size_t k = 0; k < count; ++k) picture.bytes[k * 4] = bytes[k * 4 + 3];
  return picture;
}

void rgbaFromPicture(const ophost::Picture& picture, int32_t width, int32_t height, uint32_t* rgba) {
  const ophost::Geometry& g = picture.geometry;
  if (g != ophost::Geometry::exact(width, height)) {
    throw ophost::HostError("the output is not laid out like the frame (" + g.describe() + ")");
  }
  const ophost::media::RgbImage rgb = ophost::media::pictureToRgb(picture);
  auto* bytes = reinterpret_cast<uint8_t*>(rgba);
  const size_t count = static_cast<size_t>(g.width) * static_cast<size_t>(g.height);
  for (size_t k = 0; k < count; ++k) {
    bytes[k * 4] = rgb.rgb[k * 3];
    bytes[k * 4 + 1] = rgb.rgb[k * 3 + 1];
    bytes[k * 4 + 2] = rgb.rgb[k * 3 + 2];
    bytes[k * 4 + 3] = picture.bytes[k * 4];
  }
}

}  // namespace kt3frei0r
