#include "render_pipeline.h"

#include <sys/resource.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "buffer_pool.h"
#include "host_error.h"
#include "interrupt.h"
#include "worker.h"

namespace ophost::render {

namespace {

// Frames waiting between two stages. Two keep every stage busy (a 1080p H.264 render took as long
// as with three) and hold one frame's buffers less in each queue: some 25 MB at 1080p.
constexpr size_t kQueueFrames = 2;

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

// The plug-in's stage of a render: frames are handed over in order and their answers come back in
// order, from this process or from worker processes alike.
struct StageAnswer {
  int64_t number = 0;
  RenderedFrame frame;
  std::vector<Warning> warnings;  // told here (the in-process stage tells its own at once)
  std::string failure;            // why the frame could not be rendered
};

class RenderStage {
 public:
  virtual ~RenderStage() = default;
  // Hands over frame `number`; returns the answer that had to come back first to make room for
  // it, if one had to (always the oldest frame still out).
  virtual std::optional<StageAnswer> hand(int64_t number, FrameInputs inputs) = 0;
  // Once every frame is handed over: the oldest answer still out, or nothing when none is.
  virtual std::optional<StageAnswer> takeBack() = 0;
  // After the last answer: the stage ends cleanly.
  virtual void finish() {}
};

// The plug-in in this process: each frame is rendered as it is handed over.
class InProcessStage final : public RenderStage {
 public:
  explicit InProcessStage(FrameStages& renderer) : renderer_(renderer) {}
  std::optional<StageAnswer> hand(int64_t number, FrameInputs inputs) override {
    return StageAnswer{number, renderer_.renderWith(number, std::move(inputs)), {}, {}};
  }
  std::optional<StageAnswer> takeBack() override { return std::nullopt; }

 private:
  FrameStages& renderer_;
};

// The plug-in in N worker processes: frame f goes to worker (f - first) mod N, so answers come
// back in frame order: before a worker takes a frame, its previous one (f - N, the oldest still
// out) is taken back.
class WorkerStage final : public RenderStage {
 public:
  explicit WorkerStage(const PipelineOptions& options)
      : pool_(options.program, options.workerArguments, options.jobs, options.workerDeadline),
        first_(options.first),
        jobs_(options.jobs),
        busy_(static_cast<size_t>(options.jobs), false),
        oldest_(options.first) {}
  std::optional<StageAnswer> hand(int64_t number, FrameInputs inputs) override {
    const int worker = workerOf(number);
    std::optional<StageAnswer> answer;
    if (busy_[static_cast<size_t>(worker)]) answer = collect(worker);
    pool_.send(worker, number, inputs);
    busy_[static_cast<size_t>(worker)] = true;
    return answer;
  }
  std::optional<StageAnswer> takeBack() override {
    const int worker = workerOf(oldest_);
    if (!busy_[static_cast<size_t>(worker)]) return std::nullopt;
    return collect(worker);
  }
  void finish() override { pool_.finish(); }

 private:
  int workerOf(int64_t number) const { return static_cast<int>((number - first_) % jobs_); }
  StageAnswer collect(int worker) {
    WorkerAnswer answer = pool_.receive(worker);
    busy_[static_cast<size_t>(worker)] = false;
    return StageAnswer{oldest_++, std::move(answer.frame), std::move(answer.warnings), std::move(answer.failure)};
  }
  WorkerPool pool_;
  int64_t first_;
  int jobs_;
  std::vector<bool> busy_;
  int64_t oldest_;  // the oldest frame still out
};

}  // namespace

RenderTotals renderFrames(FrameStages& renderer, media::FrameSink& sink,
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
        if (!next) continue;
        sink.add(next->picture, next->frame);
        recycle(std::move(next->picture));
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
    std::unique_ptr<RenderStage> stage;
    if (options.jobs > 1) {
      stage = std::make_unique<WorkerStage>(options);
    } else {
      stage = std::make_unique<InProcessStage>(renderer);
    }
    std::set<std::string> told;  // each worker tells a fault once; the render tells it once for all
    auto deliver = [&](StageAnswer&& answer) {
      for (const Warning& warning : answer.warnings) {
        if (options.warn && told.insert(warning.key).second) options.warn(warning);
      }
      if (!answer.failure.empty()) throw HostError(answer.failure);
      return account(std::move(answer.frame), answer.number);
    };
    bool going = true;
    while (going) {
      if (interrupted()) throw Interrupted("interrupted");
      bool ended = false;
      std::optional<Decoded> next = decoded.pop(std::chrono::milliseconds(100), ended);
      if (ended) break;
      if (!next) continue;
      // The inputs go with the frame: held by the plug-in's stage alone, they need no copy.
      if (auto answer = stage->hand(next->frame, std::move(next->inputs))) going = deliver(std::move(*answer));
    }
    failure.rethrow();
    while (going) {
      if (interrupted()) throw Interrupted("interrupted");
      std::optional<StageAnswer> answer = stage->takeBack();
      if (!answer) break;
      going = deliver(std::move(*answer));
    }
    failure.rethrow();
    stage->finish();
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
