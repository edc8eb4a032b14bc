#include "server_lib/core/Operations.h"

#include <atomic>

namespace NFS {

namespace {

std::atomic<uint64_t> g_operation{0};
thread_local KeepLookupStat* t_keep = nullptr;

}  // namespace

uint64_t BeginOperation() { return ++g_operation; }

uint64_t CurrentOperation() { return g_operation.load(); }

KeepLookupStat::KeepLookupStat() : previous_(t_keep) { t_keep = this; }

KeepLookupStat::~KeepLookupStat() { t_keep = previous_; }

bool KeepLookupStat::Active() { return t_keep != nullptr; }

void KeepLookupStat::NoteKept() {
  if (t_keep) t_keep->kept_ = true;
}

}  // namespace NFS
