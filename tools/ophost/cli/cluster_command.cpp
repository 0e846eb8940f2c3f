#include "cluster_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "array_watch.h"
#include "host_error.h"
#include "interrupt.h"
#include "job_scripts.h"
#include "job_shape.h"
#include "join_audio.h"
#include "media_output.h"
#include "progress.h"
#include "segment.h"
#include "settings.h"
#include "slurm_client.h"

namespace ophost::cli {

using namespace ophost::render;
using namespace ophost::cluster;

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kPollEvery = std::chrono::milliseconds(500);
// How long squeue may fail in a row (the controller restarting ...) before ophost gives up.
constexpr auto kSlurmPatience = std::chrono::seconds(30);
// How long cancelled tasks may take to end before their files are removed anyway.
constexpr auto kCancelPatience = std::chrono::seconds(20);
constexpr int64_t kFallbackTasks = 4;

// `name` with only the characters every file name, job name and sbatch pattern takes as they are.
std::string plainName(const std::string& name) {
  std::string out;
  for (const char c : name) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                       c == '-' || c == '_';
    out += plain ? c : '_';
  }
  return out;
}

std::string clockText(Clock::duration time) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(time).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}

// The render or join the cluster job is made of, as that command's own line.
Options splitCommand(const Options& options) {
  if (options.positional.empty() || (options.positional[0] != "render" && options.positional[0] != "join")) {
    throw HostError("cluster splits a render or a join: ophost cluster render EFFECT ... --slurm, or "
                    "ophost cluster join CLIP... --with ... --slurm");
  }
  if (!options.slurm) throw HostError("cluster needs --slurm (Slurm is the scheduler it submits to)");
  if (!options.segment.empty()) throw HostError("cluster makes the segments itself: leave out --segment");
  if (options.soundOnly) throw HostError("cluster writes the whole join: leave out --sound-only");
  if (!options.sheet.empty()) throw HostError("cluster join makes no contact sheet: leave out --sheet");
  Options split = options;
  split.command = options.positional[0];
  split.positional.assign(options.positional.begin() + 1, options.positional.end());
  split.slurm = split.keepSegments = split.noWait = false;
  split.tasks.clear();
  split.partition.clear();
  split.workDir.clear();
  split.sbatchArgs.clear();
  return split;
}

// Whether a join's clips bring sound that its output keeps.
bool joinHasSound(const Options& join, media::OutputKind kind) {
  if (join.noAudio || kind != media::OutputKind::Video) return false;
  std::vector<media::JoinAudioClip> clips;
  for (const std::string& clip : join.positional) clips.push_back({clip, 1});
  return media::anyClipHasSound(clips);
}

std::filesystem::path absolutePath(const std::filesystem::path& path) {
  return std::filesystem::absolute(path).lexically_normal();
}

std::string ownProgram() {
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) throw HostError("cannot find the ophost program the tasks are to run: " + error.message());
  return self.string();
}

// The last line a log holds that says something, for a one-line message.
std::string lastLine(const std::filesystem::path& log) {
  std::ifstream in(log);
  std::string line, last;
  while (std::getline(in, line)) {
    if (line.find_first_not_of(" \t\r") != std::string::npos && line.find(" frames, ") == std::string::npos) last = line;
  }
  if (last.size() > 200) last = last.substr(0, 200) + "...";
  return last;
}

// A job on the cluster from its submission to its end: watched, and on any way out but success
// cancelled, its segments (a PNG sequence's staged frames) removed.
class ClusterJob {
 public:
  ClusterJob(const SlurmClient& slurm, const JobFiles& files, const JobCommands& commands)
      : slurm_(slurm), files_(files), commands_(commands) {}
  ~ClusterJob() {
    if (array_.empty() || settled_) return;
    try {
      abandon();
    } catch (const std::exception&) {  // a way out already: nothing more can be done here
    }
  }
  ClusterJob(const ClusterJob&) = delete;
  ClusterJob& operator=(const ClusterJob&) = delete;

