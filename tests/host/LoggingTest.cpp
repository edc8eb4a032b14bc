#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>

#include "host/Assertion.h"
#include "host/Logging.h"
#include "tests/support/TempDir.h"

namespace {

size_t Count(const std::string& text, char c) { return static_cast<size_t>(std::count(text.begin(), text.end(), c)); }

bool IsValidUtf8(const std::string& text) { return Common::ToUtf8(Common::FromUtf8(text)) == text; }

TEST(EscapeLogTextTest, ControlBytesBecomeHexAndEverythingElseStays) {
  EXPECT_EQ(Common::EscapeLogText("a\nb\r\t\x1b[31m\x7f", 100), "a\\x0ab\\x0d\\x09\\x1b[31m\\x7f");
  EXPECT_EQ(Common::EscapeLogText(std::string("a\0b", 3), 100), "a\\x00b");
  const std::string plain = "caf\xc3\xa9 \\ \"quoted\" \xe4\xb8\xad";
  EXPECT_EQ(Common::EscapeLogText(plain, 100), plain);
  // Exactly at the limit is not cut.
  EXPECT_EQ(Common::EscapeLogText(std::string(256, 'y'), 256), std::string(256, 'y'));
}

TEST(EscapeLogTextTest, LongTextKeepsBothEndsAndSaysHowManyBytesAreLeftOut) {
  const std::string text = "BEGIN" + std::string(60000, 'x') + "END";
  const std::string shown = Common::EscapeLogText(text, 256);
  // Three quarters of the limit from the start, one quarter from the end.
  EXPECT_EQ(shown, "BEGIN" + std::string(187, 'x') + "...[cut, 59752 bytes]..." + std::string(61, 'x') + "END");

  // Escapes count at their escaped size and are never split.
  const std::string lines = Common::EscapeLogText(std::string(1000, '\n'), 10);
  EXPECT_EQ(lines, "\\x0a\\x0a...[cut, 998 bytes]...");
}

TEST(EscapeLogTextTest, CutsFallBetweenCharacters) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "\xc3\xa9\xe4\xb8\xad\xf0\x9f\x98\x80";
  for (const size_t limit : {255u, 256u, 257u, 258u, 1023u}) {
    const std::string shown = Common::EscapeLogText(text, limit);
    EXPECT_TRUE(IsValidUtf8(shown)) << limit;
    EXPECT_LE(shown.size(), limit + std::string("...[cut, 9000 bytes]...").size()) << limit;
  }
  // Bytes that are no text at all are still cut and shown as they are.
  const std::string shown = Common::EscapeLogText(std::string(5000, '\x80'), 100);
  EXPECT_EQ(shown, std::string(72, '\x80') + "...[cut, 4904 bytes]..." + std::string(24, '\x80'));
}

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

// A client names a file "x\nFORGED-LINE ..." or sends a name of 60 KB: every
// entry stays the lines the code meant, each of bounded length.
TEST(LoggingTest, ClientTextNeitherAddsLinesNorMakesOneHuge) {
  Common::ScopedLogCapture capture;
  const std::string forged = "x\nFORGED-LINE [4] 386: " + std::string(60000, 'y') + "\r\n";
  Common::Trace(386, "NSLFile::Remove, dir - {0}, name - {1}", u"/share", forged);
  Common::Notice(386, Common::Message{0x9002, "Mounting share '{0}'."}, Common::FromUtf8(forged));
  Common::Log(Common::kWarning, 386, Common::FromUtf8(forged));
  const Common::Error chain(2, u"Failed to remove '" + Common::FromUtf8(forged) + u"'.",
                            Common::Error(1, Common::FromUtf8(forged)));
  Common::Log(Common::kFailure, 386, chain);

  const auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 4u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Count(lines[i].text, '\n'), 0u) << i;
    EXPECT_NE(lines[i].text.find("x\\x0aFORGED-LINE [4] 386: yyy"), std::string::npos) << i;
    EXPECT_LE(lines[i].text.size(), Common::kLogLineBytes + 32) << i;
  }
  // Placeholder arguments are cut on their own, so the pattern stays whole.
  EXPECT_EQ(lines[0].text.rfind("NSLFile::Remove, dir - /share, name - x\\x0aFORGED-LINE", 0), 0u);
  EXPECT_LE(lines[0].text.size(), std::string("NSLFile::Remove, dir - /share, name - ").size() +
                                      Common::kLogArgumentBytes + 32);
  EXPECT_TRUE(lines[1].text.ends_with("\\x0d\\x0a'.")) << lines[1].text;
  // The chain keeps one line per record, and only that.
  EXPECT_EQ(Count(lines[3].text, '\n'), 1u);
  EXPECT_EQ(lines[3].text.rfind("0x00000002: Failed to remove 'x\\x0aFORGED", 0), 0u);
  EXPECT_NE(lines[3].text.find("\n  0x00000001: x\\x0aFORGED"), std::string::npos);
  EXPECT_LE(lines[3].text.size(), 2 * (Common::kLogLineBytes + 256));
  // What the operator reads in command answers is the record itself.
  EXPECT_NE(chain.Describe().find(forged), std::string::npos);
}

TEST(LoggingTest, FileSinkStartsEveryLineOfAChainWithItsOwnPrefix) {
  TestSupport::TempDir dir;
  const std::string path = (dir.Path() / "host.log").string();
  auto previous = Common::Logger::SetSink(Common::CreateFileLogSink(path));
  const Common::Error chain(2, u"outer\nFORGED-LINE", Common::Error(1, u"inner\n\nFORGED-LINE"));
  Common::Log(Common::kFailure, 610, chain);
  Common::Log(Common::kFailure, 610, u"one\ntwo");
  Common::Logger::SetSink(previous);  // closes the file

  std::ifstream file(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u);
  const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[4\] 610: )");
  for (const auto& line : lines) EXPECT_TRUE(std::regex_search(line, prefix)) << line;
  EXPECT_NE(lines[0].find(": 0x00000002: outer\\x0aFORGED-LINE ("), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(":   0x00000001: inner\\x0a\\x0aFORGED-LINE ("), std::string::npos) << lines[1];
  EXPECT_TRUE(lines[2].ends_with(": one\\x0atwo")) << lines[2];
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
