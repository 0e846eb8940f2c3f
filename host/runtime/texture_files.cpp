#include "texture_files.h"

#include <png.h>

#include <cstring>
#include <system_error>

#include "host_error.h"

namespace ophost {

std::optional<std::string> textureNameFor(const char* path) {
  if (path == nullptr) return std::nullopt;
  const size_t prefix = std::strlen(kTexturePathPrefix);
  const size_t length = strnlen(path, 4096);
  if (length <= prefix || length >= 4096 || std::strncmp(path, kTexturePathPrefix, prefix) != 0) {
    return std::nullopt;
  }
  std::string name(path + prefix, length - prefix);
  if (name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) {
    return std::nullopt;
  }
  return name;
}

TextureProvider directoryTextures(std::filesystem::path directory) {
  return [directory = std::move(directory)](const std::string& name) {
    return std::make_shared<const Picture>(readGreyPng(directory / name));
  };
}

Picture readGreyPng(const std::filesystem::path& file) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    throw HostError("texture " + file.string() + ": no such file");
  }
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image, file.c_str()) == 0) {
    throw HostError("texture " + file.string() + ": not a readable PNG (" + image.message + ")");
  }
  if (image.width == 0 || image.height == 0 || image.width > 32767 || image.height > 32767) {
    png_image_free(&image);
    throw HostError("texture " + file.string() + ": " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " is outside 1..32767 on a side");
  }
  image.format = PNG_FORMAT_GRAY;
  Picture grey(Geometry::exact(static_cast<int32_t>(image.width), static_cast<int32_t>(image.height)), 1);
  if (png_image_finish_read(&image, nullptr, grey.bytes.data(), 0, nullptr) == 0) {
    std::string message = image.message;
    png_image_free(&image);
    throw HostError("texture " + file.string() + ": corrupt PNG (" + message + ")");
  }
  return grey;
}

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

}  // namespace ophost
