#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "host/Assertion.h"
#include "host/Logging.h"
#include "tests/support/ScopedEnvironment.h"
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

// "DEV:INODE" of a file, as systemd sets JOURNAL_STREAM for the journal's stream.
std::string DeviceAndInode(const std::string& path) {
  struct stat file {};
  EXPECT_EQ(stat(path.c_str(), &file), 0) << path;
  return std::to_string(file.st_dev) + ":" + std::to_string(file.st_ino);
}

std::string ReadAll(const std::string& path) {
  std::ifstream file(path);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// Standard error goes to a new file of the test's while alive.
class RedirectedStderr {
 public:
  explicit RedirectedStderr(const std::string& path) {
    std::fflush(stderr);
    saved_ = dup(STDERR_FILENO);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(fd, 0) << path;
    dup2(fd, STDERR_FILENO);
    close(fd);
  }
  ~RedirectedStderr() {
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
  }
  RedirectedStderr(const RedirectedStderr&) = delete;
  RedirectedStderr& operator=(const RedirectedStderr&) = delete;

 private:
  int saved_ = -1;
};

// Whether this machine runs journald: an entry sent to it then leaves
// nothing on the stream.
bool JournaldListens() { return std::filesystem::exists("/run/systemd/journal/socket"); }

const std::regex kTimestamped(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d\] \d+: )");

TEST(JournalStreamTest, OnlyTheDeviceAndInodeOfTheDescriptorMatch) {
  TestSupport::TempDir dir;
  const std::string journal = (dir.Path() / "journal").string();
  const std::string other = (dir.Path() / "other").string();
  dir.WriteFile("journal", "");
  dir.WriteFile("other", "");
  const int journalFd = open(journal.c_str(), O_RDONLY | O_CLOEXEC);
  const int otherFd = open(other.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(journalFd, 0);
  ASSERT_GE(otherFd, 0);
  const std::string value = DeviceAndInode(journal);

  EXPECT_TRUE(Common::IsJournalStream(value.c_str(), journalFd));
  EXPECT_FALSE(Common::IsJournalStream(value.c_str(), otherFd));
  struct stat file {};
  ASSERT_EQ(fstat(journalFd, &file), 0);
  const std::string device = std::to_string(file.st_dev);
  const std::string inode = std::to_string(file.st_ino);
  // The same inode number on another device is another file.
  EXPECT_FALSE(Common::IsJournalStream((std::to_string(file.st_dev + 1) + ":" + inode).c_str(), journalFd));
  EXPECT_FALSE(Common::IsJournalStream((device + ":" + std::to_string(file.st_ino + 1)).c_str(), journalFd));
  EXPECT_FALSE(Common::IsJournalStream(nullptr, journalFd));
  const std::vector<std::string> garbage = {
      "", ":", "abc", device, device + ":", ":" + inode, value + "x", " " + value, value + ":1", "-" + value,
      device + ":+" + inode, device + ":0x" + inode};
  for (const auto& text : garbage) {
    EXPECT_FALSE(Common::IsJournalStream(text.c_str(), journalFd)) << text;
  }
  EXPECT_FALSE(Common::IsJournalStream(value.c_str(), -1));
  close(journalFd);
  close(otherFd);
}

TEST(JournalStreamTest, StderrSinkWritesPrioritiesOnlyWhenStderrIsTheJournal) {
  TestSupport::TempDir dir;
  const std::string journal = (dir.Path() / "journal").string();
  const std::string redirected = (dir.Path() / "redirected").string();
  {
    RedirectedStderr stderrToJournal(journal);
    TestSupport::ScopedEnvironment stream("JOURNAL_STREAM", DeviceAndInode(journal).c_str());
    EXPECT_TRUE(Common::StderrIsJournal());
    Common::CreateStderrLogSink()->Write(Common::kNotice, 256, "Serving.");
    Common::PrintToStderr(Common::kFailure, "Cannot start the NFS server:\n0x00000002: outer\n  0x00000001: inner");
  }
  const std::string journalText = ReadAll(journal);
  if (JournaldListens()) {
    EXPECT_EQ(journalText.rfind("<5>256: Serving.\n", 0), 0u) << journalText;
  } else {
    EXPECT_EQ(journalText,
              "<5>256: Serving.\n<3>Cannot start the NFS server:\n<3>0x00000002: outer\n<3>  0x00000001: inner\n");
  }

  // A JOURNAL_STREAM inherited by a process whose stderr goes elsewhere.
  {
    RedirectedStderr stderrElsewhere(redirected);
    TestSupport::ScopedEnvironment stream("JOURNAL_STREAM", DeviceAndInode(journal).c_str());
    EXPECT_FALSE(Common::StderrIsJournal());
    Common::CreateStderrLogSink()->Write(Common::kWarning, 386, "Slow disk.");
    Common::PrintToStderr(Common::kFailure, "Cannot start the NFS server:\n0x00000002: outer");
  }
  std::istringstream plain(ReadAll(redirected));
  std::string line;
  ASSERT_TRUE(std::getline(plain, line));
  EXPECT_TRUE(std::regex_search(line, kTimestamped)) << line;
  EXPECT_TRUE(line.ends_with(" [3] 386: Slow disk.")) << line;
  // A failed start's text is printed as it is, as before.
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(plain), {}),
            "Cannot start the NFS server:\n0x00000002: outer\n");

  TestSupport::ScopedEnvironment unset("JOURNAL_STREAM", nullptr);
  EXPECT_FALSE(Common::StderrIsJournal());
}

