// The per-row kernels of the YCbCr conversions that run for every pixel of every frame: the
// matrix into OpPixels, the matrix out of them, and the luma taken out of a row of OpPixels. Each
// has a plain version and, where the CPU has AVX2, a hand-vectorised one that gives the same bytes
// for every input; the widest the CPU has is chosen once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ophost::media {

// The fixed point of the matrices: coefficients in 1/16384ths.
inline constexpr int kCoefficientBits = 14;

struct YcbcrRowKernels {
  // A row of OpPixels from a source's luma (bytes) and chroma (in sixteenths of a code value, at
  // full width): each of Y, Cb, Cr a sum of the source's three (luma in sixteenths less
  // `lumaOffset`, chroma less 2048) weighted by `m` in 1/16384ths, rounded, on black (16) or
  // neutral (128), clamped to a byte; keys 255.
  void (*matrixRow)(const uint8_t* luma, const int16_t* cb, const int16_t* cr, int32_t width,
                    const int16_t (&m)[3][3], int16_t lumaOffset, uint8_t* out);
  // OpPixels through a matrix in 1/16384ths: Y, Cb, Cr less their black and neutral, the products
  // summed, rounded, put back on black and neutral and clamped to a byte; keys kept.
  void (*matrixPixels)(const uint8_t* from, size_t count, const int32_t (&m)[3][3], uint8_t* to);
  // The luma of `count` OpPixels, one byte each.
  void (*lumaOf)(const uint8_t* from, int32_t count, uint8_t* to);
};

const YcbcrRowKernels& plainRowKernels();
// The AVX2 kernels, or null on a CPU without AVX2.
const YcbcrRowKernels* avx2RowKernels();
// The widest kernels this CPU has.
const YcbcrRowKernels& rowKernels();

}  // namespace ophost::media
