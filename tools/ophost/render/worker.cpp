#include "worker.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "host_error.h"
#include "interrupt.h"
#include "worker_protocol.h"

extern char** environ;

namespace ophost::render {

namespace {

// The pipe broke or ended: the other side has gone.
struct PipeGone {};
// The other side took or gave nothing for the pipe's patience.
struct Silent {};

// One end of a pipe. The parent's ends have a patience: a read or write that can make no progress
// for that long ends with Silent. The worker's have none: it waits for ophost as long as it takes.
struct Pipe {
  int fd = -1;
  std::chrono::milliseconds patience{0};
};

// Waits until `pipe` is ready for `events` (or broken: the read or write then says so).
void await(const Pipe& pipe, short events) {
  if (pipe.patience.count() <= 0) return;
  const auto until = std::chrono::steady_clock::now() + pipe.patience;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
    if (left.count() <= 0) throw Silent{};
    pollfd ready{pipe.fd, events, 0};
    const int status = ::poll(&ready, 1, static_cast<int>(std::min<int64_t>(left.count(), 1 << 30)));
    if (status > 0) return;
    if (status == 0) throw Silent{};
    if (errno != EINTR) throw PipeGone{};
    if (interrupted()) throw Interrupted("interrupted");
  }
}

void writeAll(const Pipe& pipe, const void* data, size_t size) {
  const int fd = pipe.fd;
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    await(pipe, POLLOUT);
    const ssize_t done = ::write(fd, bytes, size);
    if (done < 0 && errno == EINTR) {
      if (interrupted()) throw Interrupted("interrupted");
      continue;
    }
    if (done < 0 && errno == EAGAIN && pipe.patience.count() > 0) continue;  // full: wait again
    if (done <= 0) throw PipeGone{};
    bytes += done;
    size -= static_cast<size_t>(done);
  }
}

void readAll(const Pipe& pipe, void* data, size_t size) {
  const int fd = pipe.fd;
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
    await(pipe, POLLIN);
    const ssize_t done = ::read(fd, bytes, size);
    if (done < 0 && errno == EINTR) {
      if (interrupted()) throw Interrupted("interrupted");
      continue;
    }
    if (done <= 0) throw PipeGone{};
    bytes += done;
    size -= static_cast<size_t>(done);
  }
}

wire::Put putTo(const Pipe& pipe) {
  return [pipe](const void* data, size_t size) { writeAll(pipe, data, size); };
}
wire::Take takeFrom(const Pipe& pipe) {
  return [pipe](void* data, size_t size) { readAll(pipe, data, size); };
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string describeStatus(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    return "was killed by signal " + std::to_string(signal) + " (" + strsignal(signal) + ")";
  }
  if (WIFEXITED(status)) return "ended with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

}  // namespace

// ---- The parent's side ----------------------------------------------------------------------

WorkerPool::WorkerPool(const std::string& program, const std::vector<std::string>& arguments, int count,
                       std::chrono::milliseconds deadline)
    : deadline_(deadline) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  try {
    for (int n = 0; n < count; ++n) {
      int in[2], out[2];
      if (pipe2(in, O_CLOEXEC) != 0) throw HostError(std::string("cannot start a worker: ") + std::strerror(errno));
      if (pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        throw HostError(std::string("cannot start a worker: ") + std::strerror(errno));
      }
      // Big pipes: a frame crosses in a few large writes.
      fcntl(in[1], F_SETPIPE_SZ, 1 << 20);
      fcntl(out[1], F_SETPIPE_SZ, 1 << 20);
      // The parent's writes never block: a worker that takes nothing would hold a blocking write
      // for ever, past any deadline (poll says when there is room again).
      fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);
      posix_spawn_file_actions_t actions;
      posix_spawn_file_actions_init(&actions);
      posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
      posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
      pid_t pid = -1;
      const int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
      posix_spawn_file_actions_destroy(&actions);
      ::close(in[0]);
      ::close(out[1]);
      if (failed != 0) {
        ::close(in[1]);
        ::close(out[0]);
        throw HostError("cannot start a worker (" + program + "): " + std::strerror(failed));
      }
      Worker worker;
      worker.pid = pid;
      worker.toWorker = in[1];
      worker.fromWorker = out[0];
      workers_.push_back(std::move(worker));
    }
  } catch (...) {
    stop(true);
    throw;
  }
}

WorkerPool::~WorkerPool() { stop(true); }

void WorkerPool::send(int index, int64_t frame, const FrameInputs& inputs) {
  Worker& worker = workers_.at(static_cast<size_t>(index));
  worker.frame = frame;
  if (worker.broken) return;
  wire::FrameOrder order;
  order.frame = frame;
  for (int i = 0; i < 2; ++i) {
    order.has[i] = inputs.input[i] != nullptr;
    if (inputs.input[i] && inputs.input[i] != worker.held[i]) order.sent[i] = inputs.input[i];
  }
  try {
    wire::putOrder(order, putTo(Pipe{worker.toWorker, deadline_}));
    for (int i = 0; i < 2; ++i) worker.held[i] = inputs.input[i];
  } catch (const PipeGone&) {
    worker.broken = true;  // its answer, or its end, says why
  } catch (const Silent&) {
    throw HostError(silent(index, "did not take frame "));
  }
}

