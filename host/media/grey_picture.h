// Pictures read as grey: a still of any kind the host decodes, reduced to one byte of luma per
// texel, and grey pictures resampled to another size. What a user's own picture goes through to
// become a plug-in's texture. Both are integer arithmetic only: the same file always gives the same
// bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>

#include "picture.h"

namespace ophost::media {

// The picture in `file` (PNG, JPEG or any other still the host decodes; a clip's first frame) as
// one grey byte per texel at its own size: its full-range luma, 0.299 R + 0.587 G + 0.114 B in
// 1/256ths, so a grey picture keeps its own levels exactly. Only a plain, readable file is read,
// never a built-in picture or a numbered sequence, and no larger than kMaxDecodedSide on a side.
// Throws HostError with one message (not naming the file) for anything else.
Picture readGreyPicture(const std::filesystem::path& file, const std::atomic<bool>* cancel = nullptr);

// `grey` (one byte per texel, its active area) resampled to exactly width x height: every texel
// of the result is the average of the part of the picture it covers, rounded to nearest.
Picture resampleGrey(const Picture& grey, int32_t width, int32_t height);

}  // namespace ophost::media
