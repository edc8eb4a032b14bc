#pragma once

#include <service_lib/protocol/nfs3.h>

namespace NFS::NSL {

// The NFS procedures that the server answers. Each fills its result record,
// allocating what it points to with malloc so that xdr_free releases it.
class FileService {
 public:
  virtual ~FileService() = default;
  virtual void GetAttr(const GETATTR3args& args, GETATTR3res& result) = 0;
  virtual void SetAttr(const SETATTR3args& args, SETATTR3res& result) = 0;
  virtual void FsInfo(const FSINFO3args& args, FSINFO3res& result) = 0;
  virtual void FsStat(const FSSTAT3args& args, FSSTAT3res& result) = 0;
  virtual void Access(const ACCESS3args& args, ACCESS3res& result) = 0;
  virtual void ReadDirPlus(const READDIRPLUS3args& args, READDIRPLUS3res& result) = 0;
  virtual void Lookup(const LOOKUP3args& args, LOOKUP3res& result) = 0;
  virtual void Create(const CREATE3args& args, CREATE3res& result) = 0;
  virtual void MkDir(const MKDIR3args& args, MKDIR3res& result) = 0;
  virtual void Remove(const REMOVE3args& args, REMOVE3res& result) = 0;
  virtual void RmDir(const RMDIR3args& args, RMDIR3res& result) = 0;
  virtual void Rename(const RENAME3args& args, RENAME3res& result) = 0;
  virtual void Read(const READ3args& args, READ3res& result) = 0;
  virtual void Write(const WRITE3args& args, WRITE3res& result) = 0;
  virtual void Commit(const COMMIT3args& args, COMMIT3res& result) = 0;
};

}  // namespace NFS::NSL
