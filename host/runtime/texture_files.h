// The host's texture files. A plug-in asks for "/programs/kt3/NAME"; the host serves NAME from its
// texture directory as a one-byte grey image, and refuses any path that would leave that directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "picture.h"

namespace ophost {

inline constexpr const char* kTexturePathPrefix = "/programs/kt3/";

// NAME for "/programs/kt3/NAME" when NAME is one plain file name; nothing for any other path.
std::optional<std::string> textureNameFor(const char* path);

// Supplies the texture called NAME, or throws HostError saying why it cannot.
using TextureProvider = std::function<std::shared_ptr<const Picture>(const std::string& name)>;

// The largest texture served, on either side.
inline constexpr int64_t kMaxTextureSide = 8192;

// Textures read from the grey PNG files in `directory`: plain files inside it only (a name, or a
// link, that leads out of it is refused, and so is a pipe, a device or a directory), no larger
// than kMaxTextureSide on a side according to the file's own header, checked before anything is
// allocated for them. Each refusal is a HostError that says why.
TextureProvider directoryTextures(std::filesystem::path directory);

// A PNG file read as one grey byte per texel (stride = width, rows = height). Colour files are
// reduced to their luminance, alpha is dropped. Throws HostError for a missing, unreadable, corrupt
// or oversized (beyond kMaxTextureSide on a side) file.
Picture readGreyPng(const std::filesystem::path& file);

}  // namespace ophost
