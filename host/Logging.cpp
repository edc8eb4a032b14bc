#include "host/Logging.h"

#include <atomic>
#include <cstdio>

namespace Common {

namespace {

class StderrLogSink : public LogSink {
 public:
  void Write(int level, uint32_t channel, const std::string& text) override {
    std::lock_guard lock(mutex_);
    std::fprintf(stderr, "[%d] %u: %s\n", level, channel, text.c_str());
  }

 private:
  std::mutex mutex_;
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

std::shared_ptr<LogSink> CreateStderrLogSink() { return std::make_shared<StderrLogSink>(); }

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