  void submitted(std::string array, std::string join) {
    array_ = std::move(array);
    join_ = std::move(join);
  }
  std::vector<std::string> jobs() const {
    std::vector<std::string> ids = {array_};
    if (!join_.empty()) ids.push_back(join_);
    return ids;
  }
  // The job went well (or was left to run): nothing more to undo.
  void settle() { settled_ = true; }

  // Cancels both jobs, waits a while for their tasks to end, then removes what they wrote.
  void abandon() {
    settled_ = true;
    slurm_.cancel(jobs());
    const auto until = Clock::now() + kCancelPatience;
    while (Clock::now() < until) {
      bool running = false;
      try {
        for (const JobRecord& record : slurm_.records(jobs())) running = running || !hasEnded(record.state);
      } catch (const HostError&) {
        running = true;
      }
      if (!running) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    if (!commands_.keepSegments) files_.removeSegments(commands_.tasks);
  }

 private:
  const SlurmClient& slurm_;
  const JobFiles& files_;
  const JobCommands& commands_;
  std::string array_, join_;
  bool settled_ = false;
};

// What went wrong, in one line: each failed task with its node, state and log (and the log's
// last word), or the join's.
std::string failureText(const ArrayWatch& watch, const JobFiles& files) {
  std::string text;
  const std::vector<int64_t> failed = watch.failedTasks();
  for (const int64_t task : failed) {
    const ArrayWatch::Task& state = watch.tasks()[static_cast<size_t>(task - 1)];
    const std::string said = lastLine(files.taskLog(task));
    text += std::string(text.empty() ? "" : "; ") + "task " + std::to_string(task) +
            (state.node.empty() ? "" : " on " + state.node) + " " + state.state + " (log " +
            files.taskLog(task).string() + (said.empty() ? "" : ": " + said) + ")";
  }
  if (failed.empty()) {
    const std::string said = lastLine(files.joinLog());
    text = "the join (job " + watch.join() + ") " + watch.joinState() + " (log " + files.joinLog().string() +
           (said.empty() ? "" : ": " + said) + ")";
  }
  return text;
}

// Refuses a work directory an earlier job still runs from (its segments would be removed, its
// output written twice).
void refuseBusy(const SlurmClient& slurm, const JobFiles& files, const std::string& output) {
  std::ifstream in(files.jobIds());
  std::string array, join;
  if (!(in >> array >> join)) return;
  std::vector<JobRecord> records;
  try {
    records = slurm.records({array, join});
  } catch (const HostError&) {
    return;  // squeue knows them no more: they ended long ago
  }
  for (const JobRecord& record : records) {
    if (!hasEnded(record.state)) {
      throw HostError("jobs " + array + " and " + join + " of an earlier cluster job still run from " +
                      files.directory().string() + " into " + output + ": wait for them, or scancel " + array + " " +
                      join);
    }
  }
}

}  // namespace

