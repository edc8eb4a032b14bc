#include "host/Streams.h"

#include <map>
#include <mutex>

#include "host/HostErrors.h"

namespace Core {

namespace {

// How many subscriptions of each stream are alive; shared with them, so that
// one may end after the registry that made it.
struct WatcherCounts {
  std::mutex mutex;
  std::map<std::string, size_t> counts;

  void Change(const std::string& name, bool up) {
    std::lock_guard lock(mutex);
    if (up) {
      ++counts[name];
    } else if (--counts[name] == 0) {
      counts.erase(name);
    }
  }
};

class CountedSubscription : public StreamSubscription {
 public:
  CountedSubscription(std::unique_ptr<StreamSubscription> inner, std::shared_ptr<WatcherCounts> counts,
                      std::string name)
      : inner_(std::move(inner)), counts_(std::move(counts)), name_(std::move(name)) {
    counts_->Change(name_, true);
  }
  ~CountedSubscription() override {
    // Counted as gone only once the stream has let go of the sink.
    inner_.reset();
    counts_->Change(name_, false);
  }

 private:
  std::unique_ptr<StreamSubscription> inner_;
  std::shared_ptr<WatcherCounts> counts_;
  std::string name_;
};

class StreamsImpl : public Streams {
 public:
  StreamsImpl(const AddonRegistry& addons, HostContext context) : addons_(addons), context_(context) {}

  std::unique_ptr<StreamSubscription> Subscribe(const std::string& name, std::shared_ptr<StreamSink> sink) override {
    for (const auto& stream : addons_.Find<StreamAddon>()) {
      if (stream->GetName() != name) continue;
      HostContext context = context_;
      return std::make_unique<CountedSubscription>(stream->Subscribe(context, std::move(sink)), counts_, name);
    }
    throw Common::Error(HostErrorCode::StreamNotFound, Common::FormatMessage(HostMessages::StreamNotFound, name));
  }

  size_t CountWatchers(const std::string& name) const override {
    std::lock_guard lock(counts_->mutex);
    const auto it = counts_->counts.find(name);
    return it == counts_->counts.end() ? 0 : it->second;
  }

 private:
  const AddonRegistry& addons_;
  const HostContext context_;
  std::shared_ptr<WatcherCounts> counts_ = std::make_shared<WatcherCounts>();
};

}  // namespace

std::unique_ptr<Streams> CreateStreams(const AddonRegistry& addons, HostContext context) {
  return std::make_unique<StreamsImpl>(addons, context);
}

}  // namespace Core
