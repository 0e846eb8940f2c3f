#include "ycbcr_frames.h"

#include <algorithm>
#include <cmath>

#include "host_error.h"
#include "ycbcr_rows.h"

namespace ophost::media {

namespace {

using Matrix = double[3][3];

// (R, G, B) -> (Y', Pb, Pr) for luma weights kr, kb.
void toYcbcr(double kr, double kb, Matrix m) {
  const double kg = 1 - kr - kb;
  const double rows[3][3] = {{kr, kg, kb},
                             {-kr / (2 * (1 - kb)), -kg / (2 * (1 - kb)), 0.5},
                             {0.5, -kg / (2 * (1 - kr)), -kb / (2 * (1 - kr))}};
  std::copy(&rows[0][0], &rows[0][0] + 9, &m[0][0]);
}

// (Y', Pb, Pr) -> (R, G, B) for luma weights kr, kb.
void toRgb(double kr, double kb, Matrix m) {
  const double kg = 1 - kr - kb;
  const double rows[3][3] = {{1, 0, 2 * (1 - kr)},
                             {1, -2 * (1 - kb) * kb / kg, -2 * (1 - kr) * kr / kg},
                             {1, 2 * (1 - kb), 0}};
  std::copy(&rows[0][0], &rows[0][0] + 9, &m[0][0]);
}

}  // namespace

YcbcrToOpPixels::YcbcrToOpPixels(const YcbcrMeaning& meaning) : meaning_(meaning) {
  Matrix fromSource, toOp, combined;
  toRgb(meaning.kr, meaning.kb, fromSource);
  toYcbcr(kBt601Kr, kBt601Kb, toOp);
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      combined[r][c] = 0;
      for (int k = 0; k < 3; ++k) combined[r][c] += toOp[r][k] * fromSource[k][c];
    }
  }
  // Source code values over their scale give (Y', Pb, Pr); OpPixels are 16 + 219 Y' and 128 + 224 P.
  const double inScale[3] = {meaning.fullRange ? 255.0 : 219.0, meaning.fullRange ? 255.0 : 224.0,
                             meaning.fullRange ? 255.0 : 224.0};
  const double outScale[3] = {219.0, 224.0, 224.0};
  identity_ = !meaning.fullRange;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      const double value = combined[r][c] * outScale[r] / inScale[c] * (1 << kCoefficientBits);
      matrix_[r][c] = static_cast<int16_t>(std::lround(value));
      if (matrix_[r][c] != (r == c ? 1 << kCoefficientBits : 0)) identity_ = false;
    }
  }
  lumaOffset_ = static_cast<int16_t>(meaning.fullRange ? 0 : 16 * 16);
}

void YcbcrToOpPixels::convert(const YcbcrPlanes& planes, Picture& picture) {
  const Geometry& g = picture.geometry;
  if (planes.width != g.width || planes.height != g.height || picture.bytesPerPixel != 4) {
    throw HostError("picture sizes do not match for colour conversion");
  }
  const size_t chromaWidth = static_cast<size_t>((planes.width + (1 << planes.shiftX) - 1) >> planes.shiftX);
  cb_.resize(chromaWidth);
  cr_.resize(chromaWidth);
  cbFull_.resize(static_cast<size_t>(planes.width));
  crFull_.resize(static_cast<size_t>(planes.width));
  for (int32_t j = 0; j < g.height; ++j) {
    uint8_t* out = picture.area(0, j);
    convertRow(planes, j, out);
    if (planes.alpha != nullptr) {
      const uint8_t* alpha = planes.alpha + static_cast<ptrdiff_t>(j) * planes.alphaStride;
      for (int32_t i = 0; i < planes.width; ++i) out[4 * i] = alpha[i];
    }
  }
}

