#include "grey_picture.h"

#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <system_error>
#include <vector>

#include "host_error.h"
#include "media_input.h"

namespace ophost::media {

Picture readGreyPicture(const std::filesystem::path& file, const std::atomic<bool>* cancel) {
  std::error_code error;
  // An absolute path is never taken for a built-in picture ("card:..."), whatever the file is called.
  const std::filesystem::path path = std::filesystem::absolute(file, error);
  if (error) throw HostError("cannot be opened (" + error.message() + ")");
  static const std::regex numbered("%0?[0-9]*d");
  if (std::regex_search(path.string(), numbered)) {
    throw HostError("a name holding %d (or %04d ...) stands for a numbered sequence, not one picture: rename the file");
  }
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (!std::filesystem::exists(status)) throw HostError("no such file");
  if (!std::filesystem::is_regular_file(status)) {
    throw HostError("not a plain file (a directory, a pipe or a device is not read)");
  }
  if (access(path.c_str(), R_OK) != 0) throw HostError("cannot be read (permission denied)");
  RgbImage rgb;
  try {
    auto source = openSource(path.string(), cancel);
    const Size size = source->naturalSize();
    if (size.width < 1 || size.height < 1 || size.width > kMaxDecodedSide || size.height > kMaxDecodedSide) {
      throw HostError("a picture of " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                      " is not within 1.." + std::to_string(kMaxDecodedSide) + " on each side");
    }
    rgb = source->frame(0, size);
  } catch (const HostError& failure) {
    // The source's messages start with the name it was given; the caller names the file itself.
    std::string why = failure.what();
    const std::string named = path.string() + ": ";
    if (why.rfind(named, 0) == 0) why = why.substr(named.size());
    throw HostError(why);
  }
  Picture grey(Geometry::exact(rgb.width, rgb.height), 1);
  const size_t count = static_cast<size_t>(rgb.width) * static_cast<size_t>(rgb.height);
  for (size_t n = 0; n < count; ++n) {
    const uint32_t r = rgb.rgb[3 * n], g = rgb.rgb[3 * n + 1], b = rgb.rgb[3 * n + 2];
    grey.bytes[n] = static_cast<uint8_t>((77 * r + 150 * g + 29 * b + 128) >> 8);
  }
  return grey;
}

namespace {

// How much of each source texel along one side falls in each target texel: a source texel spans
// `to` units and a target texel `from` units, so both sides span from * to units and the weights
// of every target texel add up to `from`.
struct Span {
  int32_t first = 0;              // the first source texel it covers
  std::vector<uint32_t> weights;  // of that texel and the ones after it
};

std::vector<Span> spans(int32_t from, int32_t to) {
  std::vector<Span> out(static_cast<size_t>(to));
  for (int64_t k = 0; k < to; ++k) {
    const int64_t start = k * from, end = (k + 1) * from;
    Span& span = out[static_cast<size_t>(k)];
    span.first = static_cast<int32_t>(start / to);
    for (int64_t s = span.first; s * to < end; ++s) {
      const int64_t overlap = std::min(end, (s + 1) * to) - std::max(start, s * to);
      span.weights.push_back(static_cast<uint32_t>(overlap));
    }
  }
  return out;
}

}  // namespace

Picture resampleGrey(const Picture& grey, int32_t width, int32_t height) {
  const Geometry& g = grey.geometry;
  if (grey.bytesPerPixel != 1 || g.width < 1 || g.height < 1 || width < 1 || height < 1) {
    throw HostError("a grey picture is resampled from and to a size of at least 1x1");
  }
  const std::vector<Span> across = spans(g.width, width), down = spans(g.height, height);
  // Each row summed across (each sum up to 255 * g.width), then the rows summed down.
  std::vector<uint32_t> rows(static_cast<size_t>(g.height) * static_cast<size_t>(width));
  for (int32_t r = 0; r < g.height; ++r) {
    const uint8_t* line = grey.area(0, r);
    for (int32_t k = 0; k < width; ++k) {
      const Span& span = across[static_cast<size_t>(k)];
      uint32_t sum = 0;
      for (size_t n = 0; n < span.weights.size(); ++n) sum += span.weights[n] * line[span.first + static_cast<int32_t>(n)];
      rows[static_cast<size_t>(r) * width + k] = sum;
    }
  }
  Picture out(Geometry::exact(width, height), 1);
  const uint64_t total = static_cast<uint64_t>(g.width) * static_cast<uint64_t>(g.height);
  for (int32_t r = 0; r < height; ++r) {
    const Span& span = down[static_cast<size_t>(r)];
    for (int32_t k = 0; k < width; ++k) {
      uint64_t sum = 0;
      for (size_t n = 0; n < span.weights.size(); ++n) {
        sum += static_cast<uint64_t>(span.weights[n]) * rows[static_cast<size_t>(span.first + static_cast<int32_t>(n)) * width + k];
      }
      out.bytes[static_cast<size_t>(r) * width + k] = static_cast<uint8_t>((sum + total / 2) / total);
    }
  }
  return out;
}

}  // namespace ophost::media
