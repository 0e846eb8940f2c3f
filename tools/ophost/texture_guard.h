// The textures ophost serves the plug-ins: plain files inside the texture directory (a link that
// leads out of it is refused as well as a path that does), no larger than kMaxTextureSide on a
// side according to the file's own header, read before anything is allocated for them.
#pragma once

#include <filesystem>

#include "texture_files.h"

namespace ophost::cli {

inline constexpr int64_t kMaxTextureSide = 8192;

// A texture provider over `directory`; each refusal is a HostError that says why.
TextureProvider checkedTextures(std::filesystem::path directory);

}  // namespace ophost::cli
