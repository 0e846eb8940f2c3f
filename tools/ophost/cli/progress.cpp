#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace ophost::cli {

namespace {

std::string clock(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
  return text;
}

}  // namespace

Progress::Progress(std::string title, int64_t total, bool quiet)
    : title_(std::move(title)), total_(total), quiet_(quiet || total < 2),
      terminal_(isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

Progress::~Progress() {
  if (!quiet_ && terminal_ && !finished_ && done_ > 0) std::fputs("\n", stderr);
}

void Progress::advance() { advanceTo(done_ + 1); }

void Progress::advanceTo(int64_t done) {
  if (done == done_) return;
  done_ = done;
  if (quiet_) return;
  const auto now = std::chrono::steady_clock::now();
  if (terminal_) {
    if (now - lastDraw_ >= std::chrono::milliseconds(100) || done_ == total_) {
      lastDraw_ = now;
      draw();
    }
  } else {
    // Plain lines: one every five seconds and one at the end.
    if (now - lastDraw_ >= std::chrono::seconds(5) || done_ == total_) {
      lastDraw_ = now;
      draw();
    }
  }
}

void Progress::done() {
  if (quiet_ || finished_) return;
  finished_ = true;
  if (terminal_) std::fputs("\n", stderr);
}

void Progress::draw() {
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double fps = elapsed > 0 ? static_cast<double>(done_) / elapsed : 0.0;
  const double left = fps > 0 ? static_cast<double>(total_ - done_) / fps : 0.0;
  if (terminal_) {
    constexpr int kWidth = 30;
    const int filled = static_cast<int>(done_ * kWidth / total_);
    std::string bar(static_cast<size_t>(filled), '#');
    bar.append(static_cast<size_t>(kWidth - filled), '.');
    std::fprintf(stderr, "\r%s [%s] %lld/%lld frames  %.1f fps  %s left ", title_.c_str(), bar.c_str(),
                 static_cast<long long>(done_), static_cast<long long>(total_), fps, clock(left).c_str());
  } else {
    std::fprintf(stderr, "%s: %lld/%lld frames, %.1f fps, %s left\n", title_.c_str(),
                 static_cast<long long>(done_), static_cast<long long>(total_), fps, clock(left).c_str());
  }
  std::fflush(stderr);
}

}  // namespace ophost::cli
