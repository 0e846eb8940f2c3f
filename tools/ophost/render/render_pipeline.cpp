#include "render_pipeline.h"

#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "colour.h"
#include "host_error.h"
#include "interrupt.h"
#include "worker.h"

namespace ophost::render {

namespace {

constexpr size_t kQueueFrames = 3;

// A queue of at most `capacity` items. close() ends it at once for both sides (a failure);
// finish() lets the reader take what is left first.
template <typename T>
class BoundedQueue {
 public:
  explicit BoundedQueue(size_t capacity) : capacity_(capacity) {}
  bool push(T item) {
    std::unique_lock lock(mutex_);
    space_.wait(lock, [&] { return closed_ || items_.size() < capacity_; });
    if (closed_) return false;
    items_.push_back(std::move(item));
    ready_.notify_one();
    return true;
  }
  // Waits up to `patience` for an item; nothing when the queue ended or the time passed (then
  // `ended` tells which).
  std::optional<T> pop(std::chrono::milliseconds patience, bool& ended) {
    std::unique_lock lock(mutex_);
    ended = false;
    if (!ready_.wait_for(lock, patience, [&] { return closed_ || finished_ || !items_.empty(); })) {
      return std::nullopt;
    }
    if (closed_ || items_.empty()) {
      ended = true;
      return std::nullopt;
    }
    T item = std::move(items_.front());
    items_.pop_front();
    space_.notify_one();
    return item;
  }
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    ready_.notify_all();
    space_.notify_all();
  }
  void finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    ready_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_, space_;
  std::deque<T> items_;
  size_t capacity_;
  bool closed_ = false, finished_ = false;
};

// The first failure of any stage, kept to be thrown from the calling thread.
class Failure {
 public:
  void set(std::exception_ptr error) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(error);
  }
  void rethrow() {
    std::lock_guard lock(mutex_);
    if (error_) std::rethrow_exception(error_);
  }

 private:
  std::mutex mutex_;
  std::exception_ptr error_;
};

std::chrono::nanoseconds cpuNow() {
  auto of = [](int who) {
    rusage usage{};
    getrusage(who, &usage);
    return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
  };
  return of(RUSAGE_SELF) + of(RUSAGE_CHILDREN);
}

struct Decoded {
  int64_t frame;
  FrameInputs inputs;
};
struct Rendered {
  int64_t frame;
  Picture picture;
};

}  // namespace

