// The texture threshold wipe shared by Ripples, Slant, Streaks and Sunbeams.
//
// A grey texture is laid over the frame and a wipe level rises through its grey levels as the
// effect runs: a pixel whose texel lies well below the level takes the incoming pixel, one whose
// texel lies in the soft band just below the level is blended, and the rest keep their pixel.
// Each plug-in maps its pixels to texels and chooses which image is painted from which; the band
// arithmetic is this one routine. Header-only: every plug-in compiles its own copy.
#pragma once

#include <stdint.h>

#include "operator_abi.h"

namespace opframe {

// The width of the soft band in grey levels, from a softness percentage (0..100 gives 0..255).
inline int32_t edgeWidth(int32_t softness) { return softness * 255 / 100; }

// The level of a forward wipe: (edgeWidth + 255) * position / length, unsigned and truncating.
// It runs from 0 at position 0 to edgeWidth + 255 at position == length.
//
// The product is taken in 64 bits: in 32 it wraps once position passes about 8.4 million, and the
// wipe would then not end on the incoming picture. Wherever the 32-bit product fits, the result is
// the same. A position past the end is the end, and an effect of length 0 stays at its start.
inline uint32_t wipeLevel(int32_t edgeWidth, uint32_t position, uint32_t length) {
  if (length == 0) return 0;
  if (position > length) position = length;
  const uint32_t top = (uint32_t)edgeWidth + 255u;
  return (uint32_t)((uint64_t)top * position / length);
}

// The band of one frame: E (edgeWidth) and L (the wipe level).
struct WipeBand {
  int32_t edgeWidth;
  int32_t level;
};

inline WipeBand wipeBand(int32_t edgeWidth, uint32_t level) {
  return WipeBand{edgeWidth, (int32_t)level};
}

// Applies the wipe to one pixel whose texel is `texel`. `kept` is the pixel being painted, changed
// in place; `incoming` the pixel painted into it. All four bytes are treated alike:
//   texel < L - E        takes the incoming pixel;
//   L - E <= texel < L   blends with keepWeight w = texel + E - L, byte by byte
//                        (kept * w + incoming * (E - w)) / E, truncating;
//   texel >= L           keeps its pixel.
// The band is empty when E is 0, so its division never meets a zero divisor.
inline void wipePixel(uint8_t* kept, const uint8_t* incoming, int32_t texel, const WipeBand& band) {
  const int32_t e = band.edgeWidth;
  const int32_t l = band.level;
  if (texel >= l) return;
  if (texel < l - e) {
    for (int32_t k = 0; k < PIXEL_BYTES; ++k) kept[k] = incoming[k];
    return;
  }
  const int32_t w = texel + e - l;  // keepWeight, 0..E - 1
  for (int32_t k = 0; k < PIXEL_BYTES; ++k) {
    kept[k] = (uint8_t)((kept[k] * w + incoming[k] * (e - w)) / e);
  }
}

}  // namespace opframe
