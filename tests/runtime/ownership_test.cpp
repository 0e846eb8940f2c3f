// The host runtime's accounting of every image it hands out, driven through a plug-in built to
// misuse the host in one chosen way per run.
#include <gtest/gtest.h>

#include <algorithm>

#include "buffer_pool.h"
#include "test_host.h"
#include "grey_png.h"
#include "texture_files.h"

using namespace optest;

namespace {

bool mentions(const std::vector<std::string>& lines, const std::string& words) {
  for (const std::string& line : lines)
    if (line.find(words) != std::string::npos) return true;
  return false;
}

class Ownership : public testing::Test {
 protected:
  std::unique_ptr<ophost::Plugin> plugin = ophost::Plugin::load(testPluginPath("Misbehave"));
  Geometry geometry{12, 8, 2, 1, 8, 6};
  Picture input0 = noisePicture(geometry, 1);
  Picture input1 = noisePicture(geometry, 2);

  void SetUp() override {
    plugin->setFieldProvider(fixedInputs(input0, input1));
    plugin->setTextureProvider([](const std::string& name) -> std::shared_ptr<const Picture> {
      if (name != "t.png") return nullptr;
      return std::make_shared<const Picture>(greyPicture(4, 3, [](int c, int r) { return c + r; }));
    });
  }
  ActionResult renderIn(int mode) {
    plugin->setValue(0, mode);
    return plugin->render(at(5, 10));
  }
};

}  // namespace

TEST_F(Ownership, AWellBehavedRenderIsClean) {
  const auto result = renderIn(0);
  EXPECT_EQ(result.status, 0);
  expectNoFaults(result);
  EXPECT_EQ(result.briefCalls(),
            (std::vector<std::string>{"get 0", "get 1", "free input 1", "put input 0"}));
  ASSERT_TRUE(result.output.has_value());
  EXPECT_EQ(*result.output, input0);
  EXPECT_EQ(result.outputLabel, "input 0");
  ASSERT_EQ(result.freed.size(), 1u);
  EXPECT_EQ(result.freed[0].content, input1);
}

TEST_F(Ownership, PutStatusIsPassedBackUnchanged) {
  plugin->behaviour().putStatus = 7;
  EXPECT_EQ(renderIn(0).status, 7);
}

TEST_F(Ownership, ImagesGivenBackTwiceOrNeverHandedOutAreFaults) {
  EXPECT_TRUE(mentions(renderIn(1).faults, "input 0: given back twice"));
  EXPECT_TRUE(mentions(renderIn(2).faults, "input 1: given back twice"));
  EXPECT_TRUE(mentions(renderIn(3).faults, "never handed out"));
}

TEST_F(Ownership, ImagesLeftBehindAreFaultsAndReclaimed) {
  const auto leftInput = renderIn(4);
  EXPECT_TRUE(mentions(leftInput.faults, "input 1 was neither put nor given back"));
  const auto nothingPut = renderIn(12);
  EXPECT_TRUE(mentions(nothingPut.faults, "input 0 was neither put nor given back"));
  EXPECT_TRUE(mentions(nothingPut.faults, "input 1 was neither put nor given back"));
  // The next render starts from a clean ledger.
  expectNoFaults(renderIn(0));
}

TEST_F(Ownership, AFailedRenderLeavesItsFetchedInputForTheHostToReclaim) {
  plugin->setFieldProvider(fixedInputs(std::make_shared<const Picture>(input0), nullptr));
  const auto result = renderIn(0);
  EXPECT_EQ(result.status, -1);
  expectNoFaults(result);
  EXPECT_EQ(result.reclaimed, std::vector<std::string>{"input 0"});
  EXPECT_EQ(result.count(ophost::HostCall::Kind::PutField), 0);
}

TEST_F(Ownership, WritesOutsideTheAreaOrPastTheBufferAreFaults) {
  EXPECT_TRUE(mentions(renderIn(5).faults, "input 0: written outside the active area at column 10, row 1"));
  EXPECT_TRUE(mentions(renderIn(6).faults, "input 0: written past the end of its buffer"));
}

