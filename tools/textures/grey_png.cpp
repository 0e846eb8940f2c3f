#include "grey_png.h"

#include <png.h>

#include <cstring>
#include <system_error>

#include "host_error.h"

namespace ophost::textures {

void writeGreyPng(const std::filesystem::path& file, const Picture& grey) {
  const Geometry& g = grey.geometry;
  if (grey.bytesPerPixel != 1 || g.width <= 0 || g.height <= 0) {
    throw HostError("cannot write " + file.string() + ": not a non-empty grey picture");
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(g.width);
  image.height = static_cast<png_uint_32>(g.height);
  image.format = PNG_FORMAT_GRAY;
  const std::filesystem::path temporary = file.string() + ".partial";
  if (png_image_write_to_file(&image, temporary.c_str(), 0, grey.area(0, 0), g.stride, nullptr) == 0) {
    std::string message = image.message;
    std::error_code ignored;
    std::filesystem::remove(temporary, ignored);
    throw HostError("cannot write " + file.string() + ": " + message);
  }
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    throw HostError("cannot write " + file.string() + ": " + error.message());
  }
}

}  // namespace ophost::textures
