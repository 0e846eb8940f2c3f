// The host's string catalogue: the texts behind the string identifiers that plug-ins put in their
// descriptors, the names of the eight direction codes, and one line about each known plug-in.
//
// Identifiers come in blocks of one hundred per plug-in (Halves 100, Slant 200, Ripples 300,
// Streaks 400, Sunbeams 500, Blinds 600, Jolt 700, Bump 800, Fog 900); the n-th parameter's label
// is block + 10 n, its choice entries or slider unit follow it. Every text also carries a key: a
// short, stable, lower-case name the command line uses for the parameter or entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ophost {

struct CatalogueString {
  uint32_t id = 0;
  std::string_view key;   // "fill", "squeeze", "bottom-return" ... stable, documented
  std::string_view text;  // what the host shows
};

// The entry for a string identifier, or nothing for one the catalogue does not know.
std::optional<CatalogueString> catalogueString(uint32_t id);

// The text for `id`, or "(string N)" for an identifier the catalogue lacks.
std::string catalogueText(uint32_t id);

// Direction codes 1..8, clockwise from up, 45 degrees apart.
struct Direction {
  uint32_t code = 0;
  std::string_view name;   // "up", "up-right", ... "up-left"
  std::string_view arrow;  // an arrow character pointing that way (UTF-8)
};
std::optional<Direction> directionForCode(uint32_t code);
std::optional<Direction> directionForName(std::string_view name);

// What the host knows of each of the nine effects beyond their descriptors.
struct KnownEffect {
  std::string_view name;     // "Halves"
  std::string_view summary;  // one line about what it does
  bool filter = false;       // one input (Fog) rather than two
  // Descriptor parameters the plug-in reads when it is opened rather than at each render (Fog's
  // shape: its mask is built at open), so that a change of one takes a close and an open.
  std::span<const size_t> readAtOpen;
  // The smallest texture it opens with (0x0: it reads none); a smaller one makes its open fail.
  // The wipes and Fog read exactly this block of texels; Slant (1x1) stretches any size.
  int32_t textureWidth = 0;
  int32_t textureHeight = 0;
  // The texture files it may ask for ("ripples.png"; Fog one of two, by its shape at open).
  std::span<const std::string_view> textures;
  // Whether it reads its texture at whatever size the texture has, rather than a fixed block.
  bool anyTextureSize = false;
};
std::span<const KnownEffect> knownEffects();
// The effect called `name`, or null for a plug-in we do not know.
const KnownEffect* knownEffect(std::string_view name);

// One line about what a plug-in does, by its name ("Halves"); nothing for a plug-in we do not know.
std::optional<std::string_view> pluginSummary(std::string_view name);

}  // namespace ophost
