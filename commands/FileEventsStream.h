#pragma once

#include <memory>
#include <string>

#include "host/Streams.h"

namespace NFS {

// The stream of files that clients create and delete, for watchers of the
// running host. Each item has the properties
//   event  "created" or "deleted"
//   time   when the server raised it, UTC: "2026-12-07T05:49:16.018Z"
//   path   the file's path under the share: "/share/docs/a.txt"
//   id     the file's object id: 34 upper-case hex digits
inline constexpr const char* kFileEventsStreamName = "NFS::FileEvents";

// Each subscription registers an event observer with the server-control
// component; the observer only hands the item to the watcher's sink.
class FileEventsStreamImpl : public Core::StreamAddon {
 public:
  std::string GetName() const override { return kFileEventsStreamName; }
  std::unique_ptr<Core::StreamSubscription> Subscribe(Core::HostContext& context,
                                                      std::shared_ptr<Core::StreamSink> sink) override;
};

}  // namespace NFS
