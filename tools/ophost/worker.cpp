#include "worker.h"

#include <fcntl.h>
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

namespace ophost::cli {

namespace {

constexpr int64_t kNoMoreFrames = -1;
constexpr uint8_t kSends0 = 1, kSends1 = 2, kHas0 = 4, kHas1 = 8;
constexpr int32_t kAnswerPicture = 0, kAnswerFailure = 1;
constexpr uint32_t kMaxText = 1 << 16;
constexpr int32_t kMaxSide = 32767;

// The pipe broke or ended: the other side has gone.
struct PipeGone {};

void writeAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t done = ::write(fd, bytes, size);
    if (done < 0 && errno == EINTR) {
      if (interrupted()) throw Interrupted("interrupted");
      continue;
    }
    if (done <= 0) throw PipeGone{};
    bytes += done;
    size -= static_cast<size_t>(done);
  }
}

void readAll(int fd, void* data, size_t size) {
  auto* bytes = static_cast<uint8_t*>(data);
  while (size > 0) {
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
T get(int fd) {
  T value;
  readAll(fd, &value, sizeof value);
  return value;
}
std::string getText(int fd) {
  const auto size = get<uint32_t>(fd);
  if (size > kMaxText) throw HostError("a worker's answer is malformed");
  std::string text(size, '\0');
  readAll(fd, text.data(), size);
  return text;
}

void putGeometry(std::string& message, const Geometry& g) {
  for (int32_t field : {g.stride, g.rows, g.x, g.y, g.width, g.height}) put(message, field);
}
Geometry getGeometry(int fd) {
  Geometry g;
  for (int32_t* field : {&g.stride, &g.rows, &g.x, &g.y, &g.width, &g.height}) *field = get<int32_t>(fd);
  if (g.stride < 0 || g.rows < 0 || g.stride > kMaxSide || g.rows > kMaxSide) {
    throw HostError("a picture passed between ophost and a worker is malformed");
  }
  return g;
}

// A picture: its geometry, then its bytes.
void sendPicture(int fd, const Picture& picture) {
  std::string head;
  putGeometry(head, picture.geometry);
  writeAll(fd, head.data(), head.size());
  writeAll(fd, picture.bytes.data(), picture.bytes.size());
}
std::shared_ptr<Picture> receivePicture(int fd) {
  const Geometry g = getGeometry(fd);
  auto picture = std::make_shared<Picture>();
  picture->geometry = g;
  picture->bytesPerPixel = 4;
  picture->bytes.resize(static_cast<size_t>(g.stride) * static_cast<size_t>(g.rows) * 4);
  readAll(fd, picture->bytes.data(), picture->bytes.size());
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

WorkerPool::WorkerPool(const std::string& program, const std::vector<std::string>& arguments, int count) {
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
  try {
    writeAll(worker.toWorker, head.data(), head.size());
    for (int i = 0; i < 2; ++i) {
      if (flags & (i == 0 ? kSends0 : kSends1)) sendPicture(worker.toWorker, *inputs.input[i]);
      worker.held[i] = inputs.input[i];
    }
  } catch (const PipeGone&) {
    worker.broken = true;  // its answer, or its end, says why
  }
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
    WorkerAnswer answer;
    const auto kind = get<int32_t>(worker.fromWorker);
    answer.frame.pluginTime = std::chrono::nanoseconds(get<int64_t>(worker.fromWorker));
    answer.frame.hostTime = std::chrono::nanoseconds(get<int64_t>(worker.fromWorker));
    const auto warnings = get<uint32_t>(worker.fromWorker);
    if (warnings > 4096) throw HostError("a worker's answer is malformed");
    for (uint32_t n = 0; n < warnings; ++n) answer.warnings.push_back(getText(worker.fromWorker));
    if (kind == kAnswerFailure) {
      answer.failure = getText(worker.fromWorker);
      return answer;
    }
    if (kind != kAnswerPicture) throw HostError(which + " answered nonsense");
    answer.frame.picture = std::move(*receivePicture(worker.fromWorker));
    return answer;
  } catch (const PipeGone&) {
    if (interrupted()) throw Interrupted("interrupted");
    throw HostError(which + " " + ended(worker) + " without an answer");
  }
}

void WorkerPool::finish() {
  for (Worker& worker : workers_) {
    if (worker.pid < 0) continue;
    std::string head;
    put(head, kNoMoreFrames);
    put(head, uint8_t{0});
    try {
      if (!worker.broken) writeAll(worker.toWorker, head.data(), head.size());
    } catch (const PipeGone&) {
    }
    closeFd(worker.toWorker);
  }
  for (Worker& worker : workers_) {
    if (worker.pid < 0) continue;
    int status = 0;
    while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
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
      const auto frame = get<int64_t>(STDIN_FILENO);
      const auto flags = get<uint8_t>(STDIN_FILENO);
      if (frame == kNoMoreFrames) return 0;
      if (flags & kSends0) inputs.input[0] = receivePicture(STDIN_FILENO);
      if (flags & kSends1) inputs.input[1] = receivePicture(STDIN_FILENO);
      if (!(flags & kHas0)) inputs.input[0].reset();
      if (!(flags & kHas1)) inputs.input[1].reset();
      if (interrupted()) return 130;
      if (failure.empty()) {
        try {
          RenderedFrame rendered = session->render(frame, inputs);
          const std::string head = answerHead(kAnswerPicture, &rendered);
          writeAll(STDOUT_FILENO, head.data(), head.size());
          sendPicture(STDOUT_FILENO, rendered.picture);
          continue;
        } catch (const Interrupted&) {
          throw;
        } catch (const HostError& error) {
          failure = error.what();
        }
      }
      std::string message = answerHead(kAnswerFailure, nullptr);
      putText(message, failure);
      writeAll(STDOUT_FILENO, message.data(), message.size());
      return 1;
    }
  } catch (const PipeGone&) {
    return interrupted() ? 130 : 1;  // ophost has gone or stopped the render
  } catch (const Interrupted&) {
    return 130;
  }
}

}  // namespace ophost::cli
