// Loading plug-ins, and the host keeping parameter values within their descriptors' ranges.
#include <gtest/gtest.h>

#include <fstream>

#include "host_error.h"
#include "test_host.h"

using ophost::HostError;
using ophost::Plugin;

TEST(PluginLoading, RefusesWhatIsNotALoadablePlugin) {
  EXPECT_THROW(Plugin::load("/nonexistent/Nothing.so"), HostError);
  const auto notLibrary = std::filesystem::temp_directory_path() / "ophost_not_a_library.so";
  std::ofstream(notLibrary) << "not an ELF file";
  EXPECT_THROW(Plugin::load(notLibrary), HostError);
  std::filesystem::remove(notLibrary);
  // A shared library that exports neither entry.
  EXPECT_THROW(Plugin::load(std::filesystem::path(OP_PLUGIN_DIR) / "../lib/libhostcore.so"), HostError);
}

TEST(PluginLoading, OneLoadedCopyAtATimeAndFreshValuesAfterReload) {
  auto bump = optest::loadPlugin("Bump");
  EXPECT_EQ(bump->name(), "Bump");
  EXPECT_THROW(optest::loadPlugin("Bump"), HostError);
  bump->setValue(1, 7);
  bump.reset();
  bump = optest::loadPlugin("Bump");
  EXPECT_EQ(bump->value(1), 50) << "a reloaded plug-in starts from its defaults";
}

TEST(PluginValues, OutOfRangeValuesNeverReachThePlugin) {
  auto bump = optest::loadPlugin("Bump");
  bump->setValue(0, 7);
  bump->setValue(1, 100);
  EXPECT_EQ(bump->value(0), 7);
  EXPECT_EQ(bump->value(1), 100);
  try {
    bump->setValue(1, 101);
    FAIL() << "101 accepted";
  } catch (const HostError& error) {
    EXPECT_NE(std::string(error.what()).find("0..100"), std::string::npos) << error.what();
  }
  EXPECT_THROW(bump->setValue(0, 8), HostError);
  EXPECT_THROW(bump->setValue(0, -1), HostError);
  EXPECT_THROW(bump->setValue(2, 0), HostError);
  EXPECT_EQ(bump->value(0), 7);
  EXPECT_EQ(bump->value(1), 100);
  bump->resetValues();
  EXPECT_EQ(bump->value(0), 3);
  EXPECT_EQ(bump->value(1), 50);
}
