// Worker processes for `ophost render --jobs N`: each is ophost itself started in its worker mode
// ("ophost render-worker NAME ..." with the render's plug-in options), with its own loaded copy of
// the plug-in. The parent hands it one frame at a time through a pipe (the frame number and the
// inputs that changed since its last frame) and reads the rendered picture back through another,
// with the frame's warnings and times. A worker that fails says why in its answer; one that dies
// is reported with the signal or status it ended with.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "renderer.h"

namespace ophost::cli {

struct WorkerAnswer {
  RenderedFrame frame;
  std::vector<std::string> warnings;
  std::string failure;  // why the frame could not be rendered; empty when it was
};

class WorkerPool {
 public:
  // Starts `count` workers running `program` with `arguments` (after argv[0]).
  WorkerPool(const std::string& program, const std::vector<std::string>& arguments, int count);
  ~WorkerPool();  // stops the workers (at once, if they are still busy) and waits for them
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  int size() const { return static_cast<int>(workers_.size()); }
  // Hands frame `frame` to worker `worker`; inputs it already holds are not sent again.
  void send(int worker, int64_t frame, const FrameInputs& inputs);
  // The answer of worker `worker` for the frame it was last handed (with `failure` set when the
  // plug-in failed). Throws HostError for a worker that died or answered nonsense, Interrupted
  // when ophost is interrupted while waiting.
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
  void stop(bool force);
  std::vector<Worker> workers_;
};

// The worker's side: serves frames on stdin/stdout until told to stop. Returns the exit status.
int workerMain(const RenderSetup& setup);

}  // namespace ophost::cli