RenderTotals renderFrames(FrameRenderer& renderer, media::FrameSink& sink,
                          const PipelineOptions& options) {
  const auto started = std::chrono::steady_clock::now();
  const auto cpuStarted = cpuNow();
  RenderTotals totals;
  BoundedQueue<Decoded> decoded(kQueueFrames);
  BoundedQueue<Rendered> rendered(kQueueFrames);
  Failure failure;

  std::thread decoder([&] {
    blockInterruptInThisThread();
    try {
      for (int64_t frame = options.first; frame <= options.last; ++frame) {
        if (!decoded.push(Decoded{frame, renderer.decodeInputs(frame)})) return;
      }
      decoded.finish();
    } catch (...) {
      failure.set(std::current_exception());
      decoded.close();
      rendered.close();
    }
  });
  std::thread encoder([&] {
    blockInterruptInThisThread();
    try {
      for (;;) {
        bool ended = false;
        std::optional<Rendered> next = rendered.pop(std::chrono::milliseconds(1000), ended);
        if (ended) return;
        if (next) sink.add(media::pictureToRgb(next->picture), next->frame);
      }
    } catch (...) {
      failure.set(std::current_exception());
      decoded.close();
      rendered.close();
    }
  });

  auto account = [&](RenderedFrame&& frame, int64_t number) {
    totals.pluginTime += frame.pluginTime;
    totals.hostTime += frame.hostTime;
    ++totals.frames;
    if (!rendered.push(Rendered{number, std::move(frame.picture)})) return false;
    if (options.advanced) options.advanced();
    return true;
  };

  try {
    std::unique_ptr<WorkerPool> pool;
    std::set<std::string> warned;
    if (options.jobs > 1) pool = std::make_unique<WorkerPool>(options.program, options.workerArguments, options.jobs,
                                                              options.workerDeadline);
    std::vector<bool> busy(static_cast<size_t>(std::max(options.jobs, 1)), false);
    auto collect = [&](int worker, int64_t number) {
      WorkerAnswer answer = pool->receive(worker);
      busy[static_cast<size_t>(worker)] = false;
      for (const std::string& warning : answer.warnings) {
        // Each worker tells a fault once; ophost tells it once for all of them.
        static const std::regex frameNumber(" at frame [0-9]+: ");
        const std::string what = std::regex_replace(warning, frameNumber, " at a frame: ");
        if (options.warn && warned.insert(what).second) options.warn(warning);
      }
      if (!answer.failure.empty()) throw HostError(answer.failure);
      return account(std::move(answer.frame), number);
    };
    bool going = true;
    while (going) {
      if (interrupted()) throw Interrupted("interrupted");
      bool ended = false;
      std::optional<Decoded> next = decoded.pop(std::chrono::milliseconds(100), ended);
      if (ended) break;
      if (!next) continue;
      if (!pool) {
        going = account(renderer.renderWith(next->frame, next->inputs), next->frame);
        continue;
      }
      // Frame f goes to worker (f - first) mod N, so answers are collected in frame order: the
      // worker's previous frame, f - N, is the oldest one still out.
      const int worker = static_cast<int>((next->frame - options.first) % options.jobs);
      if (busy[static_cast<size_t>(worker)] && !collect(worker, next->frame - options.jobs)) break;
      pool->send(worker, next->frame, next->inputs);
      busy[static_cast<size_t>(worker)] = true;
    }
    failure.rethrow();
    if (pool) {
      const int64_t sent = options.first + totals.frames;
      for (int64_t number = sent; going && number <= options.last; ++number) {
        if (interrupted()) throw Interrupted("interrupted");
        const int worker = static_cast<int>((number - options.first) % options.jobs);
        if (!busy[static_cast<size_t>(worker)]) break;
        if (!collect(worker, number)) break;
      }
      failure.rethrow();
      pool->finish();
    }
    rendered.finish();
  } catch (...) {
    failure.set(std::current_exception());
    decoded.close();
    rendered.close();
  }
  decoder.join();
  encoder.join();
  failure.rethrow();
  if (interrupted()) throw Interrupted("interrupted");
  totals.wall = std::chrono::steady_clock::now() - started;
  totals.cpuTime = cpuNow() - cpuStarted;
  return totals;
}

std::string describeTotals(const RenderTotals& totals, int jobs, const std::string& plugin) {
  using Seconds = std::chrono::duration<double>;
  const double wall = Seconds(totals.wall).count();
  const double pluginSeconds = Seconds(totals.pluginTime).count();
  const double cpu = Seconds(totals.cpuTime).count();
  const double capacity = wall * std::max(jobs, 1);
  char text[400];
  std::snprintf(text, sizeof text,
                "%lld frame%s in %.2f s, %.1f frames/s; in %s %.2f s (%.0f%% of %d job%s x %.2f s), "
                "serving its calls %.2f s, host CPU %.2f s in all",
                static_cast<long long>(totals.frames), totals.frames == 1 ? "" : "s", wall,
                wall > 0 ? static_cast<double>(totals.frames) / wall : 0.0, plugin.c_str(), pluginSeconds,
                capacity > 0 ? 100.0 * pluginSeconds / capacity : 0.0, std::max(jobs, 1), jobs == 1 ? "" : "s",
                wall, Seconds(totals.hostTime).count(), std::max(0.0, cpu - pluginSeconds));
  return text;
}

}  // namespace ophost::render
