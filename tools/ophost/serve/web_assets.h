// The page `ophost serve` sends, compiled into the program from tools/ophost/web/.
#pragma once

#include <string_view>
#include <vector>

namespace ophost::serve {

struct WebAsset {
  std::string_view path;  // "/index.html"
  std::string_view type;  // its Content-Type
  std::string_view body;
};

const std::vector<WebAsset>& webAssets();

}  // namespace ophost::serve