std::string WorkerPool::silent(int index, const std::string& what) {
  Worker& worker = workers_.at(static_cast<size_t>(index));
  const pid_t pid = worker.pid;
  // A worker that is stopped, or stuck, would take no signal but this one.
  int status = 0;
  const int stopSignal =
      waitpid(pid, &status, WNOHANG | WUNTRACED) == pid && WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
  kill(pid, SIGKILL);
  closeFd(worker.toWorker);
  closeFd(worker.fromWorker);
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  worker.pid = -1;
  const auto ms = deadline_.count();
  return "worker " + std::to_string(index + 1) + " of " + std::to_string(size()) + " (pid " + std::to_string(pid) +
         ") " + what + std::to_string(worker.frame) + " in " +
         (ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms") +
         (stopSignal != 0 ? " (it had been stopped by signal " + std::to_string(stopSignal) + ")" : "") +
         "; it was ended";
}

std::string WorkerPool::ended(Worker& worker) {
  int status = 0;
  closeFd(worker.toWorker);
  closeFd(worker.fromWorker);
  pid_t done = 0;
  for (int wait = 0; wait < 200 && (done = waitpid(worker.pid, &status, WNOHANG)) == 0; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (done == 0) {
    kill(worker.pid, SIGKILL);
    done = waitpid(worker.pid, &status, 0);
  }
  worker.pid = -1;
  return done > 0 ? describeStatus(status) : "ended";
}

WorkerAnswer WorkerPool::receive(int index) {
  Worker& worker = workers_.at(static_cast<size_t>(index));
  const std::string which = "the worker rendering frame " + std::to_string(worker.frame);
  try {
    wire::FrameAnswer got = wire::takeAnswer(takeFrom(Pipe{worker.fromWorker, deadline_}));
    WorkerAnswer answer;
    answer.warnings = std::move(got.warnings);
    answer.failure = std::move(got.failure);
    answer.frame.pluginTime = got.pluginTime;
    answer.frame.hostTime = got.hostTime;
    if (got.picture) answer.frame.picture = std::move(*got.picture);
    return answer;
  } catch (const PipeGone&) {
    if (interrupted()) throw Interrupted("interrupted");
    throw HostError(which + " " + ended(worker) + " without an answer");
  } catch (const Silent&) {
    throw HostError(silent(index, "gave no answer for frame "));
  }
}

void WorkerPool::finish() {
  for (Worker& worker : workers_) {
    if (worker.pid < 0) continue;
    try {
      if (!worker.broken) wire::putOrder(wire::FrameOrder{}, putTo(Pipe{worker.toWorker, deadline_}));
    } catch (const PipeGone&) {
    } catch (const Silent&) {
    }
    closeFd(worker.toWorker);
  }
  // Every frame is in; a worker that does not end within the deadline is ended.
  const auto until = std::chrono::steady_clock::now() + deadline_;
  for (Worker& worker : workers_) {
    if (worker.pid < 0) continue;
    int status = 0;
    pid_t done = 0;
    while ((done = waitpid(worker.pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (done == 0) {
      kill(worker.pid, SIGKILL);
      while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
      }
    }
    worker.pid = -1;
    closeFd(worker.fromWorker);
  }
}

void WorkerPool::stop(bool force) {
  for (Worker& worker : workers_) {
    if (worker.pid > 0 && force) kill(worker.pid, SIGINT);  // its opChkAbort answers, it stops
    closeFd(worker.toWorker);
    closeFd(worker.fromWorker);
  }
  for (Worker& worker : workers_) {
    if (worker.pid > 0) ended(worker);
  }
}

// ---- The worker's side ----------------------------------------------------------------------

int workerMain(const RenderSetup& given) {
  installInterruptHandler();
  const wire::Put out = putTo(Pipe{STDOUT_FILENO});
  const wire::Take in = takeFrom(Pipe{STDIN_FILENO});
  std::vector<Warning> warnings;
  RenderSetup setup = given;
  setup.warn = [&warnings](const Warning& warning) { warnings.push_back(warning); };
  try {
    std::unique_ptr<PluginSession> session;
    std::string failure;
    try {
      session = std::make_unique<PluginSession>(setup);
      session->open();
    } catch (const HostError& error) {
      failure = error.what();  // told in the answer to the first frame
    }
    FrameInputs inputs;
    for (;;) {
      const wire::FrameOrder order = wire::takeOrder(in);
      if (order.frame == wire::kNoMoreFrames) return 0;
      for (int i = 0; i < 2; ++i) {
        if (order.sent[i]) inputs.input[i] = order.sent[i];
        if (!order.has[i]) inputs.input[i].reset();
      }
      if (interrupted()) return 130;
      wire::FrameAnswer answer;
      if (failure.empty()) {
        try {
          RenderedFrame rendered = session->render(order.frame, inputs);
          answer.picture = std::move(rendered.picture);
          answer.pluginTime = rendered.pluginTime;
          answer.hostTime = rendered.hostTime;
        } catch (const HostError& error) {
          failure = error.what();
        }
      }
      answer.failure = failure;
      answer.warnings = std::move(warnings);
      warnings.clear();
      wire::putAnswer(answer, out);
      if (!answer.picture) return 1;
    }
  } catch (const PipeGone&) {
    return interrupted() ? 130 : 1;  // ophost has gone or stopped the render
  } catch (const Interrupted&) {
    return 130;
  }
}

}  // namespace ophost::render
