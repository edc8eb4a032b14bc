#include "server_lib/local/DirObjectImpl.h"

#include "host/Logging.h"
#include "server_lib/core/Md5CryptBatch.h"
#include "server_lib/core/Operations.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/Enumerators.h"
#include "server_lib/local/AttributesAccessorImpl.h"
#include "server_lib/local/AttributesModifierImpl.h"
#include "server_lib/local/DirectoryIteratorImpl.h"
#include "server_lib/local/FSInfoImpl.h"
#include "server_lib/local/FSStatImpl.h"
#include "server_lib/local/IoError.h"
#include "server_lib/local/LocalObjects.h"

namespace NFS {

std::shared_ptr<DirObject> CreateLocalDirObject(const Common::WString& path,
                                                std::shared_ptr<LocalFs::LocalDirectoryHandle> local) {
  return std::make_shared<DirObjectImpl>(path, std::move(local), path.size());
}

DirObjectImpl::DirObjectImpl(Common::WString path, std::shared_ptr<LocalFs::LocalDirectoryHandle> local,
                             size_t rootLength)
    : path_(std::move(path)),
      rootLength_(rootLength),
      id_(MakeObjectId(kDirectoryKind, path_)),
      local_(std::move(local)) {}

DirObjectImpl::~DirObjectImpl() = default;

Common::WString DirObjectImpl::GetPath() { return path_; }

ObjectId DirObjectImpl::GetId() { return id_; }

std::shared_ptr<AttributesAccessor> DirObjectImpl::GetAttributes() {
  std::shared_ptr<LocalFs::LocalEntryCursor> self = local_->GetSelfEntry();
  if (!self) ThrowIoError(local_->TakeStatus());
  return std::make_shared<AttributesAccessorImpl>(std::move(self));
}

std::shared_ptr<AttributesModifier> DirObjectImpl::GetAttributesModifier() {
  // Every folder is changed through its own descriptor, never through its
  // name in its parent: the name may now hold another object (a file made
  // after the folder was moved away), and the share root's containing
  // folder lies outside the export.
  return std::make_shared<AttributesModifierImpl>(*local_, u".", AttributesModifierImpl::Target::kFolder);
}

std::unique_ptr<FSInfo> DirObjectImpl::GetFSInfo() { return std::make_unique<FSInfoImpl>(*local_); }

std::unique_ptr<FSStat> DirObjectImpl::GetFSStat() { return std::make_unique<FSStatImpl>(*local_); }

std::shared_ptr<DirEntriesEnumerator> DirObjectImpl::GetEnumerator(uint64_t id) {
  if (!enumerators_) enumerators_ = CreateDirEntriesEnumeratorsProvider(*this);
  return enumerators_->GetEnumerator(id);
}

std::shared_ptr<FileSystemObject> DirObjectImpl::Lookup(const Common::WString& name) {
  if (name == u"..") {
    Common::Trace(kLogChannel, "Dir({0}): getting parent directory", path_);
    // The share root has no parent, whatever its name looks like.
    if (IsShareRoot()) return nullptr;
    // Below the root, the last "/" ends the parent's path.
    const size_t slash = path_.rfind(u'/');
    std::shared_ptr<LocalFs::LocalDirectoryHandle> parent = local_->OpenDirectory(u"..");
    if (!parent) return nullptr;
    return std::make_shared<DirObjectImpl>(path_.substr(0, slash), std::move(parent), rootLength_);
  }
  if (name == u".") {
    Common::Trace(kLogChannel, "Dir({0}): getting self directory", path_);
    std::shared_ptr<LocalFs::LocalDirectoryHandle> self = local_->OpenDirectory(u".");
    if (!self) return nullptr;
    return std::make_shared<DirObjectImpl>(path_, std::move(self), rootLength_);
  }

  auto entry = local_->GetEntry(name);
  if (!entry) return nullptr;
  const uint32_t type = AttributesAccessorImpl::TypeCodeOf(*entry);
  if (ClientLookup::Active() && (type == ObjectTypeCode::Directory || type == ObjectTypeCode::RegularFile)) {
    RememberWithSiblings(name, type == ObjectTypeCode::Directory ? kDirectoryKind : kFileKind);
  }
  switch (type) {
    case ObjectTypeCode::Directory: {
      std::shared_ptr<LocalFs::LocalDirectoryHandle> child = local_->OpenDirectory(*entry);
      if (!child) return nullptr;
      return std::make_shared<DirObjectImpl>(path_ + u"/" + name, std::move(child), rootLength_);
    }
    case ObjectTypeCode::RegularFile:
      if (!ClientLookup::Active()) return CreateLocalFileObject(local_, path_, name);
      ClientLookup::NoteKept();
      return CreateLocalFileObject(local_, path_, name, std::move(entry));
    default:
      return nullptr;
  }
}

namespace {

// More than one generation of remembered ids holds, so a folder a client
// walks whole (a share root of 10 000 folders, say) keeps its batches.
constexpr size_t kMostNamesLooked = 20000;

}  // namespace

void DirObjectImpl::RememberWithSiblings(const Common::WString& name, ObjectKind kind) {
  Common::WString path = path_ + u"/" + name;
  if (IsObjectIdRemembered(kind, path)) return;
  // One digest alone costs nearly what a whole vector of them does, and a
  // client that looks one entry up (a walk, `find`, `du`) looks the others
  // up next. A few vectors' worth at most, so a lookup in a large folder
  // waits little longer than before; one at a time where there are no
  // vectors.
  const size_t batch = Md5CryptLanes() > 1 ? 4 * Md5CryptLanes() : 1;
  std::vector<ObjectIdRequest> requests{{kind, std::move(path)}};
  if (batch > 1) {
    // The names looked at stay bounded too: in a huge folder whose first
    // names are all remembered already, a lookup gives up rather than read on.
    size_t looked = 0;
    local_->VisitNames([&](const Common::WString& sibling, bool folder) {
      if (++looked > kMostNamesLooked) return false;
      if (sibling == name) return true;
      ObjectIdRequest request{folder ? kDirectoryKind : kFileKind, path_ + u"/" + sibling};
      if (!IsObjectIdRemembered(request.kind, request.path)) requests.push_back(std::move(request));
      return requests.size() < batch;
    });
  }
  RememberObjectIds(requests);
}

// Each change reports the local failure as it is (a folder that is not
// empty, a folder the host may not write), for the client to be told.
void DirObjectImpl::CreateFile(const Common::WString& name) {
  if (!local_->CreateFile(name)) ThrowIoError(local_->TakeStatus());
}

void DirObjectImpl::CreateDir(const Common::WString& name) {
  if (!local_->CreateDirectory(name)) ThrowIoError(local_->TakeStatus());
}

void DirObjectImpl::DeleteFile(const Common::WString& name) {
  if (!local_->DeleteFile(name)) ThrowIoError(local_->TakeStatus());
}

void DirObjectImpl::DeleteDir(const Common::WString& name) {
  if (!local_->RemoveDirectory(name)) ThrowIoError(local_->TakeStatus());
}

void DirObjectImpl::Rename(const Common::WString& from, const Common::WString& to) {
  if (!local_->Rename(from, to)) ThrowIoError(local_->TakeStatus());
}

Common::WString DirObjectImpl::GetSourceName() { return path_; }

std::unique_ptr<DirectoryIterator> DirObjectImpl::CreateIterator() {
  std::shared_ptr<LocalFs::LocalEntryCursor> cursor = local_->ListEntries();
  if (!cursor) ThrowIoError(local_->TakeStatus());
  return std::make_unique<DirectoryIteratorImpl>(std::move(cursor));
}

}  // namespace NFS
