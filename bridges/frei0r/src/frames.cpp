#include "frames.h"

#include "buffer_pool.h"
#include "host_error.h"
#include "rgb_frames.h"

namespace kt3frei0r {

std::shared_ptr<ophost::Picture> pictureFromRgba(const uint32_t* rgba, int32_t width, int32_t height) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(rgba);
  std::shared_ptr<ophost::Picture> picture = ophost::pooledPicture(ophost::Geometry::exact(width, height), 4);
  for (int32_t j = 0; j < height; ++j) {
    ophost::media::rgbRowToOpPixels(bytes + static_cast<size_t>(j) * static_cast<size_t>(width) * 4, 4, width,
                                    picture->at(0, j));
  }
  return picture;
}

void rgbaFromPicture(const ophost::Picture& picture, int32_t width, int32_t height, uint32_t* rgba) {
  const ophost::Geometry& g = picture.geometry;
  if (g != ophost::Geometry::exact(width, height)) {
    throw ophost::HostError("the output is not laid out like the frame (" + g.describe() + ")");
  }
  auto* bytes = reinterpret_cast<uint8_t*>(rgba);
  for (int32_t j = 0; j < height; ++j) {
    ophost::media::opPixelsRowToRgb(picture.at(0, j), width, 4,
                                    bytes + static_cast<size_t>(j) * static_cast<size_t>(width) * 4);
  }
}

}  // namespace kt3frei0r
