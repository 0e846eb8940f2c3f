// ophost serve's request handling, without a browser: what the service answers for frames,
// videos, command lines and uploads, how it refuses bad requests, how later frame requests of a
// view overtake earlier ones, and the HTTP layer on a loopback port.
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include "ophost_test_support.h"
#include "preview_server.h"
#include "preview_service.h"
#include "interrupt.h"
#include "media_output.h"
#include "cards.h"
#include "grey_png.h"
#include "renderer.h"

namespace {

using ophost::serve::parseQuery;
using ophost::serve::PreviewServer;
using ophost::serve::PreviewService;
using ophost::serve::Reply;
using ophost::serve::ServiceOptions;

class ServeTest : public ophosttest::Scratch {
 protected:
  void SetUp() override {
    Scratch::SetUp();
    work = dir / "work";
    std::filesystem::create_directories(work);
  }
  std::unique_ptr<PreviewService> service(size_t uploadLimit = 1u << 20, int64_t videoFrames = 100,
                                          size_t uploadsKept = 16,
                                          const std::function<void(ServiceOptions&)>& more = {}) {
    ServiceOptions options;
    options.plugins = OP_PLUGIN_DIR;
    options.textures = OP_TEXTURE_DIR;
    options.workDirectory = work;
    options.uploadLimit = uploadLimit;
    options.videoFrameLimit = videoFrames;
    options.uploadsKept = uploadsKept;
    if (more) more(options);
    return std::make_unique<PreviewService>(options);
  }
  std::filesystem::path save(const std::string& bytes, const std::string& name) {
    const auto file = dir / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  ophost::media::RgbImage picture(const Reply& reply, const std::string& name = "reply.png") {
    EXPECT_EQ(reply.type, "image/png");
    return ophosttest::readPicture(save(reply.body, name));
  }
  std::vector<std::string> workFiles() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(work)) names.push_back(entry.path().filename().string());
    return names;
  }
  std::filesystem::path work;
};

std::string field(const std::string& json, const std::string& name) {
  const std::regex pattern("\"" + name + "\":\"((\\\\.|[^\"\\\\])*)\"");
  std::smatch match;
  if (!std::regex_search(json, match, pattern)) return "";
  return std::regex_replace(match[1].str(), std::regex("\\\\(.)"), "$1");
}

// Runs an exported command line in `directory`, the program of this build standing for "ophost".
int runCommandLine(const std::string& line, const std::filesystem::path& directory) {
  EXPECT_EQ(line.rfind("ophost render ", 0), 0u) << line;
  const std::string command = "cd '" + directory.string() + "' && '" + std::string(OPHOST_PROGRAM) + "'" +
                              line.substr(6) + " --quiet --plugins '" + OP_PLUGIN_DIR + "' --textures '" +
                              OP_TEXTURE_DIR + "' >/dev/null 2>&1";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
}

// The page builds its controls from these: names, catalogue labels, ranges, entries (directions
// with their arrows) and defaults as the descriptors have them; a colour's default as the exact
// packed word, so an untouched picker changes nothing.
TEST_F(ServeTest, DescribesThePluginsForThePage) {
  REQUIRE_PLUGIN("Halves");
  REQUIRE_PLUGIN("Ripples");
  REQUIRE_PLUGIN("Fog");
  auto svc = service();
  const Reply reply = svc->plugins();
  ASSERT_EQ(reply.status, 200);
  EXPECT_EQ(reply.type, "application/json; charset=utf-8");
  for (const std::string expected : {
           "{\"name\":\"share\",\"label\":\"Share of input 1 while holding\",\"kind\":\"slider\",\"min\":1,\"max\":99,"
           "\"default\":50,\"unit\":\"% of the frame\"}",
           "{\"name\":\"fill\",\"label\":\"Fill\",\"kind\":\"choice\",\"style\":\"text\",\"entries\":[{\"name\":\"push\","
           "\"text\":\"Push\"},{\"name\":\"squeeze\",\"text\":\"Squeeze\"}],\"default\":\"push\"}",
           "{\"name\":\"up-left\",\"text\":\"\u2196 up-left\",\"code\":8,\"arrow\":\"\u2196\"}",
           "],\"default\":\"down-right\"}",  // Ripples' orientation: its default index 2
           "\"kind\":\"colour\",\"default\":\"0xEB8080FF\",\"rgb\":\"#FFFFFF\"",
           "\"name\":\"Fog\",", "\"inputs\":1,\"textures\":2,", "{\"name\":\"card:bars\","}) {
    EXPECT_NE(reply.body.find(expected), std::string::npos) << expected;
  }
}

