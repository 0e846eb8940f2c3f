// The ophost command line in one table: each option with the kind of value it takes, its help and
// default, and the commands that take it. The table reads command lines, writes the options part
// of the usage text, and writes command lines back (the `ophost render-worker` line a render
// starts its workers with, the `ophost render` lines the preview exports), so none of these can
// drift from the others.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ophost::render {

// The commands, one bit each, so an option's commands are a set of them.
using CommandSet = unsigned;
inline constexpr CommandSet kList = 1u << 0;
inline constexpr CommandSet kInfo = 1u << 1;
inline constexpr CommandSet kRender = 1u << 2;
inline constexpr CommandSet kRenderWorker = 1u << 3;  // started by render --jobs N, not by users
inline constexpr CommandSet kDemo = 1u << 4;
inline constexpr CommandSet kServe = 1u << 5;
inline constexpr CommandSet kJoin = 1u << 6;
inline constexpr CommandSet kConcat = 1u << 7;
// cluster render|join: the render or join split over a cluster. Its command line takes its own
// options and those of the command it splits.
inline constexpr CommandSet kCluster = 1u << 8;
inline constexpr CommandSet kEveryCommand =
    kList | kInfo | kRender | kRenderWorker | kDemo | kServe | kJoin | kConcat | kCluster;

// The command called `name`, or 0 when there is none.
CommandSet commandNamed(std::string_view name);
// The name of one command.
std::string commandName(CommandSet command);

inline constexpr int64_t kDefaultLength = 50;
inline constexpr int32_t kDefaultFps = 25;
inline constexpr int64_t kDefaultPort = 8080;

// A command line as read: every value as it was written (the commands read them further), an
// empty one where the option was not given.
struct Options {
  std::string command;
  std::vector<std::string> positional;
  std::filesystem::path plugins;
  std::filesystem::path textures;
  std::string input0, input1, output;
  std::vector<std::string> settings;
  std::string length, position, frames, size, area, easing, fps;
  std::string port;  // serve
  std::string jobs;  // render: worker processes
  // render, join: the output's encoding
  std::string codec, crf, preset, bitrate;
  // render, join: "EFFECT=FILE" or "FILE", a picture to use as a plug-in's texture
  std::vector<std::string> texture;
  // join: the effect of each cut ("EFFECT[:PARAM=VALUE,...]"), their length, how long a still
  // lasts, how clips of other shapes are fitted
  std::vector<std::string> with;
  std::string duration, stillDuration, fit;
  std::string sheet;     // join: a contact sheet of the clips and cuts, as PNG
  // render, join: "K/N", the K-th of N segments of the job's frames (segment.h)
  std::string segment;
  std::string audio;  // concat: the file whose sound goes with the joined segments
  bool noAudio = false;  // join: no sound in the output
  bool soundOnly = false;  // join: the sound alone, no video
  bool noTonemap = false;  // render, join: refuse HDR clips rather than tone-map them
  bool deinterlace = false;  // render, join: interlaced clips made progressive as they are read
  // cluster: the scheduler (--slurm, the only one), the tasks' count, the partition, more words
  // for sbatch, the shared directory of the job's files, whether the segments stay, and whether
  // ophost waits for the job to end
  bool slurm = false;
  std::string tasks, partition, workDir;
  std::vector<std::string> sbatchArgs;
  bool keepSegments = false;
  bool noWait = false;
  bool quiet = false;
  bool checks = false;  // render, demo: the runtime's full checks
  bool help = false;
};

// What an option's value is; each but Flag and Text is checked as the command line is read.
enum class OptionKind {
  Flag,     // no value
  Text,     // any text
  Path,     // a file or directory
  Whole,    // a whole number within low..high
  Size,     // WxH
  Area,     // X,Y,W,H
  Frames,   // FIRST:LAST
  Easing,   // a curve's name or cubic-bezier(...)
  Rate,     // a frame rate: 25, 29.97, 30000/1001
  Segment,  // K/N
  Setting,  // PARAM=VALUE, given once per parameter
};

struct Option {
  std::string name;       // "--length"
  std::string shortName;  // "-q", or empty
  OptionKind kind = OptionKind::Flag;
  std::string value;      // the value as the usage names it ("N", "WxH"); empty for a flag
  int64_t low = 0, high = 0;  // Whole: the range
  std::string byDefault;  // what holds when it is not given, for the usage; empty for nothing
  std::string help;       // one or more lines of usage ('\n' between them)
  CommandSet commands = 0;
  // Where Options keeps it: a flag, a value, a path, or a value per time it is given.
  std::variant<bool Options::*, std::string Options::*, std::filesystem::path Options::*,
               std::vector<std::string> Options::*>
      field;
};

// Every option, in the order the usage lists them and command lines are written in.
const std::vector<Option>& optionTable();

// Reads the words of a command line (argv[1..]) into `options`, which comes holding the defaults
// of the paths. Throws HostError for an unknown option, a value missing or out of its range or
// syntax, or an option the command does not take (unless --help is given; `cluster render` takes
// cluster's options and render's, `cluster join` cluster's and join's). A command no option
// names, or none at all, is left to the caller.
void parseCommandLine(const std::vector<std::string>& words, Options& options);

// `options` written back as the words of a `command` line: the command, the positional words,
// then each option the command takes that `options` holds, in the table's order.
std::vector<std::string> commandWords(const Options& options, CommandSet command);

// The whole number the option `name` gives in `options` (already checked against its range), or
// `fallback` when it was not given.
int64_t wholeOption(const Options& options, std::string_view name, int64_t fallback);

// The options part of the usage text: each option with its help and default, then which of the
// user's commands take which.
std::string optionUsage();

}  // namespace ophost::render
