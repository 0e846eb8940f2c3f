// OpPixels straight from and to the YCbCr frames decoders give and encoders take, with no RGB in
// between. A decoded frame's matrix (BT.601, BT.709, BT.2020 ...) and range (studio or full) are
// mapped onto OpPixels' BT.601 studio range by one 3x3 matrix in fixed point; a BT.601 studio
// source passes through unchanged. Chroma at half resolution is interpolated from the two nearest
// samples in each direction, where the source's siting puts them (co-sited with the even luma
// samples or centred between two), and made again for 4:2:0 output by the matching filter
// ([1 2 1] across, [1 1] down, for samples co-sited across and centred down, H.264's default).
#pragma once

#include <cstdint>
#include <vector>

#include "picture.h"

namespace ophost::media {

// An 8-bit planar YCbCr picture as a decoder leaves it: Y, Cb and Cr planes, chroma subsampled by
// 2^shiftX across and 2^shiftY down (0 or 1 each).
struct YcbcrPlanes {
  const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};  // bytes per row of each plane
  int32_t width = 0;
  int32_t height = 0;
  int shiftX = 1;
  int shiftY = 1;
  // An alpha plane at full resolution (0 transparent, 255 opaque) for the keys; none: opaque.
  const uint8_t* alpha = nullptr;
  int alphaStride = 0;
  // Interlaced 4:2:0: chroma rows of one field each (rows 0, 2, 4 ... the first field's, 1, 3, 5 ...
  // the second's), so that each row reads only the chroma of its own field.
  bool interlaced = false;
};

// What a source's numbers mean.
struct YcbcrMeaning {
  double kr = 0.299;  // the luma weights of red and blue of its matrix
  double kb = 0.114;
  bool fullRange = false;
  bool chromaCentredAcross = false;  // else co-sited with the even luma columns
  bool chromaCositedDown = false;    // else centred between two luma rows
  bool operator==(const YcbcrMeaning&) const = default;
};

// The luma weights of the matrices a source may name.
inline constexpr double kBt601Kr = 0.299, kBt601Kb = 0.114;
inline constexpr double kBt709Kr = 0.2126, kBt709Kb = 0.0722;
inline constexpr double kBt2020Kr = 0.2627, kBt2020Kb = 0.0593;

// Converts decoded pictures of one meaning into OpPixels; keeps its scratch rows from picture to
// picture, so it allocates nothing once it has seen the first.
class YcbcrToOpPixels {
 public:
  explicit YcbcrToOpPixels(const YcbcrMeaning& meaning);
  // Writes `planes`, of the size of the picture's active area, into that area as OpPixels, their
  // keys from the alpha plane (255 where there is none). Throws HostError when the sizes differ or the picture is not four bytes a pixel.
  void convert(const YcbcrPlanes& planes, Picture& picture);

 private:
  void convertRow(const YcbcrPlanes& planes, int32_t row, uint8_t* out);
  YcbcrMeaning meaning_;
  int16_t matrix_[3][3];  // in 1/16384ths, from (Y, Cb, Cr) in sixteenths to OpPixel code values
  int16_t lumaOffset_;    // the source's black, in sixteenths
  bool identity_ = false;
  std::vector<int16_t> cb_, cr_, cbFull_, crFull_;
};

// The OpPixels' BT.601 studio-range YCbCr re-expressed in the studio-range YCbCr of the matrix
// with luma weights kr, kb (BT.709 for an output that keeps a BT.709 source's meaning): one 3x3
// matrix in fixed point, applied to each pixel, rounded and clamped to a byte; keys kept as they are.
struct MatrixChange {
  int32_t m[3][3] = {};
};
MatrixChange matrixChangeTo(double kr, double kb);

// A YUV 4:2:0 picture for an encoder: planes it writes into.
struct Yuv420Target {
  uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};
  int32_t width = 0;   // even: a picture of odd size loses its last column or row
  int32_t height = 0;
  // Interlaced: each chroma row made of two rows of one field (rows 0 and 2, 1 and 3, 4 and 6 ...),
  // never of both fields, so that each field keeps its own colour.
  bool interlaced = false;
  // Applied to each pixel first, row by row as the rows are read (null: the OpPixels as they are).
  const MatrixChange* matrix = nullptr;
};

// The whole buffer of a four-byte picture (its active area and what surrounds it) as 4:2:0 BT.601
// studio YCbCr (or the target's matrix). Throws HostError unless the target is the picture's size rounded down to even.
void opPixelsToYuv420(const Picture& picture, const Yuv420Target& target);

// The OpPixels of `picture` (BT.601 studio range) in the studio-range YCbCr of the matrix with
// luma weights kr, kb (BT.709 for an output that keeps a BT.709 source's meaning), written into
// `out` (made the picture's shape; its buffer is reused when it has that size already), through
// matrixChangeTo(kr, kb).
void opPixelsToMatrix(const Picture& picture, double kr, double kb, Picture& out);

// A planar YCbCr picture for an encoder, with or without alpha, in 8 or 10 bits (10-bit samples
// take two bytes each, in the machine's order, as FFmpeg's ...10le formats on this host).
struct YcbcrTarget {
  uint8_t* plane[4] = {nullptr, nullptr, nullptr, nullptr};  // Y, Cb, Cr, alpha (none: null)
  int stride[4] = {0, 0, 0, 0};                             // bytes per row of each plane
  int32_t width = 0;  // the picture's size; rounded down to even where the chroma is subsampled
  int32_t height = 0;
  int shiftX = 1;  // the chroma subsampling: 4:2:0 (1, 1), 4:2:2 (1, 0) or 4:4:4 (0, 0)
  int shiftY = 1;
  int bits = 8;  // 8 or 10
  bool interlaced = false;  // 4:2:0 chroma made field by field (Yuv420Target)
  // Applied to each pixel first, row by row as the rows are read, so the picture is read once
  // (null: the OpPixels' own BT.601). The same as opPixelsToMatrix's picture converted.
  const MatrixChange* matrix = nullptr;
};

// The whole buffer of a four-byte picture as BT.601 studio YCbCr and its keys as alpha: 4:4:4 as
// the OpPixels are (10 bits: each code value times 4, alpha 0..255 stretched over 0..1023);
// 4:2:2 chroma filtered [1 2 1] across, co-sited with the even columns; 4:2:0 (8 bits only) as
// opPixelsToYuv420 makes it. Throws HostError for a target of another size or layout.
void opPixelsToYcbcr(const Picture& picture, const YcbcrTarget& target);

}  // namespace ophost::media
