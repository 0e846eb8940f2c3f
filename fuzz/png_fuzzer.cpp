// The host's texture loader on arbitrary bytes: readGreyPng must either give a grey picture of the
// size the file states or refuse the file with a HostError, never crash, hang or read past a buffer.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "host_error.h"
#include "texture_files.h"

namespace {

std::filesystem::path* file = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::error_code error;
  std::filesystem::path dir = std::filesystem::temp_directory_path(error);
  if (error || dir.empty()) dir = "/tmp";
  file = new std::filesystem::path(dir / ("png_fuzzer_" + std::to_string(::getpid()) + ".png"));
  std::atexit([] { std::filesystem::remove(*file); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  {
    std::FILE* out = std::fopen(file->c_str(), "wb");
    if (out == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
    std::fclose(out);
  }
  try {
    const ophost::Picture grey = ophost::readGreyPng(*file);
    const ophost::Geometry& g = grey.geometry;
    if (grey.bytesPerPixel != 1 || g.width <= 0 || g.height <= 0 || g.stride != g.width ||
        g.rows != g.height || grey.bytes.size() != static_cast<size_t>(g.width) * g.height) {
      std::fprintf(stderr, "readGreyPng gave a picture not laid out as promised: %s\n",
                   g.describe().c_str());
      std::abort();
    }
    // Touch every texel, so a picture only partly written shows up under the sanitizers.
    unsigned sum = 0;
    for (uint8_t b : grey.bytes) sum += b;
    if (sum == 0xFFFFFFFFu) std::fprintf(stderr, "-");
  } catch (const ophost::HostError&) {
    // refused with a reason: fine
  }
  return 0;
}
