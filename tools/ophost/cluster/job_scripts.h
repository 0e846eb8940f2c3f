// The files of a job split over a cluster, all in one work directory on storage every node
// shares: the script each task of the job array runs (one segment of the render or join), the
// script of the join that runs after them all (the segments put together by stream copy, with the
// join's sound; for a PNG sequence the frames moved into place once every one is there), the logs,
// the segments.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace ophost::cluster {

// Where each of a job's files lies in its work directory.
class JobFiles {
 public:
  // `extension` is the segments' (the output's, ".mkv"); empty for a PNG sequence, whose tasks
  // write their frames into stagedFrames() under their names in the output.
  JobFiles(std::filesystem::path directory, std::string extension);

  const std::filesystem::path& directory() const { return directory_; }
  bool segmented() const { return !extension_.empty(); }
  std::filesystem::path taskScript() const { return directory_ / "task.sh"; }
  std::filesystem::path joinScript() const { return directory_ / "join.sh"; }
  // sbatch's --output for the tasks (%a: the task's index) and its files.
  std::filesystem::path taskLogPattern() const { return directory_ / "task-%a.log"; }
  std::filesystem::path taskLog(int64_t task) const;
  std::filesystem::path joinLog() const { return directory_ / "join.log"; }
  std::filesystem::path segment(int64_t task) const;
  std::filesystem::path sound() const { return directory_ / ("sound" + extension_); }
  std::filesystem::path frameList() const { return directory_ / "frames.list"; }
  // A PNG sequence's frames as the tasks write them, until the join moves them into place: a job
  // that fails leaves the output's directory as it was.
  std::filesystem::path stagedFrames() const { return directory_ / "frames"; }
  // The ids of the job array and the join running from this directory ("ARRAY JOIN").
  std::filesystem::path jobIds() const { return directory_ / "jobs"; }

  // Removes the segments (a PNG sequence's staged frames), the sound and what a task that was
  // stopped left half-written (its hidden temporary files), keeping the scripts and logs.
  void removeSegments(int64_t tasks) const;
  // Removes every file of the job and the directory itself when nothing else is left in it.
  void removeAll(int64_t tasks) const;

 private:
  std::filesystem::path directory_;
  std::string extension_;
};

// What the scripts run.
struct JobCommands {
  std::string program;                 // this ophost, by its absolute path
  std::vector<std::string> taskWords;  // "render NAME ..." or "join A B ..." without --segment and --output
  int64_t tasks = 1;
  std::string output;  // the job's output, by its absolute path
  // For a join with sound: the words that write it alone ("join A B ... --sound-only"), to which
  // the script adds --output; empty for none.
  std::vector<std::string> soundWords;
  // A PNG sequence's frames, every file the job must leave (the join moves each into place once
  // all are staged).
  std::vector<std::string> frames;
  bool keepSegments = false;
};

// Writes the task and join scripts (and a PNG sequence's frame list, and the directory its frames
// are staged in) into the work directory.
// The task script fails at once, without rendering, in the task OPHOST_CLUSTER_FAIL_TASK names
// (the tests' way to make one task fail). Throws HostError when a file cannot be written.
void writeJobScripts(const JobFiles& files, const JobCommands& commands);

}  // namespace ophost::cluster
