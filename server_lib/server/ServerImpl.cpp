#include "server_lib/server/ServerImpl.h"

#include <atomic>
#include <cerrno>

#include "host/Logging.h"
#include "localfs/LocalFs.h"
#include "server_lib/core/Operations.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/OpenListings.h"
#include "server_lib/local/IoError.h"
#include "server_lib/overlay/MixinDirectory.h"
#include "server_lib/server/ObjectStoreSetup.h"

namespace NFS {

namespace {

using Where = Common::source_location;

// Observer ids are unique within the process, across servers.
std::atomic<uint32_t> g_nextObserverId{0};

[[noreturn]] void Fail(uint32_t code, const Common::Message& message, Where where) {
  throw Common::Error(code, Common::FormatMessage(message), Common::Error(), where);
}

void CheckIfHandleValid(const ObjectId& id) {
  if (!IsValidObjectId(id)) Fail(ErrorCode::InvalidHandle, Messages::InvalidHandle, Where::current());
}

void CheckIfShareNameValid(const Common::WString& name) {
  if (name.empty()) Fail(ErrorCode::InvalidShareName, Messages::InvalidShareName, Where::current());
}

void CheckIfFileNameValid(const Common::WString& name) {
  if (name.empty()) Fail(ErrorCode::InvalidFileName, Messages::InvalidFileName, Where::current());
}

[[noreturn]] void ThrowFileNotFound(Where where) {
  Fail(ErrorCode::NotFound, Messages::FileNotFound, where);
}

// A name a client gives to make, remove or rename an entry must be one
// entry of the folder: "." and ".." name the folder or its parent, and the
// local library refuses the rest of what it cannot hold. Checked before
// anything is looked up, so no cache, event or listing is touched.
void CheckEntryName(const Common::WString& name, Where where) {
  std::string bytes;
  if (Common::TryToUtf8(name, bytes) && bytes.size() > 255) ThrowSystemError(ENAMETOOLONG, {}, where);
  if (name.empty() || name == u"." || name == u".." || !LocalFs::IsValidEntryName(name)) {
    throw Common::Error(ErrorCode::InvalidFileName, Common::FormatMessage(Messages::NameIsNoEntry, name),
                        Common::Error(), where);
  }
}

Common::WString NormalisedShare(const Common::WString& share) {
  return !share.empty() && share[0] == u'/' ? share : u"/" + share;
}

}  // namespace

std::shared_ptr<Server> CreateServer(std::shared_ptr<VirtualFilePlugin> plugin) {
  return std::make_shared<ServerImpl>(std::move(plugin));
}

ServerImpl::ServerImpl(std::shared_ptr<VirtualFilePlugin> plugin)
    : plugin_(std::move(plugin)),
      virtualFiles_(CreateVirtualFilesProvider(plugin_)),
      shares_(CreateStubSharesProvider()),
      objects_(CreateStubObjectsProvider()),
      mounts_(CreateClientMounts()) {}

ServerImpl::~ServerImpl() {
  // The sweep's check refers to this server; it may be running right now.
  if (store_) store_->SetLivenessCheck(nullptr);
}

Common::Error SetObjectStore(Server& server, std::shared_ptr<ObjectStore> store, size_t cacheCapacity) {
  auto* impl = dynamic_cast<ServerImpl*>(&server);
  if (impl == nullptr) {
    return Common::Error(ErrorCode::NotImplemented, Common::FormatMessage(Messages::NotImplemented));
  }
  impl->SetObjectStore(std::move(store), cacheCapacity);
  return Common::Error::Success();
}

void ServerImpl::SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity) {
  // Not under the operations lock: a running check waits for that lock,
  // and this waits for the check.
  std::shared_ptr<ObjectStore> old;
  {
    std::lock_guard lock(operationsMutex_);
    old = store_;
  }
  if (old) old->SetLivenessCheck(nullptr);
  std::unique_ptr<ObjectsProvider> oldObjects;
  {
    std::lock_guard lock(operationsMutex_);
    store_ = store;
    cacheCapacity_ = cacheCapacity;
    if (rootObject_) {
      std::unique_ptr<ObjectsProvider> objects = CreateObjectsProvider(store_, cacheCapacity_);
      objects->OpenRootDir(shareName_, rootObject_);
      oldObjects = std::exchange(objects_, std::move(objects));
      lookedUp_ = {};
    }
  }
  if (store) {
    store->SetLivenessCheck(
        [this](const std::vector<std::pair<ObjectId, StoredObject>>& records) { return CheckStoredObjects(records); });
  }
}

