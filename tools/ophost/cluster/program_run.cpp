#include "program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host_error.h"

extern char** environ;

namespace ophost::cluster {

namespace {

// A file descriptor closed with its owner.
struct Descriptor {
  int fd = -1;
  Descriptor() = default;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

void makePipe(Descriptor& read, Descriptor& write, const std::string& program) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw HostError("cannot run " + program + ": " + std::strerror(errno));
  read.fd = ends[0];
  write.fd = ends[1];
}

// posix_spawn's attributes and file actions, destroyed with their owner.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;
  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

}  // namespace

std::string ProgramResult::lastLine() const {
  const std::string& text = errors.find_first_not_of(" \n") != std::string::npos ? errors : output;
  const size_t end = text.find_last_not_of(" \n");
  if (end == std::string::npos) return "";
  const size_t start = text.rfind('\n', end);
  return text.substr(start == std::string::npos ? 0 : start + 1, end + 1 - (start == std::string::npos ? 0 : start + 1));
}

std::optional<std::filesystem::path> findOnPath(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return ::access(name.c_str(), X_OK) == 0 ? std::optional<std::filesystem::path>(name) : std::nullopt;
  }
  const char* path = std::getenv("PATH");
  const std::string directories = path ? path : "/usr/local/bin:/usr/bin:/bin";
  for (size_t start = 0; start <= directories.size();) {
    size_t end = directories.find(':', start);
    if (end == std::string::npos) end = directories.size();
    const std::string directory = end > start ? directories.substr(start, end - start) : ".";
    const std::filesystem::path candidate = std::filesystem::path(directory) / name;
    std::error_code error;
    if (std::filesystem::is_regular_file(candidate, error) && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

ProgramResult runProgram(const std::vector<std::string>& argv) {
  const std::string& program = argv.at(0);
  Descriptor outRead, outWrite, errRead, errWrite;
  makePipe(outRead, outWrite, program);
  makePipe(errRead, errWrite, program);

  SpawnSetup setup;
  // The program starts as from a shell: no signal blocked, SIGPIPE and the interruption signals
  // at their defaults whatever ophost made of them.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setflags(&setup.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, outWrite.fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, errWrite.fd, STDERR_FILENO);

  std::vector<char*> words;
  for (const std::string& word : argv) words.push_back(const_cast<char*>(word.c_str()));
  words.push_back(nullptr);
  pid_t pid = -1;
  const int failed = posix_spawnp(&pid, program.c_str(), &setup.actions, &setup.attributes, words.data(), environ);
  if (failed != 0) throw HostError("cannot run " + program + ": " + std::strerror(failed));
  outWrite.close();
  errWrite.close();

  // Both pipes read as they fill, so neither blocks the program while the other is read.
  ProgramResult result;
  pollfd ends[2] = {{outRead.fd, POLLIN, 0}, {errRead.fd, POLLIN, 0}};
  std::string* into[2] = {&result.output, &result.errors};
  int open = 2;
  while (open > 0) {
    if (::poll(ends, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int n = 0; n < 2; ++n) {
      if (ends[n].fd < 0 || ends[n].revents == 0) continue;
      char buffer[4096];
      const ssize_t got = ::read(ends[n].fd, buffer, sizeof buffer);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        ends[n].fd = -1;
        --open;
      } else {
        into[n]->append(buffer, static_cast<size_t>(got));
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace ophost::cluster
