#include "server_lib/core/Operations.h"

#include <atomic>

namespace NFS {

namespace {

std::atomic<uint64_t> g_operation{0};
thread_local ClientLookup* t_keep = nullptr;

}  // namespace

uint64_t BeginOperation() { return ++g_operation; }

uint64_t CurrentOperation() { return g_operation.load(); }

ClientLookup::ClientLookup() : previous_(t_keep) { t_keep = this; }

ClientLookup::~ClientLookup() { t_keep = previous_; }

bool ClientLookup::Active() { return t_keep != nullptr; }

void ClientLookup::NoteKept() {
  if (t_keep) t_keep->kept_ = true;
}

}  // namespace NFS