namespace {

// The innermost loops, in the widest vectors this machine has: they run for every pixel of every
// frame. Integer arithmetic, the same result in any width.
#define OPHOST_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))

// Two chroma rows mixed down, in quarters: `weight` quarters of `a`, the rest of `b`.
OPHOST_VECTOR_CLONES
void blendRows(const uint8_t* a, const uint8_t* b, int32_t weight, int32_t count, int16_t* to) {
  for (int32_t k = 0; k < count; ++k) to[k] = static_cast<int16_t>(weight * a[k] + (4 - weight) * b[k]);
}

// Chroma at half resolution: the two samples a full-resolution position `index` reads and the
// first one's weight (out of 4). Co-sited samples lie on the even positions; centred ones half way
// between two positions.
struct Taps {
  int32_t first, second, firstWeight;
};
Taps halfTaps(int32_t index, int32_t last, bool cosited) {
  const int32_t k = index >> 1;
  const int32_t next = std::min(k + 1, last);
  if (cosited) return (index & 1) ? Taps{k, next, 2} : Taps{k, k, 4};
  return (index & 1) ? Taps{k, next, 3} : Taps{std::max(k - 1, 0), k, 1};
}

// One chroma row at full width, in sixteenths: `half` (in quarters) interpolated across.
OPHOST_VECTOR_CLONES
void widen(const int16_t* half, int32_t halfWidth, int16_t* full, int32_t width, bool cosited) {
  if (cosited) {
    for (int32_t k = 0; k + 1 < halfWidth; ++k) {
      full[2 * k] = static_cast<int16_t>(4 * half[k]);
      full[2 * k + 1] = static_cast<int16_t>(2 * (half[k] + half[k + 1]));
    }
  } else {
    for (int32_t k = 1; k + 1 < halfWidth; ++k) {
      full[2 * k] = static_cast<int16_t>(half[k - 1] + 3 * half[k]);
      full[2 * k + 1] = static_cast<int16_t>(3 * half[k] + half[k + 1]);
    }
  }
  // The ends, where a neighbour is missing: the same rule with the edge sample repeated.
  for (int32_t i : {0, 1, 2 * halfWidth - 2, 2 * halfWidth - 1}) {
    if (i < 0 || i >= width) continue;
    const Taps t = halfTaps(i, halfWidth - 1, cosited);
    full[i] = static_cast<int16_t>(t.firstWeight * half[t.first] + (4 - t.firstWeight) * half[t.second]);
  }
}

// OpPixels of a BT.601 studio source: chroma (in sixteenths) rounded, luma as it is.
OPHOST_VECTOR_CLONES
void packRow(const uint8_t* luma, const int16_t* cb, const int16_t* cr, int32_t width, uint8_t* out) {
  for (int32_t i = 0; i < width; ++i) {
    out[4 * i] = 255;
    out[4 * i + 1] = static_cast<uint8_t>((cb[i] + 8) >> 4);
    out[4 * i + 2] = static_cast<uint8_t>((cr[i] + 8) >> 4);
    out[4 * i + 3] = luma[i];
  }
}

// The Cb and Cr of two rows of OpPixels, added column by column.
OPHOST_VECTOR_CLONES
void columnSums(const uint8_t* a, const uint8_t* b, int32_t width, int16_t* cb, int16_t* cr) {
  for (int32_t c = 0; c < width; ++c) {
    cb[c] = static_cast<int16_t>(a[4 * c + 1] + b[4 * c + 1]);
    cr[c] = static_cast<int16_t>(a[4 * c + 2] + b[4 * c + 2]);
  }
}

// Half a row of chroma from column sums: [1 2 1] centred on the even columns, rounded.
OPHOST_VECTOR_CLONES
void halfRow(const int16_t* sums, int32_t halfWidth, uint8_t* out) {
  for (int32_t k = 0; k < halfWidth; ++k) {
    out[k] = static_cast<uint8_t>((sums[2 * k - 1] + 2 * sums[2 * k] + sums[2 * k + 1] + 4) >> 3);
  }
}

}  // namespace

