#include "server_lib/cache/BoundedHandlesCache.h"

#include <algorithm>

#include "server_lib/enumerators/OpenListings.h"

namespace NFS {

namespace {

// Objects in use are moved to the front rather than let go; this many per
// trim at most, so a cache full of them costs no long scan (it then holds
// more than its capacity until they are let go).
constexpr size_t kMostPassedOver = 64;

}  // namespace

BoundedHandlesCache::BoundedHandlesCache(std::shared_ptr<HandlesCache> inner, size_t capacity,
                                         std::shared_ptr<ObjectStore> store, Common::WString share)
    : inner_(std::move(inner)), capacity_(capacity), store_(std::move(store)), share_(std::move(share)) {}

bool BoundedHandlesCache::KeyOf(const ObjectId& id, Key& key) {
  if (id.size() != key.size()) return false;
  std::copy(id.begin(), id.end(), key.begin());
  return true;
}

std::shared_ptr<FileSystemObject> BoundedHandlesCache::GetObject(const ObjectId& id) {
  std::shared_ptr<FileSystemObject> object = inner_->GetObject(id);
  Key key;
  if (object && KeyOf(id, key)) {
    const auto found = index_.find(key);
    if (found != index_.end()) recency_.splice(recency_.begin(), recency_, found->second);
  }
  return object;
}

void BoundedHandlesCache::AddObject(const std::shared_ptr<FileSystemObject>& object) {
  const ObjectId id = object->GetId();
  Key key;
  if (!KeyOf(id, key)) {
    inner_->AddObject(object);
    return;
  }
  const auto found = index_.find(key);
  if (found != index_.end()) {
    // Already held: the cache keeps its own object for the id.
    recency_.splice(recency_.begin(), recency_, found->second);
    return;
  }
  inner_->AddObject(object);
  recency_.emplace_front(key, object);
  index_.emplace(key, recency_.begin());
  if (store_) store_->Record(id, StoredObject{share_, GetObjectKind(id), object->GetPath()});
  Trim();
}

std::shared_ptr<FileSystemObject> BoundedHandlesCache::DelObject(const ObjectId& id) {
  Key key;
  if (hasKept_ && KeyOf(id, key) && key == kept_) return nullptr;
  std::shared_ptr<FileSystemObject> object = inner_->DelObject(id);
  if (KeyOf(id, key)) {
    const auto found = index_.find(key);
    if (found != index_.end()) {
      recency_.erase(found->second);
      index_.erase(found);
    }
  }
  // Deleted or renamed away: its path names nothing of it any more.
  if (store_) store_->Forget(id);
  return object;
}

void BoundedHandlesCache::KeepAlways(const ObjectId& id) {
  inner_->KeepAlways(id);
  hasKept_ = KeyOf(id, kept_);
}

bool BoundedHandlesCache::InUse(const Entry& entry) {
  // The wrapped cache and this list hold one reference each.
  if (entry.second.use_count() > 2) return true;
  if (!std::dynamic_pointer_cast<DirObject>(entry.second)) return false;
  return OpenListings::Instance().IsOpen(entry.second->GetPath());
}

void BoundedHandlesCache::Trim() {
  if (capacity_ == 0) return;
  size_t passedOver = 0;
  while (index_.size() > capacity_ && passedOver < kMostPassedOver) {
    const auto last = std::prev(recency_.end());
    if ((hasKept_ && last->first == kept_) || InUse(*last)) {
      recency_.splice(recency_.begin(), recency_, last);
      ++passedOver;
      continue;
    }
    const ObjectId id(last->first.begin(), last->first.end());
    std::shared_ptr<FileSystemObject> object = std::move(last->second);
    index_.erase(last->first);
    recency_.erase(last);
    inner_->DelObject(id);
    ++evicted_;
  }
}

}  // namespace NFS
