// Writing grey textures: what draws the host's textures (and the tests' own) into PNG files.
#pragma once

#include <filesystem>

#include "picture.h"

namespace ophost::textures {

// Writes a one-byte grey picture's active area as an 8-bit grey PNG, through a temporary file
// renamed into place. Throws HostError when it cannot.
void writeGreyPng(const std::filesystem::path& file, const Picture& grey);

}  // namespace ophost::textures
