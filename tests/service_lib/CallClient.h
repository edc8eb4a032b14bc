#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/service_lib/RpcClient.h"

namespace TestSupport {

// One client machine with a helper per procedure, each returning the
// reply's status.
struct Client {
  static constexpr uint32_t kMount = 100005;
  static constexpr uint32_t kNfs = 100003;
  using Bytes_t = std::vector<uint8_t>;

  Client(const char* source, const char* server, uint16_t port)
      : mount(source, server, port, kMount), nfs(source, server, port, kNfs) {}

  mountstat3 Mnt(const char* path, Bytes_t* handle = nullptr) {
    char* text = const_cast<char*>(path);
    mountres3 result{};
    EXPECT_EQ(mount.Call(1, xdr_dirpath, text, xdr_mountres3, result), RPC_SUCCESS);
    const mountstat3 status = result.fhs_status;
    if (status == MNT3_OK && handle != nullptr) {
      const auto& fh = result.mountres3_u.mountinfo.fhandle;
      handle->assign(fh.fhandle3_val, fh.fhandle3_val + fh.fhandle3_len);
    }
    mount.Free(xdr_mountres3, result);
    return status;
  }

  // UMNT has no status: whether the call was answered.
  bool Umnt(const char* path) {
    char* text = const_cast<char*>(path);
    return mount.CallRaw(3, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_dirpath)), &text,
                         reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr,
                         5000) == RPC_SUCCESS;
  }

  template <typename Args, typename Result>
  nfsstat3 Call(uint32_t procedure, bool_t (*encode)(XDR*, Args*), Args& args, bool_t (*decode)(XDR*, Result*),
                Result& result) {
    const clnt_stat sent = nfs.Call(procedure, encode, args, decode, result);
    EXPECT_EQ(sent, RPC_SUCCESS) << "procedure " << procedure;
    if (sent != RPC_SUCCESS) return NFS3ERR_SERVERFAULT;
    // Every result begins with its status.
    nfsstat3 status;
    std::memcpy(&status, &result, sizeof status);
    return status;
  }

  nfsstat3 GetAttr(Bytes_t object) {
    GETATTR3args args{Handle(object)};
    GETATTR3res result{};
    const nfsstat3 status = Call(1, xdr_GETATTR3args, args, xdr_GETATTR3res, result);
    nfs.Free(xdr_GETATTR3res, result);
    return status;
  }

  nfsstat3 SetMode(Bytes_t object, uint32_t mode) {
    sattr3 wanted{};
    wanted.mode.set_it = TRUE;
    wanted.mode.set_mode3_u.mode = mode;
    return SetAttributes(object, wanted);
  }

  nfsstat3 SetSize(Bytes_t object, uint64_t size) {
    sattr3 wanted{};
    wanted.size.set_it = TRUE;
    wanted.size.set_size3_u.size = size;
    return SetAttributes(object, wanted);
  }

  nfsstat3 SetAttributes(Bytes_t object, const sattr3& wanted) {
    SETATTR3args args{};
    args.object = Handle(object);
    args.new_attributes = wanted;
    SETATTR3res result{};
    const nfsstat3 status = Call(2, xdr_SETATTR3args, args, xdr_SETATTR3res, result);
    nfs.Free(xdr_SETATTR3res, result);
    return status;
  }

  nfsstat3 Lookup(Bytes_t dir, const char* name, Bytes_t* found = nullptr) {
    LOOKUP3args args{{Handle(dir), const_cast<char*>(name)}};
    LOOKUP3res result{};
    const nfsstat3 status = Call(3, xdr_LOOKUP3args, args, xdr_LOOKUP3res, result);
    if (status == NFS3_OK && found != nullptr) *found = Bytes(result.LOOKUP3res_u.resok.object);
    nfs.Free(xdr_LOOKUP3res, result);
    return status;
  }

  nfsstat3 Access(Bytes_t object, uint32_t* bits) {
    ACCESS3args args{Handle(object), 0x3F};
    ACCESS3res result{};
    const nfsstat3 status = Call(4, xdr_ACCESS3args, args, xdr_ACCESS3res, result);
    if (status == NFS3_OK) *bits = result.ACCESS3res_u.resok.access;
    nfs.Free(xdr_ACCESS3res, result);
    return status;
  }

  nfsstat3 Read(Bytes_t file, std::string* data) {
    READ3args args{Handle(file), 0, 4096};
    READ3res result{};
    const nfsstat3 status = Call(6, xdr_READ3args, args, xdr_READ3res, result);
    if (status == NFS3_OK) data->assign(result.READ3res_u.resok.data.data_val, result.READ3res_u.resok.data.data_len);
    nfs.Free(xdr_READ3res, result);
    return status;
  }

  nfsstat3 ReadAt(Bytes_t file, uint64_t offset, uint32_t count, std::string* data, bool* eof) {
    READ3args args{Handle(file), offset, count};
    READ3res result{};
    const nfsstat3 status = Call(6, xdr_READ3args, args, xdr_READ3res, result);
    if (status == NFS3_OK) {
      data->assign(result.READ3res_u.resok.data.data_val, result.READ3res_u.resok.data.data_len);
      *eof = result.READ3res_u.resok.eof != 0;
    }
    nfs.Free(xdr_READ3res, result);
    return status;
  }

  nfsstat3 Write(Bytes_t file, std::string data) {
    WRITE3args args{Handle(file), 0, static_cast<count3>(data.size()), FILE_SYNC,
                    {static_cast<u_int>(data.size()), data.data()}};
    WRITE3res result{};
    const nfsstat3 status = Call(7, xdr_WRITE3args, args, xdr_WRITE3res, result);
    nfs.Free(xdr_WRITE3res, result);
    return status;
  }

  nfsstat3 Create(Bytes_t dir, const char* name, Bytes_t* created = nullptr) {
    CREATE3args args{};
    args.where = {Handle(dir), const_cast<char*>(name)};
    args.how.mode = GUARDED;
    CREATE3res result{};
    const nfsstat3 status = Call(8, xdr_CREATE3args, args, xdr_CREATE3res, result);
    if (status == NFS3_OK && created != nullptr) *created = Bytes(result.CREATE3res_u.resok.obj.post_op_fh3_u.handle);
    nfs.Free(xdr_CREATE3res, result);
    return status;
  }

  nfsstat3 MkDir(Bytes_t dir, const char* name, Bytes_t* made = nullptr) {
    MKDIR3args args{};
    args.where = {Handle(dir), const_cast<char*>(name)};
    MKDIR3res result{};
    const nfsstat3 status = Call(9, xdr_MKDIR3args, args, xdr_MKDIR3res, result);
    if (status == NFS3_OK && made != nullptr) *made = Bytes(result.MKDIR3res_u.resok.obj.post_op_fh3_u.handle);
    nfs.Free(xdr_MKDIR3res, result);
    return status;
  }

  nfsstat3 Remove(Bytes_t dir, const char* name) {
    REMOVE3args args{{Handle(dir), const_cast<char*>(name)}};
    REMOVE3res result{};
    const nfsstat3 status = Call(12, xdr_REMOVE3args, args, xdr_REMOVE3res, result);
    nfs.Free(xdr_REMOVE3res, result);
    return status;
  }

  nfsstat3 RmDir(Bytes_t dir, const char* name) {
    RMDIR3args args{{Handle(dir), const_cast<char*>(name)}};
    RMDIR3res result{};
    const nfsstat3 status = Call(13, xdr_RMDIR3args, args, xdr_RMDIR3res, result);
    nfs.Free(xdr_RMDIR3res, result);
    return status;
  }

  nfsstat3 Rename(Bytes_t dir, const char* from, const char* to) { return Rename(dir, from, dir, to); }
  nfsstat3 Rename(Bytes_t fromDir, const char* from, Bytes_t toDir, const char* to) {
    RENAME3args args{{Handle(fromDir), const_cast<char*>(from)}, {Handle(toDir), const_cast<char*>(to)}};
    RENAME3res result{};
    const nfsstat3 status = Call(14, xdr_RENAME3args, args, xdr_RENAME3res, result);
    nfs.Free(xdr_RENAME3res, result);
    return status;
  }

  nfsstat3 ReadDirPlus(Bytes_t dir, std::vector<std::string>* names) {
    READDIRPLUS3args args{};
    args.dir = Handle(dir);
    args.dircount = 4096;
    args.maxcount = 32768;
    READDIRPLUS3res result{};
    const nfsstat3 status = Call(17, xdr_READDIRPLUS3args, args, xdr_READDIRPLUS3res, result);
    if (status == NFS3_OK) {
      for (const entryplus3* e = result.READDIRPLUS3res_u.resok.reply.entries; e != nullptr; e = e->nextentry) {
        names->push_back(e->name);
      }
    }
    nfs.Free(xdr_READDIRPLUS3res, result);
    return status;
  }

  nfsstat3 FsStat(Bytes_t dir) {
    FSSTAT3args args{Handle(dir)};
    FSSTAT3res result{};
    const nfsstat3 status = Call(18, xdr_FSSTAT3args, args, xdr_FSSTAT3res, result);
    nfs.Free(xdr_FSSTAT3res, result);
    return status;
  }

  nfsstat3 FsInfo(Bytes_t dir) {
    FSINFO3args args{Handle(dir)};
    FSINFO3res result{};
    const nfsstat3 status = Call(19, xdr_FSINFO3args, args, xdr_FSINFO3res, result);
    nfs.Free(xdr_FSINFO3res, result);
    return status;
  }

  nfsstat3 Commit(Bytes_t file) {
    COMMIT3args args{Handle(file), 0, 0};
    COMMIT3res result{};
    const nfsstat3 status = Call(21, xdr_COMMIT3args, args, xdr_COMMIT3res, result);
    nfs.Free(xdr_COMMIT3res, result);
    return status;
  }

  RpcClient mount;
  RpcClient nfs;
};

}  // namespace TestSupport