std::vector<bool> ServerImpl::CheckStoredObjects(const std::vector<std::pair<ObjectId, StoredObject>>& records) {
  std::lock_guard lock(operationsMutex_);
  // Before the first export nothing can be told apart: all is kept.
  if (!rootObject_) return std::vector<bool>(records.size(), true);
  std::vector<bool> live;
  live.reserve(records.size());
  for (const auto& [id, stored] : records) {
    bool keep = false;
    try {
      keep = objects_->IsLive(stored);
    } catch (...) {
      keep = true;  // not known to be gone
    }
    live.push_back(keep);
  }
  return live;
}

std::unique_lock<std::recursive_mutex> LockOperations(Server& server) {
  if (auto* impl = dynamic_cast<ServerImpl*>(&server)) return impl->Lock();
  return {};
}

Common::Error GetServerStatus(Server& server, ServerStatus& status) {
  auto* impl = dynamic_cast<ServerImpl*>(&server);
  if (impl == nullptr) {
    return Common::Error(ErrorCode::NotImplemented, Common::FormatMessage(Messages::NotImplemented));
  }
  impl->GetStatus(status);
  return Common::Error::Success();
}

void ServerImpl::GetStatus(ServerStatus& status) {
  {
    std::lock_guard lock(operationsMutex_);
    status.shareName = shareName_;
    status.localPath = localPath_;
    status.cachedObjects = objects_->CountObjects();
    status.cache = objects_->GetCounters();
    status.hasStore = store_ != nullptr;
    if (store_) status.storedObjects = store_->Count();
    status.mountedClients = mounts_->Count();
    // Sizes of virtual files change under this lock only (SETATTR).
    virtualFiles_->CountVirtualFiles(status.virtualFiles, status.virtualBytes);
  }
  {
    std::lock_guard lock(observersMutex_);
    status.observers = observers_.size();
  }
  status.descriptorsOpen = LocalFs::GetPooledDescriptorCount();
  status.descriptorLimit = LocalFs::GetDescriptorLimit();
  OpenListings& listings = OpenListings::Instance();
  status.openListings = listings.Count();
  status.openListingLimit = listings.GetLimit();
  status.keptEnumerators = listings.CountKept();
}

std::unique_lock<std::recursive_mutex> ServerImpl::Lock() {
  return std::unique_lock<std::recursive_mutex>(operationsMutex_);
}

template <typename Body, typename... Args>
Common::Error ServerImpl::Frame(Where where, uint32_t code, const Common::Message& message, Body&& body,
                                const Args&... args) {
  std::lock_guard lock(operationsMutex_);
  BeginOperation();
  try {
    body();
    return Common::Error::Success();
  } catch (const Common::Error& cause) {
    return Common::Error(code, Common::FormatMessage(message, args...), cause, where);
  }
}

// --- observers

Common::Error ServerImpl::Register(std::shared_ptr<EventObserver> observer, uint32_t& id) {
  std::lock_guard lock(observersMutex_);
  id = g_nextObserverId++;
  observers_[id] = std::move(observer);
  return Common::Error::Success();
}

Common::Error ServerImpl::Unregister(uint32_t id) {
  std::lock_guard lock(observersMutex_);
  if (observers_.erase(id) == 0) {
    return Common::Error(ErrorCode::ObserverNotFound, Common::FormatMessage(Messages::ObserverNotFound, id));
  }
  return Common::Error::Success();
}

void ServerImpl::Notify(const std::shared_ptr<Event>& event) {
  std::lock_guard lock(observersMutex_);
  for (const auto& [id, observer] : observers_) {
    Common::Error result;
    try {
      result = observer->HandleEvent(event);
    } catch (const Common::Error& thrown) {
      result = thrown;
    }
    // An observer never changes the outcome of the operation that raised the event.
    if (result.IsFailure()) Common::Log(Common::kWarning, kLogChannel, result);
  }
}

