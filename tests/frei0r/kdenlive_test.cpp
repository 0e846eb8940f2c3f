// The Kdenlive descriptors shipped in bridges/frei0r/kdenlive/ are what the generator writes from
// the plug-ins' descriptors now, and each names a service that melt lists.
#include <fstream>
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
