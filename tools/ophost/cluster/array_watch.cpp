#include "array_watch.h"

#include <algorithm>
#include <fstream>
#include <regex>

namespace ophost::cluster {

int64_t framesDoneInLog(const std::filesystem::path& log) {
  std::ifstream in(log, std::ios::binary);
  if (!in) return 0;
  // The render's plain progress lines ("Ripples: 12/50 frames, 4.0 fps, 0:10 left"); only the end
  // of a long log is read.
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  const std::streamoff start = size > 8192 ? size - 8192 : 0;
  in.seekg(start);
  std::string tail(static_cast<size_t>(size - start), '\0');
  in.read(tail.data(), static_cast<std::streamsize>(tail.size()));
  static const std::regex line(": ([0-9]{1,12})/[0-9]{1,12} frames");
  int64_t done = 0;
  for (auto it = std::sregex_iterator(tail.begin(), tail.end(), line); it != std::sregex_iterator(); ++it) {
    done = std::stoll((*it)[1].str());
  }
  return done;
}

ArrayWatch::ArrayWatch(std::string array, std::string join, std::vector<int64_t> frames,
                       std::function<std::filesystem::path(int64_t)> log)
    : array_(std::move(array)), join_(std::move(join)), log_(std::move(log)) {
  for (const int64_t length : frames) {
    Task task;
    task.frames = length;
    tasks_.push_back(task);
  }
}

std::vector<int64_t> ArrayWatch::update(const std::vector<JobRecord>& records) {
  std::vector<int64_t> requeued;
  for (const JobRecord& record : records) {
    if (record.job == join_ && record.task == 0) {
      joinState_ = record.state;
    } else if (record.job == array_ && record.task >= 1 && record.task <= static_cast<int64_t>(tasks_.size())) {
      Task& task = tasks_[static_cast<size_t>(record.task - 1)];
      // Told by the count Slurm keeps, so a task requeued between two rounds is not missed.
      if (record.restarts > task.restarts) {
        task.restarts = record.restarts;
        requeued.push_back(record.task);
      }
      task.state = record.state;
      if (!record.nodes.empty()) task.node = record.nodes;
    }
  }
  return requeued;
}

int64_t ArrayWatch::framesDone() const {
  int64_t done = 0;
  for (size_t k = 0; k < tasks_.size(); ++k) {
    const Task& task = tasks_[k];
    if (endedWell(task.state)) {
      done += task.frames;
    } else if (task.state == "RUNNING") {
      done += std::min(task.frames, framesDoneInLog(log_(static_cast<int64_t>(k + 1))));
    }
  }
  return done;
}

std::vector<int64_t> ArrayWatch::failedTasks() const {
  std::vector<int64_t> failed;
  for (size_t k = 0; k < tasks_.size(); ++k) {
    if (hasEnded(tasks_[k].state) && !endedWell(tasks_[k].state)) failed.push_back(static_cast<int64_t>(k + 1));
  }
  return failed;
}

bool ArrayWatch::allTasksCompleted() const {
  for (const Task& task : tasks_) {
    if (!endedWell(task.state)) return false;
  }
  return true;
}

std::set<std::string> ArrayWatch::nodesUsed() const {
  std::set<std::string> nodes;
  for (const Task& task : tasks_) {
    if (!task.node.empty()) nodes.insert(task.node);
  }
  return nodes;
}

}  // namespace ophost::cluster
