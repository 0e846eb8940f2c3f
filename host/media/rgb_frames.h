// Rows of full-range 8-bit RGB (packed, three bytes a pixel, or four with the key as alpha) to
// and from OpPixels (BT.601 studio-range YCbCr), in fixed point with the rounding of an exact
// conversion: every pixel of every picture a PNG, a GIF, a card or an editor's RGBA frame brings
// or takes goes through these.
#pragma once

#include <cstdint>

namespace ophost::media {

// `width` pixels of `rgb` (`bytesPerPixel` 3 or 4; with 4 the fourth byte becomes the key, else
// the key is 255) into the OpPixels at `op`.
void rgbRowToOpPixels(const uint8_t* rgb, int32_t bytesPerPixel, int32_t width, uint8_t* op);
// `width` OpPixels at `op` into `rgb` (`bytesPerPixel` 3 or 4; with 4 the key is the alpha).
void opPixelsRowToRgb(const uint8_t* op, int32_t width, int32_t bytesPerPixel, uint8_t* rgb);

}  // namespace ophost::media
