// Writes the host's six textures into a directory: make_textures DIR.
#include <cstdio>
#include <exception>
#include <filesystem>

#include "texture_designs.h"
#include "grey_png.h"
#include "texture_files.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_textures DIRECTORY\n");
    return 2;
  }
  try {
    std::filesystem::create_directories(argv[1]);
    for (const auto& design : ophost::textures::textureDesigns()) {
      ophost::textures::writeGreyPng(std::filesystem::path(argv[1]) / design.name,
                           ophost::textures::drawTexture(design.name));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "make_textures: %s\n", error.what());
    return 1;
  }
  return 0;
}
