// The Kdenlive descriptors shipped in bridges/frei0r/kdenlive/ are what the generator writes from
// the plug-ins' descriptors now, each names a service that melt lists, and a Kdenlive project using
// each transition as Kdenlive 22.12 adds it (every parameter at its descriptor's default, saved the
// way Kdenlive saves it) renders headless in melt as ophost renders the effect's defaults.
#include <cstdlib>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

#include "frei0r_test_support.h"

using namespace f0rtest;

namespace {
std::string contents(const fs::path& file) {
  std::ifstream stream(file);
  std::stringstream text;
  text << stream.rdbuf();
  return text.str();
}
}  // namespace

using Kdenlive = Scratch;

TEST_F(Kdenlive, ShippedDescriptorsAreUpToDate) {
  const Outcome written = run(quoted(KT3_KDENLIVE_XML) + " " + quoted(dir.string()), dir);
  ASSERT_EQ(written.status, 0) << written.err;
  const fs::path shipped = KT3_KDENLIVE_SHIPPED;
  size_t count = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".xml") continue;
    ++count;
    const fs::path mine = shipped / entry.path().filename();
    ASSERT_TRUE(fs::exists(mine)) << mine << " is not shipped";
    EXPECT_EQ(contents(mine), contents(entry.path()))
        << mine << " is out of date: run build/bin/kt3_kdenlive_xml bridges/frei0r/kdenlive";
  }
  EXPECT_EQ(count, 9u);

  const std::string halves = contents(shipped / "kt3_halves.xml");
  EXPECT_NE(halves.find("<transition tag=\"frei0r.kt3_halves\""), std::string::npos);
  EXPECT_NE(halves.find("paramlist=\"0;0.142857;0.285714;0.428571;0.571429;0.714286;0.857143;1\""),
            std::string::npos);
  EXPECT_NE(contents(shipped / "kt3_fog.xml").find("<effect tag=\"frei0r.kt3_fog\""), std::string::npos);
}

TEST_F(Kdenlive, EveryDescriptorNamesAMeltService) {
  REQUIRE_MELT();
  const Outcome transitions = run("FREI0R_PATH=" + quoted(frei0rDir().string()) + " melt -query transitions", dir);
  const Outcome filters = run("FREI0R_PATH=" + quoted(frei0rDir().string()) + " melt -query filters", dir);
  for (const auto& entry : fs::directory_iterator(KT3_KDENLIVE_SHIPPED)) {
    if (entry.path().extension() != ".xml") continue;
    const std::string service = "frei0r." + entry.path().stem().string();
    const bool filter = contents(entry.path()).find("<effect ") != std::string::npos;
    EXPECT_NE((filter ? filters : transitions).out.find("- " + service + "\n"), std::string::npos)
        << service << " is not among melt's " << (filter ? "filters" : "transitions");
  }
}

