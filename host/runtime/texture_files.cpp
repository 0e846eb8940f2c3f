#include "texture_files.h"

#include <png.h>

#include <cstring>
#include <fstream>
#include <system_error>

#include "host_error.h"

namespace ophost {

namespace {

uint32_t bigEndian(const unsigned char* bytes) {
  return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
         static_cast<uint32_t>(bytes[2]) << 8 | static_cast<uint32_t>(bytes[3]);
}

bool inside(const std::filesystem::path& file, const std::filesystem::path& directory) {
  auto f = file.begin();
  for (auto d = directory.begin(); d != directory.end(); ++d, ++f) {
    if (d->empty()) continue;  // a trailing separator
    if (f == file.end() || *f != *d) return false;
  }
  return true;
}

// The size a PNG's header claims, when the file starts like a PNG; the reader says the rest.
void checkHeader(const std::filesystem::path& file, const std::string& name) {
  std::ifstream in(file, std::ios::binary);
  unsigned char header[24] = {0};
  in.read(reinterpret_cast<char*>(header), sizeof header);
  static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (in.gcount() < 24 || std::memcmp(header, signature, 8) != 0 || std::memcmp(header + 12, "IHDR", 4) != 0) {
    return;
  }
  const uint32_t width = bigEndian(header + 16), height = bigEndian(header + 20);
  if (width > kMaxTextureSide || height > kMaxTextureSide) {
    throw HostError(name + ": its header claims " + std::to_string(width) + "x" +
                    std::to_string(height) + ", beyond the " + std::to_string(kMaxTextureSide) +
                    " a side the host serves");
  }
}

}  // namespace

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
    std::error_code error;
    const std::filesystem::path base = std::filesystem::canonical(directory, error);
    if (error) throw HostError("no such file: the texture directory " + directory.string() + " does not exist");
    const std::filesystem::path file = std::filesystem::weakly_canonical(base / name, error);
    if (error || !inside(file, base) || file == base) {
      throw HostError("refused: " + name + " leads out of the texture directory");
    }
    if (!std::filesystem::exists(file, error)) throw HostError("no such file " + name + " in " + directory.string());
    if (!std::filesystem::is_regular_file(file, error)) {
      throw HostError(name + " is not a plain file (a pipe, a device or a directory is not read)");
    }
    checkHeader(file, name);
    return std::make_shared<const Picture>(readGreyPng(file));
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
  if (image.width == 0 || image.height == 0 || image.width > kMaxTextureSide || image.height > kMaxTextureSide) {
    png_image_free(&image);
    throw HostError("texture " + file.string() + ": " + std::to_string(image.width) + "x" +
                    std::to_string(image.height) + " is outside 1.." + std::to_string(kMaxTextureSide) +
                    " on a side");
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

}  // namespace ophost
