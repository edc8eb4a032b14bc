#include <gtest/gtest.h>

#include "host/Assertion.h"
#include "host/Logging.h"

namespace {

TEST(LoggingTest, CaptureSeesLevelsChannelsAndWholeChains) {
  Common::ScopedLogCapture capture;
  Common::Trace(386, "NSLFile::Lookup, dir - {0}, name - {1}", u"/share", std::string("a.txt"));
  constexpr Common::Message kNotice{0x9001, "Mounting share '{0}'."};
  Common::Notice(386, kNotice, u"/share");
  const Common::Error chain(2, u"outer", Common::Error(1, u"inner"));
  Common::Log(Common::kFailure, 610, chain);

  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(capture.Texts(Common::kTrace, 386),
            std::vector<std::string>{"NSLFile::Lookup, dir - /share, name - a.txt"});
  EXPECT_EQ(capture.Texts(Common::kNotice, 386), std::vector<std::string>{"Mounting share '/share'."});
  EXPECT_EQ(lines[2].channel, 610u);
  EXPECT_NE(lines[2].text.find("outer"), std::string::npos);
  EXPECT_NE(lines[2].text.find("inner"), std::string::npos);
}

TEST(LoggingTest, ThresholdDropsLowerLevelsAndCaptureRestoresIt) {
  Common::Logger::SetThreshold(Common::kNotice);
  {
    Common::ScopedLogCapture capture;
    EXPECT_TRUE(Common::Logger::IsEnabled(Common::kTrace));
    Common::Logger::SetThreshold(Common::kWarning);
    Common::Trace(386, "dropped");
    Common::Log(Common::kWarning, 386, u"kept");
    EXPECT_EQ(capture.Lines().size(), 1u);
  }
  EXPECT_EQ(Common::Logger::GetThreshold(), Common::kNotice);
}

TEST(AssertionTest, ReportsConditionFileAndLineAndContinues) {
  Common::ScopedAssertionCapture capture;
  int fallbacks = 0;
  const int value = 1;
  if (!COMMON_ASSERT(0 == value)) ++fallbacks;
  if (!COMMON_ASSERT(1 == value)) ++fallbacks;
  EXPECT_EQ(fallbacks, 1);
  const auto reports = capture.Reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].rfind("Assertion failed: 0 == value, file ", 0), 0u) << reports[0];
  EXPECT_NE(reports[0].find("LoggingTest.cpp, line "), std::string::npos);
}

}  // namespace