void YcbcrToOpPixels::convertRow(const YcbcrPlanes& planes, int32_t row, uint8_t* out) {
  const int32_t width = planes.width;
  const int32_t halfWidth = static_cast<int32_t>(cb_.size());
  // Down: the chroma rows this row reads, in quarters.
  int32_t rows[2] = {row, row}, weight = 4;
  if (planes.shiftY) {
    const int32_t chromaRows = (planes.height + 1) >> 1;
    const int32_t field = row & 1;
    const int32_t fieldRows = (chromaRows - field + 1) >> 1;  // the chroma rows of this row's field
    if (planes.interlaced && fieldRows > 0) {
      // Within its field, this is line row / 2, and the field's chroma row m is row 2m + field.
      const Taps t = halfTaps(row >> 1, fieldRows - 1, meaning_.chromaCositedDown);
      rows[0] = 2 * t.first + field, rows[1] = 2 * t.second + field, weight = t.firstWeight;
    } else {
      const Taps t = halfTaps(row, chromaRows - 1, meaning_.chromaCositedDown);
      rows[0] = t.first, rows[1] = t.second, weight = t.firstWeight;
    }
  }
  for (int p = 1; p <= 2; ++p) {
    const uint8_t* a = planes.plane[p] + static_cast<ptrdiff_t>(rows[0]) * planes.stride[p];
    const uint8_t* b = planes.plane[p] + static_cast<ptrdiff_t>(rows[1]) * planes.stride[p];
    blendRows(a, b, weight, halfWidth, (p == 1 ? cb_ : cr_).data());
  }
  // Across: in sixteenths.
  if (planes.shiftX) {
    widen(cb_.data(), halfWidth, cbFull_.data(), width, !meaning_.chromaCentredAcross);
    widen(cr_.data(), halfWidth, crFull_.data(), width, !meaning_.chromaCentredAcross);
  } else {
    for (int32_t i = 0; i < width; ++i) {
      cbFull_[static_cast<size_t>(i)] = static_cast<int16_t>(4 * cb_[static_cast<size_t>(i)]);
      crFull_[static_cast<size_t>(i)] = static_cast<int16_t>(4 * cr_[static_cast<size_t>(i)]);
    }
  }
  const uint8_t* luma = planes.plane[0] + static_cast<ptrdiff_t>(row) * planes.stride[0];
  if (identity_) {
    packRow(luma, cbFull_.data(), crFull_.data(), width, out);
  } else {
    rowKernels().matrixRow(luma, cbFull_.data(), crFull_.data(), width, matrix_, lumaOffset_, out);
  }
}

namespace {

// Row `row` of `picture` as the rows are read for a conversion: the picture's own, or converted
// through a matrix into one of two rows kept for the purpose (the thread's own, so one reader at a
// time on a thread).
class RowReader {
 public:
  RowReader(const Picture& picture, const MatrixChange* matrix) : picture_(picture), matrix_(matrix) {
    thread_local std::vector<uint8_t> rows;  // kept from frame to frame
    if (matrix_ != nullptr) rows.resize(2 * static_cast<size_t>(picture.geometry.stride) * 4);
    converted_ = rows.data();
  }
  const uint8_t* row(int32_t row, int slot = 0) {
    if (matrix_ == nullptr) return picture_.at(0, row);
    uint8_t* to = converted_ + static_cast<size_t>(slot) * static_cast<size_t>(picture_.geometry.stride) * 4;
    rowKernels().matrixPixels(picture_.at(0, row), static_cast<size_t>(picture_.geometry.stride), matrix_->m, to);
    return to;
  }

 private:
  const Picture& picture_;
  const MatrixChange* matrix_;
  uint8_t* converted_;
};

}  // namespace

