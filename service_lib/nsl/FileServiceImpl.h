#pragma once

#include <array>
#include <memory>
#include <exception>
#include <mutex>

#include "server_lib/server/Server.h"
#include "service_lib/nsl/FileService.h"
#include "service_lib/nsl/ReplyFrame.h"

namespace NFS::NSL {

class FileServiceImpl : public FileService {
 public:
  // asyncWrites: the old answers, for operators who accept losing
  // acknowledged data at a crash (see NetworkOptions).
  explicit FileServiceImpl(std::shared_ptr<Server> server, bool asyncWrites = false);

  void GetAttr(const GETATTR3args& args, GETATTR3res& result) override;
  void SetAttr(const SETATTR3args& args, SETATTR3res& result) override;
  void FsInfo(const FSINFO3args& args, FSINFO3res& result) override;
  void FsStat(const FSSTAT3args& args, FSSTAT3res& result) override;
  void Access(const ACCESS3args& args, ACCESS3res& result) override;
  void ReadDirPlus(const READDIRPLUS3args& args, READDIRPLUS3res& result) override;
  void Lookup(const LOOKUP3args& args, LOOKUP3res& result) override;
  void Create(const CREATE3args& args, CREATE3res& result) override;
  void MkDir(const MKDIR3args& args, MKDIR3res& result) override;
  void Remove(const REMOVE3args& args, REMOVE3res& result) override;
  void RmDir(const RMDIR3args& args, RMDIR3res& result) override;
  void Rename(const RENAME3args& args, RENAME3res& result) override;
  void Read(const READ3args& args, READ3res& result) override;
  void Write(const WRITE3args& args, WRITE3res& result) override;
  void Commit(const COMMIT3args& args, COMMIT3res& result) override;

  // Made at construction, so every start of the service has a new one.
  const std::array<uint8_t, 8>& GetWriteVerifier() const { return writeVerifier_; }

 private:
  // Held around every server call of a handler and its reply filling. The
  // server's own lock is taken too: host commands reach the same server.
  struct Guard {
    std::lock_guard<std::mutex> service;
    std::unique_lock<std::recursive_mutex> server;
  };
  Guard Lock() { return Guard{std::lock_guard<std::mutex>(mutex_), NFS::LockOperations(*server_)}; }

  // The frame of one request, after its trace: the locks, the server call,
  // the status with the failure arm (and `cleanup`) or the success arm
  // filled by `fill` with the locks still held.
  // Whatever the call or the filling throws fails this call alone.
  template <typename Result, typename Call, typename Fill, typename Cleanup = NoCleanup>
  void Serve(Result& result, Call&& call, Fill&& fill, Cleanup&& cleanup = {},
             FailureLog log = FailureLog::Write) {
    auto guard = Lock();
    bool called = false;
    try {
      const Common::Error error = call();
      called = true;
      if (!Settle(result, error, log)) {
        cleanup();
        return;
      }
      fill(ReplyArms<Result>::Ok(result));
      return;
    } catch (const Common::Error& error) {
      SettleThrown(result, NFS3ERR_IO, Common::ToUtf8(error.Message()).c_str());
    } catch (const std::exception& error) {
      SettleThrown(result, NFS3ERR_SERVERFAULT, error.what());
    } catch (...) {
      SettleThrown(result, NFS3ERR_SERVERFAULT, "an unknown exception");
    }
    // The success arm was released above; what only the failure path frees
    // (a buffer not yet in the reply) goes now.
    if (!called) cleanup();
  }

  void FillPostAttributes(const ObjectId& id, post_op_attr& attributes);
  // One READDIRPLUS reply's entries, from where the client's cookie points.
  void FillEntries(const READDIRPLUS3args& args, uint64_t enumeratorId, DirEntriesEnumerator& listing,
                   READDIRPLUS3resok& ok);
  void FillNewObject(const ObjectId& id, post_op_fh3& handle, post_op_attr& attributes);

  std::mutex mutex_;
  std::shared_ptr<Server> server_;
  std::array<uint8_t, 8> writeVerifier_{};
  const bool asyncWrites_;
};

}  // namespace NFS::NSL
