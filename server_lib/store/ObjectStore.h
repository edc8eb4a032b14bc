#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"

namespace NFS {

// What the store remembers of one id it was given.
struct StoredObject {
  Common::WString share;
  ObjectKind kind = kInvalidKind;
  // The object's full path, share name first, as FileSystemObject::GetPath.
  Common::WString path;
};

// Remembers, on disk, the path of every id the server hands out, so that a
// handle outlives the process and the memory caches that resolved it. Only a
// hint: whoever resolves an id walks the stored path again and checks that
// it still gives this id. Safe to use from several threads.
class ObjectStore {
 public:
  // Asked by the sweep which of a slice of records still name a live object.
  // Runs on the store's own thread; true keeps the record.
  using LivenessCheck = std::function<std::vector<bool>(const std::vector<std::pair<ObjectId, StoredObject>>&)>;

  virtual ~ObjectStore() = default;
  // Queued and written with the next batch, within about a second; never
  // waits for the disk. The same id again overwrites (same id, same path).
  virtual void Record(const ObjectId& id, const StoredObject& object) = 0;
  // Queued records first, then the disk. False when the id is unknown or
  // the record cannot be read.
  virtual bool Find(const ObjectId& id, StoredObject& object) = 0;
  // Queued like Record; counts towards the next sweep.
  virtual void Forget(const ObjectId& id) = 0;
  // Writes everything queued so far and waits until it is on the disk.
  virtual void Flush() = 0;
  // The sweep asks this which records to keep: once at start, as soon as it
  // is set, and again after many Forget calls. Reset (empty) before whatever
  // it refers to is destroyed; the call waits for a running check to end.
  virtual void SetLivenessCheck(LivenessCheck check) = 0;
  // Records on the disk now (queued ones not counted).
  virtual uint64_t Count() = 0;
};

// Opens or creates the store in this folder (created with its parents,
// mode 0700). A store that cannot be opened or is damaged is moved aside
// with a warning that says where, and a new one is started; an error comes
// back only when no store can be made there at all.
Common::Error OpenObjectStore(const std::string& folder, std::shared_ptr<ObjectStore>& store);

}  // namespace NFS