// A frame from the service is the frame the host runtime renders for the same settings, for
// sliders, text and direction choices, colours, easing and frame sizes alike; moving the position
// or a setting changes it.
TEST_F(ServeTest, FramesAreTheRenderersFramesForTheSameSettings) {
  REQUIRE_PLUGIN("Halves");
  REQUIRE_PLUGIN("Ripples");
  REQUIRE_PLUGIN("Fog");
  auto svc = service();
  struct Case {
    std::string query;
    ophost::render::RenderSetup setup;
    int64_t frame;
  };
  auto setup = [](std::string plugin, std::string input0, std::string input1, std::vector<std::string> settings,
                  int64_t length) {
    ophost::render::RenderSetup s;
    s.pluginDirectory = OP_PLUGIN_DIR;
    s.textureDirectory = OP_TEXTURE_DIR;
    s.plugin = std::move(plugin);
    s.input0 = std::move(input0);
    s.input1 = std::move(input1);
    s.settings = std::move(settings);
    s.length = length;
    return s;
  };
  std::vector<Case> cases = {
      {"plugin=halves&set=share=30&set=fill=squeeze&position=10",
       setup("Halves", "card:bars", "card:rings", {"share=30", "fill=squeeze"}, 50), 10},
      {"plugin=Halves", setup("Halves", "card:bars", "card:rings", {}, 50), 25},
      {"plugin=Ripples&input0=card:grid&input1=card:gradient&set=direction=%E2%86%96&length=20&position=7"
       "&size=320x180",
       setup("Ripples", "card:grid", "card:gradient", {"direction=up-left"}, 20), 7},
      {"plugin=Fog&set=colour=%23FF8000&set=amount=80&input1=card:rings&position=40",
       setup("Fog", "card:bars", "", {"colour=#FF8000", "amount=80"}, 50), 40},
  };
  cases[2].setup.size = ophost::render::FrameSize{320, 180};
  cases.push_back({"plugin=Halves&easing=ease-in&position=20", setup("Halves", "card:bars", "card:rings", {}, 50), 20});
  cases.back().setup.easing = ophost::render::Easing::parse("ease-in");

  std::vector<ophost::media::RgbImage> seen;
  for (size_t n = 0; n < cases.size(); ++n) {
    const Reply reply = svc->frame(parseQuery(cases[n].query));
    ASSERT_EQ(reply.status, 200) << cases[n].query << ": " << reply.body;
    const auto served = picture(reply, "served" + std::to_string(n) + ".png");
    // Through a PNG as well, so both went through the same 8-bit encoding.
    std::unique_ptr<ophost::media::RgbImage> direct;
    {
      // The service holds the plug-in's library while its renderer is kept: let it go first.
      svc.reset();
      ophost::render::FrameRenderer renderer(cases[n].setup);
      auto sink = ophost::media::createSink((dir / "direct.png").string(),
                                            {renderer.geometry().stride, renderer.geometry().rows, 25, 18});
      sink->add(renderer.render(cases[n].frame), 0);
      sink->finish();
    }
    svc = service();
    const auto expected = ophosttest::readPicture(dir / "direct.png");
    EXPECT_EQ(served.width, expected.width) << cases[n].query;
    EXPECT_EQ(served.rgb, expected.rgb) << cases[n].query;
    seen.push_back(served);
  }
  EXPECT_NE(seen[0].rgb, seen[1].rgb);  // position and settings both moved
  const auto moved = picture(svc->frame(parseQuery("plugin=Halves&set=share=30&set=fill=squeeze&position=11")));
  EXPECT_NE(moved.rgb, seen[0].rgb);
}

// Everything a request can get wrong is answered with a status and a message that names it; the
// service goes on serving afterwards.
TEST_F(ServeTest, RefusesBadRequestsWithAClearStatus) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service();
  const std::vector<std::tuple<std::string, int, std::string>> cases = {
      {"", 400, "plugin=NAME"},
      {"plugin=Nope", 404, "no plug-in \"Nope\" (there are: "},
      {"plugin=Halves&set=share=300", 400, "300 is outside its range 1..99"},
      {"plugin=Halves&set=share=ten", 400, "not a whole number"},
      {"plugin=Halves&set=fill=sideways", 400, "no entry \"sideways\" (its entries: push, squeeze"},
      {"plugin=Halves&set=colour=%23FFFFFF", 400, "Halves has no parameter \"colour\""},
      {"plugin=Halves&set=share", 400, "write PARAM=VALUE"},
      {"plugin=Halves&position=51", 400, "position: 51 is outside 0..50"},
      {"plugin=Halves&length=0", 400, "length: 0 is outside 1..100000"},
      {"plugin=Halves&length=-5", 400, "outside"},
      {"plugin=Halves&input0=card:nothing", 400, "no built-in picture \"card:nothing\""},
      {"plugin=Halves&input0=/etc/passwd", 400, "neither a built-in picture (card:NAME) nor an upload"},
      {"plugin=Halves&input1=upload:99", 404, "upload:99 is not (or no longer) uploaded"},
      {"plugin=Halves&easing=wobbly", 400, "unknown curve"},
      {"plugin=Halves&size=99999x2", 400, "--size 99999x2"},
  };
  for (const auto& [query, status, message] : cases) {
    for (const Reply& reply : {svc->frame(parseQuery(query)), svc->commandLine(parseQuery(query))}) {
      EXPECT_EQ(reply.status, status) << query;
      EXPECT_NE(reply.body.find(message), std::string::npos) << query << ": " << reply.body;
    }
  }
  const Reply tooLong = svc->video(parseQuery("plugin=Halves&length=100"));
  EXPECT_EQ(tooLong.status, 400);
  EXPECT_NE(tooLong.body.find("at most 100 frames"), std::string::npos) << tooLong.body;
  EXPECT_EQ(svc->frame(parseQuery("plugin=Halves")).status, 200);
}