MatrixChange matrixChangeTo(double kr, double kb) {
  Matrix fromOp, toTarget;
  toRgb(kBt601Kr, kBt601Kb, fromOp);
  toYcbcr(kr, kb, toTarget);
  // Both studio range: Y' over 219, Pb and Pr over 224.
  const double scale[3] = {219.0, 224.0, 224.0};
  MatrixChange change;
  for (int r = 0; r < 3; ++r) {
    for (int c = 0; c < 3; ++c) {
      double sum = 0;
      for (int k = 0; k < 3; ++k) sum += toTarget[r][k] * fromOp[k][c];
      change.m[r][c] = static_cast<int32_t>(std::lround(sum * scale[r] / scale[c] * (1 << kCoefficientBits)));
    }
  }
  return change;
}


void opPixelsToYuv420(const Picture& picture, const Yuv420Target& target) {
  const Geometry& g = picture.geometry;
  if (picture.bytesPerPixel != 4 || g.stride < 2 || g.rows < 2 || target.width != (g.stride & ~1) ||
      target.height != (g.rows & ~1)) {
    throw HostError("picture sizes do not match for 4:2:0 conversion");
  }
  RowReader reader(picture, target.matrix);
  // Each row's luma is taken as the row is read for its chroma, so a row is read (and converted)
  // once; a row no chroma row reads (the last of an interlaced frame of 4n + 2 rows) at the end.
  thread_local std::vector<uint8_t> lumaTaken;  // kept from frame to frame
  lumaTaken.assign(static_cast<size_t>(target.height), 0);
  auto takeLuma = [&](int32_t j, const uint8_t* from) {
    if (lumaTaken[static_cast<size_t>(j)]) return;
    lumaTaken[static_cast<size_t>(j)] = 1;
    rowKernels().lumaOf(from, target.width, target.plane[0] + static_cast<ptrdiff_t>(j) * target.stride[0]);
  };
  // Each chroma sample: [1 2 1] across the columns 2k-1, 2k, 2k+1 (the first repeated where it runs
  // out) of two rows: 2m and 2m+1, or for interlaced frames two rows of one field.
  const int32_t halfWidth = target.width / 2;
  thread_local std::vector<int16_t> sums;  // kept from frame to frame
  sums.resize(static_cast<size_t>(2 * (g.stride + 1)));
  int16_t* cbSums = sums.data() + 1;  // cbSums[-1] is column 0 again
  int16_t* crSums = cbSums + g.stride + 1;
  for (int32_t m = 0; m < target.height / 2; ++m) {
    int32_t first = 2 * m, second = 2 * m + 1;
    if (target.interlaced) {
      first = 4 * (m / 2) + m % 2;
      second = first + 2 < target.height ? first + 2 : first;
    }
    const uint8_t* a = reader.row(first, 0);
    const uint8_t* b = second == first ? a : reader.row(second, 1);
    takeLuma(first, a);
    takeLuma(second, b);
    columnSums(a, b, g.stride, cbSums, crSums);
    cbSums[-1] = cbSums[0];
    crSums[-1] = crSums[0];
    halfRow(cbSums, halfWidth, target.plane[1] + static_cast<ptrdiff_t>(m) * target.stride[1]);
    halfRow(crSums, halfWidth, target.plane[2] + static_cast<ptrdiff_t>(m) * target.stride[2]);
  }
  for (int32_t j = 0; j < target.height; ++j) {
    if (!lumaTaken[static_cast<size_t>(j)]) takeLuma(j, reader.row(j));
  }
}

namespace {

// Byte `byte` of each of `count` OpPixels as a plane's samples: the byte itself, or in 10 bits
// four times it (a key: its top two bits repeated below, so 255 stays full).
template <typename Sample>
__attribute__((always_inline)) inline void samplesOf(const uint8_t* from, int byte, int32_t count, bool key,
                                                     Sample* to) {
  for (int32_t i = 0; i < count; ++i) {
    const int32_t value = from[4 * i + byte];
    to[i] = static_cast<Sample>(sizeof(Sample) == 1 ? value : key ? (value << 2) | (value >> 6) : value << 2);
  }
}

OPHOST_VECTOR_CLONES
void samplesRow(const uint8_t* from, int byte, int32_t count, bool key, int bits, uint8_t* row) {
  if (bits == 8) {
    samplesOf(from, byte, count, key, row);
  } else {
    samplesOf(from, byte, count, key, reinterpret_cast<uint16_t*>(row));
  }
}

// One sample of `bits` bits from an 8-bit code value: the value itself, or four times it.
void putSample(uint8_t* row, int32_t index, int32_t value, int bits) {
  if (bits == 8) {
    row[index] = static_cast<uint8_t>(value);
  } else {
    reinterpret_cast<uint16_t*>(row)[index] = static_cast<uint16_t>(value);
  }
}

}  // namespace

