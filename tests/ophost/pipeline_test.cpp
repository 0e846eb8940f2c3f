// Multi-frame renders: the threaded pipeline and worker processes give exactly the bytes of a plain
// in-order render, a worker's failure or death stops the render with nothing written, and SIGINT
// stops a render at the next frame, removes its temporary output and ends ophost with status 130.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "cards.h"
#include "interrupt.h"
#include "media_output.h"
#include "ophost_test_support.h"
#include "renderer.h"
#include "worker.h"

extern char** environ;

using namespace ophosttest;
using namespace std::chrono_literals;

namespace {

std::string bytesOf(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Pipeline : public Scratch {
 protected:
  std::string out(const std::string& name) const { return (dir / name).string(); }
  // A 12-frame clip, so input 0 changes from frame to frame and holds its last frame after.
  void makeClip() {
    auto clip = ophost::media::createSink(out("clip.mp4"), {48, 32, 25, 18});
    const char* cards[] = {"bars", "grid", "rings", "gradient"};
    for (int n = 0; n < 12; ++n) clip->add(ophost::media::drawCard(cards[n % 4], 48, 32), n);
    clip->finish();
  }
};

TEST_F(Pipeline, AnyNumberOfJobsWritesTheSameBytes) {
  REQUIRE_PLUGIN("Halves");
  makeClip();
  for (const char* output : {"h%d.png", "h.mp4", "h.gif"}) {
    std::vector<std::string> results;
    for (const char* jobs : {"1", "2", "3"}) {
      const std::string name = std::string(jobs) + "-" + output;
      const RunResult run = runOphost({"render", "Halves", "--input0", out("clip.mp4"), "--input1", "card:rings",
                                       "--set", "fill=squeeze", "--length", "15", "--jobs", jobs, "--output", out(name)});
      ASSERT_EQ(run.status, 0) << output << " --jobs " << jobs << ": " << run.err;
      EXPECT_NE(run.out.find("16 frames in "), std::string::npos) << run.out;
      EXPECT_NE(run.out.find(" frames/s; in Halves "), std::string::npos) << run.out;
      std::string all;
      for (int frame = 0; frame <= 15; ++frame) {
        const std::string file = ophost::media::sequenceFileName(out(name), frame);
        all += bytesOf(file);
        if (file == out(name)) break;  // one file
      }
      results.push_back(all);
    }
    EXPECT_GT(results[0].size(), 1000u);
    EXPECT_TRUE(results[0] == results[1]) << output << ": --jobs 2 differs from --jobs 1";
    EXPECT_TRUE(results[0] == results[2]) << output << ": --jobs 3 differs from --jobs 1";
  }
  // And the frames are the ones the renderer gives frame by frame in order.
  ophost::render::RenderSetup setup;
  setup.pluginDirectory = OP_PLUGIN_DIR;
  setup.textureDirectory = OP_TEXTURE_DIR;
  setup.plugin = "Halves";
  setup.input0 = out("clip.mp4");
  setup.input1 = "card:rings";
  setup.settings = {"fill=squeeze"};
  setup.length = 15;
  ophost::render::FrameRenderer renderer(setup);
  for (int frame : {0, 7, 11, 12, 15}) {
    EXPECT_TRUE(readPicture(ophost::media::sequenceFileName(out("2-h%d.png"), frame)).rgb ==
                renderer.render(frame).rgb) << "frame " << frame;
  }
}

// A plug-in changes its inputs in place, so none of them is ever one it changed before: an input
// asked for again in the same render, a still shown to every frame and a clip's last frame held
// are the frame's own each time, with or without workers.
TEST_F(Pipeline, AnInputChangedInPlaceIsNeverShownAgain) {
  if (!std::filesystem::exists(std::string(OP_TEST_PLUGIN_DIR) + "/Misbehave.so")) GTEST_SKIP() << "no test plug-in";
  makeClip();
  std::filesystem::create_directories(dir / "tex");
  std::filesystem::copy_file(std::string(OP_TEXTURE_DIR) + "/kreis.png", dir / "tex" / "t.png");
  for (const std::string& input0 : {out("clip.mp4"), std::string("card:bars")}) {
    std::vector<std::string> results;
    for (const auto& [mode, jobs] : {std::pair{"0", "1"}, std::pair{"14", "1"}, std::pair{"14", "2"}}) {
      const std::string name = std::string("m") + mode + "-" + jobs + "-%d.png";
      const RunResult run = runOphost({"render", "Misbehave", "--plugins", OP_TEST_PLUGIN_DIR, "--textures",
                                       (dir / "tex").string(), "--input0", input0, "--input1", "card:rings",
                                       "--size", "48x32", "--length", "15", "--set", std::string("1=") + mode,
                                       "--jobs", jobs, "--output", out(name)});
      ASSERT_EQ(run.status, 0) << input0 << " mode " << mode << ": " << run.err;
      std::string all;
      for (int frame = 0; frame <= 15; ++frame) all += bytesOf(ophost::media::sequenceFileName(out(name), frame));
      results.push_back(all);
    }
    EXPECT_GT(results[0].size(), 1000u);
    EXPECT_TRUE(results[1] == results[0]) << input0 << ": an input asked for again was not the frame's own";
    EXPECT_TRUE(results[2] == results[0]) << input0 << ": the same in workers";
  }
}

TEST_F(Pipeline, AFailureInAWorkerStopsTheRenderWithNothingWritten) {
  if (!std::filesystem::exists(std::string(OP_TEST_PLUGIN_DIR) + "/Misbehave.so")) GTEST_SKIP() << "no test plug-in";
  std::filesystem::create_directories(dir / "tex");
  std::filesystem::copy_file(std::string(OP_TEXTURE_DIR) + "/kreis.png", dir / "tex" / "t.png");
  for (const char* jobs : {"1", "2"}) {
    const RunResult run = runOphost({"render", "Misbehave", "--plugins", OP_TEST_PLUGIN_DIR, "--textures",
                                     (dir / "tex").string(), "--input0", "card:bars", "--input1", "card:rings",
                                     "--size", "16x16", "--length", "9", "--set", "1=12", "--jobs", jobs,
                                     "--output", out("x.mp4")});
    EXPECT_EQ(run.status, 1) << jobs;
    // The inputs it left are faults of their own, told as warnings before the one error.
    const std::string error = "ophost: Misbehave: frame 0 could not be rendered (it answered 0, with no picture)\n";
    ASSERT_GE(run.err.size(), error.size()) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - error.size()), error) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    EXPECT_NE(run.err.find("warning: Misbehave misbehaved at frame 0: input 1 was neither put nor given back"),
              std::string::npos) << run.err;
    EXPECT_EQ(files(), std::vector<std::string>{"tex"});
  }
  const RunResult run = runOphost({"render", "Bump", "--input0", "card:bars", "--input1", "card:rings", "--frames",
                                   "0:3", "--jobs", "0", "--output", out("y.mp4")});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("--jobs"), std::string::npos) << run.err;
}

