#pragma once

#include <cstdint>

namespace NFS {

// The server runs its operations one at a time and numbers them, so that
// what one operation saw of an object can be told apart from what a later
// one would see.
uint64_t BeginOperation();
uint64_t CurrentOperation();

// While one lives on a thread, a local lookup there keeps the stat it made
// to find the entry, and the object's first attributes in the same
// operation come from it instead of a second stat. Only the server's own
// lookup asks for this: it takes the attributes at once, so no cached
// object keeps a stat it will never use.
class KeepLookupStat {
 public:
  KeepLookupStat();
  ~KeepLookupStat();
  KeepLookupStat(const KeepLookupStat&) = delete;
  KeepLookupStat& operator=(const KeepLookupStat&) = delete;

  static bool Active();
  // Whether a lookup under this one kept its stat.
  bool Kept() const { return kept_; }
  static void NoteKept();

 private:
  KeepLookupStat* previous_;
  bool kept_ = false;
};

}  // namespace NFS
