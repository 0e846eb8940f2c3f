#include "texture_designs.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "host_error.h"

namespace ophost::textures {

namespace {

constexpr double kPi = 3.14159265358979323846;

// Evaluates `field` at every texel centre and stretches its values over 0..255.
Picture normalised(int32_t width, int32_t height, const std::function<double(double, double)>& field) {
  std::vector<double> values(static_cast<size_t>(width) * height);
  double low = std::numeric_limits<double>::max(), high = std::numeric_limits<double>::lowest();
  for (int32_t r = 0; r < height; ++r) {
    for (int32_t k = 0; k < width; ++k) {
      const double v = field(k + 0.5, r + 0.5);
      values[static_cast<size_t>(r) * width + k] = v;
      low = std::min(low, v);
      high = std::max(high, v);
    }
  }
  Picture grey(Geometry::exact(width, height), 1);
  const double span = high > low ? high - low : 1.0;
  for (size_t n = 0; n < values.size(); ++n) {
    grey.bytes[n] = static_cast<uint8_t>(std::lround((values[n] - low) / span * 255.0));
  }
  return grey;
}

// Smooth noise along one axis: a few sines of fixed, unrelated frequencies and phases.
double waves(double t) {
  return 0.45 * std::sin(t * 0.071 + 1.3) + 0.3 * std::sin(t * 0.193 + 4.1) +
         0.25 * std::sin(t * 0.417 + 2.7);
}

}  // namespace

const std::vector<TextureDesign>& textureDesigns() {
  static const std::vector<TextureDesign> designs = {
      {"ripples.png", 286, 228, "concentric ripples spreading from the centre"},
      {"diagonal.png", 286, 228, "a diagonal sweep from the top-left corner"},
      {"streaks.png", 286, 228, "horizontal streaks running from the left"},
      {"sunbeams__xy.png", 286, 228, "sunbeams shooting out from a point"},
      {"diamant.png", 180, 144, "a quarter diamond, its centre in the bottom-right corner"},
      {"kreis.png", 180, 144, "a quarter circle, its centre in the bottom-right corner"},
  };
  return designs;
}

Picture drawTexture(const std::string& name) {
  if (name == "ripples.png") {
    // Distance from the centre with rings laid over it: several rings open at once, outwards.
    return normalised(286, 228, [](double x, double y) {
      const double r = std::hypot(x - 143, y - 114) / std::hypot(143.0, 114.0);
      return 0.68 * r + 0.32 * (0.5 - 0.5 * std::cos(2 * kPi * r * 5));
    });
  }
  if (name == "diagonal.png") {
    return normalised(286, 228, [](double x, double y) { return x / 286 + y / 228; });
  }
  if (name == "streaks.png") {
    // Left to right, each row ahead or behind by a smooth amount with a little grain of its own.
    return normalised(286, 228, [](double x, double y) {
      const double row = std::floor(y);
      const double grain = std::sin(row * 12.9898) * 43758.5453;
      const double jitter = grain - std::floor(grain);
      return 0.62 * (x / 286) + 0.28 * (0.5 + 0.5 * waves(row * 3.0)) + 0.10 * jitter;
    });
  }
  if (name == "sunbeams__xy.png") {
    // Beams from a point above the centre reach out first, then the light fills in between.
    return normalised(286, 228, [](double x, double y) {
      const double dx = x - 143, dy = y - 92;
      const double r = std::hypot(dx, dy) / std::hypot(143.0, 136.0);
      const double beams = 0.5 + 0.5 * std::cos(std::atan2(dy, dx) * 12);
      const double reach = std::min(1.0, r * 2.5);  // beams open out from the point, not at it
      return 0.6 * r + 0.4 * beams * reach * reach;
    });
  }
  if (name == "diamant.png") {
    return normalised(180, 144, [](double x, double y) {
      return (180 - x) / 180 + (144 - y) / 144;
    });
  }
  if (name == "kreis.png") {
    return normalised(180, 144, [](double x, double y) { return std::hypot(180 - x, 144 - y); });
  }
  throw HostError("no texture design called " + name);
}

}  // namespace ophost::textures
