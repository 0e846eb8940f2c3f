#include "colour.h"

#include "ffmpeg_owners.h"
#include "host_error.h"

namespace ophost::media {

namespace {

constexpr int kExact = SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT | SWS_FULL_CHR_H_INT |
                       SWS_FULL_CHR_H_INP;


// A same-size conversion between packed RGB24 (full range) and planar YUV444P (BT.601 studio).
Scaler converter(int32_t width, int32_t height, AVPixelFormat from, AVPixelFormat to) {
  Scaler context(sws_getContext(width, height, from, width, height, to, kExact, nullptr, nullptr,
                             nullptr));
  if (!context) throw HostError("colour conversion is not available for this picture size");
  const int* bt601 = sws_getCoefficients(SWS_CS_ITU601);
  const int fromRange = from == AV_PIX_FMT_RGB24 ? 1 : 0;
  const int toRange = to == AV_PIX_FMT_RGB24 ? 1 : 0;
  sws_setColorspaceDetails(context.get(), bt601, fromRange, bt601, toRange, 0, 1 << 16, 1 << 16);
  return context;
}

struct Planes {
  std::vector<uint8_t> y, cb, cr;
  explicit Planes(size_t size) : y(size + kScalerPadding), cb(size + kScalerPadding), cr(size + kScalerPadding) {}
};

}  // namespace

void rgbIntoArea(const RgbImage& rgb, Picture& picture) {
  const Geometry& g = picture.geometry;
  if (rgb.width != g.width || rgb.height != g.height || picture.bytesPerPixel != 4) {
    throw HostError("picture sizes do not match for colour conversion");
  }
  if (g.width == 0 || g.height == 0) return;
  const size_t size = static_cast<size_t>(g.width) * g.height;
  Planes planes(size);
  Scaler context = converter(g.width, g.height, AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV444P);
  // swscale reads four plane pointers and strides whatever the format.
  std::vector<uint8_t> spare;
  const uint8_t* source[4] = {rgb.scalerInput(spare), nullptr, nullptr, nullptr};
  const int sourceStride[4] = {rgb.width * 3, 0, 0, 0};
  uint8_t* target[4] = {planes.y.data(), planes.cb.data(), planes.cr.data(), nullptr};
  const int targetStride[4] = {g.width, g.width, g.width, 0};
  sws_scale(context.get(), source, sourceStride, 0, g.height, target, targetStride);
  for (int32_t j = 0; j < g.height; ++j) {
    for (int32_t i = 0; i < g.width; ++i) {
      const size_t k = static_cast<size_t>(j) * g.width + i;
      uint8_t* p = picture.area(i, j);
      p[0] = 255;
      p[1] = planes.cb[k];
      p[2] = planes.cr[k];
      p[3] = planes.y[k];
    }
  }
}

RgbImage pictureToRgb(const Picture& picture) {
  const Geometry& g = picture.geometry;
  if (picture.bytesPerPixel != 4) throw HostError("not a four-byte picture");
  RgbImage rgb(g.stride, g.rows);
  if (g.stride == 0 || g.rows == 0) return rgb;
  const size_t size = static_cast<size_t>(g.stride) * g.rows;
  Planes planes(size);
  for (size_t k = 0; k < size; ++k) {
    planes.cb[k] = picture.bytes[k * 4 + 1];
    planes.cr[k] = picture.bytes[k * 4 + 2];
    planes.y[k] = picture.bytes[k * 4 + 3];
  }
  Scaler context = converter(g.stride, g.rows, AV_PIX_FMT_YUV444P, AV_PIX_FMT_RGB24);
  const uint8_t* source[4] = {planes.y.data(), planes.cb.data(), planes.cr.data(), nullptr};
  const int sourceStride[4] = {g.stride, g.stride, g.stride, 0};
  uint8_t* target[4] = {rgb.rgb.data(), nullptr, nullptr, nullptr};
  const int targetStride[4] = {g.stride * 3, 0, 0, 0};
  sws_scale(context.get(), source, sourceStride, 0, g.rows, target, targetStride);
  return rgb;
}

// Single colours go through a small block: the converter wants a few pixels to work with.
uint32_t rgbToOpPixel(uint8_t red, uint8_t green, uint8_t blue, uint8_t key) {
  RgbImage block(8, 8);
  for (size_t k = 0; k < block.rgb.size(); k += 3) {
    block.rgb[k] = red;
    block.rgb[k + 1] = green;
    block.rgb[k + 2] = blue;
  }
  Picture picture(Geometry::exact(8, 8), 4);
  rgbIntoArea(block, picture);
  const uint32_t pixel = picture.pixel(4, 4);
  return (pixel & 0xFFFFFF00u) | key;
}

std::array<uint8_t, 3> opPixelToRgb(uint32_t pixel) {
  Picture picture(Geometry::exact(8, 8), 4);
  for (int32_t j = 0; j < 8; ++j)
    for (int32_t i = 0; i < 8; ++i) picture.setPixel(i, j, pixel | 0xFFu);
  const RgbImage rgb = pictureToRgb(picture);
  const uint8_t* p = rgb.at(4, 4);
  return {p[0], p[1], p[2]};
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
