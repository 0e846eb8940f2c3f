#include "input_files.h"

#include <sys/stat.h>

#include <filesystem>

#include "host_error.h"

namespace ophost::cli {

void InputFiles::add(const std::string& option, const std::string& input) {
  if (input.empty() || input.rfind("card:", 0) == 0) return;
  std::string first;
  try {
    first = media::sequenceFileName(input, 0);
  } catch (const HostError&) {
    return;  // no file has such a name: opening it says so
  }
  if (first == input) {
    addFile(input, option + " (" + input + ")");
    return;
  }
  patterns_.emplace_back(comparable(input), option + " (" + input + ")");
  int64_t frame = 0;
  while (frame < 5 && !exists(media::sequenceFileName(input, frame))) ++frame;
  for (; exists(media::sequenceFileName(input, frame)); ++frame) {
    addFile(media::sequenceFileName(input, frame), "a frame of " + option + " (" + input + ")");
  }
}

void InputFiles::refuse(const std::string& file, const std::string& pattern) const {
  if (!pattern.empty()) {
    for (const auto& [input, what] : patterns_) {
      if (input == comparable(pattern)) throw HostError("cannot write " + pattern + ": it is " + what + refusal());
    }
  }
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) return;
  if (const auto found = files_.find({status.st_dev, status.st_ino}); found != files_.end()) {
    throw HostError("cannot write " + file + ": it is " + found->second + refusal());
  }
}

void InputFiles::checkOutput(const std::string& output, media::OutputKind kind, int64_t first, int64_t last) const {
  if (kind != media::OutputKind::PngSequence) {
    media::checkOutputFile(output, output);
    refuse(output, "");
    return;
  }
  refuse(media::sequenceFileName(output, first), output);
  for (int64_t frame = first; frame <= last; ++frame) {
    const std::string file = media::sequenceFileName(output, frame);
    media::checkOutputFile(file, output);
    refuse(file, "");
  }
}

bool InputFiles::exists(const std::string& file) {
  struct stat status {};
  return ::stat(file.c_str(), &status) == 0;
}

std::string InputFiles::comparable(const std::string& name) {
  std::error_code error;
  const auto path = std::filesystem::weakly_canonical(name, error);
  return error ? name : path.string();
}

void InputFiles::addFile(const std::string& file, const std::string& what) {
  struct stat status {};
  if (::stat(file.c_str(), &status) == 0) files_.emplace(std::make_pair(status.st_dev, status.st_ino), what);
}

}  // namespace ophost::cli
