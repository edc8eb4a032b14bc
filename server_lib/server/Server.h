#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/Error.h"
#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/events/Events.h"
#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/plugins/VirtualFilePlugin.h"

namespace NFS {

// The address used by the host-side share-path operations.
struct ShareFilePath {
  Common::WString Share;   // "/" is put in front when missing
  Common::WString Folder;  // one entry directly under the share root; empty for the root
  Common::WString Name;
};

// The protocol-neutral file server. Every operation but SetContext returns
// a Common::Error (the shared success value, or a failure whose reason chain
// holds the specific cause); data comes back through the out-parameters,
// valid only after success.
class Server : public EventNotifier {
 public:
  virtual void SetContext(void* context) = 0;
  virtual Common::Error SetRoot(const Common::WString& localPath, const Common::WString& shareName) = 0;
  virtual Common::Error GetRoot(Common::WString& localPath, Common::WString& shareName) = 0;
  virtual Common::Error AddVirtualFile(const Common::WString& path, uint64_t size, const Common::WString& uri,
                                       const SourceParams& params) = 0;
  virtual Common::Error DeleteVirtualFile(const Common::WString& path) = 0;
  virtual Common::Error ControlVirtualFile(const Common::WString& path, std::vector<uint8_t>& request) = 0;
  virtual Common::Error CreateFile(const ObjectId& dir, const Common::WString& name, ObjectId& id) = 0;
  virtual Common::Error CreateFile(const ShareFilePath& path) = 0;
  virtual Common::Error DeleteFile(const ObjectId& dir, const Common::WString& name) = 0;
  virtual Common::Error DeleteFile(const ShareFilePath& path) = 0;
  virtual Common::Error FileExists(const ShareFilePath& path, bool& exists) = 0;
  // The exported share lives from SetRoot to the next SetRoot: mounting
  // checks that `shareName` names it and gives its root, and unmounting
  // never closes it. A client's mount is recorded under its address
  // (`client`, as "192.0.2.7"), once however often it mounts; its unmount
  // drops that record only, and one from an address without a record
  // changes nothing. Mount without a client records nothing.
  virtual Common::Error Mount(const Common::WString& shareName, ObjectId& rootId) = 0;
  virtual Common::Error Mount(const Common::WString& shareName, const std::string& client, ObjectId& rootId) = 0;
  virtual Common::Error UnMount(const Common::WString& shareName, const std::string& client) = 0;
  virtual Common::Error FsInfo(const ObjectId& dir, std::unique_ptr<FSInfo>& info) = 0;
  virtual Common::Error FsStat(const ObjectId& dir, std::unique_ptr<FSStat>& stat) = 0;
  virtual Common::Error GetAttrs(const ObjectId& id, std::shared_ptr<AttributesAccessor>& attributes) = 0;
  virtual Common::Error SetAttrs(const ObjectId& id, std::shared_ptr<AttributesModifier>& modifier) = 0;
  virtual Common::Error ReadDirectory(const ObjectId& dir, uint64_t enumeratorId,
                                      std::shared_ptr<DirEntriesEnumerator>& enumerator) = 0;
  virtual Common::Error LookupObject(const ObjectId& dir, const Common::WString& name, ObjectId& id) = 0;
  virtual Common::Error CreateDir(const ObjectId& dir, const Common::WString& name, ObjectId& id) = 0;
  virtual Common::Error DeleteDir(const ObjectId& dir, const Common::WString& name) = 0;
  virtual Common::Error Rename(const ObjectId& dir, const Common::WString& from, const Common::WString& to) = 0;
  virtual Common::Error ReadData(const ObjectId& file, uint64_t offset, uint32_t size, uint8_t* buffer,
                                 uint32_t& bytesRead) = 0;
  virtual Common::Error WriteData(const ObjectId& file, uint64_t offset, uint32_t size, const uint8_t* buffer,
                                  uint32_t& bytesWritten) = 0;
  virtual Common::Error CommitData(const ObjectId& file) = 0;
};

std::shared_ptr<Server> CreateServer(std::shared_ptr<VirtualFilePlugin> plugin);

// Host commands call a server while its RPC thread serves clients. The
// servers made here run each operation under one lock; objects they hand out
// (enumerators, attribute accessors and modifiers) share state with them, so
// a caller that goes on using such objects while other threads may call the
// server holds this lock for as long as it uses them. A server without such
// a lock gives an empty one.
std::unique_lock<std::recursive_mutex> LockOperations(Server& server);

}  // namespace NFS
