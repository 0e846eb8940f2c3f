// Pictures of the user's own as plug-ins' textures (`--texture [EFFECT=]FILE`), served in place of
// the files in the texture directory: any still the host reads, reduced to its luma and scaled to
// the block of texels the effect reads, so the wipes and Fog take any shape a grey picture draws.
//
// An entry names what it stands for by an effect ("ripples=my.png", for every texture that effect
// reads) or by one texture file ("kreis=my.png" or "kreis.png=my.png", Fog's circle alone), case
// aside; a FILE alone is for the one effect of the render that reads a texture, when it reads just
// one. An entry naming one texture wins over one naming its effect.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "picture.h"
#include "string_catalogue.h"

namespace ophost::render {

struct CustomTexture {
  std::string entry;    // as given, for messages: "ripples=my.png"
  std::string effect;   // the effect it is for, as the catalogue names it: "Ripples"
  std::string texture;  // the one texture file it stands for ("kreis.png"); empty: each the effect reads
  std::string file;     // the picture
  std::shared_ptr<const Picture> grey;  // its luma at its own size, once read
};

// The entry `entry` for a render of `effects` (the plug-in's name; a join's several), its names
// checked but its file not yet read. Throws HostError, one line naming the entry, for a name that
// is no effect or texture, an effect that reads no texture or is not among `effects`, or a FILE
// alone that does not say which texture it is for.
CustomTexture textureEntry(const std::string& entry, const std::vector<std::string>& effects);

// Reads the entry's picture into its `grey`; throws HostError, one line naming the entry, for a
// file that is missing, not a plain file, unreadable or not a picture.
void readTexture(CustomTexture& texture);

// Every entry checked and read (the same texture given twice is refused too).
std::vector<CustomTexture> customTextures(const std::vector<std::string>& entries,
                                          const std::vector<std::string>& effects);

// The entry of `textures` that stands for `effect`'s texture file `name`, or null.
const CustomTexture* customTextureFor(const std::vector<CustomTexture>& textures, const std::string& effect,
                                      const std::string& name);

// The texture `effect` is served from a read entry: its grey picture at the size the effect reads
// (its own size for an effect that stretches any, within kMaxTextureSide a side).
Picture servedTexture(const CustomTexture& texture, const KnownEffect& effect);

}  // namespace ophost::render
