#include "host/Logging.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>

namespace Common {

namespace {

// "2026-12-06T20:10:11.123Z [2] 386: text"
std::string FormatLine(int level, uint32_t channel, const std::string& text) {
  const auto now = std::chrono::system_clock::now();
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
  return fmt::format("{}.{:03}Z [{}] {}: {}\n", stamp, millis, level, channel, text);
}

class StreamLogSink : public LogSink {
 public:
  explicit StreamLogSink(std::FILE* stream, bool owned = false) : stream_(stream), owned_(owned) {}
  ~StreamLogSink() override {
    if (owned_) std::fclose(stream_);
  }
  void Write(int level, uint32_t channel, const std::string& text) override {
    const std::string line = FormatLine(level, channel, text);
    std::lock_guard lock(mutex_);
    std::fputs(line.c_str(), stream_);
    std::fflush(stream_);
  }

 private:
  std::FILE* stream_;
  bool owned_;
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

}  // namespace

std::shared_ptr<LogSink> CreateStderrLogSink() { return std::make_shared<StreamLogSink>(stderr); }

std::shared_ptr<LogSink> CreateFileLogSink(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "a");
  if (file == nullptr) return nullptr;
  return std::make_shared<StreamLogSink>(file, true);
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

void Logger::Write(int level, uint32_t channel, const std::string& text) {
  std::shared_ptr<LogSink> sink;
  {
    std::lock_guard lock(SinkMutex());
    sink = CurrentSink();
  }
  sink->Write(level, channel, text);
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
