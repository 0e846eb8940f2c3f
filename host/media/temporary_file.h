// A file written under a temporary name: removed when its owner goes, unless it was renamed into
// place. Owning it from before it is created means that no path out of the code writing it - a
// constructor that throws included - leaves it behind.
#pragma once

#include <filesystem>
#include <string>

namespace ophost::media {

class TemporaryFile {
 public:
  explicit TemporaryFile(std::filesystem::path path) : path_(std::move(path)) {}
  ~TemporaryFile() { remove(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Removes the file now (if it is there).
  void remove();
  // Renames the file to `name`, which it then no longer owns. On failure the file is removed and
  // HostError thrown, telling `name` and why.
  void renameTo(const std::string& name);

 private:
  std::filesystem::path path_;
  bool renamed_ = false;
};

}  // namespace ophost::media