int clusterCommand(const Options& options) {
  const Options split = splitCommand(options);
  const bool isRender = split.command == "render";
  if (split.output.empty()) throw HostError("cluster " + split.command + " needs --output FILE (a video or name%04d.png)");
  const media::OutputKind kind = media::outputKindFor(split.output);
  if (kind != media::OutputKind::Video && kind != media::OutputKind::PngSequence) {
    throw HostError("cluster writes a video or a PNG sequence (name%04d.png), not " + split.output);
  }
  const SlurmClient slurm;
  // The whole command checked here, as it would check itself, before anything is submitted.
  const JobShape shape = jobShape(split);

  int64_t tasks = options.tasks.empty() ? slurm.nodeCount(options.partition).value_or(kFallbackTasks)
                                        : wholeOption(options, "--tasks", kFallbackTasks);
  const int64_t most = mostSegments(shape.frames, shape.rate);
  if (tasks > most) {
    std::fprintf(stderr, "ophost: note: %lld frames at %s fps make %lld segment%s of a second or more: %lld task%s, not %lld\n",
                 static_cast<long long>(shape.frames), shape.rate.describe().c_str(), static_cast<long long>(most),
                 most == 1 ? "" : "s", static_cast<long long>(most), most == 1 ? "" : "s",
                 static_cast<long long>(tasks));
    tasks = most;
  }
  std::vector<int64_t> lengths;
  for (int64_t k = 1; k <= tasks; ++k) {
    const auto [first, end] = segmentFrames(shape.frames, shape.rate, {k, tasks});
    lengths.push_back(end - first);
  }

  // The files, all by absolute paths: the tasks run elsewhere.
  const std::filesystem::path output = absolutePath(split.output);
  const std::filesystem::path workDir =
      options.workDir.empty() ? output.parent_path() / ("." + plainName(output.filename().string()) + ".ophost-cluster")
                              : absolutePath(options.workDir);
  if (workDir.string().find_first_of("%\\\n") != std::string::npos) {
    throw HostError("the work directory " + workDir.string() +
                    " holds a character sbatch reads as a pattern (% or \\): give --work-dir another");
  }
  std::error_code error;
  std::filesystem::create_directories(workDir, error);
  if (error) throw HostError("cannot make the work directory " + workDir.string() + ": " + error.message());
  const JobFiles files(workDir, kind == media::OutputKind::Video ? output.extension().string() : std::string());

  JobCommands commands;
  commands.program = ownProgram();
  commands.tasks = tasks;
  commands.output = output.string();
  commands.keepSegments = options.keepSegments;
  Options taskLine = split;
  taskLine.plugins = absolutePath(split.plugins);
  taskLine.textures = absolutePath(split.textures);
  taskLine.output.clear();
  taskLine.quiet = false;  // the progress lines in the tasks' logs are the job's progress
  const CommandSet command = isRender ? kRender : kJoin;
  commands.taskWords = commandWords(taskLine, command);
  if (!isRender && joinHasSound(split, kind)) {
    Options sound = taskLine;
    sound.soundOnly = true;
    commands.soundWords = commandWords(sound, kJoin);
  }
  if (!files.segmented()) {
    // The frames' numbers are the whole job's: a render's from its first frame on.
    const int64_t first = isRender && !split.frames.empty() ? parseRange(split.frames).first : 0;
    for (int64_t n = 0; n < shape.frames; ++n) commands.frames.push_back(media::sequenceFileName(output.string(), first + n));
  }
  refuseBusy(slurm, files, output.string());
  files.removeSegments(tasks);  // what an earlier job in this directory left
  writeJobScripts(files, commands);

  // Submitted: the array, then the join that waits for every one of its tasks to end well.
  std::vector<std::string> common = {"--chdir=" + std::filesystem::current_path().string(),
                                     "--job-name=ophost-" + plainName(output.filename().string())};
  if (!options.partition.empty()) common.push_back("--partition=" + options.partition);
  common.insert(common.end(), options.sbatchArgs.begin(), options.sbatchArgs.end());
  std::vector<std::string> arrayOptions = {"--array=1-" + std::to_string(tasks), "--output=" + files.taskLogPattern().string()};
  arrayOptions.insert(arrayOptions.end(), common.begin(), common.end());
  ClusterJob job(slurm, files, commands);
  const auto start = Clock::now();
  std::string array, join;
  try {
    array = slurm.submit(arrayOptions, files.taskScript().string());
    job.submitted(array, "");
    std::vector<std::string> joinOptions = {"--dependency=afterok:" + array, "--kill-on-invalid-dep=yes",
                                            "--output=" + files.joinLog().string()};
    joinOptions.insert(joinOptions.end(), common.begin(), common.end());
    join = slurm.submit(joinOptions, files.joinScript().string());
    job.submitted(array, join);
    std::ofstream(files.jobIds()) << array << " " << join << "\n";
  } catch (const HostError&) {
    // Nothing runs (an array already submitted is cancelled): nothing of the job stays.
    if (!array.empty()) job.abandon();
    files.removeAll(tasks);
    throw;
  }

  if (options.noWait) {
    job.settle();
    std::printf("submitted %s of %s in %lld task%s: job array %s, then the join, job %s\n", split.command.c_str(),
                output.c_str(), static_cast<long long>(tasks), tasks == 1 ? "" : "s", array.c_str(), join.c_str());
    std::printf("  follow:  squeue --array --jobs=%s,%s\n", array.c_str(), join.c_str());
    std::printf("  logs:    %s (K = 1..%lld), %s\n", files.taskLog(0).replace_filename("task-K.log").c_str(),
                static_cast<long long>(tasks), files.joinLog().c_str());
    std::printf("  cancel:  scancel %s %s\n", array.c_str(), join.c_str());
    return 0;
  }

  ArrayWatch watch(array, join, lengths, [&files](int64_t k) { return files.taskLog(k); });
  Progress progress("cluster " + split.command, shape.frames, options.quiet);
  auto heard = Clock::now();
  for (;;) {
    if (interrupted()) {
      job.abandon();
      throw Interrupted("interrupted: jobs " + array + " and " + join + " cancelled, nothing written to " +
                        output.string() + " (the logs stay in " + workDir.string() + ")");
    }
    std::string unheard;  // why this round told nothing
    try {
      const std::vector<JobRecord> records = slurm.records({array, join});
      if (records.empty()) unheard = "squeue lists neither job " + array + " nor " + join;
      for (const int64_t task : watch.update(records)) {
        const std::string& node = watch.tasks()[static_cast<size_t>(task - 1)].node;
        std::fprintf(stderr, "%sophost: note: task %lld was stopped%s and waits to run again (requeued by Slurm)\n",
                     !options.quiet && isatty(STDERR_FILENO) ? "\n" : "", static_cast<long long>(task),
                     node.empty() ? "" : (" on " + node).c_str());
      }
    } catch (const HostError& lost) {
      unheard = lost.what();
    }
    if (unheard.empty()) {
      heard = Clock::now();
    } else if (!interrupted() && Clock::now() - heard > kSlurmPatience) {
      job.abandon();
      throw HostError(unheard + " for " + clockText(kSlurmPatience) + ": jobs " + array + " and " + join +
                      " cancelled, nothing written (the logs stay in " + workDir.string() + ")");
    }
    progress.advanceTo(watch.framesDone());
    if (!watch.failedTasks().empty() || (watch.joinEnded() && !endedWell(watch.joinState()))) {
      const std::string why = failureText(watch, files);
      job.abandon();
      throw HostError("the cluster " + split.command + " of " + output.string() + " failed: " + why +
                      "; nothing written, the logs stay in " + workDir.string());
    }
    if (watch.joinEnded()) break;
    for (auto until = Clock::now() + kPollEvery; Clock::now() < until && !interrupted();) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  progress.done();
  job.settle();
  if (kind == media::OutputKind::Video && !std::filesystem::is_regular_file(output)) {
    throw HostError("the join (job " + join + ") ended well but " + output.string() + " is not there (log " +
                    files.joinLog().string() + ")");
  }
  if (!options.keepSegments) files.removeAll(tasks);
  if (!options.quiet) {
    std::string nodes;
    for (const std::string& node : watch.nodesUsed()) nodes += (nodes.empty() ? "" : ", ") + node;
    std::printf("wrote %s: %lld frames at %s fps in %lld task%s on %s (jobs %s and %s), %s wall\n", output.c_str(),
                static_cast<long long>(shape.frames), shape.rate.describe().c_str(), static_cast<long long>(tasks),
                tasks == 1 ? "" : "s", nodes.empty() ? "the cluster" : nodes.c_str(), array.c_str(), join.c_str(),
                clockText(Clock::now() - start).c_str());
  }
  return 0;
}

}  // namespace ophost::cli