// --- resolution

void ServerImpl::CheckIfShareAvailable(const Common::WString& name) {
  if (name != shareName_) {
    throw Common::Error(ErrorCode::ShareNotMounted, Common::FormatMessage(Messages::ShareInvalid, name),
                        Common::Error(), Where::current());
  }
}

std::shared_ptr<FileSystemObject> ServerImpl::GetAnyObject(const ObjectId& id, Where where) {
  auto object = objects_->GetObject(id);
  if (!object) Fail(ErrorCode::ObjectNotFound, Messages::ObjectNotFound, where);
  return object;
}

std::shared_ptr<DirObject> ServerImpl::GetDirectory(const ObjectId& id, Where where) {
  auto dir = std::dynamic_pointer_cast<DirObject>(objects_->GetObject(id));
  if (!dir) Fail(ErrorCode::ObjectNotFound, Messages::ObjectNotFound, where);
  return dir;
}

std::shared_ptr<FileObject> ServerImpl::GetFile(const ObjectId& id, Where where) {
  auto file = std::dynamic_pointer_cast<FileObject>(objects_->GetObject(id));
  if (!file) Fail(ErrorCode::ObjectNotFound, Messages::ObjectNotFound, where);
  return file;
}

// --- root and shares

void ServerImpl::SetContext(void* context) {
  if (plugin_) plugin_->SetContext(context);
}

Common::Error ServerImpl::SetRoot(const Common::WString& localPath, const Common::WString& shareName) {
  // The replaced providers go when the operation ends, whatever its outcome.
  std::unique_ptr<SharesProvider> oldShares;
  std::unique_ptr<ObjectsProvider> oldObjects;
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::SetRootFailed, Messages::SetRootFailed,
      [&] {
        CheckIfShareNameValid(shareName);
        if (localPath.empty()) Fail(ErrorCode::InvalidLocalPath, Messages::InvalidLocalPath, op);
        if (localPath == localPath_ && shareName == shareName_) return;
        Common::Notice(kLogChannel, Messages::ExportingShare, localPath, shareName);
        // The one time the folder is opened by its path: every later mount,
        // and everything else, goes through this open folder. A folder that
        // cannot be opened leaves the share exported before as it was.
        std::unique_ptr<SharesProvider> shares;
        try {
          shares = CreateSharesProvider(shareName, localPath);
        } catch (const Common::Error& cause) {
          throw Common::Error(ErrorCode::MountFailed, Common::FormatMessage(Messages::MountFailed, shareName), cause,
                              op);
        }
        std::shared_ptr<DirObject> root = shares->GetRoot(shareName);
        auto rootObject = std::make_shared<MixinDirectory>(root, virtualFiles_);
        std::unique_ptr<ObjectsProvider> objects = CreateObjectsProvider(store_, cacheCapacity_);
        objects->OpenRootDir(shareName, rootObject);
        oldShares = std::exchange(shares_, std::move(shares));
        oldObjects = std::exchange(objects_, std::move(objects));
        mounts_ = CreateClientMounts();
        shareName_ = shareName;
        localPath_ = localPath;
        rootId_ = root->GetId();
        rootObject_ = std::move(rootObject);
      },
      shareName, localPath);
}

Common::Error ServerImpl::GetRoot(Common::WString& localPath, Common::WString& shareName) {
  std::lock_guard lock(operationsMutex_);
  if (localPath_.empty() || shareName_.empty()) {
    return Common::Error(ErrorCode::NoRoot, Common::FormatMessage(Messages::NoRoot));
  }
  localPath = localPath_;
  shareName = shareName_;
  return Common::Error::Success();
}

Common::Error ServerImpl::Mount(const Common::WString& shareName, ObjectId& rootId) {
  return Mount(shareName, std::string(), rootId);
}

Common::Error ServerImpl::Mount(const Common::WString& shareName, const std::string& client, ObjectId& rootId) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::MountFailed, Messages::MountFailed,
      [&] {
        CheckIfShareNameValid(shareName);
        CheckIfShareAvailable(shareName);
        rootId = shares_->GetRoot(shareName)->GetId();
        // Logged once per client, not once per call.
        if (client.empty() || mounts_->Add(client)) {
          Common::Notice(kLogChannel, Messages::MountingShare, shareName);
        }
        Common::Trace(kLogChannel, "Mount(share='{0}', client='{1}')={2}", shareName, client, IdText(rootId));
      },
      shareName);
}

