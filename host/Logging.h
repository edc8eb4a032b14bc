#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Messages.h"
#include "host/Strings.h"

namespace Common {

enum LogLevel : int { kTrace = 1, kNotice = 2, kWarning = 3, kFailure = 4 };

// Where log lines go. Write may be called from any thread.
class LogSink {
 public:
  virtual ~LogSink() = default;
  virtual void Write(int level, uint32_t channel, const std::string& text) = 0;
};

// The default sink: standard error, each line with its UTC time, level and channel.
std::shared_ptr<LogSink> CreateStderrLogSink();
// Appends to a file in the same format; null when the file cannot be opened.
std::shared_ptr<LogSink> CreateFileLogSink(const std::string& path);
std::shared_ptr<LogSink> CreateTeeLogSink(std::shared_ptr<LogSink> first, std::shared_ptr<LogSink> second);

class Logger {
 public:
  // Lines below the threshold are neither formatted nor written.
  static void SetThreshold(int level);
  static int GetThreshold();
  static bool IsEnabled(int level);
  // Replaces the sink; returns the previous one. A null sink restores stderr.
  static std::shared_ptr<LogSink> SetSink(std::shared_ptr<LogSink> sink);

  static void Write(int level, uint32_t channel, const std::string& text);
};

inline void Log(int level, uint32_t channel, WStringView text) {
  if (Logger::IsEnabled(level)) Logger::Write(level, channel, ToUtf8(text));
}

// A whole error record, every record of its chain.
inline void Log(int level, uint32_t channel, const Error& error) {
  if (Logger::IsEnabled(level)) Logger::Write(level, channel, error.Describe());
}

// Fixed English trace text with placeholders, formatted only when enabled.
template <typename... Args>
void Trace(uint32_t channel, const std::string& pattern, const Args&... args) {
  if (Logger::IsEnabled(kTrace)) {
    Logger::Write(kTrace, channel, ToUtf8(FormatText(pattern, args...)));
  }
}

// Localized notice from the catalogue.
template <typename... Args>
void Notice(uint32_t channel, const Message& message, const Args&... args) {
  if (Logger::IsEnabled(kNotice)) {
    Logger::Write(kNotice, channel, ToUtf8(FormatMessage(message, args...)));
  }
}

// Localized warning from the catalogue: something works, but not as it should.
template <typename... Args>
void Warning(uint32_t channel, const Message& message, const Args&... args) {
  if (Logger::IsEnabled(kWarning)) {
    Logger::Write(kWarning, channel, ToUtf8(FormatMessage(message, args...)));
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
