#include "temporary_file.h"

#include <system_error>

#include "host_error.h"

namespace ophost::media {

void TemporaryFile::remove() {
  if (renamed_) return;
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

void TemporaryFile::renameTo(const std::string& name) {
  std::error_code error;
  std::filesystem::rename(path_, name, error);
  if (error) {
    remove();  // the rename's error is the one to tell
    throw HostError("cannot write " + name + ": " + error.message());
  }
  renamed_ = true;
}

}  // namespace ophost::media
