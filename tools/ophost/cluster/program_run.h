// Running another program to its end and taking what it printed: the scheduler's client commands.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace ophost::cluster {

struct ProgramResult {
  int status = -1;     // the exit status; -1 when it was killed by a signal
  std::string output;  // what it wrote to stdout
  std::string errors;  // ... and to stderr
  // The last line of `errors` (else of `output`) that says something, for a one-line message:
  // where a program explains itself over several lines, the last one says what became of it.
  std::string lastLine() const;
};

// Where `name` is found on $PATH (as the shell would run it), or nothing.
std::optional<std::filesystem::path> findOnPath(const std::string& name);

// Runs `argv` (argv[0] looked up on $PATH) with stdin from /dev/null and waits for it. Throws
// HostError when it cannot be started at all.
ProgramResult runProgram(const std::vector<std::string>& argv);

}  // namespace ophost::cluster
