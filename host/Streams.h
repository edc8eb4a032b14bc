#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "host/Addons.h"
#include "host/Commands.h"
#include "host/Records.h"

namespace Core {

// Where the items of a stream go: one watcher's queue. Push is called on
// whatever thread raised the item (a client's request, say) and never waits
// for the watcher; an item that finds the queue full is dropped and counted.
class StreamSink {
 public:
  virtual ~StreamSink() = default;
  virtual void Push(Record item) = 0;
};

// A watcher's hold on a stream. Destroying it unsubscribes: once the
// destructor has returned, the stream no longer calls the sink.
class StreamSubscription {
 public:
  virtual ~StreamSubscription() = default;
};

// A named stream of items that a module offers to watchers of the running
// host (file events, say). Its name is GetName().
class StreamAddon : public Addon {
 public:
  void* CastTo(std::string_view) override { return nullptr; }
  // Starts delivering items to the sink; throws Common::Error when the
  // stream cannot be watched.
  virtual std::unique_ptr<StreamSubscription> Subscribe(HostContext& context, std::shared_ptr<StreamSink> sink) = 0;
};

// The streams of the host's modules, by name, with how many watchers each has.
class Streams {
 public:
  virtual ~Streams() = default;
  // Throws "Cannot find the stream '{0}'." or the stream's own error.
  virtual std::unique_ptr<StreamSubscription> Subscribe(const std::string& name, std::shared_ptr<StreamSink> sink) = 0;
  // Subscriptions of that stream that have not been destroyed yet.
  virtual size_t CountWatchers(const std::string& name) const = 0;
};

std::unique_ptr<Streams> CreateStreams(const AddonRegistry& addons, HostContext context);

}  // namespace Core
