#include "job_scripts.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "host_error.h"
#include "shell_quote.h"

namespace ophost::cluster {

using render::shellQuote;

JobFiles::JobFiles(std::filesystem::path directory, std::string extension)
    : directory_(std::move(directory)), extension_(std::move(extension)) {}

std::filesystem::path JobFiles::taskLog(int64_t task) const {
  return directory_ / ("task-" + std::to_string(task) + ".log");
}

std::filesystem::path JobFiles::segment(int64_t task) const {
  return directory_ / ("segment-" + std::to_string(task) + extension_);
}

void JobFiles::removeSegments(int64_t tasks) const {
  std::error_code error;
  for (int64_t task = 1; task <= tasks; ++task) std::filesystem::remove(segment(task), error);
  std::filesystem::remove(sound(), error);
  std::filesystem::remove_all(stagedFrames(), error);
  // A task stopped while writing leaves its temporary file (".segment-3.mkv.partial-PID-N").
  for (auto it = std::filesystem::directory_iterator(directory_, error);
       !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.rfind(".segment-", 0) == 0 || name.rfind(".sound", 0) == 0) std::filesystem::remove(it->path(), error);
  }
}

void JobFiles::removeAll(int64_t tasks) const {
  removeSegments(tasks);
  std::error_code error;
  for (int64_t task = 1; task <= tasks; ++task) std::filesystem::remove(taskLog(task), error);
  for (const auto& file : {taskScript(), joinScript(), joinLog(), frameList(), jobIds()}) {
    std::filesystem::remove(file, error);
  }
  std::filesystem::remove(directory_, error);  // only when empty
}

namespace {

void writeFile(const std::filesystem::path& file, const std::string& text, bool executable) {
  const std::filesystem::path temporary = file.parent_path() / ("." + file.filename().string() + ".new");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw HostError("cannot write " + file.string() + ": " + std::strerror(errno));
  }
  if (executable) ::chmod(temporary.c_str(), 0755);
  std::error_code error;
  std::filesystem::rename(temporary, file, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    throw HostError("cannot write " + file.string() + ": " + error.message());
  }
}

std::string words(const std::vector<std::string>& list) {
  std::string out;
  for (const std::string& word : list) out += " " + shellQuote(word);
  return out;
}

// The file `task`'s segment is written to, as the shell writes it with $k for the task.
std::string segmentInShell(const JobFiles& files) {
  const std::string example = files.segment(1).filename().string();  // "segment-1.mkv"
  const std::string extension = example.substr(example.find('.'));
  return shellQuote((files.directory() / "segment-").string()) + "\"$k\"" + shellQuote(extension);
}

std::string taskScript(const JobFiles& files, const JobCommands& commands) {
  const std::string count = std::to_string(commands.tasks);
  std::string script =
      "#!/bin/sh\n"
      "# Written by ophost cluster: task K of the job array renders segment K of " + count + " of\n"
      "# " + commands.output + "\n"
      "k=${SLURM_ARRAY_TASK_ID:?runs as a task of a Slurm job array}\n"
      "if [ \"${OPHOST_CLUSTER_FAIL_TASK:-}\" = \"$k\" ]; then\n"
      "  echo \"ophost cluster: task $k fails, as OPHOST_CLUSTER_FAIL_TASK asks\" >&2\n"
      "  exit 1\n"
      "fi\n"
      "echo \"ophost cluster: task $k of " + count + " on ${SLURMD_NODENAME:-$(hostname)}\" >&2\n"
      "exec" + words({commands.program}) + words(commands.taskWords) + " --segment \"$k/" + count + "\" --output ";
  script += files.segmented()
                ? segmentInShell(files)
                : shellQuote((files.stagedFrames() / std::filesystem::path(commands.output).filename()).string());
  return script + "\n";
}

std::string joinScript(const JobFiles& files, const JobCommands& commands) {
  std::string script =
      "#!/bin/sh\n"
      "# Written by ophost cluster: runs once every task has ended well, and makes\n"
      "# " + commands.output + "\n"
      "set -e\n";
  if (!files.segmented()) {
    script +=
        "# The tasks staged the frames under their names in the output: all must be there before\n"
        "# any is moved into place.\n"
        "staged=" + shellQuote(files.stagedFrames().string()) + "\n"
        "missing=0\n"
        "while IFS= read -r frame; do\n"
        "  if [ ! -f \"$staged/${frame##*/}\" ]; then\n"
        "    [ \"$missing\" -ge 5 ] || echo \"ophost cluster: frame $frame is missing\" >&2\n"
        "    missing=$((missing + 1))\n"
        "  fi\n"
        "done <" + shellQuote(files.frameList().string()) + "\n"
        "if [ \"$missing\" -gt 0 ]; then\n"
        "  echo \"ophost cluster: $missing of " + std::to_string(commands.frames.size()) + " frames are missing\" >&2\n"
        "  exit 1\n"
        "fi\n"
        "while IFS= read -r frame; do\n"
        "  mv -f \"$staged/${frame##*/}\" \"$frame\"\n"
        "done <" + shellQuote(files.frameList().string()) + "\n"
        "rmdir \"$staged\" 2>/dev/null || true\n"
        "echo \"ophost cluster: all " + std::to_string(commands.frames.size()) + " frames are in place\" >&2\n";
    return script;
  }
  std::vector<std::string> concat = {commands.program, "concat"};
  for (int64_t task = 1; task <= commands.tasks; ++task) concat.push_back(files.segment(task).string());
  concat.insert(concat.end(), {"--output", commands.output});
  if (!commands.soundWords.empty()) {
    script += words({commands.program}) .substr(1) + words(commands.soundWords) + " --output " +
              shellQuote(files.sound().string()) + "\n";
    concat.insert(concat.end(), {"--audio", files.sound().string()});
  }
  script += words(concat).substr(1) + "\n";
  if (!commands.keepSegments) {
    std::vector<std::string> remove = {"rm", "-f"};
    for (int64_t task = 1; task <= commands.tasks; ++task) remove.push_back(files.segment(task).string());
    if (!commands.soundWords.empty()) remove.push_back(files.sound().string());
    script += words(remove).substr(1) + "\n";
  }
  return script;
}

}  // namespace

void writeJobScripts(const JobFiles& files, const JobCommands& commands) {
  if (!files.segmented()) {
    std::string list;
    for (const std::string& frame : commands.frames) list += frame + "\n";
    writeFile(files.frameList(), list, false);
    std::error_code error;
    std::filesystem::create_directories(files.stagedFrames(), error);
    if (error) throw HostError("cannot make " + files.stagedFrames().string() + ": " + error.message());
  }
  writeFile(files.taskScript(), taskScript(files, commands), true);
  writeFile(files.joinScript(), joinScript(files, commands), true);
}

}  // namespace ophost::cluster
