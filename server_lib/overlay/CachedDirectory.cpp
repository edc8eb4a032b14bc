#include "server_lib/overlay/CachedDirectory.h"

#include <vector>

#include "host/Assertion.h"
#include "server_lib/cache/CacheUpkeep.h"

namespace NFS {

CachedDirectory::CachedDirectory(std::shared_ptr<DirObject> base, std::weak_ptr<HandlesCache> cache)
    : ForwardingDirectory(std::move(base)), cache_(std::move(cache)) {}

std::shared_ptr<DirEntriesEnumerator> CachedDirectory::GetEnumerator(uint64_t id) {
  auto inner = base_->GetEnumerator(id);
  if (!inner) return nullptr;
  return std::make_shared<CachedDirEntriesEnumerator>(cache_, base_, std::move(inner));
}

std::shared_ptr<FileSystemObject> CachedDirectory::Lookup(const Common::WString& name) {
  auto object = base_->Lookup(name);
  if (object) AddToCache(cache_, object);
  return object;
}

// The caches change only once the change on disk has happened: a failed
// remove or rename leaves every handle of the objects it would have touched
// working.
void CachedDirectory::DeleteFile(const Common::WString& name) {
  auto object = base_->Lookup(name);
  base_->DeleteFile(name);
  if (object && std::dynamic_pointer_cast<FileObject>(object)) RemoveFromCache(cache_, object->GetId());
}

void CachedDirectory::DeleteDir(const Common::WString& name) {
  auto object = base_->Lookup(name);
  base_->DeleteDir(name);
  if (object && std::dynamic_pointer_cast<DirObject>(object)) RemoveNested(cache_, *object);
}

void CachedDirectory::Rename(const Common::WString& from, const Common::WString& to) {
  // Both names change meaning: the moved object and whatever it replaces.
  std::vector<std::shared_ptr<FileSystemObject>> touched;
  for (const Common::WString* name : {&from, &to}) {
    if (auto object = base_->Lookup(*name)) touched.push_back(std::move(object));
  }
  base_->Rename(from, to);
  for (const auto& object : touched) {
    if (std::dynamic_pointer_cast<DirObject>(object)) {
      RemoveNested(cache_, *object);
    } else {
      RemoveFromCache(cache_, object->GetId());
    }
  }
}

CachedDirEntriesEnumerator::CachedDirEntriesEnumerator(std::weak_ptr<HandlesCache> cache,
                                                       std::shared_ptr<DirObject> directory,
                                                       std::shared_ptr<DirEntriesEnumerator> inner)
    : cache_(std::move(cache)), directory_(std::move(directory)), inner_(std::move(inner)) {}

CachedDirEntriesEnumerator::~CachedDirEntriesEnumerator() {
  try {
    RememberObjectIds(listed_);
  } catch (...) {
    // Only a head start for the lookups to come; they compute what is missing.
  }
}

void CachedDirEntriesEnumerator::Next() {
  if (inner_->IsValid()) {
    const bool directory = inner_->GetAttributes()->GetType() == ObjectTypeCode::Directory;
    listed_.push_back({directory ? kDirectoryKind : kFileKind, directory_->GetPath() + u"/" + inner_->GetName()});
  }
  inner_->Next();
}

ObjectId CachedDirEntriesEnumerator::GetEntryId() {
  auto object = directory_->Lookup(inner_->GetName());
  if (object) {
    AddToCache(cache_, object);
    return object->GetId();
  }
  COMMON_ASSERT_TEXT("Failed to find object by name");
  return inner_->GetEntryId();
}

}  // namespace NFS
