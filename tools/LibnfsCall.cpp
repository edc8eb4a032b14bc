#include "tools/LibnfsCall.h"

#include <poll.h>

#include <nfsc/libnfs-raw.h>

#include <cstring>
#include <memory>

namespace Tools {

namespace {

// What the callback reports to the waiting call. It lives on the heap: a call
// given up on stays queued in libnfs, whose callback still runs later (at the
// latest when the context is destroyed) and then only frees it.
struct CallState {
  bool done = false;
  bool answered = false;
  bool abandoned = false;
  std::string error;
  const std::function<void(void*)>* answer = nullptr;
};

void Called(rpc_context*, int status, void* data, void* privateData) {
  auto* state = static_cast<CallState*>(privateData);
  if (state->abandoned) {
    delete state;
    return;
  }
  state->done = true;
  state->answered = status == RPC_STATUS_SUCCESS;
  if (state->answered) {
    if (*state->answer) (*state->answer)(data);
  } else if (status == RPC_STATUS_ERROR && data != nullptr) {
    state->error = static_cast<const char*>(data);
  }
}

std::string ErrorOf(rpc_context* rpc) {
  const char* error = rpc_get_error(rpc);
  return error != nullptr ? error : "";
}

// Returns `result` for a call whose callback may not have run yet.
CallResult GiveUp(std::unique_ptr<CallState> state, CallResult result) {
  if (!state->done) {
    state->abandoned = true;
    state.release();
  }
  return result;
}

}  // namespace

CallResult CallAndWait(rpc_context* rpc, int timeoutMs, const std::function<int(rpc_context*, rpc_cb, void*)>& send,
                       const std::function<void(void*)>& answer) {
  auto state = std::make_unique<CallState>();
  state->answer = &answer;
  if (send(rpc, Called, state.get()) != 0) return {CallEnd::NotSent, ErrorOf(rpc)};
  while (!state->done) {
    pollfd p{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
    const int ready = poll(&p, 1, timeoutMs);
    if (ready == 0) return GiveUp(std::move(state), {CallEnd::NoAnswer, {}});
    if (ready < 0 || rpc_service(rpc, p.revents) < 0) {
      return GiveUp(std::move(state), {CallEnd::ConnectionLost, ErrorOf(rpc)});
    }
  }
  if (!state->answered) return {CallEnd::Failed, state->error};
  return {CallEnd::Answered, {}};
}

int ResultStatus(const void* result) {
  // Each result type is a struct whose first member is its status.
  int status;
  std::memcpy(&status, result, sizeof status);
  return status;
}

}  // namespace Tools