Common::Error ServerImpl::UnMount(const Common::WString& shareName, const std::string& client) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::UnmountFailed, Messages::UnmountFailed,
      [&] {
        CheckIfShareNameValid(shareName);
        CheckIfShareAvailable(shareName);
        // The caller's own record at most; the share stays exported.
        if (mounts_->Remove(client)) Common::Notice(kLogChannel, Messages::UnmountingShare, shareName);
        Common::Trace(kLogChannel, "UnMount(share='{0}', client='{1}')", shareName, client);
      },
      shareName);
}

// --- virtual files

Common::Error ServerImpl::AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                                         const SourceParams& params) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::AddVirtualFileFailed, Messages::AddVirtualFileFailed,
      [&] {
        virtualFiles_->AddVirtualFile(path, size, uri, params);
        Common::Notice(kLogChannel, Messages::AddingVirtualFile, path, uri);
      },
      path, size, uri);
}

Common::Error ServerImpl::DeleteVirtualFile(const Common::WString& path) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::DeleteVirtualFileFailed, Messages::DeleteVirtualFileFailed,
      [&] {
        if (auto file = virtualFiles_->FindVirtualFile(path)) objects_->ForgetObject(file->GetId());
        virtualFiles_->DeleteVirtualFile(path);
        Common::Notice(kLogChannel, Messages::DeletingVirtualFile, path);
      },
      path);
}

Common::Error ServerImpl::ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::ControlVirtualFileFailed, Messages::ControlVirtualFileFailed,
      [&] { virtualFiles_->ControlVirtualFile(path, request); }, path);
}

// --- namespace operations by id

Common::Error ServerImpl::LookupObject(const ObjectId& dirId, const Common::WString& name, ObjectId& id) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::LookupFailed, Messages::LookupFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        std::shared_ptr<FileSystemObject> object;
        lookedUp_ = {};
        {
          ClientLookup keep;
          object = dir->Lookup(name);
          if (!object) ThrowFileNotFound(op);
          id = object->GetId();
          // A local file found by its stat: LOOKUP asks for its attributes
          // next, and that stat gives them, through the object the cache holds
          // (an older one may stand for the same file).
          if (keep.Kept()) {
            if (auto cached = objects_->GetObject(id)) {
              try {
                lookedUp_ = {id, cached, cached->GetAttributes(), CurrentOperation()};
              } catch (const Common::Error&) {
                // Not this operation's failure: the attributes are asked for anew.
              }
            }
          }
        }
        Common::Trace(kLogChannel, "LookupObject({0}, '{1}')={2}", dir->GetPath(), name, object->GetPath());
      },
      IdText(dirId), name);
}

Common::Error ServerImpl::CreateFile(const ObjectId& dirId, const Common::WString& name, ObjectId& id) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::CreateFileFailed, Messages::CreateFileFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        CheckEntryName(name, op);
        if (dir->Lookup(name)) Fail(ErrorCode::AlreadyExists, Messages::FileAlreadyExists, op);
        // Made anew or not at all: a file made meanwhile is never emptied.
        dir->CreateFile(name);
        auto file = dir->Lookup(name);
        if (!file) ThrowFileNotFound(op);
        id = file->GetId();
        Notify(std::make_shared<CreateFileEvent>(*file));
        Common::Trace(kLogChannel, "Create({0}, {1})={2}", dir->GetPath(), name, file->GetPath());
      },
      IdText(dirId), name);
}

Common::Error ServerImpl::CreateDir(const ObjectId& dirId, const Common::WString& name, ObjectId& id) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::CreateDirFailed, Messages::CreateDirFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        CheckEntryName(name, op);
        if (dir->Lookup(name)) Fail(ErrorCode::AlreadyExists, Messages::FileAlreadyExists, op);
        dir->CreateDir(name);
        auto created = dir->Lookup(name);
        if (!created) ThrowFileNotFound(op);
        id = created->GetId();
        Common::Trace(kLogChannel, "CreateDir({0}, {1})={2}", dir->GetPath(), name, created->GetPath());
      },
      IdText(dirId), name);
}

