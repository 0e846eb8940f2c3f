// What ophost asks of Slurm, through its client commands on $PATH: submitting a batch script,
// the states of a job array and its join, cancelling them, and how many nodes there are. Each
// failure of a command is a HostError with the command's own first line of complaint.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ophost::cluster {

// One job, or one task of a job array, as squeue shows it.
struct JobRecord {
  std::string job;        // the job's id: "123" (for a task, the array's id)
  int64_t task = 0;       // the array task's index; 0 for a job that is not a task of an array
  std::string state;      // PENDING, RUNNING, COMPLETED, FAILED, CANCELLED ...
  std::string nodes;      // where it runs or ran; empty while pending
  int64_t restarts = 0;   // the times Slurm requeued it (its node failed ...)
};

// Whether a job in `state` has ended, and ended well.
bool hasEnded(const std::string& state);
bool endedWell(const std::string& state);

class SlurmClient {
 public:
  // Throws HostError("no Slurm here: sbatch not found on PATH") where there is none.
  SlurmClient();

  // Submits `script` with `options` (sbatch's, before the script) and returns the job's id.
  std::string submit(const std::vector<std::string>& options, const std::string& script) const;
  // Every record squeue keeps of `jobs` (finished ones included, until Slurm forgets them).
  std::vector<JobRecord> records(const std::vector<std::string>& jobs) const;
  // Cancels `jobs` (whatever state they are in); a job already gone is no failure.
  void cancel(const std::vector<std::string>& jobs) const;
  // How many nodes `partition` (Slurm's default partition when empty) has, or nothing when sinfo
  // cannot tell.
  std::optional<int64_t> nodeCount(const std::string& partition) const;

 private:
  std::string sbatch_;
};

}  // namespace ophost::cluster
