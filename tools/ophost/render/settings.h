// The small value syntaxes a render is set up in, on the command line and in the preview's
// requests alike: frame sizes, active areas, frame ranges and whole numbers. Parameters and their
// values are named by the host's one vocabulary (param_vocabulary.h), which this header brings
// along.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "operator_model.h"
#include "easing.h"
#include "param_vocabulary.h"
#include "picture.h"

namespace ophost::render {

struct FrameSize {
  int32_t width = 0;
  int32_t height = 0;
};
FrameSize parseSize(const std::string& text);          // "WxH"
Geometry parseArea(const std::string& text);           // "X,Y,W,H" (stride and rows left 0)
std::pair<int64_t, int64_t> parseRange(const std::string& text);  // "FIRST:LAST"
int64_t parseWhole(const std::string& text, const std::string& what, int64_t low, int64_t high);

}  // namespace ophost::render