Common::Error ServerImpl::DeleteFile(const ObjectId& dirId, const Common::WString& name) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::DeleteFileFailed, Messages::DeleteFileFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        CheckEntryName(name, op);
        auto object = dir->Lookup(name);
        if (!object) ThrowFileNotFound(op);
        if (std::dynamic_pointer_cast<DirObject>(object)) ThrowSystemError(EISDIR, {}, op);
        dir->DeleteFile(name);
        // Observers hear of what happened, never of what was only tried.
        Notify(std::make_shared<DeleteFileEvent>(*object));
        Common::Trace(kLogChannel, "DeleteFile({0}, {1})", dir->GetPath(), name);
      },
      IdText(dirId), name);
}

Common::Error ServerImpl::DeleteDir(const ObjectId& dirId, const Common::WString& name) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::DeleteDirFailed, Messages::DeleteDirFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        CheckEntryName(name, op);
        auto object = dir->Lookup(name);
        if (!object) ThrowFileNotFound(op);
        if (!std::dynamic_pointer_cast<DirObject>(object)) ThrowSystemError(ENOTDIR, {}, op);
        dir->DeleteDir(name);
        Common::Trace(kLogChannel, "DeleteDir({0}, {1})", dir->GetPath(), name);
      },
      IdText(dirId), name);
}

Common::Error ServerImpl::Rename(const ObjectId& dirId, const Common::WString& from, const Common::WString& to) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::RenameFailed, Messages::RenameFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        CheckEntryName(from, op);
        CheckEntryName(to, op);
        auto source = dir->Lookup(from);
        if (!source) ThrowFileNotFound(op);
        // A name moved onto itself stays as it is; the local move would too,
        // but replacing "first" would have deleted it.
        if (from != to) {
          // The replace is the move's own (an atomic rename over the old
          // file), so a move that fails leaves the old target in place.
          auto target = dir->Lookup(to);
          if (target &&
              (std::dynamic_pointer_cast<DirObject>(target) || std::dynamic_pointer_cast<DirObject>(source))) {
            Fail(ErrorCode::AlreadyExists, Messages::FolderInTheWay, op);
          }
          dir->Rename(from, to);
          if (target) Notify(std::make_shared<DeleteFileEvent>(*target));
        }
        Common::Trace(kLogChannel, "Rename({0}, {1} => {2})", dir->GetPath(), from, to);
      },
      IdText(dirId), from, to);
}

// --- attributes and file-system data

Common::Error ServerImpl::GetAttrs(const ObjectId& id, std::shared_ptr<AttributesAccessor>& attributes) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::GetAttrsFailed, Messages::GetAttrsFailed,
      [&] {
        CheckIfHandleValid(id);
        LookedUp lookedUp = std::exchange(lookedUp_, {});
        const bool fresh = lookedUp.id == id && lookedUp.operation + 1 == CurrentOperation();
        auto object = fresh ? std::move(lookedUp.object) : GetAnyObject(id, op);
        attributes = fresh ? std::move(lookedUp.attributes) : object->GetAttributes();
        Common::Trace(kLogChannel, "GetAttrs({0})", object->GetPath());
      },
      IdText(id));
}

Common::Error ServerImpl::SetAttrs(const ObjectId& id, std::shared_ptr<AttributesModifier>& modifier) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::SetAttrsFailed, Messages::SetAttrsFailed,
      [&] {
        CheckIfHandleValid(id);
        auto object = GetAnyObject(id, op);
        modifier = object->GetAttributesModifier();
        Common::Trace(kLogChannel, "SetAttrs({0})", object->GetPath());
      },
      IdText(id));
}

Common::Error ServerImpl::FsInfo(const ObjectId& dirId, std::unique_ptr<FSInfo>& info) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::FsInfoFailed, Messages::FsInfoFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        info = dir->GetFSInfo();
        Common::Trace(kLogChannel, "FsInfo(root={0})", dir->GetPath());
      },
      IdText(dirId));
}

