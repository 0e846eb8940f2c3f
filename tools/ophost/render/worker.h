// Worker processes for `ophost render --jobs N`: each is ophost itself started in its worker mode
// ("ophost render-worker NAME ..." with the render's plug-in options), with its own loaded copy of
// the plug-in. The parent hands it one frame at a time through a pipe (the frame number and the
// inputs that changed since its last frame) and reads the rendered picture back through another,
// with the frame's warnings and times; worker_protocol.h lays the messages out. A worker that
// fails says why in its answer; one that dies is reported with the signal or status it ended with.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "renderer.h"

namespace ophost::render {

struct WorkerAnswer {
  RenderedFrame frame;
  std::vector<Warning> warnings;
  std::string failure;  // why the frame could not be rendered; empty when it was
};

// How long a worker may take or give nothing while it owes an answer (or takes a frame) before
// the render gives it up: generous, since a frame of the slowest plug-in takes well under a second.
inline constexpr std::chrono::milliseconds kWorkerDeadline{60000};

class WorkerPool {
 public:
  // Starts `count` workers running `program` with `arguments` (after argv[0]). A worker that
  // passes `deadline` without taking or giving anything is ended and named in a HostError.
  WorkerPool(const std::string& program, const std::vector<std::string>& arguments, int count,
             std::chrono::milliseconds deadline = kWorkerDeadline);
  ~WorkerPool();  // stops the workers (at once, if they are still busy) and waits for them
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()); }
  // Hands frame `frame` to worker `worker`; inputs it already holds are not sent again.
  void send(int worker, int64_t frame, const FrameInputs& inputs);
  // The answer of worker `worker` for the frame it was last handed (with `failure` set when the
  // plug-in failed). Throws HostError for a worker that died, answered nonsense or passed the
  // deadline, Interrupted when ophost is interrupted while waiting.
  WorkerAnswer receive(int worker);
  // Tells every worker there are no more frames and waits for them to end.
  void finish();

 private:
  struct Worker {
    pid_t pid = -1;
    int toWorker = -1;
    int fromWorker = -1;
    bool broken = false;  // its pipe was closed under the parent's write
    int64_t frame = -1;
    std::shared_ptr<const Picture> held[2];
  };
  std::string ended(Worker& worker);
  // Ends a worker past the deadline; says which it was, what it did not do and how long it took.
  std::string silent(int index, const std::string& what);
  void stop(bool force);
  std::vector<Worker> workers_;
  std::chrono::milliseconds deadline_;
};

// The worker's side: serves frames on stdin/stdout until told to stop. Returns the exit status.
int workerMain(const RenderSetup& setup);

}  // namespace ophost::render
