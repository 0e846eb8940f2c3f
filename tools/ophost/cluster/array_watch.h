// A job array and its join as they go, from what squeue says of them: each task's state and node
// (a task requeued after its node failed goes back to pending and is counted again), the frames
// done, and whether the whole has ended, well or not.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "slurm_client.h"

namespace ophost::cluster {

// The frames a task's log says are done: the last "TITLE: N/M frames" progress line in it, or 0.
int64_t framesDoneInLog(const std::filesystem::path& log);

class ArrayWatch {
 public:
  struct Task {
    std::string state = "PENDING";
    std::string node;    // where it runs or ran last
    int64_t restarts = 0;  // the times Slurm requeued it
    int64_t frames = 0;  // its segment's frames
  };

  // `frames[k-1]` is task k's segment length; `log(k)` its log file.
  ArrayWatch(std::string array, std::string join, std::vector<int64_t> frames,
             std::function<std::filesystem::path(int64_t)> log);

  // Takes in a round of squeue's records of both jobs. Returns the tasks that were running and
  // wait to run again (requeued: their node failed, or an administrator asked for it).
  std::vector<int64_t> update(const std::vector<JobRecord>& records);

  const std::string& array() const { return array_; }
  const std::string& join() const { return join_; }
  const std::vector<Task>& tasks() const { return tasks_; }
  const std::string& joinState() const { return joinState_; }
  // The frames done over all tasks: every frame of a task that completed, and what a running
  // one's log says.
  int64_t framesDone() const;
  // The tasks that ended in any other state than COMPLETED, by index (1-based).
  std::vector<int64_t> failedTasks() const;
  bool allTasksCompleted() const;
  bool joinEnded() const { return hasEnded(joinState_); }
  // Every node a task ran on, in order.
  std::set<std::string> nodesUsed() const;

 private:
  std::string array_, join_;
  std::vector<Task> tasks_;
  std::string joinState_ = "PENDING";
  std::function<std::filesystem::path(int64_t)> log_;
};

}  // namespace ophost::cluster