Common::Error ServerImpl::FsStat(const ObjectId& dirId, std::unique_ptr<FSStat>& stat) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::FsStatFailed, Messages::FsStatFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        stat = dir->GetFSStat();
        Common::Trace(kLogChannel, "FsStat(root={0})", dir->GetPath());
      },
      IdText(dirId));
}

Common::Error ServerImpl::ReadDirectory(const ObjectId& dirId, uint64_t enumeratorId,
                                        std::shared_ptr<DirEntriesEnumerator>& enumerator) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::ReadDirectoryFailed, Messages::ReadDirectoryFailed,
      [&] {
        CheckIfHandleValid(dirId);
        auto dir = GetDirectory(dirId, op);
        auto found = dir->GetEnumerator(enumeratorId);
        if (!found) Fail(ErrorCode::InvalidCookie, Messages::InvalidCookie, op);
        enumerator = std::move(found);
        Common::Trace(kLogChannel, "ReadDirectory({0}, {1})={2}", dir->GetPath(), enumeratorId,
                      enumerator->GetId());
      },
      IdText(dirId), enumeratorId);
}

// --- file data

Common::Error ServerImpl::ReadData(const ObjectId& fileId, uint64_t offset, uint32_t size, uint8_t* buffer,
                                   uint32_t& bytesRead) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::ReadFailed, Messages::ReadFailed,
      [&] {
        CheckIfHandleValid(fileId);
        GetFile(fileId, op)->Read(offset, size, buffer, bytesRead);
      },
      IdText(fileId), offset, size);
}

Common::Error ServerImpl::WriteData(const ObjectId& fileId, uint64_t offset, uint32_t size,
                                    const uint8_t* buffer, uint32_t& bytesWritten) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::WriteFailed, Messages::WriteFailed,
      [&] {
        CheckIfHandleValid(fileId);
        GetFile(fileId, op)->Write(offset, size, buffer, bytesWritten);
      },
      IdText(fileId), offset, size);
}

Common::Error ServerImpl::CommitData(const ObjectId& fileId) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::CommitFailed, Messages::CommitFailed,
      [&] {
        CheckIfHandleValid(fileId);
        auto file = GetFile(fileId, op);
        file->Commit();
        Common::Trace(kLogChannel, "Commit({0})", file->GetPath());
      },
      IdText(fileId));
}

// --- share-path operations

void ServerImpl::CheckShareFilePath(const ShareFilePath& path) {
  CheckIfShareAvailable(NormalisedShare(path.Share));
  CheckIfFileNameValid(path.Name);
  CheckIfHandleValid(rootId_);
}

Common::Error ServerImpl::CreateFile(const ShareFilePath& path) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::CreateFileFailed, Messages::CreateFileByPathFailed,
      [&] {
        CheckShareFilePath(path);
        ObjectId target = rootId_;
        if (!path.Folder.empty()) {
          if (auto entry = GetDirectory(rootId_, op)->Lookup(path.Folder)) {
            target = entry->GetId();
          } else {
            const Common::Error created = CreateDir(rootId_, path.Folder, target);
            if (created.IsFailure()) throw created;
          }
        }
        ObjectId id;
        const Common::Error created = CreateFile(target, path.Name, id);
        if (created.IsFailure()) throw created;
      },
      path.Name);
}

Common::Error ServerImpl::DeleteFile(const ShareFilePath& path) {
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::DeleteFileFailed, Messages::DeleteFileByPathFailed,
      [&] { Fail(ErrorCode::NotImplemented, Messages::NotImplemented, op); }, path.Name);
}

Common::Error ServerImpl::FileExists(const ShareFilePath& path, bool& exists) {
  exists = false;
  const Where op = Where::current();
  return Frame(
      op, ErrorCode::FileExistsFailed, Messages::FileExistsFailed,
      [&] {
        CheckShareFilePath(path);
        auto folder = GetDirectory(rootId_, op)->Lookup(path.Folder);
        if (!folder) ThrowFileNotFound(op);
        ObjectId id;
        const Common::Error found = LookupObject(folder->GetId(), path.Name, id);
        if (found.IsFailure()) throw found;
        exists = true;
      },
      path.Name);
}

}  // namespace NFS