// ophost started in the background on a long render, its output in files.
class Running {
 public:
  explicit Running(const std::vector<std::string>& arguments, const std::filesystem::path& logs) {
    std::vector<std::string> all = {OPHOST_PROGRAM};
    all.insert(all.end(), arguments.begin(), arguments.end());
    all.insert(all.end(), {"--plugins", OP_PLUGIN_DIR, "--textures", OP_TEXTURE_DIR});
    std::vector<char*> argv;
    for (auto& argument : all) argv.push_back(argument.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (logs.string() + ".out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (logs.string() + ".err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_EQ(posix_spawn(&pid, OPHOST_PROGRAM, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    errors = logs.string() + ".err";
  }
  ~Running() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  // The processes ophost started.
  std::vector<pid_t> children() const {
    std::vector<pid_t> found;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
      const std::string name = entry.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream stat(entry.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const size_t close = line.rfind(')');
      if (close == std::string::npos) continue;
      char state = 0;
      int parent = 0;
      if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &parent) == 2 && parent == pid) {
        found.push_back(std::stoi(name));
      }
    }
    return found;
  }
  // Waits up to `patience` for ophost to end; its exit status, or -1 if it did not end.
  int wait(std::chrono::seconds patience) {
    const auto until = std::chrono::steady_clock::now() + patience;
    int status = 0;
    while (std::chrono::steady_clock::now() < until) {
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  std::string err() const { return bytesOf(errors); }
  pid_t pid = -1;
  std::string errors;
};

bool alive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

// SIGINT (Ctrl-C) and SIGTERM (a scheduler cancelling a task) alike: the render stops, removes what
// it wrote and ends its workers.
TEST_F(Pipeline, AnInterruptedRenderStopsRemovesItsOutputAndFails) {
  REQUIRE_PLUGIN("Jolt");
  for (const char* jobs : {"1", "2"}) {
    SCOPED_TRACE(std::string("--jobs ") + jobs);
    for (const char* output : {"j.mp4", "j%04d.png"}) {
      Running ophost({"render", "Jolt", "--input0", "card:bars", "--input1", "card:rings", "--size", "1280x720",
                      "--length", "5000", "--jobs", jobs, "--output", out(output)},
                     dir.parent_path() / (dir.filename().string() + "-log"));
      // Under way: frames written (a sequence) or the temporary file there (a video).
      for (int tries = 0; tries < 500 && files().empty(); ++tries) std::this_thread::sleep_for(20ms);
      std::this_thread::sleep_for(300ms);
      ASSERT_FALSE(files().empty()) << "ophost wrote nothing in time: " << ophost.err();
      const auto workers = ophost.children();
      EXPECT_EQ(workers.size(), std::string(jobs) == "1" ? 0u : 2u);
      ASSERT_EQ(kill(ophost.pid, std::string(output) == "j.mp4" ? SIGINT : SIGTERM), 0);
      EXPECT_EQ(ophost.wait(20s), 130) << ophost.err();
      EXPECT_NE(ophost.err().find("ophost: interrupted: the render of " + out(output) +
                                  " stopped and nothing was written"), std::string::npos) << ophost.err();
      EXPECT_EQ(files(), std::vector<std::string>{}) << output;
      for (pid_t worker : workers) EXPECT_FALSE(alive(worker)) << "worker " << worker << " is still there";
    }
  }
  std::filesystem::remove(dir.parent_path() / (dir.filename().string() + "-log.out"));
  std::filesystem::remove(dir.parent_path() / (dir.filename().string() + "-log.err"));
}

// A worker that dies (SIGKILL), or stops answering (SIGSTOP: the watchdog's deadline passes), ends
// the render with one message naming what happened; the workers are ended and nothing is written.
TEST_F(Pipeline, AWorkerThatDiesOrStopsAnsweringEndsTheRenderWithNothingWritten) {
  REQUIRE_PLUGIN("Jolt");
  const auto logs = dir.parent_path() / (dir.filename().string() + "-log");
  for (const int signal : {SIGKILL, SIGSTOP}) {
    setenv("OPHOST_WORKER_DEADLINE_MS", "1500", 1);
    Running ophost({"render", "Jolt", "--input0", "card:bars", "--input1", "card:rings", "--size", "640x360",
                    "--length", "5000", "--jobs", "2", "--quiet", "--output", out("j.mp4")}, logs);
    unsetenv("OPHOST_WORKER_DEADLINE_MS");
    std::vector<pid_t> workers;
    for (int tries = 0; tries < 500 && (workers.size() < 2 || files().empty()); ++tries) {
      std::this_thread::sleep_for(20ms);
      workers = ophost.children();
    }
    ASSERT_EQ(workers.size(), 2u) << ophost.err();
    std::this_thread::sleep_for(200ms);
    kill(workers[1], signal);
    EXPECT_EQ(ophost.wait(20s), 1) << ophost.err();
    const std::string err = ophost.err();
    if (signal == SIGKILL) {
      EXPECT_NE(err.find("was killed by signal 9"), std::string::npos) << err;
    } else {
      // Stopped while it renders a frame, or before it has taken the whole of its next one.
      EXPECT_NE(err.find(" of 2 (pid " + std::to_string(workers[1]) + ") "), std::string::npos) << err;
      EXPECT_NE(err.find(" in 1500 ms (it had been stopped by signal " + std::to_string(SIGSTOP) + "); it was ended"),
                std::string::npos) << err;
    }
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(files(), std::vector<std::string>{});
    for (pid_t worker : workers) {
      EXPECT_FALSE(alive(worker)) << "worker " << worker << " is still there";
      kill(worker, SIGKILL);
    }
    std::filesystem::remove(logs.string() + ".out");
    std::filesystem::remove(logs.string() + ".err");
  }
}

// The same deadline holds while a frame is handed over: a worker that reads nothing (here a
// program that never reads) does not hold ophost in a write larger than the pipe.
TEST(WorkerPool, AWorkerThatTakesNothingIsGivenUpAfterTheDeadline) {
  ophost::render::WorkerPool pool("/bin/sleep", {"600"}, 1, std::chrono::milliseconds(300));
  ophost::render::FrameInputs inputs;
  inputs.input[0] = std::make_shared<const ophost::Picture>(ophost::Geometry::exact(1920, 1080), 4);
  try {
    pool.send(0, 7, inputs);
    ADD_FAILURE() << "the frame was taken";
  } catch (const ophost::HostError& error) {
    EXPECT_NE(std::string(error.what()).find("worker 1 of 1 (pid "), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find(") did not take frame 7 in 300 ms"), std::string::npos) << error.what();
  }
}

// A GIF's frames are passed on as they come: the memory of its render does not grow with its
// length. Its completion (each frame mapped onto the palette made from all of them) can be
// interrupted like the rest of the render: status 130 and nothing left behind.
TEST_F(Pipeline, AGifIsNotHeldInMemoryAndItsCompletionCanBeInterrupted) {
  REQUIRE_PLUGIN("Halves");
  const auto logs = dir.parent_path() / (dir.filename().string() + "-log");
#if !defined(__SANITIZE_ADDRESS__)  // freed memory waits in the sanitizer's quarantine
  auto peakKilobytes = [&](const char* length) {
    Running ophost({"render", "Halves", "--input0", "card:bars", "--input1", "card:rings", "--size", "640x360",
                    "--length", length, "--jobs", "1", "--quiet", "--output", out("m.gif")}, logs);
    rusage usage{};
    int status = 0;
    EXPECT_EQ(wait4(ophost.pid, &status, 0, &usage), ophost.pid);
    ophost.pid = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ophost.err();
    return usage.ru_maxrss;
  };
  const long brief = peakKilobytes("20"), longer = peakKilobytes("180");
  // 160 more frames held would be 160 x 675 kB of RGB at least.
  EXPECT_LT(longer - brief, 50 * 1024) << brief << " kB for 21 frames, " << longer << " kB for 181";
  std::filesystem::remove(dir / "m.gif");
#endif
  Running ophost({"render", "Halves", "--input0", "card:bars", "--input1", "card:rings", "--size", "320x180",
                  "--length", "800", "--jobs", "1", "--output", out("i.gif")}, logs);
  for (int tries = 0; tries < 1500 && ophost.err().find("801/801 frames") == std::string::npos; ++tries) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_NE(ophost.err().find("801/801 frames"), std::string::npos) << ophost.err();
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(kill(ophost.pid, SIGINT), 0);
  EXPECT_EQ(ophost.wait(20s), 130) << ophost.err();
  EXPECT_NE(ophost.err().find("ophost: interrupted: the render of " + out("i.gif") + " stopped and nothing was written"),
            std::string::npos) << ophost.err();
  EXPECT_EQ(files(), std::vector<std::string>{});
  std::filesystem::remove(logs.string() + ".out");
  std::filesystem::remove(logs.string() + ".err");
}

// In-process: the interruption reaches the plug-in through opChkAbort, and the frame being
// rendered is still whole (Jolt does not examine the answer).
TEST(Interruption, JoltsAbortPollsAnswerTheFlag) {
  REQUIRE_PLUGIN("Jolt");
  ophost::render::RenderSetup setup;
  setup.pluginDirectory = OP_PLUGIN_DIR;
  setup.plugin = "Jolt";
  setup.input0 = "card:bars";
  setup.input1 = "card:rings";
  setup.size = ophost::render::FrameSize{64, 40};
  ophost::render::FrameRenderer renderer(setup);
  EXPECT_EQ(renderer.plugin().behaviour().abort, &ophost::render::interruptFlag());
  const ophost::Picture calm = renderer.renderPicture(20);
  ophost::render::interruptFlag() = true;
  const ophost::Picture interrupted = renderer.renderPicture(20);
  ophost::render::interruptFlag() = false;
  EXPECT_TRUE(calm == interrupted);
}

}  // namespace