// A frame request that a later one of the same view overtook while it waited is dropped; other
// views and requests without a view are never dropped.
TEST_F(ServeTest, LaterRequestsOfAViewSupersedeEarlierOnes) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service();
  const auto early = parseQuery("plugin=Halves&position=5&view=a");
  const auto late = parseQuery("plugin=Halves&position=6&view=a");
  const auto other = parseQuery("plugin=HALVES&position=7&view=b");
  const auto first = svc->issueTicket(early);
  const auto second = svc->issueTicket(late);
  const auto third = svc->issueTicket(other);
  ASSERT_TRUE(first && second && third);
  const Reply dropped = svc->renderFrame(early, first);
  EXPECT_EQ(dropped.status, 409);
  EXPECT_NE(dropped.body.find("superseded"), std::string::npos);
  EXPECT_EQ(svc->renderFrame(late, second).status, 200);
  EXPECT_EQ(svc->renderFrame(other, third).status, 200);
  EXPECT_FALSE(svc->issueTicket(parseQuery("plugin=Halves&position=5")));

  // The page's own numbers order its requests, whatever order they arrive in: an older request
  // arriving last is dropped and the newest is still rendered.
  const auto newest = parseQuery("plugin=Halves&position=8&view=d&seq=12");
  const auto older = parseQuery("plugin=Halves&position=9&view=d&seq=11");
  const auto newestTicket = svc->issueTicket(newest);
  const auto olderTicket = svc->issueTicket(older);
  EXPECT_EQ(svc->renderFrame(older, olderTicket).status, 409);
  EXPECT_EQ(svc->renderFrame(newest, newestTicket).status, 200);
  EXPECT_EQ(svc->frame(parseQuery("plugin=Halves&view=d&seq=x")).status, 400);
  EXPECT_FALSE(svc->issueTicket(parseQuery("plugin=Nope&view=a")));

  // Many at once from several threads: each view's last request is always rendered.
  std::vector<std::thread> threads;
  std::vector<int> statuses(8);
  std::vector<std::optional<PreviewService::Ticket>> tickets(8);
  std::vector<ophost::serve::Query> queries;
  for (int n = 0; n < 8; ++n) {
    queries.push_back(parseQuery("plugin=Halves&view=c&position=" + std::to_string(n)));
    tickets[n] = svc->issueTicket(queries[n]);
  }
  for (int n = 0; n < 8; ++n) {
    threads.emplace_back([&, n] { statuses[n] = svc->renderFrame(queries[n], tickets[n]).status; });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(statuses[7], 200);
  for (int n = 0; n < 7; ++n) EXPECT_EQ(statuses[n], 409) << n;
}

