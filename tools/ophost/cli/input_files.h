// The files a command reads, so that its output is never written over one of them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "media_output.h"

namespace ophost::cli {

// The files the inputs read, by device and inode: a file itself, or each frame of a numbered
// sequence as it is read (from the first of frames 0..4 there is, up to the first one missing).
class InputFiles {
 public:
  // `option` names the input in messages ("--input0", "clip 2").
  void add(const std::string& option, const std::string& input);
  // A file read as it is (a texture's picture), named `what` in messages.
  void addFile(const std::string& file, const std::string& what);
  // Throws HostError when writing `file` (or the sequence `pattern`) would replace an input.
  void refuse(const std::string& file, const std::string& pattern) const;
  // Refuses, before any work, an output some frame of first..last could not be written to, or
  // would be written over one of the inputs.
  void checkOutput(const std::string& output, media::OutputKind kind, int64_t first, int64_t last) const;

 private:
  static bool exists(const std::string& file);
  static std::string comparable(const std::string& name);
  static std::string refusal() { return ", which the command reads: give the output another name"; }
  std::map<std::pair<dev_t, ino_t>, std::string> files_;
  std::vector<std::pair<std::string, std::string>> patterns_;
};

}  // namespace ophost::cli
