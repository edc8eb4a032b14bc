#pragma once

#include <cstdint>

namespace NFS {

// The server runs its operations one at a time and numbers them, so that
// what one operation saw of an object can be told apart from what a later
// one would see.
uint64_t BeginOperation();
uint64_t CurrentOperation();

// While one lives on a thread, the local lookup made there is a client's
// LOOKUP, which is worth two things other lookups (checks before a create,
// a rename) are not: the stat that found the entry is kept, so the
// object's first attributes in the same operation need no second stat (the
// server takes them at once, so no cached object keeps a stat it never
// uses); and an id that is not remembered is computed in one batch with
// those of its folder's other entries, which a walk looks up next.
class ClientLookup {
 public:
  ClientLookup();
  ~ClientLookup();
  ClientLookup(const ClientLookup&) = delete;
  ClientLookup& operator=(const ClientLookup&) = delete;

  static bool Active();
  // Whether a lookup under this one kept its stat.
  bool Kept() const { return kept_; }
  static void NoteKept();

 private:
  ClientLookup* previous_;
  bool kept_ = false;
};

}  // namespace NFS