// The exported command line renders, with `ophost render` itself, the very PNG the page shows;
// names that need quoting are quoted, so the line can be pasted into a shell as it stands.
TEST_F(ServeTest, ExportedCommandLineRendersTheSameFrame) {
  REQUIRE_PLUGIN("Halves");
  REQUIRE_PLUGIN("Bump");
  auto svc = service();
  const std::string query = "plugin=Halves&set=share=30&set=layout=left-return&length=40&position=12&easing=ease";
  const Reply command = svc->commandLine(parseQuery(query));
  ASSERT_EQ(command.status, 200) << command.body;
  const std::string line = field(command.body, "frame");
  EXPECT_EQ(line,
            "ophost render Halves --input0 card:bars --input1 card:rings --set fill=push --set layout=left-return "
            "--set share=30 --set hold=50 --length 40 --easing ease --position 12 --output halves_12.png");
  EXPECT_EQ(field(command.body, "video"),
            "ophost render Halves --input0 card:bars --input1 card:rings --set fill=push --set layout=left-return "
            "--set share=30 --set hold=50 --length 40 --easing ease --output halves.mp4");
  const Reply served = svc->frame(parseQuery(query));
  ASSERT_EQ(served.status, 200);
  ASSERT_EQ(runCommandLine(line, dir), 0) << line;
  std::ifstream in(dir / "halves_12.png", std::ios::binary);
  const std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(written, served.body);

  // An upload appears under the name the user gave it, quoted for the shell.
  const Reply frame = svc->frame(parseQuery("plugin=Bump&size=64x48"));
  ASSERT_EQ(frame.status, 200);
  const Reply upload = svc->upload("it's mine.png", frame.body);
  ASSERT_EQ(upload.status, 200) << upload.body;
  const Reply withUpload = svc->commandLine(parseQuery("plugin=Bump&input1=" + field(upload.body, "id")));
  EXPECT_NE(field(withUpload.body, "frame").find("--input1 'it'\\''s mine.png'"), std::string::npos)
      << withUpload.body;
  EXPECT_EQ(ophost::serve::shellQuote("colour=#FF8000"), "colour=#FF8000");
  EXPECT_EQ(ophost::serve::shellQuote("#x"), "'#x'");
  EXPECT_EQ(ophost::serve::shellQuote("a b"), "'a b'");
  EXPECT_EQ(ophost::serve::shellQuote("$(rm)"), "'$(rm)'");
  EXPECT_EQ(ophost::serve::shellQuote("=ls"), "'=ls'");  // some shells expand a leading '='
  EXPECT_EQ(ophost::serve::shellQuote("~"), "'~'");
  EXPECT_EQ(ophost::serve::shellQuote(""), "''");

  // Pasted into a shell in a directory holding the upload under the user's own name, the line
  // reads that file, whatever the name: shell syntax, a leading dash, or one that looks like a
  // built-in picture.
  for (const std::string name : {"card:bars", "-q $HOME `x` \"y\".png", "a'b'c;|&.png", "--set"}) {
    const Reply kept = svc->upload(name, frame.body);
    ASSERT_EQ(kept.status, 200) << name << ": " << kept.body;
    const std::string asked = "plugin=Bump&input0=" + field(kept.body, "id") + "&position=30";
    const Reply shown = svc->frame(parseQuery(asked));
    ASSERT_EQ(shown.status, 200) << name << ": " << shown.body;
    const std::string exported = field(svc->commandLine(parseQuery(asked)).body, "frame");
    const auto run = dir / "run";
    std::filesystem::remove_all(run);
    std::filesystem::create_directories(run);
    std::ofstream(run / name, std::ios::binary) << frame.body;
    ASSERT_EQ(runCommandLine(exported, run), 0) << exported;
    std::ifstream back(run / "bump_30.png", std::ios::binary);
    const std::string rendered((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>());
    EXPECT_EQ(rendered, shown.body) << exported;
  }
}

// A picture uploaded as the texture shapes the wipe the page shows (unlike the directory's), the
// exported line carries it and, run where the picture lies under its own name, renders that very
// frame; an effect without a texture, or a texture that is no upload, is refused.
TEST_F(ServeTest, AnUploadedTextureShapesTheWipeAndIsExported) {
  REQUIRE_PLUGIN("Sunbeams");
  REQUIRE_PLUGIN("Halves");
  auto svc = service();
  ophost::Picture gradient(ophost::Geometry::exact(64, 4), 1);
  for (size_t n = 0; n < gradient.bytes.size(); ++n) gradient.bytes[n] = static_cast<uint8_t>(n % 64 * 4);
  ophost::textures::writeGreyPng(dir / "grey.png", gradient);
  std::ifstream in(dir / "grey.png", std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const Reply kept = svc->upload("my grey.png", bytes);
  ASSERT_EQ(kept.status, 200) << kept.body;
  const std::string asked = "plugin=Sunbeams&size=64x48&position=20&texture=" + field(kept.body, "id");
  const Reply shaped = svc->frame(parseQuery(asked));
  ASSERT_EQ(shaped.status, 200) << shaped.body;
  EXPECT_NE(shaped.body, svc->frame(parseQuery("plugin=Sunbeams&size=64x48&position=20")).body);
  const std::string line = field(svc->commandLine(parseQuery(asked)).body, "frame");
  EXPECT_NE(line.find(" --texture 'sunbeams=my grey.png' "), std::string::npos) << line;
  const auto run = dir / "run";
  std::filesystem::create_directories(run);
  std::filesystem::copy_file(dir / "grey.png", run / "my grey.png");
  ASSERT_EQ(runCommandLine(line, run), 0) << line;
  std::ifstream back(run / "sunbeams_20.png", std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(back)), std::istreambuf_iterator<char>()), shaped.body);
  const Reply halves = svc->frame(parseQuery("plugin=Halves&texture=" + field(kept.body, "id")));
  EXPECT_EQ(halves.status, 400);
  EXPECT_NE(halves.body.find("Halves reads no texture"), std::string::npos) << halves.body;
  EXPECT_EQ(svc->frame(parseQuery("plugin=Sunbeams&texture=/etc/passwd")).status, 400);
}

