#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <vector>

#include "host/Error.h"
#include "host/Messages.h"
#include "host/Strings.h"

namespace Common {

enum LogLevel : int { kTrace = 1, kNotice = 2, kWarning = 3, kFailure = 4 };

// Where log lines go. The text is one line, or an error chain's lines joined
// by '\n'; no line of it holds a control character. Write may be called from
// any thread.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(int level, uint32_t channel, const std::string& text) = 0;
};

// The default sink: standard error, every line with its UTC time, level and
// channel; or, when standard error is the journal, "<N>CHANNEL: text" with
// the level's syslog priority N, journald adding the time itself. Which of
// the two is decided when the sink is created.
std::shared_ptr<LogSink> CreateStderrLogSink();
// The same on another stream, in journal form when `journal` is set.
std::shared_ptr<LogSink> CreateStreamLogSink(std::FILE* stream, bool journal);
// Appends to a file in the same format; null when the file cannot be opened.
std::shared_ptr<LogSink> CreateFileLogSink(const std::string& path);
std::shared_ptr<LogSink> CreateTeeLogSink(std::shared_ptr<LogSink> first, std::shared_ptr<LogSink> second);

// Whether `fd` is the stream systemd connected to the journal: its
// JOURNAL_STREAM value ("DEV:INODE") names the file the descriptor is. An
// inherited value whose stream was redirected elsewhere does not match.
bool IsJournalStream(const char* journalStream, int fd);
bool StderrIsJournal();

// The syslog priority of a level: failure 3, warning 4, notice 5, trace 7.
int JournalPriority(int level);

// Text for the operator that is no log line (why the host could not start):
// on standard error as it is, or under the journal one entry of the level's
// priority, however many lines it has.
void PrintToStderr(int level, const std::string& text);

// Client-chosen text (names, paths, share names) reaches the log inside
// messages: it must neither start a line of its own nor make one huge. Each
// placeholder argument of a log line is cut at kLogArgumentBytes, each line's
// text (an error record's message, a whole entry) at kLogLineBytes.
inline constexpr size_t kLogArgumentBytes = 256;
inline constexpr size_t kLogLineBytes = 1024;

// Bytes below 0x20 and 0x7F become "\xHH" (a newline "\x0a"); nothing else
// changes. When the result would be longer than `limit`, its first three
// quarters and last quarter are kept, in whole characters, around
// "...[cut, N bytes]...", N being how many bytes of `text` are left out.
std::string EscapeLogText(std::string_view text, size_t limit);

class Logger {
 public:
  // Lines below the threshold are neither formatted nor written.
  static void SetThreshold(int level);
  static int GetThreshold();
  static bool IsEnabled(int level);
  // Replaces the sink; returns the previous one. A null sink restores stderr.
  static std::shared_ptr<LogSink> SetSink(std::shared_ptr<LogSink> sink);

  // One line: its text escaped and cut, whatever it holds.
  static void Write(int level, uint32_t channel, const std::string& text);
  // A whole error chain, one line per record, each record's message escaped
  // and cut.
  static void Write(int level, uint32_t channel, const Error& error);
};

namespace Detail {

// Text arguments are escaped and cut before the pattern is filled, so that
// one long name cannot push the rest of the line out.
template <typename T>
auto ToLogArg(const T& value) {
  auto converted = ToFormatArg(value);
  if constexpr (std::is_same_v<decltype(converted), std::string>) {
    return EscapeLogText(converted, kLogArgumentBytes);
  } else {
    return converted;
  }
}

template <typename... Args>
std::string FillLogText(const std::string& pattern, const Args&... args) {
  if constexpr (sizeof...(Args) == 0) {
    return ToUtf8(FromUtf8(pattern));
  } else {
    const auto converted = std::make_tuple(ToLogArg(args)...);
    return std::apply(
        [&](const auto&... values) {
          return ToUtf8(FromUtf8(FillPlaceholders(pattern, fmt::make_format_args(values...))));
        },
        converted);
  }
}

}  // namespace Detail

inline void Log(int level, uint32_t channel, WStringView text) {
  if (Logger::IsEnabled(level)) Logger::Write(level, channel, ToUtf8(text));
}

// A whole error record, every record of its chain.
inline void Log(int level, uint32_t channel, const Error& error) {
  if (Logger::IsEnabled(level)) Logger::Write(level, channel, error);
}

// Fixed English trace text with placeholders, formatted only when enabled.
template <typename... Args>
void Trace(uint32_t channel, const std::string& pattern, const Args&... args) {
  if (Logger::IsEnabled(kTrace)) Logger::Write(kTrace, channel, Detail::FillLogText(pattern, args...));
}

// Localized notice from the catalogue.
template <typename... Args>
void Notice(uint32_t channel, const Message& message, const Args&... args) {
  if (Logger::IsEnabled(kNotice)) {
    Logger::Write(kNotice, channel, Detail::FillLogText(ToUtf8(MessageCatalogue::GetText(message)), args...));
  }
}

// Localized warning from the catalogue: something works, but not as it should.
template <typename... Args>
void Warning(uint32_t channel, const Message& message, const Args&... args) {
  if (Logger::IsEnabled(kWarning)) {
    Logger::Write(kWarning, channel, Detail::FillLogText(ToUtf8(MessageCatalogue::GetText(message)), args...));
  }
}

struct LogLine {
  int level;
  uint32_t channel;
  std::string text;
};

// Collects every line (all levels) while alive, for tests; restores the
// previous sink and threshold afterwards.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<LogLine> Lines() const;
  // Texts of the lines of one level and channel, in order.
  std::vector<std::string> Texts(int level, uint32_t channel) const;
  bool Contains(const std::string& text) const;
  void Clear();

 private:
  class Sink;
  std::shared_ptr<Sink> sink_;
  std::shared_ptr<LogSink> previous_;
  int previousThreshold_;
};

}  // namespace Common
