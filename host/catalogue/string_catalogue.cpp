#include "string_catalogue.h"

#include <algorithm>
#include <array>

namespace ophost {

namespace {

constexpr CatalogueString kStrings[] = {
    // Halves: the frame split in two bands; input 1 comes in from one edge.
    {110, "fill", "Fill"},
    {111, "push", "Push"},
    {112, "squeeze", "Squeeze"},
    {120, "layout", "Layout"},
    {121, "bottom", "Input 1 in from the bottom, ending on input 1"},
    {122, "left", "Input 1 in from the left, ending on input 1"},
    {123, "top", "Input 1 in from the top, ending on input 1"},
    {124, "right", "Input 1 in from the right, ending on input 1"},
    {125, "bottom-return", "Input 1 in from the bottom, back to input 0"},
    {126, "left-return", "Input 1 in from the left, back to input 0"},
    {127, "top-return", "Input 1 in from the top, back to input 0"},
    {128, "right-return", "Input 1 in from the right, back to input 0"},
    {130, "share", "Share of input 1 while holding"},
    {131, "share-unit", "% of the frame"},
    {140, "hold", "Hold"},
    {141, "hold-unit", "% of the length"},
    // Slant
    {210, "softness", "Edge softness"},
    {211, "softness-unit", "%"},
    {220, "direction", "Direction"},
    // Ripples
    {310, "softness", "Edge softness"},
    {311, "softness-unit", "%"},
    {320, "direction", "Orientation"},
    // Streaks
    {410, "softness", "Edge softness"},
    {411, "softness-unit", "%"},
    {420, "direction", "Direction"},
    // Sunbeams
    {510, "softness", "Edge softness"},
    {511, "softness-unit", "%"},
    // Blinds
    {610, "direction", "Direction"},
    {620, "motion", "Motion"},
    {621, "slide", "Pictures slide with the edge"},
    {622, "fixed", "Pictures stay in place"},
    {630, "count", "Number of blinds"},
    {631, "count-unit", "blinds"},
    {640, "timing", "Timing"},
    {641, "together", "All blinds together"},
    {642, "staggered", "One blind after another"},
    // Jolt
    {710, "mode", "Mode"},
    {711, "zoom-in", "Input 1 zooms in over input 0"},
    {712, "zoom-out", "Input 0 zooms away off input 1"},
    // Bump
    {810, "light", "Light direction"},
    {820, "strength", "Strength"},
    {821, "strength-unit", "%"},
    // Fog
    {910, "shape", "Shape"},
    {911, "diamond", "Diamond"},
    {912, "circle", "Circle"},
    {920, "amount", "Amount"},
    {921, "amount-unit", "%"},
    {930, "colour", "Colour"},
};

constexpr std::array<Direction, 8> kDirections = {{
    {1, "up", "\u2191"},
    {2, "up-right", "\u2197"},
    {3, "right", "\u2192"},
    {4, "down-right", "\u2198"},
    {5, "down", "\u2193"},
    {6, "down-left", "\u2199"},
    {7, "left", "\u2190"},
    {8, "up-left", "\u2196"},
}};



constexpr size_t kFogReadAtOpen[] = {0};  // its shape

constexpr std::string_view kRipplesTextures[] = {"ripples.png"};
constexpr std::string_view kSlantTextures[] = {"diagonal.png"};
constexpr std::string_view kStreaksTextures[] = {"streaks.png"};
constexpr std::string_view kSunbeamsTextures[] = {"sunbeams__xy.png"};
constexpr std::string_view kFogTextures[] = {"diamant.png", "kreis.png"};  // shape 0, any other

constexpr KnownEffect kEffects[] = {
    {"Halves", "split-screen transition: two bands push or squeeze each other, input 1 comes in from an edge", false, {}, 0, 0, {}, false},
    {"Jolt", "zoom transition: one picture zooms over the other along an arc, overshoots and settles", false, {}, 0, 0, {}, false},
    {"Blinds", "blinds transition: in every blind an edge travels, sliding or wiping in place", false, {}, 0, 0, {}, false},
    {"Ripples", "soft wipe from input 0 to input 1 in concentric ripples", false, {}, 286, 228, kRipplesTextures, false},
    {"Slant", "soft wipe from input 0 to input 1 in a diagonal sweep", false, {}, 1, 1, kSlantTextures, true},
    {"Streaks", "soft wipe from input 0 to input 1 in horizontal streaks", false, {}, 286, 228, kStreaksTextures, false},
    {"Sunbeams", "soft wipe from input 0 to input 1 in sunbeams spreading from a point", false, {}, 286, 228, kSunbeamsTextures, false},
    {"Bump", "relief shading: input 0 lit by the luma relief of input 1", false, {}, 0, 0, {}, false},
    {"Fog", "filter: a fog of one colour laid over the picture in a diamond or a circle", true, kFogReadAtOpen, 180, 144, kFogTextures, false},
};

}  // namespace

std::optional<CatalogueString> catalogueString(uint32_t id) {
  const auto found = std::find_if(std::begin(kStrings), std::end(kStrings),
                                  [id](const CatalogueString& s) { return s.id == id; });
  if (found == std::end(kStrings)) return std::nullopt;
  return *found;
}

std::string catalogueText(uint32_t id) {
  if (auto entry = catalogueString(id)) return std::string(entry->text);
  return "(string " + std::to_string(id) + ")";
}

std::optional<Direction> directionForCode(uint32_t code) {
  if (code < 1 || code > 8) return std::nullopt;
  return kDirections[code - 1];
}

std::optional<Direction> directionForName(std::string_view name) {
  for (const Direction& d : kDirections) {
    if (d.name == name) return d;
  }
  return std::nullopt;
}

std::span<const KnownEffect> knownEffects() { return kEffects; }

const KnownEffect* knownEffect(std::string_view name) {
  for (const KnownEffect& effect : kEffects) {
    if (effect.name == name) return &effect;
  }
  return nullptr;
}

std::optional<std::string_view> pluginSummary(std::string_view name) {
  if (const KnownEffect* effect = knownEffect(name)) return effect->summary;
  return std::nullopt;
}

}  // namespace ophost
