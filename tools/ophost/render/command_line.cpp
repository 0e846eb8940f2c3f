#include "command_line.h"

#include <algorithm>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include "easing.h"
#include "frame_rate.h"
#include "host_error.h"
#include "segment.h"
#include "settings.h"

namespace ophost::render {

namespace {

using Flag = bool Options::*;
using Words = std::vector<std::string> Options::*;

const std::vector<std::pair<CommandSet, std::string>>& commandNames() {
  static const std::vector<std::pair<CommandSet, std::string>> names = {
      {kList, "list"}, {kInfo, "info"}, {kRender, "render"}, {kRenderWorker, "render-worker"},
      {kDemo, "demo"}, {kServe, "serve"}, {kJoin, "join"}, {kConcat, "concat"}, {kCluster, "cluster"}};
  return names;
}

const Option* findOption(std::string_view name) {
  for (const Option& option : optionTable()) {
    if (option.name == name || (!option.shortName.empty() && option.shortName == name)) return &option;
  }
  return nullptr;
}

// Throws HostError when `value` is not a value of the option's kind (and range).
void checkValue(const Option& option, const std::string& value) {
  switch (option.kind) {
    case OptionKind::Whole: parseWhole(value, option.name, option.low, option.high); break;
    case OptionKind::Size: parseSize(value); break;
    case OptionKind::Area: parseArea(value); break;
    case OptionKind::Frames: parseRange(value); break;
    case OptionKind::Easing: Easing::parse(value); break;
    case OptionKind::Rate: media::parseFrameRate(value, option.name); break;
    case OptionKind::Segment: parseSegment(value); break;
    case OptionKind::Flag:
    case OptionKind::Text:
    case OptionKind::Path:
    case OptionKind::Setting: break;
  }
}

void store(Options& options, const Option& option, const std::string& value) {
  std::visit(
      [&](auto field) {
        using Field = decltype(field);
        if constexpr (std::is_same_v<Field, Flag>) {
          options.*field = true;
        } else if constexpr (std::is_same_v<Field, Words>) {
          (options.*field).push_back(value);
        } else {
          options.*field = value;
        }
      },
      option.field);
}

void append(std::vector<std::string>& words, const Options& options, const Option& option) {
  std::visit(
      [&](auto field) {
        using Field = decltype(field);
        const auto& held = options.*field;
        if constexpr (std::is_same_v<Field, Flag>) {
          if (held) words.push_back(option.name);
        } else if constexpr (std::is_same_v<Field, Words>) {
          for (const std::string& value : held) words.insert(words.end(), {option.name, value});
        } else if (!held.empty()) {
          words.insert(words.end(), {option.name, std::string(held)});
        }
      },
      option.field);
}

}  // namespace

CommandSet commandNamed(std::string_view name) {
  for (const auto& [command, named] : commandNames()) {
    if (named == name) return command;
  }
  return 0;
}

std::string commandName(CommandSet command) {
  for (const auto& [one, named] : commandNames()) {
    if (one == command) return named;
  }
  throw std::logic_error("no single command " + std::to_string(command));
}

namespace {

using Field = decltype(Option::field);

Option valued(std::string name, OptionKind kind, std::string value, std::string byDefault, std::string help,
              CommandSet commands, Field field) {
  return {std::move(name), "", kind, std::move(value), 0, 0, std::move(byDefault), std::move(help), commands, field};
}

Option whole(std::string name, std::string value, int64_t low, int64_t high, std::string byDefault,
             std::string help, CommandSet commands, std::string Options::*field) {
  return {std::move(name), "", OptionKind::Whole, std::move(value), low, high, std::move(byDefault),
          std::move(help), commands, field};
}

Option flag(std::string name, std::string shortName, std::string help, CommandSet commands, Flag field) {
  return {std::move(name), std::move(shortName), OptionKind::Flag, "", 0, 0, "", std::move(help), commands, field};
}

}  // namespace

const std::vector<Option>& optionTable() {
  using K = OptionKind;
  static const std::vector<Option> table = {
      valued("--plugins", K::Path, "DIR", "$OPHOST_PLUGINS, else build/plugins",
             "where the plug-ins are", kEveryCommand, &Options::plugins),
      valued("--textures", K::Path, "DIR", "$OPHOST_TEXTURES, else build/textures",
             "where the plug-ins' textures are", kEveryCommand, &Options::textures),
      valued("--texture", K::Text, "[EFFECT=]FILE", "",
             "a grey picture of your own as a plug-in's texture (a wipe's shape)",
             kRender | kRenderWorker | kJoin, &Options::texture),
      valued("--input0", K::Text, "INPUT", "card:bars in the demo",
             "input 0: a still, a video, a numbered sequence or card:NAME",
             kRender | kDemo, &Options::input0),
      valued("--input1", K::Text, "INPUT", "card:rings in the demo", "input 1, for the plug-ins that take two",
             kRender | kDemo, &Options::input1),
      valued("--set", K::Setting, "PARAM=VALUE", "",
             "a parameter by name or number; choices by entry name or index,\n"
             "colours as #RRGGBB, #AARRGGBB or a packed word 0xEB8080FF",
             kInfo | kRender | kRenderWorker | kDemo, &Options::settings),
      valued("--with", K::Text, "EFFECT[:P=V,...]", "",
             "the transition of a cut, with its parameters (easing=CURVE among them);\n"
             "once for every cut, or once for all", kJoin, &Options::with),
      valued("--duration", K::Text, "D", "1s", "the length of each cut: 1.5, 1.5s, 36f or 00:00:01:12", kJoin,
             &Options::duration),
      valued("--still-duration", K::Text, "D", "3s", "how long a still picture plays as a clip", kJoin,
             &Options::stillDuration),
      valued("--fit", K::Text, "HOW", "letterbox",
             "clips of another shape: letterbox (whole, with bars) or stretch", kJoin, &Options::fit),
      whole("--length", "N", 1, 4000000, std::to_string(kDefaultLength), "the effect's length in frames",
            kRender | kRenderWorker | kDemo, &Options::length),
      valued("--size", K::Size, "WxH", "input 0's size; cards are 640x360", "the frame size", kRender | kDemo,
             &Options::size),
      valued("--area", K::Area, "X,Y,W,H", "all of the frame",
             "an active area inside the frame (a letterboxed picture ...)", kRender | kDemo, &Options::area),
      valued("--easing", K::Easing, "CURVE", "linear",
             "linear, ease, ease-in, ease-out, ease-in-out, cubic-bezier(X1,Y1,X2,Y2)",
             kRender | kRenderWorker | kDemo | kJoin, &Options::easing),
      whole("--position", "P", 0, 4000000, "the middle, length / 2", "render the single frame P", kRender,
            &Options::position),
      valued("--frames", K::Frames, "A:B", "0:length for video, GIF and sequences", "render frames A to B",
             kRender, &Options::frames),
      valued("--output", K::Path, "OUT", "out/demo in the demo",
             "the file to write (see Outputs below), or the demo's directory", kRender | kDemo | kJoin | kConcat,
             &Options::output),
      valued("--fps", K::Rate, "RATE", "input 0's own; 25 for stills and cards",
             "frames per second of video and GIF output: 25, 29.97 or 30000/1001", kRender | kDemo | kJoin,
             &Options::fps),
      whole("--jobs", "N", 1, 64, "1", "render frames in N worker processes", kRender, &Options::jobs),
      valued("--codec", K::Text, "CODEC", "by the file name",
             "the video codec: h264, hevc, prores, ffv1, vp9, png or gif", kRender | kJoin, &Options::codec),
      whole("--crf", "N", 0, 63, "h264 18, hevc 20, vp9 24",
            "the constant rate factor of h264, hevc and vp9 output; lower is better\n(h264 and hevc up to 51)", kRender | kJoin, &Options::crf),
      valued("--preset", K::Text, "NAME", "medium", "the encoder's speed preset (h264, hevc)", kRender | kJoin,
             &Options::preset),
      valued("--bitrate", K::Text, "RATE", "", "an average bit rate instead of --crf: 8M, 2500k", kRender | kJoin,
             &Options::bitrate),
      valued("--segment", K::Segment, "K/N", "",
             "only the K-th of N parts of the job's frames (balanced, each a second or more),\n"
             "to be joined with concat; video and name%04d.png outputs only",
             kRender | kJoin, &Options::segment),
      flag("--no-audio", "", "leave the sound out", kJoin, &Options::noAudio),
      flag("--sound-only", "", "write only the join's sound (as the join would mux it), no video", kJoin,
           &Options::soundOnly),
      valued("--audio", K::Path, "FILE", "", "concat: the first audio stream of FILE copied in beside the video",
             kConcat, &Options::audio),
      flag("--no-tonemap", "", "refuse HDR (PQ, HLG) clips instead of tone-mapping them to SDR", kRender | kJoin,
           &Options::noTonemap),
      flag("--deinterlace", "", "interlaced clips made progressive as they are read (bwdif)", kRender | kJoin,
           &Options::deinterlace),
      valued("--sheet", K::Path, "FILE.png", "", "also a contact sheet: each clip and each cut at 25, 50, 75%", kJoin,
             &Options::sheet),
      whole("--port", "N", 0, 65535, std::to_string(kDefaultPort),
            "the preview's port on 127.0.0.1; 0 takes any free one", kServe, &Options::port),
      flag("--slurm", "", "cluster: submit the job to Slurm (sbatch; the only scheduler so far)", kCluster,
           &Options::slurm),
      whole("--tasks", "N", 1, 10000, "the nodes' count, else 4; at most a task a second of video",
            "cluster: split the job into N tasks", kCluster, &Options::tasks),
      valued("--partition", K::Text, "NAME", "Slurm's default", "cluster: the Slurm partition to run in", kCluster,
             &Options::partition),
      valued("--sbatch-arg", K::Text, "ARG", "", "cluster: one more word for both sbatch calls (--qos=high ...)",
             kCluster, &Options::sbatchArgs),
      valued("--work-dir", K::Path, "DIR", "OUTDIR/.OUTNAME.ophost-cluster",
             "cluster: the job's scripts, logs and segments, on storage every node shares", kCluster,
             &Options::workDir),
      flag("--keep-segments", "", "cluster: keep the tasks' video segments in the work directory", kCluster,
           &Options::keepSegments),
      flag("--no-wait", "", "cluster: submit, say how to follow the job, and return at once", kCluster,
           &Options::noWait),
      flag("--checks", "",
           "the runtime's full checks of every image given back: nothing written\n"
           "outside the active area or into a texture (slower)",
           kRender | kRenderWorker | kDemo | kJoin, &Options::checks),
      flag("--quiet", "-q", "no progress display", kRender | kDemo | kJoin | kConcat | kCluster, &Options::quiet),
      flag("--help", "-h", "this text", kEveryCommand, &Options::help),
  };
  return table;
}

void parseCommandLine(const std::vector<std::string>& words, Options& options) {
  struct Given {
    const Option* option;
    std::string spelled;  // as written: "-q" or "--quiet"
    std::string value;
  };
  std::vector<Given> given;
  for (size_t n = 0; n < words.size(); ++n) {
    const std::string& word = words[n];
    if (word.size() < 2 || word[0] != '-') {
      if (options.command.empty()) {
        options.command = word;
      } else {
        options.positional.push_back(word);
      }
      continue;
    }
    const size_t equals = word.rfind("--", 0) == 0 ? word.find('=') : std::string::npos;
    const std::string name = word.substr(0, equals);
    const Option* option = findOption(name);
    if (option == nullptr) throw HostError("unknown option " + name + " (see ophost --help)");
    std::string value;
    if (std::holds_alternative<Flag>(option->field)) {
      if (equals != std::string::npos) throw HostError(name + " takes no value");
    } else if (equals != std::string::npos) {
      value = word.substr(equals + 1);
    } else if (n + 1 < words.size()) {
      value = words[++n];  // whatever it looks like: a file may be called "--set"
    } else {
      throw HostError(name + " needs a value");
    }
    given.push_back({option, name, value});
  }
  // Help is help, whatever else the line holds.
  const bool help = std::any_of(given.begin(), given.end(), [](const Given& g) { return g.option->name == "--help"; });
  CommandSet command = commandNamed(options.command);
  if (command == kCluster && !options.positional.empty()) {
    const CommandSet split = commandNamed(options.positional[0]);
    if (split == kRender || split == kJoin) command |= split;
  }
  for (const Given& g : given) {
    if (!help && command != 0 && (g.option->commands & command) == 0) {
      throw HostError(options.command + " does not take " + g.spelled + " (see ophost --help)");
    }
  }
  for (const Given& g : given) {
    if (!help) checkValue(*g.option, g.value);
    store(options, *g.option, g.value);
  }
}

std::vector<std::string> commandWords(const Options& options, CommandSet command) {
  std::vector<std::string> words = {commandName(command)};
  words.insert(words.end(), options.positional.begin(), options.positional.end());
  for (const Option& option : optionTable()) {
    if (option.commands & command) append(words, options, option);
  }
  return words;
}

int64_t wholeOption(const Options& options, std::string_view name, int64_t fallback) {
  const Option* option = findOption(name);
  if (option == nullptr || option->kind != OptionKind::Whole) {
    throw std::logic_error("no whole-number option " + std::string(name));
  }
  const std::string& text = options.*std::get<std::string Options::*>(option->field);
  return text.empty() ? fallback : parseWhole(text, option->name, option->low, option->high);
}

std::string optionUsage() {
  constexpr size_t kHelpColumn = 22, kWidth = 100;
  std::string out = "Options:\n";
  for (const Option& option : optionTable()) {
    std::string head = "  " + option.name;
    if (!option.shortName.empty()) head += ", " + option.shortName;
    if (!option.value.empty()) head += " " + option.value;
    head += std::string(head.size() + 2 > kHelpColumn ? 2 : kHelpColumn - head.size(), ' ');
    std::string help = option.help;
    std::string note;
    if (option.kind == OptionKind::Whole) note = std::to_string(option.low) + ".." + std::to_string(option.high);
    if (!option.byDefault.empty()) note += (note.empty() ? "" : ", ") + ("default: " + option.byDefault);
    if (!note.empty()) {
      // On the help's last line if it fits there, else on a line of its own.
      const size_t last = help.rfind('\n') == std::string::npos ? 0 : help.rfind('\n') + 1;
      help += (kHelpColumn + help.size() - last + note.size() + 3 > kWidth ? "\n(" : " (") + note + ")";
    }
    size_t start = 0;
    for (size_t end; (end = help.find('\n', start)) != std::string::npos; start = end + 1) {
      out += head + help.substr(start, end - start) + "\n";
      head = std::string(kHelpColumn, ' ');
    }
    out += head + help.substr(start) + "\n";
  }
  out += "\nThe options each command takes:\n";
  for (const auto& [command, name] : commandNames()) {
    if (command == kRenderWorker) continue;  // ophost's own, for render --jobs N
    std::string line = "  " + name + std::string(name.size() < 9 ? 9 - name.size() : 1, ' ');
    const size_t indent = line.size();
    for (const Option& option : optionTable()) {
      if ((option.commands & command) == 0) continue;
      if (line.size() + 1 + option.name.size() > kWidth) {
        out += line + "\n";
        line = std::string(indent, ' ');
      }
      line += " " + option.name;
    }
    out += line + "\n";
  }
  return out;
}

}  // namespace ophost::render
