#pragma once

#include <map>
#include <memory>
#include <mutex>
#include "host/SourceLocation.h"

#include "host/Messages.h"
#include "server_lib/providers/ClientMounts.h"
#include "server_lib/providers/ObjectsProvider.h"
#include "server_lib/providers/SharesProvider.h"
#include "server_lib/server/Server.h"
#include "server_lib/server/ServerStatus.h"
#include "server_lib/store/ObjectStore.h"
#include "server_lib/virtual/VirtualFilesProvider.h"

namespace NFS {

class ServerImpl : public Server {
 public:
  explicit ServerImpl(std::shared_ptr<VirtualFilePlugin> plugin);
  ~ServerImpl() override;

  Common::Error Register(std::shared_ptr<EventObserver> observer, uint32_t& id) override;
  Common::Error Unregister(uint32_t id) override;

  void SetContext(void* context) override;
  Common::Error SetRoot(const Common::WString& localPath, const Common::WString& shareName) override;
  Common::Error GetRoot(Common::WString& localPath, Common::WString& shareName) override;
  Common::Error AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                               const SourceParams& params) override;
  Common::Error DeleteVirtualFile(const Common::WString& path) override;
  Common::Error ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) override;
  Common::Error CreateFile(const ObjectId& dir, const Common::WString& name, ObjectId& id) override;
  Common::Error CreateFile(const ShareFilePath& path) override;
  Common::Error DeleteFile(const ObjectId& dir, const Common::WString& name) override;
  Common::Error DeleteFile(const ShareFilePath& path) override;
  Common::Error FileExists(const ShareFilePath& path, bool& exists) override;
  Common::Error Mount(const Common::WString& shareName, ObjectId& rootId) override;
  Common::Error Mount(const Common::WString& shareName, const std::string& client, ObjectId& rootId) override;
  Common::Error UnMount(const Common::WString& shareName, const std::string& client) override;
  Common::Error FsInfo(const ObjectId& dir, std::unique_ptr<FSInfo>& info) override;
  Common::Error FsStat(const ObjectId& dir, std::unique_ptr<FSStat>& stat) override;
  Common::Error GetAttrs(const ObjectId& id, std::shared_ptr<AttributesAccessor>& attributes) override;
  Common::Error SetAttrs(const ObjectId& id, std::shared_ptr<AttributesModifier>& modifier) override;
  Common::Error ReadDirectory(const ObjectId& dir, uint64_t enumeratorId,
                              std::shared_ptr<DirEntriesEnumerator>& enumerator) override;
  Common::Error LookupObject(const ObjectId& dir, const Common::WString& name, ObjectId& id) override;
  Common::Error CreateDir(const ObjectId& dir, const Common::WString& name, ObjectId& id) override;
  Common::Error DeleteDir(const ObjectId& dir, const Common::WString& name) override;
  Common::Error Rename(const ObjectId& dir, const Common::WString& from, const Common::WString& to) override;
  Common::Error ReadData(const ObjectId& file, uint64_t offset, uint32_t size, uint8_t* buffer,
                         uint32_t& bytesRead) override;
  Common::Error WriteData(const ObjectId& file, uint64_t offset, uint32_t size, const uint8_t* buffer,
                          uint32_t& bytesWritten) override;
  Common::Error CommitData(const ObjectId& file) override;
  std::unique_lock<std::recursive_mutex> Lock();
  void GetStatus(ServerStatus& status);
  void SetObjectStore(std::shared_ptr<ObjectStore> store, size_t cacheCapacity);

 private:
  // Runs one operation: serialised with every other, any Common::Error
  // escaping the body wrapped in the operation's own failure record.
  template <typename Body, typename... Args>
  Common::Error Frame(Common::source_location where, uint32_t code, const Common::Message& message, Body&& body,
                      const Args&... args);

  void CheckIfShareAvailable(const Common::WString& name);
  std::shared_ptr<DirObject> GetDirectory(const ObjectId& id, Common::source_location where);
  std::shared_ptr<FileObject> GetFile(const ObjectId& id, Common::source_location where);
  std::shared_ptr<FileSystemObject> GetAnyObject(const ObjectId& id, Common::source_location where);
  void CheckShareFilePath(const ShareFilePath& path);
  void Notify(const std::shared_ptr<Event>& event);
  // The store's sweep asks this which of its records still name objects.
  std::vector<bool> CheckStoredObjects(const std::vector<std::pair<ObjectId, StoredObject>>& records);

  std::shared_ptr<VirtualFilePlugin> plugin_;
  std::shared_ptr<VirtualFilesProvider> virtualFiles_;
  Common::WString shareName_;
  Common::WString localPath_;
  ObjectId rootId_;
  std::shared_ptr<DirObject> rootObject_;  // as the objects provider holds it
  std::shared_ptr<ObjectStore> store_;
  size_t cacheCapacity_ = 0;
  std::unique_ptr<SharesProvider> shares_;
  std::unique_ptr<ObjectsProvider> objects_;
  std::unique_ptr<ClientMounts> mounts_;
  std::map<uint32_t, std::shared_ptr<EventObserver>> observers_;
  std::mutex observersMutex_;
  // Host commands reach the server on their own threads while the RPC thread
  // serves clients; the providers and caches are not safe for that overlap.
  std::recursive_mutex operationsMutex_;
  // The file the last lookup found, with the attributes its stat gave: the
  // very next operation, when it asks for them, needs no stat of its own.
  struct LookedUp {
    ObjectId id;
    std::shared_ptr<FileSystemObject> object;
    std::shared_ptr<AttributesAccessor> attributes;
    uint64_t operation = 0;
  };
  LookedUp lookedUp_;
};

}  // namespace NFS
