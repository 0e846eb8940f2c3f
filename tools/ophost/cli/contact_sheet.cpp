#include "contact_sheet.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace ophost::cli {

namespace {

// 5 x 7 glyphs, one string per row, '#' for ink.
const std::map<char, std::array<const char*, 7>>& font() {
  static const std::map<char, std::array<const char*, 7>> glyphs = {
      {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
      {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
      {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
      {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
      {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
      {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
      {'G', {".###.", "#...#", "#....", "#.###", "#...#", "#...#", ".####"}},
      {'H', {"#...#", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
      {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
      {'J', {"..###", "...#.", "...#.", "...#.", "...#.", "#..#.", ".##.."}},
      {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
      {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
      {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
      {'N', {"#...#", "#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#"}},
      {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
      {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
      {'Q', {".###.", "#...#", "#...#", "#...#", "#.#.#", "#..#.", ".##.#"}},
      {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
      {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
      {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
      {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
      {'V', {"#...#", "#...#", "#...#", "#...#", "#...#", ".#.#.", "..#.."}},
      {'W', {"#...#", "#...#", "#...#", "#.#.#", "#.#.#", "#.#.#", ".#.#."}},
      {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
      {'Y', {"#...#", "#...#", ".#.#.", "..#..", "..#..", "..#..", "..#.."}},
      {'Z', {"#####", "....#", "...#.", "..#..", ".#...", "#....", "#####"}},
      {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
      {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
      {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
      {'3', {"#####", "...#.", "..#..", "...#.", "....#", "#...#", ".###."}},
      {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
      {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
      {'6', {"..##.", ".#...", "#....", "####.", "#...#", "#...#", ".###."}},
      {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
      {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
      {'9', {".###.", "#...#", "#...#", ".####", "....#", "...#.", ".##.."}},
      {'%', {"##...", "##..#", "...#.", "..#..", ".#...", "#..##", "...##"}},
      {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
      {':', {".....", ".##..", ".##..", ".....", ".##..", ".##..", "....."}},
      {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
      {',', {".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."}},
      {'(', {"...#.", "..#..", ".#...", ".#...", ".#...", "..#..", "...#."}},
      {')', {".#...", "..#..", "...#.", "...#.", "...#.", "..#..", ".#..."}},
      {'/', {".....", "....#", "...#.", "..#..", ".#...", "#....", "....."}},
      {'\'', {"..#..", "..#..", ".#...", ".....", ".....", ".....", "....."}},
      {' ', {".....", ".....", ".....", ".....", ".....", ".....", "....."}},
  };
  return glyphs;
}

void fill(media::RgbImage& image, int32_t x, int32_t y, int32_t w, int32_t h, std::array<uint8_t, 3> c) {
  for (int32_t j = std::max(0, y); j < std::min(image.height, y + h); ++j)
    for (int32_t i = std::max(0, x); i < std::min(image.width, x + w); ++i) {
      uint8_t* p = image.at(i, j);
      p[0] = c[0], p[1] = c[1], p[2] = c[2];
    }
}

}  // namespace

int32_t textWidth(const std::string& text, int32_t scale) {
  return static_cast<int32_t>(text.size()) * 6 * scale - scale;
}

int32_t drawText(media::RgbImage& image, int32_t x, int32_t y, const std::string& text,
                 int32_t scale, std::array<uint8_t, 3> colour) {
  int32_t left = x;
  for (char raw : text) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(raw)));
    const auto found = font().find(c);
    if (found != font().end()) {
      for (int32_t row = 0; row < 7; ++row)
        for (int32_t column = 0; column < 5; ++column)
          if (found->second[static_cast<size_t>(row)][column] == '#')
            fill(image, left + column * scale, y + row * scale, scale, scale, colour);
    }
    left += 6 * scale;
  }
  return left - x;
}

media::RgbImage contactSheet(const std::string& title, const std::string& subtitle,
                             const std::vector<SheetFrame>& frames, int32_t thumbWidth) {
  constexpr int32_t kMargin = 12;
  const int32_t thumbHeight =
      frames.empty() ? 0
                     : std::max<int32_t>(1, static_cast<int32_t>(static_cast<int64_t>(thumbWidth) *
                                                                 frames[0].picture.height /
                                                                 frames[0].picture.width));
  const int32_t count = static_cast<int32_t>(frames.size());
  const int32_t titleBand = 7 * 4 + 7 * 2 + kMargin * 3;
  media::RgbImage sheet(kMargin + count * (thumbWidth + kMargin),
                        titleBand + thumbHeight + 7 * 2 + kMargin * 3);
  fill(sheet, 0, 0, sheet.width, sheet.height, {28, 28, 32});
  drawText(sheet, kMargin, kMargin, title, 4, {255, 255, 255});
  drawText(sheet, kMargin, kMargin * 2 + 28, subtitle, 2, {170, 170, 180});
  for (int32_t n = 0; n < count; ++n) {
    const int32_t x = kMargin + n * (thumbWidth + kMargin);
    const media::RgbImage thumb = media::scaleRgb(frames[static_cast<size_t>(n)].picture, thumbWidth, thumbHeight);
    for (int32_t j = 0; j < thumbHeight; ++j)
      std::copy_n(thumb.at(0, j), thumbWidth * 3, sheet.at(x, titleBand + j));
    const std::string& label = frames[static_cast<size_t>(n)].label;
    drawText(sheet, x + (thumbWidth - textWidth(label, 2)) / 2, titleBand + thumbHeight + kMargin, label, 2,
             {220, 220, 220});
  }
  return sheet;
}

}  // namespace ophost::cli