// Uploads: a picture or clip is kept and can be rendered from; a broken file, an empty one or one
// over the limit is refused and leaves nothing behind; old uploads make way for new ones.
TEST_F(ServeTest, UploadsAreCheckedKeptAndLetGo) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service(200000, 100, 2);
  const Reply still = svc->frame(parseQuery("plugin=Halves&size=96x54"));
  ASSERT_EQ(still.status, 200);

  const Reply broken = svc->upload("broken.png", std::string("\x89PNG\r\n\x1a\n") + "a PNG signature, and then no picture");
  EXPECT_EQ(broken.status, 415);
  EXPECT_NE(broken.body.find("broken.png: "), std::string::npos) << broken.body;
  EXPECT_EQ(broken.body.find(work.string()), std::string::npos) << broken.body;  // no inner paths
  EXPECT_EQ(svc->upload("empty.png", "").status, 400);
  for (const std::string& name : {std::string(), std::string("/"), std::string(".."), std::string("x/.."),
                                 std::string("."), std::string("line\nbreak.png"), std::string("nul\0.png", 8)}) {
    EXPECT_EQ(svc->upload(name, still.body).status, 400) << name;
  }
  const Reply large = svc->upload("large.png", std::string(200001, 'x'));
  EXPECT_EQ(large.status, 413);
  EXPECT_NE(large.body.find("200000 bytes"), std::string::npos) << large.body;
  EXPECT_TRUE(workFiles().empty());

  // A playlist naming a clip on this disk is refused, whatever it is called.
  const std::string clipOnDisk = (dir / "private.mp4").string();
  {
    auto sink = ophost::media::createSink(clipOnDisk, {32, 18, 25, 18});
    sink->add(ophost::media::drawCard("white", 32, 18), 0);
    sink->finish();
  }
  const Reply playlist = svc->upload("holiday.png", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + clipOnDisk + "\n#EXT-X-ENDLIST\n");
  EXPECT_EQ(playlist.status, 415);
  EXPECT_EQ(playlist.body, "holiday.png: an HLS playlist, which is not read: only plain picture and video files "
                           "are, never files that name other files to open\n");
  // A name that is not UTF-8, or that would reorder the text it is shown in, is shown cleaned.
  const Reply odd = svc->upload("b\xff\xe2\x80\xaegnp.png", still.body);
  ASSERT_EQ(odd.status, 200) << odd.body;
  EXPECT_NE(odd.body.find("\"name\":\"b\xef\xbf\xbdgnp.png\""), std::string::npos) << odd.body;
  ASSERT_EQ(workFiles().size(), 1u);
  svc.reset();
  svc = service(200000, 100, 2);

  const Reply kept = svc->upload("../../elsewhere/shot.PNG", still.body);
  ASSERT_EQ(kept.status, 200) << kept.body;
  EXPECT_EQ(field(kept.body, "name"), "shot.PNG");
  EXPECT_NE(kept.body.find("\"width\":96,\"height\":54,\"still\":true"), std::string::npos) << kept.body;
  const std::string id = field(kept.body, "id");
  const Reply rendered = svc->frame(parseQuery("plugin=Halves&input0=" + id + "&position=0"));
  ASSERT_EQ(rendered.status, 200) << rendered.body;
  EXPECT_EQ(picture(rendered).width, 96);
  ASSERT_EQ(workFiles().size(), 1u);

  // A clip: the MP4 the service renders is itself an upload the service takes.
  const Reply clip = svc->video(parseQuery("plugin=Halves&size=96x54&length=8"));
  ASSERT_EQ(clip.status, 200) << clip.body;
  EXPECT_EQ(clip.type, "video/mp4");
  EXPECT_EQ(clip.download, "halves.mp4");
  EXPECT_EQ(clip.body.substr(4, 4), "ftyp");
  const Reply clipUpload = svc->upload("clip.mp4", clip.body);
  ASSERT_EQ(clipUpload.status, 200) << clipUpload.body;
  EXPECT_NE(clipUpload.body.find("\"still\":false"), std::string::npos) << clipUpload.body;

  ASSERT_EQ(svc->upload("third.png", still.body).status, 200);
  EXPECT_EQ(svc->frame(parseQuery("plugin=Halves&input0=" + id)).status, 404);  // the oldest went
  EXPECT_EQ(workFiles().size(), 2u);
  svc.reset();
  EXPECT_TRUE(workFiles().empty());
}

