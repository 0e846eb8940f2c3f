#include "colour.h"

#include "ffmpeg_owners.h"
#include "host_error.h"
#include "rgb_frames.h"

namespace ophost::media {

void rgbIntoArea(const RgbImage& rgb, Picture& picture) {
  const Geometry& g = picture.geometry;
  if (rgb.width != g.width || rgb.height != g.height || picture.bytesPerPixel != 4) {
    throw HostError("picture sizes do not match for colour conversion");
  }
  for (int32_t j = 0; j < g.height; ++j) rgbRowToOpPixels(rgb.at(0, j), 3, g.width, picture.area(0, j));
}

RgbImage pictureToRgb(const Picture& picture) {
  const Geometry& g = picture.geometry;
  if (picture.bytesPerPixel != 4) throw HostError("not a four-byte picture");
  RgbImage rgb(g.stride, g.rows);
  for (int32_t j = 0; j < g.rows; ++j) opPixelsRowToRgb(picture.at(0, j), g.stride, 3, rgb.at(0, j));
  return rgb;
}

uint32_t rgbToOpPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t key) {
  const uint8_t rgba[4] = {red, green, blue, key};
  Picture pixel(Geometry::exact(1, 1), 4);
  rgbRowToOpPixels(rgba, 4, 1, pixel.at(0, 0));
  return pixel.pixel(0, 0);
}

std::array<uint8_t, 3> opPixelToRgb(uint32_t pixel) {
  Picture one(Geometry::exact(1, 1), 4);
  one.setPixel(0, 0, pixel);
  std::array<uint8_t, 3> rgb{};
  opPixelsRowToRgb(one.at(0, 0), 1, 3, rgb.data());
  return rgb;
}

RgbImage scaleRgb(const RgbImage& source, int32_t width, int32_t height) {
  if (source.width == width && source.height == height) return source;
  RgbImage scaled(width, height);
  Scaler context(sws_getContext(source.width, source.height, AV_PIX_FMT_RGB24, width, height,
                             AV_PIX_FMT_RGB24, SWS_BICUBIC | SWS_ACCURATE_RND, nullptr, nullptr,
                             nullptr));
  if (!context) {
    throw HostError("cannot scale " + std::to_string(source.width) + "x" +
                    std::to_string(source.height) + " to " + std::to_string(width) + "x" +
                    std::to_string(height));
  }
  std::vector<uint8_t> spare;
  const uint8_t* from[4] = {source.scalerInput(spare), nullptr, nullptr, nullptr};
  const int fromStride[4] = {source.width * 3, 0, 0, 0};
  uint8_t* to[4] = {scaled.rgb.data(), nullptr, nullptr, nullptr};
  const int toStride[4] = {width * 3, 0, 0, 0};
  sws_scale(context.get(), from, fromStride, 0, source.height, to, toStride);
  return scaled;
}

}  // namespace ophost::media
