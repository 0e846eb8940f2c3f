#include "slurm_client.h"

#include <set>
#include <sstream>

#include "host_error.h"
#include "program_run.h"

namespace ophost::cluster {

namespace {

std::string joined(const std::vector<std::string>& words, char between) {
  std::string out;
  for (const std::string& word : words) out += (out.empty() ? "" : std::string(1, between)) + word;
  return out;
}

ProgramResult mustRun(const std::vector<std::string>& argv, const std::string& doing) {
  ProgramResult result = runProgram(argv);
  if (result.status != 0) {
    const std::string why = result.lastLine();
    throw HostError("cannot " + doing + ": " + argv[0] + " " +
                    (result.status < 0 ? "was killed" : "failed with status " + std::to_string(result.status)) +
                    (why.empty() ? "" : ": " + why));
  }
  return result;
}

}  // namespace

bool hasEnded(const std::string& state) {
  static const std::set<std::string> ended = {"COMPLETED", "FAILED",   "CANCELLED",     "TIMEOUT",
                                              "NODE_FAIL", "PREEMPTED", "BOOT_FAIL",    "DEADLINE",
                                              "OUT_OF_MEMORY", "SPECIAL_EXIT", "REVOKED"};
  return ended.count(state) > 0;
}

bool endedWell(const std::string& state) { return state == "COMPLETED"; }

SlurmClient::SlurmClient() {
  const auto sbatch = findOnPath("sbatch");
  if (!sbatch) throw HostError("no Slurm here: sbatch not found on PATH");
  sbatch_ = sbatch->string();
}

std::string SlurmClient::submit(const std::vector<std::string>& options, const std::string& script) const {
  std::vector<std::string> argv = {sbatch_, "--parsable"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(script);
  const ProgramResult result = mustRun(argv, "submit " + script);
  // "ID" or "ID;CLUSTER", on the last line (sbatch may warn before it).
  std::istringstream lines(result.output);
  std::string line, last;
  while (std::getline(lines, line)) {
    if (!line.empty()) last = line;
  }
  const std::string id = last.substr(0, last.find(';'));
  if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos) {
    throw HostError("cannot submit " + script + ": sbatch answered \"" + last + "\", not a job id");
  }
  return id;
}

std::vector<JobRecord> SlurmClient::records(const std::vector<std::string>& jobs) const {
  const ProgramResult result = mustRun({"squeue", "--noheader", "--array", "--states=all", "--jobs=" + joined(jobs, ','),
                                        "--Format=JobArrayID:|,State:|,RestartCnt:|,NodeList:"},
                                       "ask Slurm how the job goes");
  std::vector<JobRecord> records;
  std::istringstream lines(result.output);
  std::string line;
  while (std::getline(lines, line)) {
    // "ID|STATE|RESTARTS|NODES"
    const size_t first = line.find('|'), second = line.find('|', first + 1), third = line.find('|', second + 1);
    if (first == std::string::npos || second == std::string::npos || third == std::string::npos) continue;
    JobRecord record;
    const std::string id = line.substr(0, first);
    const size_t underscore = id.find('_');
    record.job = id.substr(0, underscore);
    if (underscore != std::string::npos) {
      const std::string task = id.substr(underscore + 1);
      // A range ("[3-4]") is tasks not yet split off; --array lists each, so it should not come.
      if (task.empty() || task.find_first_not_of("0123456789") != std::string::npos) continue;
      record.task = std::stoll(task);
    }
    record.state = line.substr(first + 1, second - first - 1);
    const std::string restarts = line.substr(second + 1, third - second - 1);
    if (!restarts.empty() && restarts.size() < 10 && restarts.find_first_not_of("0123456789") == std::string::npos) {
      record.restarts = std::stoll(restarts);
    }
    record.nodes = line.substr(third + 1);
    while (!record.nodes.empty() && record.nodes.back() == ' ') record.nodes.pop_back();
    records.push_back(record);
  }
  return records;
}

void SlurmClient::cancel(const std::vector<std::string>& jobs) const {
  std::vector<std::string> argv = {"scancel"};
  argv.insert(argv.end(), jobs.begin(), jobs.end());
  // scancel complains of jobs that have ended already, which is what cancelling wants anyway.
  runProgram(argv);
}

std::optional<int64_t> SlurmClient::nodeCount(const std::string& partition) const {
  std::vector<std::string> argv = {"sinfo", "--noheader", "--Node", "--format=%N"};
  if (!partition.empty()) argv.push_back("--partition=" + partition);
  ProgramResult result;
  try {
    result = runProgram(argv);
  } catch (const HostError&) {
    return std::nullopt;
  }
  if (result.status != 0) return std::nullopt;
  std::set<std::string> nodes;
  std::istringstream lines(result.output);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty()) nodes.insert(line);
  }
  if (nodes.empty()) return std::nullopt;
  return static_cast<int64_t>(nodes.size());
}

}  // namespace ophost::cluster