// A clip of 16:15 pixels (PAL's 4:3 picture in 720 columns) is previewed with its pixels' shape:
// the frame says it, for the page to show the picture 4:3, and so do the PNG and the MP4 download;
// a frame of a size asked for has square pixels, as `ophost render --size` writes it.
TEST_F(ServeTest, FramesOfNonSquarePixelsSayTheirShape) {
  REQUIRE_PLUGIN("Halves");
  const auto pal = dir / "pal.mp4";
  const auto made = ophosttest::runFfmpeg({"-f", "lavfi", "-i", "testsrc2=s=90x72:r=25:d=0.2,setsar=16/15", "-c:v",
                                           "libx264", pal.string()});
  ASSERT_EQ(made.status, 0) << made.err;
  std::ifstream in(pal, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto svc = service();
  const Reply upload = svc->upload("pal.mp4", bytes);
  ASSERT_EQ(upload.status, 200) << upload.body;
  const std::string input0 = "plugin=Halves&length=4&input0=" + field(upload.body, "id");
  const ophost::media::PixelAspect pal16by15(16, 15);

  const Reply frame = svc->frame(parseQuery(input0 + "&position=2"));
  ASSERT_EQ(frame.status, 200) << frame.body;
  EXPECT_EQ(frame.pixelAspect, pal16by15);
  save(frame.body, "frame.png");
  EXPECT_EQ(ophost::media::openSource((dir / "frame.png").string())->pixelAspect(), pal16by15);
  const Reply clip = svc->video(parseQuery(input0));
  ASSERT_EQ(clip.status, 200) << clip.body;
  save(clip.body, "clip.mp4");
  EXPECT_EQ(ophost::media::openSource((dir / "clip.mp4").string())->pixelAspect(), pal16by15);

  const Reply sized = svc->frame(parseQuery(input0 + "&size=96x72"));
  ASSERT_EQ(sized.status, 200) << sized.body;
  EXPECT_TRUE(sized.pixelAspect.square());
}

// The HTTP layer on a free loopback port: the page, the answers under /api/, refusals given a
// message, and the server still serving after each bad request.
TEST_F(ServeTest, ServesThePageAndTheApiOverHttp) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service(100000);
  PreviewServer server(*svc);
  const int port = server.bind("127.0.0.1", 0);
  ASSERT_GT(port, 0);
  std::thread serving([&] { server.run(); });
  {
    httplib::Client client("127.0.0.1", port);
    client.set_default_headers({{ophost::serve::kApiRequestHeader, "1"}});
    client.set_connection_timeout(5);
    client.set_read_timeout(60);
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_NE(page->body.find("<script src=\"/app.js\">"), std::string::npos);
    auto script = client.Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->get_header_value("Content-Type").rfind("text/javascript", 0), 0u);

    // "set=share=30" with its second '=' unescaped, as a hand-typed URL has it.
    auto frame = client.Get("/api/frame?plugin=Halves&set=share=30&position=3");
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->status, 200) << frame->body;
    EXPECT_EQ(frame->get_header_value("Content-Type"), "image/png");
    auto same = svc->frame(parseQuery("plugin=Halves&set=share%3D30&position=3"));
    EXPECT_EQ(frame->body, same.body);

    auto unknown = client.Get("/api/frame?plugin=Nope");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->status, 404);
    auto nowhere = client.Get("/secret/../../etc/passwd");
    ASSERT_TRUE(nowhere);
    EXPECT_EQ(nowhere->status, 404);
    auto broken = client.Post("/api/upload?name=broken.jpg", "GIF89a nonsense", "application/octet-stream");
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->status, 415);
    EXPECT_NE(broken->body.find("broken.jpg"), std::string::npos);
    auto large = client.Post("/api/upload?name=large.png", std::string(300000, 'x'), "application/octet-stream");
    ASSERT_TRUE(large);
    EXPECT_EQ(large->status, 413);
    EXPECT_NE(large->body.find("too large"), std::string::npos) << large->body;
    auto video = client.Get("/api/video?plugin=Halves&length=4&size=64x36");
    ASSERT_TRUE(video);
    EXPECT_EQ(video->status, 200);
    EXPECT_EQ(video->get_header_value("Content-Disposition"), "attachment; filename=\"halves.mp4\"");

    auto still = client.Get("/api/plugins");
    ASSERT_TRUE(still);
    EXPECT_EQ(still->status, 200);
  }
  server.stop();
  serving.join();
}

