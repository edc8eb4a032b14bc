#pragma once

#include <nfsc/libnfs.h>

#include <functional>
#include <string>

namespace Tools {

// How one asynchronous libnfs call ended.
enum class CallEnd {
  Answered,        // the callback got a result; its own status is the caller's to check
  NotSent,         // libnfs refused to queue the call
  NoAnswer,        // nothing happened on the connection for the time allowed
  ConnectionLost,  // the connection failed while the call waited
  Failed,          // the callback reported an error, a cancel or libnfs's own timeout
};

struct CallResult {
  CallEnd end = CallEnd::NotSent;
  // libnfs's words: rpc_get_error for NotSent and ConnectionLost, the
  // callback's error text for Failed (empty when it gave none).
  std::string error;

  bool Answered() const { return end == CallEnd::Answered; }
};

// Queues one call with `send`, which must pass the callback and private data
// it is given to the libnfs function, and serves the connection until the
// callback has run. `answer` sees the decoded result while libnfs holds it,
// only when the call was answered.
CallResult CallAndWait(rpc_context* rpc, int timeoutMs, const std::function<int(rpc_context*, rpc_cb, void*)>& send,
                       const std::function<void(void*)>& answer = {});

// The status every MOUNT v3 and NFS v3 result begins with.
int ResultStatus(const void* result);

}  // namespace Tools