namespace {

// A parameter as Kdenlive 22.12 saves a newly added transition's (seen in its saved projects): the
// default, except that %out comes out as 0 for a new composition, and an animated parameter's
// default is kept as its first keyframe only ("0=0;-1=1" saved as "00:00:00.000=0").
std::string savedValue(const std::string& type, std::string value) {
  if (value.find("%out") != std::string::npos) return "0";
  if (type == "animated") {
    const size_t equals = value.find('='), end = value.find(';');
    return "00:00:00.000=" + value.substr(equals + 1, end == std::string::npos ? end : end - equals - 1);
  }
  return value;
}

// A project of two tracks (a.png below, b.png above) with the transition over frames in .. in +
// length; with `consumer`, the consumer Kdenlive writes into a project it hands kdenlive_render.
std::string projectFor(const std::string& descriptor, const fs::path& dir, int in, int length, int last,
                       const std::string& consumer = "") {
  std::smatch tag;
  std::regex_search(descriptor, tag, std::regex("<transition tag=\"([^\"]+)\""));
  std::string properties = "   <property name=\"a_track\">0</property><property name=\"b_track\">1</property>\n"
                           "   <property name=\"mlt_service\">" + tag[1].str() + "</property>\n"
                           "   <property name=\"kdenlive_id\">" + tag[1].str() + "</property>\n";
  const std::regex parameter("<parameter type=\"([a-z]+)\" name=\"([a-z0-9]+)\" default=\"([^\"]*)\"");
  for (std::sregex_iterator it(descriptor.begin(), descriptor.end(), parameter), end; it != end; ++it) {
    // Length in frames as the README tells the user to set it: the composition's out - in.
    const std::string value = (*it)[2] == "frames" ? std::to_string(length) : savedValue((*it)[1], (*it)[3]);
    properties += "   <property name=\"" + (*it)[2].str() + "\">" + value + "</property>\n";
  }
  auto clip = [&](const char* id, const char* picture) {
    return std::string(" <producer id=\"") + id + "\" in=\"0\" out=\"" + std::to_string(last) +
           "\"><property name=\"resource\">" + (dir / picture).string() +
           "</property><property name=\"mlt_service\">pixbuf</property></producer>\n";
  };
  auto track = [&](const char* id, const char* producer) {
    return std::string(" <playlist id=\"") + id + "\"><entry producer=\"" + producer + "\" in=\"0\" out=\"" +
           std::to_string(last) + "\"/></playlist>\n";
  };
  return "<?xml version='1.0' encoding='utf-8'?>\n<mlt LC_NUMERIC=\"C\" version=\"7.12.0\">\n" + consumer +
         " <profile description=\"test\" width=\"160\" height=\"90\" progressive=\"1\" sample_aspect_num=\"1\""
         " sample_aspect_den=\"1\" display_aspect_num=\"16\" display_aspect_den=\"9\" frame_rate_num=\"25\""
         " frame_rate_den=\"1\" colorspace=\"601\"/>\n" +
         clip("a", "a.png") + clip("b", "b.png") + track("lower", "a") + track("upper", "b") +
         " <tractor id=\"timeline\" in=\"0\" out=\"" + std::to_string(last) +
         "\">\n  <track producer=\"lower\"/>\n  <track producer=\"upper\"/>\n  <transition id=\"composition\" in=\"" +
         std::to_string(in) + "\" out=\"" + std::to_string(in + length) + "\">\n" + properties +
         "  </transition>\n </tractor>\n</mlt>\n";
}


// Every transition's project, rendered by `render` (a command taking the project and the frames'
// printf pattern), frame for frame against ophost's render of the effect's defaults.
void expectProjectsRenderAsOphost(const fs::path& dir,
                                  const std::function<std::string(const fs::path&, const fs::path&)>& render) {
  constexpr int kIn = 1, kLength = 12, kLast = kIn + kLength + 1;
  const Outcome installed = run(quoted(KT3_CMAKE) + " --install " + quoted(KT3_BUILD_DIR) + " --prefix " +
                                    quoted((dir / "prefix").string()), dir);
  ASSERT_EQ(installed.status, 0) << installed.err;
  writeCard(dir / "a.png", "bars", 160, 90);
  writeCard(dir / "b.png", "rings", 160, 90);
  size_t projects = 0;
  for (const auto& entry : fs::directory_iterator(dir / "prefix/share/kdenlive/transitions")) {
    const std::string descriptor = contents(entry.path());
    const std::string named = descriptor.substr(descriptor.find("<name>") + 6);
    const std::string name = named.substr(0, named.find('<'));
    SCOPED_TRACE(name);
    ++projects;
    const fs::path frames = dir / name;
    fs::create_directories(frames);
    const fs::path pattern = frames / "%04d.png";
    const std::string consumer = " <consumer mlt_service=\"avformat\" target=\"" + pattern.string() +
                                 "\" vcodec=\"png\" pix_fmt=\"rgb24\" real_time=\"-1\"/>\n";
    const fs::path project = dir / (name + ".kdenlive");
    std::ofstream(project) << projectFor(descriptor, dir, kIn, kLength, kLast, consumer);
    const std::string command = "FREI0R_PATH=" + quoted((dir / "prefix/lib/frei0r-1").string()) + " " +
                                render(project, pattern) + " </dev/null";
    const Outcome rendered = runMelt(command, dir, frames / "0001.png");
    ASSERT_EQ(rendered.status, 0) << rendered.err;
    EXPECT_EQ(rendered.err.find("kt3 frei0r"), std::string::npos) << rendered.err;
    const std::vector<RgbImage> reference = ophostSequence(dir, name, dir / "a.png", dir / "b.png", kLength, {});
    std::vector<int> wrong;
    for (int r = 0; r <= kLength && reference.size() == kLength + 1; ++r) {
      char file[16];
      std::snprintf(file, sizeof file, "%04d.png", kIn + r + 1);
      if (!fs::exists(frames / file) || difference(readPng(frames / file), reference[static_cast<size_t>(r)]).pixels != 0) {
        wrong.push_back(r);
      }
    }
    EXPECT_TRUE(wrong.empty()) << wrong.size() << " of " << kLength + 1 << " frames differ from ophost's, the first "
                               << wrong.front();
  }
  EXPECT_EQ(projects, 8u);
}

// The tests of the editors themselves, run by `make test-editors` (KT3_EDITORS=1), which installs
// them: Debian's kdenlive and Xvfb.
#define REQUIRE_EDITORS() \
  if (std::getenv("KT3_EDITORS") == nullptr) GTEST_SKIP() << "make test-editors runs this"; \
  REQUIRE_MELT()

}  // namespace

// With the descriptors as installed, every transition a user adds in Kdenlive renders its
// defaults as ophost does, frame for frame at the transition's own length: in melt, headless.
TEST_F(Kdenlive, ProjectsOfEveryTransitionRenderInMeltAsOphost) {
  REQUIRE_MELT();
  expectProjectsRenderAsOphost(dir, [](const fs::path& project, const fs::path& pattern) {
    return "melt -quiet " + quoted(project.string()) + " -consumer " + quoted("avformat:" + pattern.string()) +
           " vcodec=png pix_fmt=rgb24 real_time=-1";
  });
}

