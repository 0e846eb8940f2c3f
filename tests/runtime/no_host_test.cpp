// The host libraries, loaded with no host object installed, answer null or -1 and say so once.
#include <gtest/gtest.h>

#include "host_functions.h"

TEST(HostLibrariesWithoutHost, AnswerNullOrMinusOneAndSaySoOnce) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(opGetField(0, 0), nullptr);
  EXPECT_EQ(opPutField(nullptr), -1);
  EXPECT_EQ(opChkAbort(), -1);
  EXPECT_EQ(opAllocImage(-1, -1, 1, 0), nullptr);
  opFreeImage(nullptr);
  EXPECT_EQ(txGetOpImageFile("/programs/kt3/ripples.png", 1), nullptr);
  EXPECT_EQ(loggerMessage(4, 84, "src\\Bump", 0x0B780000, " "), -1);
  const std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("no host is installed"), std::string::npos) << said;
  EXPECT_EQ(said.find("no host is installed"), said.rfind("no host is installed")) << said;
}
