#include "host/Logging.h"

#include <errno.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <sys/uio.h>
// No CODE_FILE= of this sender on each entry: an error record names its own place.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>

namespace Common {

namespace {

bool IsControl(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }
bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

size_t EscapedSize(std::string_view bytes) {
  size_t size = 0;
  for (const unsigned char byte : bytes) size += IsControl(byte) ? 4 : 1;
  return size;
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const unsigned char byte : bytes) {
    if (IsControl(byte)) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    } else {
      out += static_cast<char>(byte);
    }
  }
}

// A UTF-8 character is at most four bytes: a cut looks no further for the
// end of one, whatever the bytes are.
constexpr size_t kMaxCharacterBytes = 4;

std::string LogRecordText(std::string_view message) { return EscapeLogText(message, kLogLineBytes); }

// `prefix` before every line of the text.
std::string PrefixLines(const std::string& prefix, std::string_view text) {
  std::string lines;
  size_t start = 0;
  while (true) {
    const size_t end = text.find('\n', start);
    lines += prefix;
    lines.append(text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    lines += '\n';
    if (end == std::string_view::npos) return lines;
    start = end + 1;
  }
}

// "2026-12-06T20:10:11.123Z [2] 386: " before every line of the text.
std::string FormatLines(int level, uint32_t channel, const std::string& text) {
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  return PrefixLines(fmt::format("{}.{:03}Z [{}] {}: ", stamp, millis, level, channel), text);
}

bool ParseDecimal(std::string_view text, uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// One journal entry however many lines the message has; false when journald
// cannot be reached (no socket, as outside systemd). libsystemd drops an
// entry without a word when the socket is missing, hence the look first.
bool SendToJournal(int priority, const std::string& message) {
  struct stat journald {};
  if (stat("/run/systemd/journal/socket", &journald) != 0 || !S_ISSOCK(journald.st_mode)) return false;
  const char* identifier = program_invocation_short_name;
  const std::string fields[] = {"MESSAGE=" + message, fmt::format("PRIORITY={}", priority),
                                fmt::format("SYSLOG_IDENTIFIER={}", *identifier != '\0' ? identifier : "nfs_host")};
  iovec vectors[std::size(fields)];
  for (size_t i = 0; i < std::size(fields); ++i) {
    vectors[i] = iovec{const_cast<char*>(fields[i].data()), fields[i].size()};
  }
  return sd_journal_sendv(vectors, static_cast<int>(std::size(fields))) >= 0;
}

// journald reads a stream line by line, so a chain written there would become
// one entry per record: it goes to the journal's own socket instead, and to
// the stream, each line with its "<N>", only when that cannot be reached.
std::string JournalLines(int priority, const std::string& prefix, const std::string& text) {
  if (text.find('\n') != std::string::npos && SendToJournal(priority, prefix + text)) return {};
  return PrefixLines(fmt::format("<{}>{}", priority, prefix), text);
}

class StreamLogSink : public LogSink {
 public:
  StreamLogSink(std::FILE* stream, bool owned, bool journal) : stream_(stream), owned_(owned), journal_(journal) {}
  ~StreamLogSink() override {
    if (owned_) std::fclose(stream_);
  }
  void Write(int level, uint32_t channel, const std::string& text) override {
    const std::string lines = journal_ ? JournalLines(JournalPriority(level), fmt::format("{}: ", channel), text)
                                       : FormatLines(level, channel, text);
    if (lines.empty()) return;
    std::lock_guard lock(mutex_);
    std::fwrite(lines.data(), 1, lines.size(), stream_);
    std::fflush(stream_);
  }

 private:
  std::FILE* stream_;
  bool owned_;
  bool journal_;
  std::mutex mutex_;
};

class TeeLogSink : public LogSink {
 public:
  TeeLogSink(std::shared_ptr<LogSink> first, std::shared_ptr<LogSink> second)
      : first_(std::move(first)), second_(std::move(second)) {}
  void Write(int level, uint32_t channel, const std::string& text) override {
    first_->Write(level, channel, text);
    second_->Write(level, channel, text);
  }

 private:
  std::shared_ptr<LogSink> first_;
  std::shared_ptr<LogSink> second_;
};

std::atomic<int> g_threshold{kNotice};

std::mutex& SinkMutex() {
  static std::mutex mutex;
  return mutex;
}

std::shared_ptr<LogSink>& CurrentSink() {
  static std::shared_ptr<LogSink> sink = CreateStderrLogSink();
  return sink;
}

void WriteToSink(int level, uint32_t channel, const std::string& text) {
  std::shared_ptr<LogSink> sink;
  {
    std::lock_guard lock(SinkMutex());
    sink = CurrentSink();
  }
  sink->Write(level, channel, text);
}

}  // namespace

std::shared_ptr<LogSink> CreateStderrLogSink() { return CreateStreamLogSink(stderr, StderrIsJournal()); }

std::shared_ptr<LogSink> CreateStreamLogSink(std::FILE* stream, bool journal) {
  return std::make_shared<StreamLogSink>(stream, false, journal);
}

std::shared_ptr<LogSink> CreateFileLogSink(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return nullptr;
  return std::make_shared<StreamLogSink>(file, true, false);
}

bool IsJournalStream(const char* journalStream, int fd) {
  if (journalStream == nullptr) return false;
  const std::string_view text(journalStream);
  const size_t colon = text.find(':');
  uint64_t device = 0;
  uint64_t inode = 0;
  if (colon == std::string_view::npos || !ParseDecimal(text.substr(0, colon), device) ||
      !ParseDecimal(text.substr(colon + 1), inode)) {
    return false;
  }
  struct stat file {};
  return fstat(fd, &file) == 0 && file.st_dev == device && file.st_ino == inode;
}

bool StderrIsJournal() { return IsJournalStream(std::getenv("JOURNAL_STREAM"), STDERR_FILENO); }

int JournalPriority(int level) {
  switch (level) {
    case kFailure:
      return 3;  // LOG_ERR
    case kWarning:
      return 4;  // LOG_WARNING
    case kNotice:
      return 5;  // LOG_NOTICE
    default:
      return 7;  // LOG_DEBUG
  }
}

void PrintToStderr(int level, const std::string& text) {
  const std::string lines = StderrIsJournal() ? JournalLines(JournalPriority(level), "", text) : text + '\n';
  if (lines.empty()) return;
  std::fwrite(lines.data(), 1, lines.size(), stderr);
  std::fflush(stderr);
}

std::shared_ptr<LogSink> CreateTeeLogSink(std::shared_ptr<LogSink> first, std::shared_ptr<LogSink> second) {
  return std::make_shared<TeeLogSink>(std::move(first), std::move(second));
}

void Logger::SetThreshold(int level) { g_threshold = level; }
int Logger::GetThreshold() { return g_threshold; }
bool Logger::IsEnabled(int level) { return level >= g_threshold; }

std::shared_ptr<LogSink> Logger::SetSink(std::shared_ptr<LogSink> sink) {
  std::lock_guard lock(SinkMutex());
  auto previous = CurrentSink();
  CurrentSink() = sink ? std::move(sink) : CreateStderrLogSink();
  return previous;
}

std::string EscapeLogText(std::string_view text, size_t limit) {
  std::string out;
  const size_t escaped = EscapedSize(text);
  if (escaped <= limit) {
    out.reserve(escaped);
    AppendEscaped(out, text);
    return out;
  }
  // The beginning says what the text is, the end often why it failed.
  const size_t headBudget = limit - limit / 4;
  const size_t tailBudget = limit / 4;
  size_t head = 0;
  for (size_t used = 0; head < text.size();) {
    size_t next = head + 1;
    while (next < text.size() && next - head < kMaxCharacterBytes && IsContinuation(text[next])) ++next;
    const size_t cost = EscapedSize(text.substr(head, next - head));
    if (used + cost > headBudget) break;
    used += cost;
    head = next;
  }
  // The text is longer than both budgets together: the two ends never meet.
  size_t tail = text.size();
  for (size_t used = 0; tail > head;) {
    size_t start = tail - 1;
    while (start > head && tail - start < kMaxCharacterBytes && IsContinuation(text[start])) --start;
    const size_t cost = EscapedSize(text.substr(start, tail - start));
    if (used + cost > tailBudget) break;
    used += cost;
    tail = start;
  }
  out.reserve(limit + 32);
  AppendEscaped(out, text.substr(0, head));
  out += fmt::format("...[cut, {} bytes]...", tail - head);
  AppendEscaped(out, text.substr(tail));
  return out;
}

void Logger::Write(int level, uint32_t channel, const std::string& text) {
  WriteToSink(level, channel, EscapeLogText(text, kLogLineBytes));
}

void Logger::Write(int level, uint32_t channel, const Error& error) {
  WriteToSink(level, channel, error.Describe(&LogRecordText));
}

class ScopedLogCapture::Sink : public LogSink {
 public:
  void Write(int level, uint32_t channel, const std::string& text) override {
    std::lock_guard lock(mutex);
    lines.push_back(LogLine{level, channel, text});
  }
  mutable std::mutex mutex;
  std::vector<LogLine> lines;
};

ScopedLogCapture::ScopedLogCapture()
    : sink_(std::make_shared<Sink>()), previousThreshold_(Logger::GetThreshold()) {
  previous_ = Logger::SetSink(sink_);
  Logger::SetThreshold(kTrace);
}

ScopedLogCapture::~ScopedLogCapture() {
  Logger::SetSink(previous_);
  Logger::SetThreshold(previousThreshold_);
}

std::vector<LogLine> ScopedLogCapture::Lines() const {
  std::lock_guard lock(sink_->mutex);
  return sink_->lines;
}

std::vector<std::string> ScopedLogCapture::Texts(int level, uint32_t channel) const {
  std::vector<std::string> texts;
  for (const auto& line : Lines()) {
    if (line.level == level && line.channel == channel) texts.push_back(line.text);
  }
  return texts;
}

bool ScopedLogCapture::Contains(const std::string& text) const {
  for (const auto& line : Lines()) {
    if (line.text == text) return true;
  }
  return false;
}

void ScopedLogCapture::Clear() {
  std::lock_guard lock(sink_->mutex);
  sink_->lines.clear();
}

}  // namespace Common
