#include "ophost_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "cards.h"
#include "media_input.h"

namespace ophosttest {

void Scratch::SetUp() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "_" + info->name();
  std::replace(name.begin(), name.end(), '/', '_');
  dir = std::filesystem::temp_directory_path() / ("ophost_" + std::to_string(getpid()) + "_" + name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
}

void Scratch::TearDown() { std::filesystem::remove_all(dir); }

std::vector<std::string> Scratch::files() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {
std::string slurp(const std::filesystem::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}
std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}
}  // namespace

namespace {
RunResult runCommand(std::string command) {
  static int counter = 0;
  const auto base = std::filesystem::temp_directory_path() /
                    ("ophost_run_" + std::to_string(getpid()) + "_" + std::to_string(counter++));
  command += " >" + quoted(base.string() + ".out") + " 2>" + quoted(base.string() + ".err");
  const int raw = std::system(command.c_str());
  RunResult run;
  run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
  run.out = slurp(base.string() + ".out");
  run.err = slurp(base.string() + ".err");
  std::filesystem::remove(base.string() + ".out");
  std::filesystem::remove(base.string() + ".err");
  return run;
}
}  // namespace

RunResult runFfmpeg(const std::vector<std::string>& arguments) {
  std::string command = "ffmpeg -nostdin -loglevel error -y";
  for (const auto& argument : arguments) command += " " + quoted(argument);
  return runCommand(command);
}

RunResult runOphost(const std::vector<std::string>& arguments) {
  std::string command = quoted(OPHOST_PROGRAM);
  bool plugins = false, textures = false;
  for (const auto& argument : arguments) {
    command += " " + quoted(argument);
    plugins |= argument == "--plugins";
    textures |= argument == "--textures";
  }
  if (!plugins) command += " --plugins " + quoted(OP_PLUGIN_DIR);
  if (!textures) command += " --textures " + quoted(OP_TEXTURE_DIR);
  return runCommand(command);
}

bool pluginBuilt(const std::string& name) { return std::filesystem::exists(optest::pluginPath(name)); }

ophost::media::RgbImage directRender(const std::string& plugin, const std::string& card0,
                                     const std::string& card1, const ophost::Geometry& geometry,
                                     const std::vector<std::pair<size_t, int64_t>>& values,
                                     uint32_t length, uint32_t position) {
  auto loaded = optest::loadPlugin(plugin);
  for (const auto& [index, value] : values) loaded->setValue(index, value);
  loaded->setTextureDirectory(OP_TEXTURE_DIR);
  auto input = [&](std::string card) {
    if (card.rfind("card:", 0) == 0) card = card.substr(5);
    auto picture = std::make_shared<ophost::Picture>(optest::solidPicture(geometry, 0x108080FF));
    ophost::media::rgbIntoArea(ophost::media::drawCard(card, geometry.width, geometry.height), *picture);
    return std::shared_ptr<const ophost::Picture>(picture);
  };
  loaded->setFieldProvider(optest::fixedInputs(input(card0), input(card1)));
  EXPECT_EQ(loaded->open(optest::at(0, length)).status, 0);
  auto result = loaded->render(optest::at(position, length));
  loaded->close();
  EXPECT_EQ(result.status, 0);
  if (!result.output) return {};
  return ophost::media::pictureToRgb(*result.output);
}

ophost::media::RgbImage readPicture(const std::filesystem::path& file) {
  auto source = ophost::media::openSource(file.string());
  return source->frame(0, source->naturalSize());
}

}  // namespace ophosttest