// The same projects through Kdenlive's own renderer, as its render dialog runs them.
TEST_F(Kdenlive, ProjectsRenderThroughKdenliveRender) {
  REQUIRE_EDITORS();
  expectProjectsRenderAsOphost(dir, [](const fs::path& project, const fs::path& pattern) {
    return "QT_QPA_PLATFORM=offscreen kdenlive_render /usr/bin/melt " + quoted(project.string()) + " " +
           quoted(pattern.parent_path().string());
  });
}

// The real Kdenlive window under Xvfb, with the installed tree only: it starts, finds every one of
// our descriptors' services (it names any it cannot find), shows the compositions (a screenshot is
// left in the build tree, kdenlive_window.png, for the README), and a Halves dragged onto the
// timeline is saved with the descriptor's defaults and a progress that runs.
TEST_F(Kdenlive, TheWindowFindsEveryTransition) {
  REQUIRE_EDITORS();
  const Outcome installed = run(quoted(KT3_CMAKE) + " --install " + quoted(KT3_BUILD_DIR) + " --prefix " +
                                    quoted((dir / "prefix").string()), dir);
  ASSERT_EQ(installed.status, 0) << installed.err;
  fs::create_directories(dir / "home/run");
  fs::permissions(dir / "home/run", fs::perms::owner_all);
  const std::string display = ":" + std::to_string(150 + ::getpid() % 50);
  // TMPDIR too: Kdenlive keeps a lock file there while it starts, and takes one left behind for a crash.
  const std::string environment = "HOME=" + quoted((dir / "home").string()) + " TMPDIR=" + quoted((dir / "home").string()) + " XDG_RUNTIME_DIR=" +
                                  quoted((dir / "home/run").string()) + " DISPLAY=" + display;
  const std::string shot = (fs::path(KT3_BUILD_DIR) / "kdenlive_window.png").string();
  // Xvfb, Kdenlive in a session bus of its own, the Compositions tab clicked (its place in the
  // default layout at 1600x1000), a screenshot, and both stopped again by their process ids.
  const Outcome result = run(
      "Xvfb " + display + " -screen 0 1600x1000x24 & xvfb=$!; sleep 2; " + environment + " FREI0R_PATH=" +
          quoted((dir / "prefix/lib/frei0r-1").string()) + " XDG_DATA_DIRS=" + quoted((dir / "prefix/share").string()) +
          ":/usr/share dbus-run-session kdenlive >" + quoted((dir / "kdenlive.log").string()) + " 2>&1 & session=$!; " +
          environment + " timeout 120 xdotool search --sync --name Untitled >/dev/null; sleep 8; " + environment +
          " xdotool mousemove 122 465 click 1; sleep 2; " + environment + " GST_REGISTRY=" +
          quoted((dir / "registry.bin").string()) + " gst-launch-1.0 -q ximagesrc num-buffers=1 ! videoconvert ! "
          "videocrop right=265 bottom=165 ! pngenc ! filesink location=" + quoted(shot) + "; status=$?; " +
          // Halves (the seventh in the list) dragged onto track V2, the project saved as saved.kdenlive.
          environment + " xdotool mousemove 51 202 mousedown 1 sleep 0.3 mousemove 100 300 sleep 0.3 mousemove 250 600 "
          "sleep 0.3 mousemove 300 615 sleep 0.5 mouseup 1 sleep 2 key ctrl+s sleep 3 type --delay 20 " +
          quoted((dir / "home/saved.kdenlive").string()) + "; sleep 0.5; " + environment +
          " xdotool key Return; sleep 4; pkill -P $session; kill $session $xvfb; wait; exit $status",
      dir);
  EXPECT_EQ(result.status, 0) << result.err;
  const std::string log = contents(dir / "kdenlive.log");
  EXPECT_EQ(log.find("plugin not available: \"frei0r.kt3_"), std::string::npos) << log;
  EXPECT_NE(log.find("plugin not available"), std::string::npos) << "Kdenlive did not read its descriptors: " << log;
  EXPECT_TRUE(fs::exists(shot));

  // The saved project holds Halves with every parameter at its descriptor's default, progress
  // running 0 to 1 over the composition.
  const std::string saved = contents(dir / "home/saved.kdenlive");
  const size_t at = saved.find("<property name=\"mlt_service\">frei0r.kt3_halves</property>");
  ASSERT_NE(at, std::string::npos) << "no Halves in the saved project: " << saved;
  const std::string composition = saved.substr(at, saved.find("</transition>", at) - at);
  EXPECT_NE(composition.find("<property name=\"progress\">0=0;-1=1</property>"), std::string::npos) << composition;
  const std::string descriptor = contents(dir / "prefix/share/kdenlive/transitions/kt3_halves.xml");
  const std::regex parameter("<parameter type=\"([a-z]+)\" name=\"([a-z0-9]+)\" default=\"([^\"]*)\"");
  for (std::sregex_iterator it(descriptor.begin(), descriptor.end(), parameter), end; it != end; ++it) {
    const std::string property = "<property name=\"" + (*it)[2].str() + "\">" + savedValue((*it)[1], (*it)[3]) + "<";
    EXPECT_NE(composition.find(property), std::string::npos) << property << " not in " << composition;
  }
}
