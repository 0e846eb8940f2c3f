// The host's texture files. A plug-in asks for "/programs/kt3/NAME"; the host serves NAME from its
// texture directory as a one-byte grey image, and refuses any path that would leave that directory.
#pragma once

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

// Textures read from the grey PNG files in `directory`.
TextureProvider directoryTextures(std::filesystem::path directory);

// A PNG file read as one grey byte per texel (stride = width, rows = height). Colour files are
// reduced to their luminance, alpha is dropped. Throws HostError for a missing, unreadable, corrupt
// or oversized (beyond 32767 on a side) file.
Picture readGreyPng(const std::filesystem::path& file);

// Writes a one-byte grey picture's active area as an 8-bit grey PNG, through a temporary file
// renamed into place. Throws HostError when it cannot.
void writeGreyPng(const std::filesystem::path& file, const Picture& grey);

}  // namespace ophost
