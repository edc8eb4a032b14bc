#include <fmt/format.h>

#include "host/Logging.h"
#include "server_lib/cache/AssocHandlesCache.h"
#include "server_lib/cache/DispatchedHandlesCache.h"
#include "server_lib/cache/MRUHandlesCache.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

namespace {

std::string AddressOf(const std::shared_ptr<FileSystemObject>& object) {
  return fmt::format("{}", static_cast<const void*>(object.get()));
}

}  // namespace

std::shared_ptr<HandlesCache> CreateHandlesCache() { return std::make_shared<DispatchedHandlesCache>(); }

// --- AssocHandlesCache

std::shared_ptr<FileSystemObject> AssocHandlesCache::GetObject(const ObjectId& id) {
  const auto it = objects_.find(id);
  return it != objects_.end() ? it->second : nullptr;
}

void AssocHandlesCache::AddObject(const std::shared_ptr<FileSystemObject>& object) {
  ObjectId id = object->GetId();
  const auto [it, inserted] = objects_.emplace(std::move(id), object);
  if (inserted) {
    Common::Trace(kLogChannel, " AssocCache::AddObject({0}, {1})", IdText(it->first),
                  Common::Lazy([&] { return AddressOf(object); }));
  }
}

std::shared_ptr<FileSystemObject> AssocHandlesCache::DelObject(const ObjectId& id) {
  const auto it = objects_.find(id);
  if (it == objects_.end()) return nullptr;
  std::shared_ptr<FileSystemObject> object = std::move(it->second);
  objects_.erase(it);
  Common::Trace(kLogChannel, " AssocCache::DelObject({0}, {1})", IdText(id),
                Common::Lazy([&] { return AddressOf(object); }));
  return object;
}

void AssocHandlesCache::Visit(Visitor& visitor) {
  for (const auto& [id, object] : objects_) visitor.VisitObject(object);
}

// --- MRUHandlesCache

bool MRUHandlesCache::KeyOf(const ObjectId& id, Key& key) {
  if (id.size() != key.size()) return false;
  std::copy(id.begin(), id.end(), key.begin());
  return true;
}

std::shared_ptr<FileSystemObject> MRUHandlesCache::GetObject(const ObjectId& id) {
  Key key;
  if (!KeyOf(id, key)) return nullptr;
  const auto found = index_.find(key);
  if (found == index_.end()) return nullptr;
  const Node node = found->second;
  const Node front = entries_.begin();
  if (node != front) {
    std::swap(*node, *front);
    index_[node->first] = node;
    found->second = front;
  }
  return front->second;
}

void MRUHandlesCache::AddObject(const std::shared_ptr<FileSystemObject>& object) {
  const ObjectId id = object->GetId();
  Key key;
  if (!KeyOf(id, key) || GetObject(id)) return;
  entries_.emplace_front(key, object);
  index_.emplace(key, entries_.begin());
  ++count_;
  Common::Trace(kLogChannel, " MRUCache::AddObject({0}, {1})", IdText(id),
                Common::Lazy([&] { return AddressOf(object); }));
}

std::shared_ptr<FileSystemObject> MRUHandlesCache::DelObject(const ObjectId& id) {
  std::shared_ptr<FileSystemObject> object = GetObject(id);
  if (!object) return nullptr;
  index_.erase(entries_.front().first);
  entries_.pop_front();
  --count_;
  Common::Trace(kLogChannel, " MRUCache::DelObject({0}, {1})", IdText(id),
                Common::Lazy([&] { return AddressOf(object); }));
  return object;
}

void MRUHandlesCache::Visit(Visitor& visitor) {
  for (const auto& entry : entries_) visitor.VisitObject(entry.second);
}

// --- DispatchedHandlesCache

DispatchedHandlesCache::DispatchedHandlesCache()
    : assoc_(std::make_unique<AssocHandlesCache>()), mru_(std::make_unique<MRUHandlesCache>()) {}

HandlesCache& DispatchedHandlesCache::For(const ObjectId& id) {
  if (GetObjectKind(id) == kFileKind) return *mru_;
  return *assoc_;
}

std::shared_ptr<FileSystemObject> DispatchedHandlesCache::GetObject(const ObjectId& id) {
  return For(id).GetObject(id);
}

void DispatchedHandlesCache::AddObject(const std::shared_ptr<FileSystemObject>& object) {
  For(object->GetId()).AddObject(object);
}

std::shared_ptr<FileSystemObject> DispatchedHandlesCache::DelObject(const ObjectId& id) {
  if (!kept_.empty() && id == kept_) return nullptr;
  return For(id).DelObject(id);
}

void DispatchedHandlesCache::Visit(Visitor& visitor) {
  assoc_->Visit(visitor);
  mru_->Visit(visitor);
}

}  // namespace NFS