TEST(JournalFormatTest, EveryLevelHasItsPriorityAndNoTimeOfItsOwn) {
  TestSupport::TempDir dir;
  const std::string path = (dir.Path() / "stream").string();
  std::FILE* stream = std::fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  {
    const auto sink = Common::CreateStreamLogSink(stream, true);
    sink->Write(Common::kFailure, 610, "Failed.");
    sink->Write(Common::kWarning, 386, "Warned.");
    sink->Write(Common::kNotice, 256, "Noticed.");
    sink->Write(Common::kTrace, 386, "Traced [2] 386: x");
  }
  std::fclose(stream);
  EXPECT_EQ(ReadAll(path), "<3>610: Failed.\n<4>386: Warned.\n<5>256: Noticed.\n<7>386: Traced [2] 386: x\n");

  // Without the journal the same stream keeps the time and level.
  stream = std::fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  Common::CreateStreamLogSink(stream, false)->Write(Common::kWarning, 386, "Warned.");
  std::fclose(stream);
  const std::string plain = ReadAll(path);
  EXPECT_TRUE(std::regex_search(plain, kTimestamped)) << plain;
  EXPECT_TRUE(plain.ends_with(" [3] 386: Warned.\n")) << plain;
}

// journald makes an entry of each line of its stream: a chain goes to it as
// one entry, or, with no journald to take it, as lines that each keep the
// priority.
TEST(JournalFormatTest, AChainIsOneEntryOrLinesThatEachKeepThePriority) {
  TestSupport::TempDir dir;
  const std::string path = (dir.Path() / "stream").string();
  std::FILE* stream = std::fopen(path.c_str(), "w");
  ASSERT_NE(stream, nullptr);
  {
    auto previous = Common::Logger::SetSink(Common::CreateStreamLogSink(stream, true));
    const Common::Error chain(2, u"outer\nFORGED-LINE", Common::Error(1, u"inner"));
    Common::Log(Common::kFailure, 610, chain);
    Common::Logger::SetSink(previous);
  }
  std::fclose(stream);
  const std::string text = ReadAll(path);
  if (JournaldListens() && text.empty()) return;
  std::istringstream lines(text);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line.rfind("<3>610: 0x00000002: outer\\x0aFORGED-LINE (", 0), 0u) << line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line.rfind("<3>610:   0x00000001: inner (", 0), 0u) << line;
  EXPECT_FALSE(std::getline(lines, line)) << line;
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
