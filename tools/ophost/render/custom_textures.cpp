#include "custom_textures.h"

#include <algorithm>
#include <filesystem>
#include <regex>

#include "grey_picture.h"
#include "host_error.h"
#include "interrupt.h"
#include "param_vocabulary.h"
#include "texture_files.h"

namespace ophost::render {

namespace {

const KnownEffect* effectCalled(const std::string& name) {
  for (const KnownEffect& effect : knownEffects()) {
    if (lowerCase(std::string(effect.name)) == lowerCase(name)) return &effect;
  }
  return nullptr;
}

std::string list(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

std::string texturedEffects() {
  std::vector<std::string> names;
  for (const KnownEffect& effect : knownEffects()) {
    if (!effect.textures.empty()) names.emplace_back(effect.name);
  }
  return list(names);
}

// The effect and texture file an entry's name stands for: an effect's name, else a texture's file
// name with or without its extension.
struct Named {
  const KnownEffect* effect = nullptr;
  std::string texture;
};

Named named(const std::string& word) {
  if (const KnownEffect* effect = effectCalled(word)) return {effect, ""};
  const std::string key = lowerCase(word);
  for (const KnownEffect& effect : knownEffects()) {
    for (std::string_view texture : effect.textures) {
      const std::string file(texture);
      if (key == file || key == std::filesystem::path(file).stem().string()) return {&effect, file};
    }
  }
  return {};
}

}  // namespace

CustomTexture textureEntry(const std::string& entry, const std::vector<std::string>& effects) {
  auto refuse = [&](const std::string& why) { return HostError("--texture " + entry + ": " + why); };
  CustomTexture texture;
  texture.entry = entry;
  // "NAME=FILE" when what comes before the first '=' is a plain word; a path holding '=' stays a FILE.
  static const std::regex word("[A-Za-z0-9_.-]+");
  const size_t equals = entry.find('=');
  const bool hasName = equals != std::string::npos && std::regex_match(entry.substr(0, equals), word);
  texture.file = hasName ? entry.substr(equals + 1) : entry;
  if (texture.file.empty()) throw refuse("no file given ([EFFECT=]FILE)");

  std::vector<const KnownEffect*> here;  // the effects of the render that read a texture
  for (const std::string& name : effects) {
    const KnownEffect* effect = effectCalled(name);
    if (effect && !effect->textures.empty()) here.push_back(effect);
  }
  if (hasName) {
    const std::string name = entry.substr(0, equals);
    const Named found = named(name);
    if (found.effect == nullptr) {
      throw refuse("no effect or texture called \"" + name + "\" (the effects with a texture: " + texturedEffects() +
                   "; a file whose name holds '=' is given as ./NAME)");
    }
    if (found.effect->textures.empty()) throw refuse(std::string(found.effect->name) + " reads no texture");
    if (std::find(here.begin(), here.end(), found.effect) == here.end()) {
      throw refuse(std::string(found.effect->name) + " is not an effect of this render (" + list(effects) + ")");
    }
    texture.effect = found.effect->name;
    texture.texture = found.texture;
    return texture;
  }
  if (here.empty()) {
    if (effects.size() != 1) throw refuse("none of " + list(effects) + " reads a texture");
    const KnownEffect* only = effectCalled(effects[0]);
    throw refuse((only ? std::string(only->name) : effects[0]) + " reads no texture");
  }
  if (here.size() > 1) {
    std::vector<std::string> names;
    for (const KnownEffect* effect : here) names.emplace_back(effect->name);
    throw refuse("say which effect it is for, as EFFECT=FILE: " + list(names) + " read textures");
  }
  const KnownEffect& effect = *here[0];
  if (effect.textures.size() > 1) {
    std::string each;
    for (std::string_view file : effect.textures) {
      each += (each.empty() ? "" : " or ") + std::filesystem::path(std::string(file)).stem().string() + "=FILE";
    }
    throw refuse(std::string(effect.name) + " reads " + std::to_string(effect.textures.size()) +
                 " textures: give " + lowerCase(std::string(effect.name)) + "=FILE for all of them, or " + each);
  }
  texture.effect = effect.name;
  return texture;
}

void readTexture(CustomTexture& texture) {
  try {
    texture.grey = std::make_shared<const Picture>(media::readGreyPicture(texture.file, &interruptFlag()));
  } catch (const HostError& error) {
    if (interrupted()) throw Interrupted("interrupted while " + texture.file + " was being read");
    throw HostError("--texture " + texture.entry + ": " + error.what());
  }
}

std::vector<CustomTexture> customTextures(const std::vector<std::string>& entries,
                                          const std::vector<std::string>& effects) {
  std::vector<CustomTexture> textures;
  for (const std::string& entry : entries) {
    CustomTexture texture = textureEntry(entry, effects);
    for (const CustomTexture& earlier : textures) {
      if (earlier.effect == texture.effect && earlier.texture == texture.texture) {
        throw HostError("--texture " + entry + ": " +
                        (texture.texture.empty() ? "the texture of " + texture.effect
                                                 : texture.texture + " of " + texture.effect) +
                        " is given twice (also by " + earlier.entry + ")");
      }
    }
    textures.push_back(std::move(texture));
  }
  for (CustomTexture& texture : textures) readTexture(texture);
  return textures;
}

const CustomTexture* customTextureFor(const std::vector<CustomTexture>& textures, const std::string& effect,
                                      const std::string& name) {
  const CustomTexture* general = nullptr;
  for (const CustomTexture& texture : textures) {
    if (lowerCase(texture.effect) != lowerCase(effect)) continue;
    if (texture.texture == name) return &texture;
    if (texture.texture.empty()) {
      const KnownEffect* known = effectCalled(effect);
      if (known && std::find(known->textures.begin(), known->textures.end(), name) != known->textures.end()) {
        general = &texture;
      }
    }
  }
  return general;
}

Picture servedTexture(const CustomTexture& texture, const KnownEffect& effect) {
  if (!texture.grey) throw HostError("--texture " + texture.entry + ": the picture was not read");
  const Geometry& own = texture.grey->geometry;
  if (effect.anyTextureSize) {
    // Within the side the host serves, at the picture's own proportions.
    const int32_t side = std::max(own.width, own.height);
    if (side <= kMaxTextureSide) return media::resampleGrey(*texture.grey, own.width, own.height);
    const auto shrink = [&](int32_t length) {
      return std::max<int32_t>(1, static_cast<int32_t>(int64_t{length} * kMaxTextureSide / side));
    };
    return media::resampleGrey(*texture.grey, shrink(own.width), shrink(own.height));
  }
  return media::resampleGrey(*texture.grey, effect.textureWidth, effect.textureHeight);
}

}  // namespace ophost::render
