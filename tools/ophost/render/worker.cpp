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

extern char** environ;

namespace ophost::render {

namespace {

constexpr int64_t kNoMoreFrames = -1;
constexpr uint8_t kSends0 = 1, kSends1 = 2, kHas0 = 4, kHas1 = 8;
constexpr int32_t kAnswerPicture = 0, kAnswerFailure = 1;
constexpr uint32_t kMaxText = 1 << 16;
constexpr int32_t kMaxSide = 32767;

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

template <typename T>
void put(std::string& message, T value) {
  message.append(reinterpret_cast<const char*>(&value), sizeof value);
}
void putText(std::string& message, const std::string& text) {
  const auto size = static_cast<uint32_t>(std::min<size_t>(text.size(), kMaxText));
  put(message, size);
  message.append(text, 0, size);
}
template <typename T>
T get(const Pipe& pipe) {
  T value;
  readAll(pipe, &value, sizeof value);
  return value;
}
std::string getText(const Pipe& pipe) {
  const auto size = get<uint32_t>(pipe);
  if (size > kMaxText) throw HostError("a worker's answer is malformed");
  std::string text(size, '\0');
  readAll(pipe, text.data(), size);
  return text;
}

void putGeometry(std::string& message, const Geometry& g) {
  for (int32_t field : {g.stride, g.rows, g.x, g.y, g.width, g.height}) put(message, field);
}
Geometry getGeometry(const Pipe& pipe) {
  Geometry g;
  for (int32_t* field : {&g.stride, &g.rows, &g.x, &g.y, &g.width, &g.height}) *field = get<int32_t>(pipe);
  if (g.stride < 0 || g.rows < 0 || g.stride > kMaxSide || g.rows > kMaxSide) {
    throw HostError("a picture passed between ophost and a worker is malformed");
  }
  return g;
}

// A picture: its geometry, then its bytes.
void sendPicture(const Pipe& pipe, const Picture& picture) {
  std::string head;
  putGeometry(head, picture.geometry);
  writeAll(pipe, head.data(), head.size());
  writeAll(pipe, picture.bytes.data(), picture.bytes.size());
}
std::shared_ptr<Picture> receivePicture(const Pipe& pipe) {
  const Geometry g = getGeometry(pipe);
  auto picture = std::make_shared<Picture>();
  picture->geometry = g;
  picture->bytesPerPixel = 4;
  picture->bytes.resize(static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) * 4);
  readAll(pipe, picture->bytes.data(), picture->bytes.size());
  return picture;
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
  uint8_t flags = 0;
  for (int i = 0; i < 2; ++i) {
    if (inputs.input[i]) flags |= i == 0 ? kHas0 : kHas1;
    if (inputs.input[i] && inputs.input[i] != worker.held[i]) flags |= i == 0 ? kSends0 : kSends1;
  }
  std::string head;
  put(head, frame);
  put(head, flags);
  const Pipe pipe{worker.toWorker, deadline_};
  try {
    writeAll(pipe, head.data(), head.size());
    for (int i = 0; i < 2; ++i) {
      if (flags & (i == 0 ? kSends0 : kSends1)) sendPicture(pipe, *inputs.input[i]);
      worker.held[i] = inputs.input[i];
    }
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
  const Pipe pipe{worker.fromWorker, deadline_};
  try {
    WorkerAnswer answer;
    const auto kind = get<int32_t>(pipe);
    answer.frame.pluginTime = std::chrono::nanoseconds(get<int64_t>(pipe));
    answer.frame.hostTime = std::chrono::nanoseconds(get<int64_t>(pipe));
    const auto warnings = get<uint32_t>(pipe);
    if (warnings > 4096) throw HostError("a worker's answer is malformed");
    for (uint32_t n = 0; n < warnings; ++n) answer.warnings.push_back(getText(pipe));
    if (kind == kAnswerFailure) {
      answer.failure = getText(pipe);
      return answer;
    }
    if (kind != kAnswerPicture) throw HostError(which + " answered nonsense");
    answer.frame.picture = std::move(*receivePicture(pipe));
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
    std::string head;
    put(head, kNoMoreFrames);
    put(head, uint8_t{0});
    try {
      if (!worker.broken) writeAll(Pipe{worker.toWorker, deadline_}, head.data(), head.size());
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
  const Pipe in{STDIN_FILENO}, out{STDOUT_FILENO};
  std::vector<std::string> warnings;
  RenderSetup setup = given;
  setup.warn = [&warnings](const std::string& message) { warnings.push_back(message); };
  auto answerHead = [&](int32_t kind, const RenderedFrame* frame) {
    std::string message;
    put(message, kind);
    put(message, static_cast<int64_t>(frame ? frame->pluginTime.count() : 0));
    put(message, static_cast<int64_t>(frame ? frame->hostTime.count() : 0));
    put(message, static_cast<uint32_t>(warnings.size()));
    for (const std::string& warning : warnings) putText(message, warning);
    warnings.clear();
    return message;
  };
  try {
    std::unique_ptr<PluginSession> session;
    std::string failure;
    try {
      session = std::make_unique<PluginSession>(setup);
      session->open(Geometry{});
    } catch (const HostError& error) {
      failure = error.what();  // told in the answer to the first frame
    }
    FrameInputs inputs;
    for (;;) {
      const auto frame = get<int64_t>(in);
      const auto flags = get<uint8_t>(in);
      if (frame == kNoMoreFrames) return 0;
      if (flags & kSends0) inputs.input[0] = receivePicture(in);
      if (flags & kSends1) inputs.input[1] = receivePicture(in);
      if (!(flags & kHas0)) inputs.input[0].reset();
      if (!(flags & kHas1)) inputs.input[1].reset();
      if (interrupted()) return 130;
      if (failure.empty()) {
        try {
          RenderedFrame rendered = session->render(frame, inputs);
          const std::string head = answerHead(kAnswerPicture, &rendered);
          writeAll(out, head.data(), head.size());
          sendPicture(out, rendered.picture);
          continue;
        } catch (const Interrupted&) {
          throw;
        } catch (const HostError& error) {
          failure = error.what();
        }
      }
      std::string message = answerHead(kAnswerFailure, nullptr);
      putText(message, failure);
      writeAll(out, message.data(), message.size());
      return 1;
    }
  } catch (const PipeGone&) {
    return interrupted() ? 130 : 1;  // ophost has gone or stopped the render
  } catch (const Interrupted&) {
    return 130;
  }
}

}  // namespace ophost::render
