#pragma once

#include <memory>
#include <string>

#include "commands/Names.h"
#include "host/Streams.h"

namespace NFS {

// Each subscription registers an event observer with the server-control
// component; the observer only hands the item to the watcher's sink.
class FileEventsStreamImpl : public Core::StreamAddon {
 public:
  std::string GetName() const override { return kFileEventsStreamName; }
  std::unique_ptr<Core::StreamSubscription> Subscribe(Core::HostContext& context,
                                                      std::shared_ptr<Core::StreamSink> sink) override;
};

}  // namespace NFS
