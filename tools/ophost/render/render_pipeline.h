// A multi-frame render in three stages that overlap: one thread decodes the inputs and converts
// them to OpPixels, the calling thread has the plug-in render them (a stage of one interface,
// in this process or handed round worker processes), one thread converts the results to RGB and
// encodes them, in frame order. The stages meet in bounded queues, so at most a few frames are in
// flight.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "media_output.h"
#include "renderer.h"
#include "warning.h"
#include "worker.h"

namespace ophost::render {

struct PipelineOptions {
  int64_t first = 0;
  int64_t last = 0;
  int jobs = 1;                       // 1: the plug-in renders in this process
  std::string program;                // for jobs > 1: ophost itself ...
  std::vector<std::string> workerArguments;  // ... and its worker-mode arguments
  WarningSink warn;                              // the workers' warnings, each once
  std::function<void()> advanced;                // told of each frame rendered, in order
  std::chrono::milliseconds workerDeadline = kWorkerDeadline;  // see WorkerPool
};

struct RenderTotals {
  int64_t frames = 0;
  std::chrono::nanoseconds wall{0};
  std::chrono::nanoseconds pluginTime{0};  // summed over the frames (and so over the workers)
  std::chrono::nanoseconds hostTime{0};    // the runtime's serving of the plug-in's calls
  std::chrono::nanoseconds cpuTime{0};     // of ophost and its workers, all threads
};

// Renders frames first..last of `renderer` into `sink` (not finished); with jobs > 1 the
// plug-in's step runs in worker processes (then `renderer` is a FrameRenderer they mirror). Throws HostError with the
// first failure of any stage, Interrupted when SIGINT arrived; the sink then holds a partial
// output that its destruction removes.
RenderTotals renderFrames(FrameStages& renderer, media::FrameSink& sink,
                          const PipelineOptions& options);

// The time and work of a render, one line: "101 frames in 3.52 s, 28.7 frames/s; ...".
std::string describeTotals(const RenderTotals& totals, int jobs, const std::string& plugin);

}  // namespace ophost::render