// No request may make the server render more than a preview needs: a frame over the pixel limit,
// asked for or as input 0's own size, is refused (its command line is still given), and so is a
// download whose frames hold more pixels together than the server renders for one.
TEST_F(ServeTest, BoundsWhatOneRequestMayRender) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service(1u << 20, 3000);
  const Reply huge = svc->frame(parseQuery("plugin=Halves&size=8192x8192"));
  EXPECT_EQ(huge.status, 400);
  EXPECT_NE(huge.body.find("size 8192x8192: a frame has at most 16777216 pixels"), std::string::npos) << huge.body;
  EXPECT_EQ(svc->commandLine(parseQuery("plugin=Halves&size=8192x8192")).status, 200);
  const Reply longAndLarge = svc->video(parseQuery("plugin=Halves&size=4096x4096&length=199"));
  EXPECT_EQ(longAndLarge.status, 400);
  EXPECT_NE(longAndLarge.body.find("at most 164 frames of this size"), std::string::npos) << longAndLarge.body;
  const Reply still = svc->frame(parseQuery("plugin=Halves&size=96x54"));
  ASSERT_EQ(still.status, 200);

  svc.reset();  // it holds the plug-in's library
  svc = service(1u << 20, 100, 16, [](ServiceOptions& o) {
    o.framePixelLimit = 96 * 54 - 1;
    o.videoPixelLimit = 10 * 64 * 36;
  });
  const Reply kept = svc->upload("shot.png", still.body);
  ASSERT_EQ(kept.status, 200) << kept.body;
  const std::string upload = "plugin=Halves&input0=" + field(kept.body, "id");
  const Reply own = svc->frame(parseQuery(upload));
  EXPECT_EQ(own.status, 400);
  EXPECT_NE(own.body.find("input 0's own size 96x54: a frame has at most 5183 pixels"), std::string::npos) << own.body;
  EXPECT_EQ(svc->video(parseQuery(upload + "&length=2")).status, 400);
  EXPECT_EQ(svc->frame(parseQuery(upload + "&size=64x36")).status, 200);
  EXPECT_EQ(svc->video(parseQuery("plugin=Halves&size=64x36&length=9")).status, 200);
  const Reply eleven = svc->video(parseQuery("plugin=Halves&size=64x36&length=10"));
  EXPECT_EQ(eleven.status, 400);
  EXPECT_NE(eleven.body.find("at most 10 frames of this size"), std::string::npos) << eleven.body;
  EXPECT_EQ(workFiles().size(), 1u);  // the upload; nothing of the renders
}

// Once the server is told to stop (the signal sets the interrupt flag), a download under way ends
// at its next frame and leaves no file, and no further frame is rendered.
TEST_F(ServeTest, StopsRendersUnderWayWhenTheServerStops) {
  REQUIRE_PLUGIN("Halves");
  struct Reset {
    ~Reset() { ophost::render::interruptFlag().store(false); }
  } reset;
  auto svc = service(1u << 20, 3000);
  auto download = std::async(std::launch::async, [&] {
    return svc->video(parseQuery("plugin=Halves&size=64x36&length=2999"));
  });
  auto writing = [&] {  // the MP4 being written, under a temporary name
    for (const auto& name : workFiles()) {
      if (name.find(".mp4") != std::string::npos) return true;
    }
    return false;
  };
  while (!writing() && download.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
  }
  ophost::render::interruptFlag().store(true);
  const Reply stopped = download.get();
  EXPECT_EQ(stopped.status, 503) << stopped.body;
  EXPECT_NE(stopped.body.find("stopping"), std::string::npos) << stopped.body;
  EXPECT_TRUE(workFiles().empty());
  EXPECT_EQ(svc->frame(parseQuery("plugin=Halves&size=64x36")).status, 503);
}

