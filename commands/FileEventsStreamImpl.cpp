#include <chrono>
#include <cstdio>
#include <ctime>

#include "commands/FileEventsStream.h"
#include "control_lib/server/ServerControlComponent.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/events/Events.h"

namespace NFS {

namespace {

// Now, as 2026-12-07T05:49:16.018Z.
Common::WString UtcNow() {
  const auto now = std::chrono::system_clock::now();
  const auto milliseconds =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milliseconds));
  return Common::FromUtf8(text);
}

// Runs on the thread that raised the event, under the server's observer
// lock: it copies the event into an item and hands it over, nothing more.
class FileEventsObserver : public EventObserver {
 public:
  explicit FileEventsObserver(std::shared_ptr<Core::StreamSink> sink) : sink_(std::move(sink)) {}

  Common::Error HandleEvent(const std::shared_ptr<Event>& event) override {
    const auto* file = dynamic_cast<const FileEvent*>(event.get());
    if (file == nullptr) return Common::Error::Success();
    const char16_t* kind = event->GetType() == CreateFileEvent::kType   ? u"created"
                           : event->GetType() == DeleteFileEvent::kType ? u"deleted"
                                                                        : nullptr;
    if (kind == nullptr) return Common::Error::Success();
    ObjectId id;
    file->GetId(id);
    Core::Record item("NFS::FileEvent");
    item.Set("event", Common::WString(kind));
    item.Set("time", UtcNow());
    item.Set("path", file->GetPath());
    item.Set("id", ObjectIdToString(id));
    sink_->Push(std::move(item));
    return Common::Error::Success();
  }

 private:
  std::shared_ptr<Core::StreamSink> sink_;
};

class FileEventsSubscription : public Core::StreamSubscription {
 public:
  FileEventsSubscription(std::shared_ptr<ServerControl> control, uint32_t observer)
      : control_(std::move(control)), observer_(observer) {}
  // The server notifies under the lock that Unregister takes, so no event
  // reaches the sink once this returns.
  ~FileEventsSubscription() override {
    const Common::Error result = control_->Unregister(observer_);
    if (result.IsFailure()) Common::Log(Common::kWarning, kLogChannel, result);
  }

 private:
  std::shared_ptr<ServerControl> control_;
  uint32_t observer_;
};

}  // namespace

std::unique_ptr<Core::StreamSubscription> FileEventsStreamImpl::Subscribe(Core::HostContext& context,
                                                                          std::shared_ptr<Core::StreamSink> sink) {
  auto control = context.components->Get<ServerControl>(kServerControlComponentId, kServerControlInterfaceName);
  uint32_t observer = 0;
  const Common::Error registered = control->Register(std::make_shared<FileEventsObserver>(std::move(sink)), observer);
  if (registered.IsFailure()) throw registered;
  return std::make_unique<FileEventsSubscription>(std::move(control), observer);
}

}  // namespace NFS
