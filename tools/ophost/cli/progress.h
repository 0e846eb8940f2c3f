// Progress of a long render on stderr: a bar redrawn in place on a terminal (frames done, frames
// per second, time left), plain lines now and then when stderr is a file or a pipe.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace ophost::cli {

class Progress {
 public:
  Progress(std::string title, int64_t total, bool quiet);
  ~Progress();
  void advance();  // one more frame done
  // `done` frames done in all, as other processes report them: the count may also go back (work
  // lost and begun again).
  void advanceTo(int64_t done);
  void done();

 private:
  void draw();
  std::string title_;
  int64_t total_ = 0;
  int64_t done_ = 0;
  bool quiet_ = false;
  bool terminal_ = false;
  bool finished_ = false;
  std::chrono::steady_clock::time_point start_, lastDraw_;
};

}  // namespace ophost::cli