// A render whose client has gone stops at its next frame, and leaves nothing; renders wait for
// one of a bounded number of places (a request finding too many waiting is refused at once);
// renderers are let go beyond the number kept, and when idle.
TEST_F(ServeTest, RendersAreBoundedAndEndWithTheirClients) {
  REQUIRE_PLUGIN("Halves");
  REQUIRE_PLUGIN("Ripples");
  auto svc = service(1u << 20, 3000, 16, [](ServiceOptions& o) {
    o.rendersAtOnce = 1;
    o.rendersWaiting = 0;
    o.renderersKept = 1;
    o.rendererIdleTime = std::chrono::hours(1);
  });
  int asked = 0;
  const Reply left = svc->video(parseQuery("plugin=Halves&size=64x36&length=2999"), [&] { return ++asked <= 3; });
  EXPECT_EQ(left.status, 499) << left.body;
  EXPECT_EQ(asked, 4);  // three frames rendered, then no more
  EXPECT_TRUE(workFiles().empty());

  std::atomic<bool> present{true};
  auto download = std::async(std::launch::async, [&] {
    return svc->video(parseQuery("plugin=Halves&size=64x36&length=2999"), [&] { return present.load(); });
  });
  while (workFiles().empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Reply busy = svc->frame(parseQuery("plugin=Ripples&size=64x36"));
  EXPECT_EQ(busy.status, 503);
  EXPECT_NE(busy.body.find("busy"), std::string::npos) << busy.body;
  present = false;
  EXPECT_EQ(download.get().status, 499);
  EXPECT_EQ(svc->renderersHeld(), 1u);
  ASSERT_EQ(svc->frame(parseQuery("plugin=Ripples&size=64x36")).status, 200);
  EXPECT_EQ(svc->renderersHeld(), 1u);  // Halves' went for Ripples'
  svc.reset();

  svc = service(1u << 20, 100, 16, [](ServiceOptions& o) { o.rendererIdleTime = std::chrono::milliseconds(0); });
  ASSERT_EQ(svc->frame(parseQuery("plugin=Halves&size=64x36")).status, 200);
  svc->releaseIdleRenderers();
  EXPECT_EQ(svc->renderersHeld(), 0u);
}

// Runs `ophost serve --port 0` with its temporary directory under `temporary`; its standard
// output is read from `out`.
struct Serving {
  pid_t pid = -1;
  int out = -1;
  std::string printed;
  Serving(const std::filesystem::path& temporary) {
    int pipe[2];
    if (::pipe(pipe) != 0) return;
    std::vector<std::string> environment = {"TMPDIR=" + temporary.string(), "PATH=/usr/bin:/bin"};
    std::vector<std::string> arguments = {OPHOST_PROGRAM, "serve",          "--port", "0", "--plugins",
                                          OP_PLUGIN_DIR,  "--textures", OP_TEXTURE_DIR};
    std::vector<char*> envp, argv;
    for (auto& e : environment) envp.push_back(e.data());
    for (auto& a : arguments) argv.push_back(a.data());
    envp.push_back(nullptr);
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
      dup2(pipe[1], 1);
      close(pipe[0]);
      close(pipe[1]);
      execve(argv[0], argv.data(), envp.data());
      _exit(127);
    }
    close(pipe[1]);
    out = pipe[0];
  }
  ~Serving() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    if (out >= 0) close(out);
  }
  // The port it printed (0 when it ended or printed none within a minute).
  int port() {
    const std::regex address("http://127\\.0\\.0\\.1:([0-9]+)/");
    std::smatch match;
    for (int waited = 0; waited < 600 && !std::regex_search(printed, match, address); ++waited) {
      pollfd ready{out, POLLIN, 0};
      if (poll(&ready, 1, 100) == 1) {
        char buffer[256];
        const ssize_t got = read(out, buffer, sizeof buffer);
        if (got <= 0) return 0;
        printed.append(buffer, static_cast<size_t>(got));
      }
    }
    return std::regex_search(printed, match, address) ? std::stoi(match[1]) : 0;
  }
  // Its exit status, -1 when a signal ended it.
  int end() {
    int raw = 0;
    waitpid(pid, &raw, 0);
    pid = -1;
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  }
};

// `ophost serve` stops on SIGTERM whenever it comes: while it is still starting, and while an MP4
// download is being rendered; either way it ends normally and leaves nothing in the temporary
// directory.
TEST_F(ServeTest, StopsOnASignalAtAnyMomentAndLeavesNothingBehind) {
  REQUIRE_PLUGIN("Halves");
  const auto temporary = dir / "tmp";
  std::filesystem::create_directories(temporary);
  auto empty = [&] { return std::filesystem::is_empty(temporary); };
  {
    // As soon as its directory exists: it has not listened yet.
    Serving serving(temporary);
    ASSERT_GT(serving.pid, 0);
    while (empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(serving.pid, SIGTERM);
    EXPECT_EQ(serving.end(), 0) << serving.printed;
    EXPECT_TRUE(empty());
  }
  {
    Serving serving(temporary);
    const int port = serving.port();
    ASSERT_GT(port, 0) << serving.printed;
    auto download = std::async(std::launch::async, [port] {
      httplib::Client client("127.0.0.1", port);
      client.set_default_headers({{ophost::serve::kApiRequestHeader, "1"}});
      client.set_read_timeout(600);
      auto reply = client.Get("/api/video?plugin=Halves&size=64x36&length=2999");
      return reply ? reply->status : 0;
    });
    auto writing = [&] {
      for (const auto& entry : std::filesystem::recursive_directory_iterator(temporary)) {
        if (entry.path().filename().string().find(".mp4") != std::string::npos) return true;
      }
      return false;
    };
    while (!writing() && download.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready) {
    }
    kill(serving.pid, SIGTERM);
    EXPECT_EQ(serving.end(), 0) << serving.printed;
    EXPECT_NE(download.get(), 200);
    EXPECT_TRUE(empty());
  }
}

// A stop asked for before the server runs is not lost: run() then returns at once.
TEST_F(ServeTest, AStopBeforeTheServerRunsIsKept) {
  REQUIRE_PLUGIN("Halves");
  auto svc = service();
  PreviewServer server(*svc);
  ASSERT_GT(server.bind("127.0.0.1", 0), 0);
  server.stop();
  auto running = std::async(std::launch::async, [&] { server.run(); });
  const bool returned = running.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
  EXPECT_TRUE(returned) << "run() went on serving after stop()";
  if (!returned) server.stop();
  running.get();
  server.stop();  // once more, after it ended: harmless
}

}  // namespace
