// A cluster job's pieces without a cluster: the scripts its tasks and join run, executed by sh
// with a stand-in for ophost that notes the words it was given (paths with spaces, quotes and
// shell syntax must arrive as they are), and the watch reading squeue's records and the tasks' logs.
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "array_watch.h"
#include "job_scripts.h"
#include "ophost_test_support.h"
#include "shell_quote.h"

using namespace ophosttest;
using namespace ophost::cluster;

namespace {

class ClusterJob : public Scratch {
 protected:
  // A program that appends each word it was given, one a line, to `words`, then "--".
  void SetUp() override {
    Scratch::SetUp();
    work = dir / "wo'rk $(dir) `x`";
    std::filesystem::create_directories(work);
    program = (dir / "fake ophost").string();
    std::ofstream(program) << "#!/bin/sh\nfor word in \"$@\"; do printf '%s\\n' \"$word\"; done >>\"$WORDS\"\n"
                              "echo -- >>\"$WORDS\"\n";
    ::chmod(program.c_str(), 0755);
  }
  // Runs `script` with sh and `environment` ("NAME=VALUE ..."); returns its exit status.
  int runScript(const std::filesystem::path& script, const std::string& environment) const {
    using ophost::render::shellQuote;
    const std::string command = "cd / && env WORDS=" + shellQuote((dir / "words").string()) + " " + environment +
                                " sh " + shellQuote(script.string()) + " 2>/dev/null";
    return WEXITSTATUS(std::system(command.c_str()));
  }
  std::vector<std::string> words() const {
    std::ifstream in(dir / "words");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  std::filesystem::path work;
  std::string program;
};

TEST_F(ClusterJob, ScriptsPassEveryWordAsItIsAndTheJoinConcatsTheSegmentsInOrderWithTheSound) {
  const JobFiles files(work, ".mkv");
  JobCommands commands;
  commands.program = program;
  commands.tasks = 11;  // segment-10 and segment-11 sort before segment-2 by name: the order is by number
  commands.output = (dir / "out put's $HOME.mkv").string();
  commands.taskWords = {"join", "a clip.mp4", "it's.mp4", "--with", "ripples:easing=cubic-bezier(0.2,0,0.4,1)",
                        "--texture", "ripples=*.png", "--set", "$PATH;`id`"};
  commands.soundWords = {"join", "a clip.mp4", "it's.mp4", "--sound-only"};
  writeJobScripts(files, commands);

  ASSERT_EQ(runScript(files.taskScript(), "SLURM_ARRAY_TASK_ID=10"), 0);
  std::vector<std::string> expected = commands.taskWords;
  expected.insert(expected.end(), {"--segment", "10/11", "--output", files.segment(10).string(), "--"});
  EXPECT_EQ(words(), expected);
  // The tests' way to fail one task: it runs nothing.
  std::filesystem::remove(dir / "words");
  EXPECT_EQ(runScript(files.taskScript(), "SLURM_ARRAY_TASK_ID=4 OPHOST_CLUSTER_FAIL_TASK=4"), 1);
  EXPECT_TRUE(words().empty());

  for (int64_t k = 1; k <= 11; ++k) std::ofstream(files.segment(k)) << "segment";
  ASSERT_EQ(runScript(files.joinScript(), ""), 0);
  expected = commands.soundWords;
  expected.insert(expected.end(), {"--output", files.sound().string(), "--", "concat"});
  for (int64_t k = 1; k <= 11; ++k) expected.push_back(files.segment(k).string());
  expected.insert(expected.end(), {"--output", commands.output, "--audio", files.sound().string(), "--"});
  EXPECT_EQ(words(), expected);
  for (int64_t k = 1; k <= 11; ++k) EXPECT_FALSE(std::filesystem::exists(files.segment(k))) << k;
}

// A PNG sequence's tasks stage their frames in the work directory; the join moves them into the
// output's place only once every one is there, so a job that fails leaves the frames a user
// already had there as they were.
TEST_F(ClusterJob, APngSequencesFramesMoveIntoPlaceOnlyWhenAllAreThere) {
  const JobFiles files(work, "");
  JobCommands commands;
  commands.program = program;
  commands.tasks = 2;
  commands.output = (dir / "f %03d.png").string();
  commands.taskWords = {"render", "ripples"};
  for (const char* name : {"f 010.png", "f 011.png", "f 012.png"}) commands.frames.push_back((dir / name).string());
  writeJobScripts(files, commands);
  ASSERT_EQ(runScript(files.taskScript(), "SLURM_ARRAY_TASK_ID=2"), 0);
  const std::string staged = (files.stagedFrames() / "f %03d.png").string();
  EXPECT_EQ(words(), (std::vector<std::string>{"render", "ripples", "--segment", "2/2", "--output", staged, "--"}));
  std::ofstream(commands.frames[1]) << "a frame of an earlier render";
  std::ofstream(files.stagedFrames() / "f 010.png") << "png 10";
  std::ofstream(files.stagedFrames() / "f 012.png") << "png 12";
  EXPECT_EQ(runScript(files.joinScript(), ""), 1);
  EXPECT_FALSE(std::filesystem::exists(commands.frames[0]));
  files.removeSegments(commands.tasks);
  EXPECT_FALSE(std::filesystem::exists(files.stagedFrames()));
  EXPECT_TRUE(std::filesystem::exists(commands.frames[1]));  // untouched by the failed job

  writeJobScripts(files, commands);
  for (const char* name : {"f 010.png", "f 011.png", "f 012.png"}) {
    std::ofstream(files.stagedFrames() / name) << "png " << name;
  }
  EXPECT_EQ(runScript(files.joinScript(), ""), 0);
  for (const std::string& frame : commands.frames) {
    std::ifstream in(frame);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "png " + std::filesystem::path(frame).filename().string());
  }
  EXPECT_FALSE(std::filesystem::exists(files.stagedFrames()));
}

// The watch over a job's life: tasks starting on both nodes, one requeued (seen only by its
// restart count, its running state missed between two rounds), frames from the running tasks'
// logs, a failure, and the join's end.
TEST_F(ClusterJob, TheWatchFollowsRequeuesProgressFailuresAndTheJoin) {
  const auto log = [this](int64_t k) { return dir / ("task-" + std::to_string(k) + ".log"); };
  std::ofstream(log(1)) << "ophost cluster: task 1 of 3 on node1\nRipples: 4/10 frames, 2.0 fps, 0:03 left\n"
                        << "Ripples: 7/10 frames, 2.0 fps, 0:01 left\n";
  std::ofstream(log(2)) << "ophost cluster: task 2 of 3 on node2\n";
  ArrayWatch watch("7", "8", {10, 10, 9}, log);
  EXPECT_TRUE(watch.update({{"7", 1, "RUNNING", "node1", 0}, {"7", 2, "RUNNING", "node2", 0},
                            {"7", 3, "PENDING", "", 0}, {"8", 0, "PENDING", "", 0}})
                  .empty());
  EXPECT_EQ(watch.framesDone(), 7);
  EXPECT_EQ(watch.update({{"7", 1, "COMPLETED", "node1", 0}, {"7", 2, "PENDING", "", 1},
                          {"7", 3, "RUNNING", "node1", 0}}),
            std::vector<int64_t>{2});
  EXPECT_EQ(watch.tasks()[1].node, "node2");  // where it was stopped
  EXPECT_EQ(watch.framesDone(), 10);
  EXPECT_TRUE(watch.failedTasks().empty());
  EXPECT_FALSE(watch.allTasksCompleted());
  watch.update({{"7", 2, "COMPLETED", "node1", 1}, {"7", 3, "FAILED", "node1", 0}, {"8", 0, "CANCELLED", "", 0}});
  EXPECT_EQ(watch.failedTasks(), std::vector<int64_t>{3});
  EXPECT_TRUE(watch.joinEnded());
  EXPECT_EQ(watch.nodesUsed(), (std::set<std::string>{"node1"}));
  EXPECT_EQ(watch.framesDone(), 20);
}

}  // namespace
