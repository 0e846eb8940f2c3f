// Contact sheets: a row of frames from an effect under a title, each frame labelled, drawn with
// the host's own small bitmap font.
#pragma once

#include <string>
#include <vector>

#include "colour.h"

namespace ophost::cli {

struct SheetFrame {
  media::RgbImage picture;
  std::string label;  // "25%"
};

// Lays the frames side by side, each scaled to `thumbWidth` wide, under `title` and `subtitle`.
media::RgbImage contactSheet(const std::string& title, const std::string& subtitle,
                             const std::vector<SheetFrame>& frames, int32_t thumbWidth);

// Draws `text` (upper case letters, digits and a little punctuation; lower case is drawn as upper
// case) at (x, y), each font pixel `scale` pixels square. Returns the width drawn.
int32_t drawText(media::RgbImage& image, int32_t x, int32_t y, const std::string& text,
                 int32_t scale, std::array<uint8_t, 3> colour);
int32_t textWidth(const std::string& text, int32_t scale);

}  // namespace ophost::cli
