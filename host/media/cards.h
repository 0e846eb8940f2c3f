// Built-in test pictures, addressed as "card:NAME", drawn at any size so everything works without a
// single file. Each is a still: the same picture at every position.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "colour.h"

namespace ophost::media {

struct CardInfo {
  std::string_view name;
  std::string_view about;
};

// Every card, in the order `ophost` lists them.
const std::vector<CardInfo>& cards();
bool isCard(std::string_view name);

// Draws card `name` at width x height; throws HostError for an unknown card.
RgbImage drawCard(std::string_view name, int32_t width, int32_t height);

}  // namespace ophost::media
