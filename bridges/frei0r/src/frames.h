// frei0r frames (RGBA8888: bytes R, G, B, A, rows top to bottom) to the host's pictures of
// OpPixels and back, through the host's BT.601 studio-range conversion, the one ophost uses. The
// alpha byte travels as the key: frei0r's alpha becomes the key of every input pixel, the output
// pixels' key becomes frei0r's alpha.
#pragma once

#include <cstdint>
#include <memory>

#include "picture.h"

namespace kt3frei0r {

// The largest side a frame may have: the image record's fields are 16-bit.
inline constexpr uint32_t kLargestSide = ophost::kMaxImageSide;

// A picture of the frame in a buffer from the host's pool: the runtime hands the plug-in that very
// buffer when no one else holds the picture.
std::shared_ptr<ophost::Picture> pictureFromRgba(const uint32_t* rgba, int32_t width, int32_t height);
// Writes the picture as the RGBA frame of width x height it must be laid out as (a whole buffer of
// exactly that size); throws HostError, writing nothing, for any other layout.
void rgbaFromPicture(const ophost::Picture& picture, int32_t width, int32_t height, uint32_t* rgba);

}  // namespace kt3frei0r