void opPixelsToYcbcr(const Picture& picture, const YcbcrTarget& target) {
  const Geometry& g = picture.geometry;
  const int32_t evenWidth = g.stride & ~1, evenHeight = g.rows & ~1;
  const bool layout = (target.shiftX == 0 && target.shiftY == 0) || (target.shiftX == 1 && target.shiftY == 0) ||
                      (target.shiftX == 1 && target.shiftY == 1 && target.bits == 8);
  if (picture.bytesPerPixel != 4 || g.stride == 0 || g.rows == 0 || !layout ||
      (target.bits != 8 && target.bits != 10) ||
      target.width != (target.shiftX ? evenWidth : g.stride) || target.height != (target.shiftY ? evenHeight : g.rows)) {
    throw HostError("picture sizes do not match for YCbCr conversion");
  }
  if (target.shiftY == 1) {
    Yuv420Target yuv;
    for (int p = 0; p < 3; ++p) yuv.plane[p] = target.plane[p], yuv.stride[p] = target.stride[p];
    yuv.width = target.width;
    yuv.height = target.height;
    yuv.interlaced = target.interlaced;
    yuv.matrix = target.matrix;
    opPixelsToYuv420(picture, yuv);
  } else {
    RowReader reader(picture, target.matrix);
    for (int32_t j = 0; j < target.height; ++j) {
      const uint8_t* from = reader.row(j);
      uint8_t* rows[3];
      for (int p = 0; p < 3; ++p) rows[p] = target.plane[p] + static_cast<ptrdiff_t>(j) * target.stride[p];
      // The width is the stride's, or less (even, for subsampled chroma).
      samplesRow(from, 3, target.width, false, target.bits, rows[0]);
      if (target.shiftX == 0) {
        samplesRow(from, 1, target.width, false, target.bits, rows[1]);
        samplesRow(from, 2, target.width, false, target.bits, rows[2]);
        continue;
      }
      // [1 2 1] over the columns 2k-1, 2k, 2k+1, the first and last repeated where they run out:
      // a sum of four code values, which is the 10-bit value itself.
      for (int32_t k = 0; k < target.width / 2; ++k) {
        const int32_t left = std::max(2 * k - 1, 0), centre = std::min(2 * k, g.stride - 1);
        const int32_t right = std::min(2 * k + 1, g.stride - 1);
        for (int c = 1; c <= 2; ++c) {
          const int32_t sum = from[4 * left + c] + 2 * from[4 * centre + c] + from[4 * right + c];
          putSample(rows[c], k, target.bits == 8 ? (sum + 2) >> 2 : sum, target.bits);
        }
      }
    }
  }
  if (target.plane[3] == nullptr) return;
  // The keys, which no matrix changes.
  for (int32_t j = 0; j < target.height; ++j) {
    samplesRow(picture.at(0, j), 0, target.width, true, target.bits,
               target.plane[3] + static_cast<ptrdiff_t>(j) * target.stride[3]);
  }
}

void opPixelsToMatrix(const Picture& picture, double kr, double kb, Picture& out) {
  const MatrixChange change = matrixChangeTo(kr, kb);
  out.geometry = picture.geometry;
  out.bytesPerPixel = picture.bytesPerPixel;
  out.bytes.resize(picture.bytes.size());
  rowKernels().matrixPixels(picture.bytes.data(), picture.bytes.size() / 4, change.m, out.bytes.data());
}

}  // namespace ophost::media
