#include "orientation.h"

extern "C" {
#include <libavutil/display.h>
}

#include <cmath>

namespace ophost::media {

namespace {

// Where the pixel shown at (x, y) of a `shown` picture lies in the stored one.
struct Turn {
  Orientation orientation;
  int32_t storedWidth = 0, storedHeight = 0;
  void stored(int32_t x, int32_t y, int32_t& sx, int32_t& sy) const {
    switch (orientation.quarterTurns) {
      case 1: sx = storedWidth - 1 - y, sy = x; break;                        // turned anticlockwise
      case 2: sx = storedWidth - 1 - x, sy = storedHeight - 1 - y; break;
      case 3: sx = y, sy = storedHeight - 1 - x; break;                       // turned clockwise
      default: sx = x, sy = y; break;
    }
    if (orientation.mirrored) sx = storedWidth - 1 - sx;
  }
};

bool sideways(Orientation orientation) { return orientation.quarterTurns % 2 == 1; }

class OrientedSource final : public FrameSource {
 public:
  OrientedSource(std::unique_ptr<FrameSource> source, Orientation orientation)
      : source_(std::move(source)), orientation_(orientation) {}

  Size naturalSize() const override { return shown(source_->naturalSize()); }
  std::optional<int64_t> frameCount() const override { return source_->frameCount(); }
  bool isStill() const override { return source_->isStill(); }
  std::optional<FrameRate> frameRate() const override { return source_->frameRate(); }
  std::optional<FrameTimes> frameTimes() override { return source_->frameTimes(); }
  bool hasAlpha() const override { return source_->hasAlpha(); }
  bool isBt709() const override { return source_->isBt709(); }
  PixelAspect pixelAspect() const override {
    return sideways(orientation_) ? source_->pixelAspect().turned() : source_->pixelAspect();
  }
  // Turned on its side, a frame's fields run across it: it can only be shown as one picture.
  FieldOrder fieldOrder() const override {
    return sideways(orientation_) ? FieldOrder::Progressive : source_->fieldOrder();
  }
  std::vector<std::string> notes() const override { return source_->notes(); }

  RgbImage frame(int64_t index, Size size) override {
    const RgbImage stored = source_->frame(index, shown(size));
    RgbImage turned(size.width, size.height);
    const Turn turn{orientation_, stored.width, stored.height};
    for (int32_t y = 0; y < size.height; ++y) {
      for (int32_t x = 0; x < size.width; ++x) {
        int32_t sx = 0, sy = 0;
        turn.stored(x, y, sx, sy);
        const uint8_t* from = stored.at(sx, sy);
        uint8_t* to = turned.at(x, y);
        to[0] = from[0], to[1] = from[1], to[2] = from[2];
      }
    }
    return turned;
  }

  void frameInto(int64_t index, Picture& picture) override {
    const Geometry& g = picture.geometry;
    const Size storedSize = shown({g.width, g.height});
    if (!stored_ || stored_->geometry.width != storedSize.width || stored_->geometry.height != storedSize.height) {
      stored_ = std::make_unique<Picture>(Geometry::exact(storedSize.width, storedSize.height), 4);
    }
    source_->frameInto(index, *stored_);
    const Turn turn{orientation_, storedSize.width, storedSize.height};
    for (int32_t y = 0; y < g.height; ++y) {
      for (int32_t x = 0; x < g.width; ++x) {
        int32_t sx = 0, sy = 0;
        turn.stored(x, y, sx, sy);
        const uint8_t* from = stored_->at(sx, sy);
        uint8_t* to = picture.area(x, y);
        to[0] = from[0], to[1] = from[1], to[2] = from[2], to[3] = from[3];
      }
    }
  }

 private:
  // A size as shown for one as stored, and back (the same swap).
  Size shown(Size size) const { return sideways(orientation_) ? Size{size.height, size.width} : size; }

  std::unique_ptr<FrameSource> source_;
  Orientation orientation_;
  std::unique_ptr<Picture> stored_;  // the frame as decoded, reused
};

}  // namespace

Orientation orientationOf(const int32_t* matrix) {
  Orientation orientation;
  if (matrix == nullptr) return orientation;
  // A mirroring shows as a negative determinant of the 2x2 part; taken out first, what is left is
  // a rotation.
  int32_t unmirrored[9];
  std::copy(matrix, matrix + 9, unmirrored);
  const double determinant = static_cast<double>(matrix[0]) * matrix[4] - static_cast<double>(matrix[1]) * matrix[3];
  if (determinant < 0) {
    orientation.mirrored = true;
    unmirrored[0] = -unmirrored[0];
    unmirrored[3] = -unmirrored[3];
  }
  const double degrees = av_display_rotation_get(unmirrored);
  if (std::isnan(degrees)) return Orientation{};
  const auto quarters = static_cast<int>(std::lround(degrees / 90.0));
  orientation.quarterTurns = ((quarters % 4) + 4) % 4;
  return orientation;
}

std::unique_ptr<FrameSource> orientedSource(std::unique_ptr<FrameSource> source, Orientation orientation) {
  if (orientation.upright()) return source;
  return std::make_unique<OrientedSource>(std::move(source), orientation);
}

}  // namespace ophost::media
