// The ledger's guard-page mode: every buffer ends directly at an inaccessible page (and starts after
// one), so an access past either end stops the process at the access, while everything a plug-in
// does inside its buffers - and everything the host reports about it - is as in the ordinary mode.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdint>

#include "image_ledger.h"
#include "test_host.h"

using namespace optest;

namespace {

bool mentions(const std::vector<std::string>& lines, const std::string& words) {
  for (const std::string& line : lines)
    if (line.find(words) != std::string::npos) return true;
  return false;
}

size_t bufferBytes(const OpImage* image, size_t bytesPerPixel) {
  return static_cast<size_t>(image->stride) * static_cast<size_t>(image->rows) * bytesPerPixel;
}

// Pictures whose buffer sizes are not multiples of a page, and one-byte textures of odd sizes.
const Picture kPictures[] = {
    noisePicture(Geometry{13, 7, 2, 1, 9, 5}, 1),
    noisePicture(Geometry::exact(1, 1), 2),
    greyPicture(1, 1, [](int, int) { return 7; }),
    greyPicture(3, 5, [](int c, int r) { return c * r; }),
    greyPicture(181, 143, [](int c, int r) { return c ^ r; }),
};

}  // namespace

TEST(GuardPages, EveryBufferEndsAtAPageBoundaryWithItsContentIntact) {
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  ophost::ImageLedger ledger;
  for (const Picture& picture : kPictures) {
    const auto role = picture.bytesPerPixel == 1 ? ophost::ImageRole::Texture : ophost::ImageRole::Input;
    OpImage* image = ledger.handOut(picture, role, "image", true, true);
    const size_t bytes = bufferBytes(image, static_cast<size_t>(picture.bytesPerPixel));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(image->pixels + bytes) % page, 0u);
    EXPECT_TRUE(std::equal(picture.bytes.begin(), picture.bytes.end(), image->pixels));
    std::vector<std::string> faults;
    Picture back;
    EXPECT_EQ(ledger.takeBack(image, "opFreeImage", faults, &back), "image");
    EXPECT_TRUE(faults.empty());
    EXPECT_EQ(back, picture);
  }
}

TEST(GuardPagesDeathTest, AReadOrWriteJustPastEitherEndStopsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  for (const Picture& picture : kPictures) {
    ophost::ImageLedger ledger;
    OpImage* image = ledger.handOut(picture, ophost::ImageRole::Input, "image", true, true);
    volatile uint8_t* pixels = image->pixels;
    const size_t bytes = bufferBytes(image, static_cast<size_t>(picture.bytesPerPixel));
    // The buffer's first and last bytes can be read; one byte on, the page is not mapped.
    EXPECT_EQ(pixels[0], picture.bytes.front());
    EXPECT_EQ(pixels[bytes - 1], picture.bytes.back());
    EXPECT_DEATH(pixels[bytes] = 1, "");
    EXPECT_DEATH((void)pixels[bytes + 100], "");
    // Before the start: the bytes up to the page boundary hold the guard pattern, then a page.
    const size_t slack = reinterpret_cast<uintptr_t>(image->pixels) % page;
    EXPECT_DEATH((void)pixels[-static_cast<ptrdiff_t>(slack) - 1], "");
    std::vector<std::string> none;
    ledger.takeBack(image, "opFreeImage", none);
  }
}

TEST(GuardPages, AWriteJustBeforeTheStartIsAFault) {
  ophost::ImageLedger ledger;
  OpImage* image = ledger.handOut(kPictures[0], ophost::ImageRole::Input, "input 0", true, true);
  image->pixels[-1] ^= 0xFF;  // within the page: the pattern bytes between the page and the buffer
  std::vector<std::string> faults;
  ledger.takeBack(image, "opPutField", faults);
  EXPECT_TRUE(mentions(faults, "input 0: written before the start of its buffer"));
}

// Through a plug-in: the same calls, output and faults as without guard pages; only a write past
// the buffer, which the ordinary mode reports after the fact, now stops the process.
TEST(GuardPagesDeathTest, APlugInSeesNoDifferenceUntilItLeavesItsBuffer) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const Geometry geometry{12, 8, 2, 1, 8, 6};
  const Picture input0 = noisePicture(geometry, 1);
  const Picture input1 = noisePicture(geometry, 2);
  auto plugin = ophost::Plugin::load(testPluginPath("Misbehave"));
  plugin->setFieldProvider(fixedInputs(input0, input1));
  plugin->setTextureProvider([](const std::string&) -> std::shared_ptr<const Picture> {
    return std::make_shared<const Picture>(greyPicture(4, 3, [](int c, int r) { return c + r; }));
  });
  auto renderIn = [&](int mode, bool guardPages) {
    plugin->behaviour().guardPages = guardPages;
    plugin->setValue(0, mode);
    return plugin->render(at(5, 10));
  };
  for (int mode : {0, 1, 2, 4, 5, 10, 12}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    const ActionResult ordinary = renderIn(mode, false);
    const ActionResult guarded = renderIn(mode, true);
    EXPECT_EQ(guarded.status, ordinary.status);
    EXPECT_EQ(guarded.briefCalls(), ordinary.briefCalls());
    EXPECT_EQ(guarded.faults, ordinary.faults);
    EXPECT_EQ(guarded.output, ordinary.output);
  }
  plugin->behaviour().guardPages = true;
  plugin->setValue(0, 0);
  ASSERT_EQ(plugin->open().status, 0);
  EXPECT_TRUE(mentions(renderIn(9, true).faults, "wrote into a texture"));
  plugin->setValue(0, 0);
  expectNoFaults(plugin->close());
  EXPECT_DEATH(renderIn(6, true), "");
}