// A pooled picture no one else holds is handed out in its own buffer and, put, comes back as the
// output in that same buffer; one the host holds as well (a still, a held frame) is copied and
// stays as it was. The guard zones and checks hold either way.
TEST_F(Ownership, PicturesNoOneElseHoldsAreHandedOverAndStillChecked) {
  const uint8_t* given = nullptr;
  bool holdInput0 = false;
  std::shared_ptr<const Picture> held;
  plugin->setFieldProvider([&](int32_t index, uint32_t) -> std::shared_ptr<const Picture> {
    auto picture = ophost::pooledPicture(geometry, 4);
    const Picture& content = index == 0 ? input0 : input1;
    std::copy(content.bytes.begin(), content.bytes.end(), picture->bytes.begin());
    if (index == 0) given = picture->bytes.data();
    if (index == 0 && holdInput0) held = picture;
    return picture;
  });
  const auto clean = renderIn(0);
  expectNoFaults(clean);
  ASSERT_TRUE(clean.output.has_value());
  EXPECT_EQ(*clean.output, input0);
  EXPECT_EQ(clean.output->bytes.data(), given) << "copied in or out";
  ASSERT_EQ(clean.freed.size(), 1u);
  EXPECT_EQ(clean.freed[0].content, input1);
  EXPECT_TRUE(mentions(renderIn(1).faults, "input 0: given back twice"));
  EXPECT_TRUE(mentions(renderIn(5).faults, "input 0: written outside the active area at column 10, row 1"));
  EXPECT_TRUE(mentions(renderIn(6).faults, "input 0: written past the end of its buffer"));

  holdInput0 = true;
  const auto copied = renderIn(5);
  ASSERT_TRUE(held != nullptr);
  EXPECT_EQ(*held, input0) << "a picture held elsewhere was changed";
  ASSERT_TRUE(copied.output.has_value());
  EXPECT_NE(copied.output->bytes.data(), given);
  EXPECT_TRUE(mentions(copied.faults, "input 0: written outside the active area at column 10, row 1"));
}

TEST_F(Ownership, TexturesAreHeldFromOpenToCloseAndNeverWrittenOrPut) {
  plugin->setValue(0, 0);
  const auto opened = plugin->open();
  EXPECT_EQ(opened.status, 0);
  EXPECT_EQ(opened.briefCalls(), std::vector<std::string>{"texture /programs/kt3/t.png"});
  EXPECT_EQ(plugin->heldTextures(), std::vector<std::string>{"texture t.png"});
  expectNoFaults(renderIn(0));
  EXPECT_TRUE(mentions(renderIn(9).faults, "wrote into a texture"));
  plugin->setValue(0, 0);
  const auto closed = plugin->close();
  expectNoFaults(closed);
  EXPECT_TRUE(plugin->heldTextures().empty());

  plugin->setValue(0, 8);
  plugin->open();
  EXPECT_TRUE(mentions(plugin->close().faults, "texture t.png was still held after close"));
  EXPECT_TRUE(plugin->heldTextures().empty());

  plugin->setValue(0, 7);
  plugin->open();
  EXPECT_TRUE(mentions(plugin->render(at(5, 10)).faults, "as the output"));
}

TEST_F(Ownership, TexturePathsOutsideTheDirectoryAreRefused) {
  plugin->setValue(0, 11);
  const auto opened = plugin->open();
  EXPECT_EQ(opened.status, -1);
  EXPECT_TRUE(mentions(opened.notes, "refused"));
  ASSERT_EQ(opened.calls.size(), 1u);
  EXPECT_EQ(opened.calls[0].image, "null");
}

TEST_F(Ownership, TexturesComeFromTheConfiguredDirectory) {
  const auto dir = std::filesystem::temp_directory_path() / ("ophost_tex_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  plugin->setTextureDirectory(dir);
  plugin->setValue(0, 0);
  auto missing = plugin->open();
  EXPECT_EQ(missing.status, -1);
  EXPECT_TRUE(mentions(missing.notes, "no such file"));
  ophost::textures::writeGreyPng(dir / "t.png", greyPicture(5, 2, [](int c, int) { return c * 50; }));
  EXPECT_EQ(plugin->open().status, 0);
  expectNoFaults(plugin->close());
  std::filesystem::remove_all(dir);
}

TEST_F(Ownership, NewImagesAreLaidOutLikeTheInputs) {
  plugin->behaviour().newImageFill = 0x01020304;
  const auto result = renderIn(10);
  expectNoFaults(result);
  ASSERT_TRUE(result.output.has_value());
  EXPECT_EQ(result.outputLabel, "new image");
  EXPECT_EQ(result.output->geometry, geometry);
  EXPECT_EQ(result.output->pixel(0, 0), 0x01020304u) << "outside the area: the host's fill";
  EXPECT_EQ(result.output->pixel(geometry.x, geometry.y), 0x4D020304u);
  EXPECT_EQ(result.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "alloc new image",
                                                           "free input 0", "free input 1",
                                                           "put new image"}));
  plugin->behaviour().allocAnswersNull = true;
  const auto refused = renderIn(10);
  EXPECT_EQ(refused.status, -1);
  expectNoFaults(refused);
}

TEST_F(Ownership, AbortPollsAreAnsweredAndCounted) {
  std::atomic<bool> abort{true};
  plugin->behaviour().abort = &abort;
  const auto result = renderIn(13);
  EXPECT_EQ(result.count(ophost::HostCall::Kind::ChkAbort), 3);
  expectNoFaults(result);
}

TEST_F(Ownership, BothInputsOfARenderShareOneLayout) {
  Geometry other = geometry;
  other.stride += 1;
  plugin->setFieldProvider(fixedInputs(input0, noisePicture(other, 3)));
  const auto result = renderIn(0);
  EXPECT_EQ(result.status, -1);
  EXPECT_EQ(result.briefCalls(), (std::vector<std::string>{"get 0", "get 1", "log 2"}));
  EXPECT_TRUE(mentions(result.notes, "input 1 cannot be given"));
  expectNoFaults(result);
}
