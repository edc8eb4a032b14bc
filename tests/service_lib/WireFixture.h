#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "server_lib/core/ObjectId.h"
#include "tests/service_lib/RpcClient.h"
#include "tests/service_lib/RunningService.h"

namespace TestSupport {

using Bytes_t = std::vector<uint8_t>;

inline constexpr uint32_t kMount = 100005;
inline constexpr uint32_t kNfs = 100003;

// A running service and a raw RPC client of it, with one call helper per
// procedure that the tests use.
class WireClientTest : public RunningServiceTest {
 protected:
  void SetUp() override {
    RunningServiceTest::SetUp();
    nfs_ = std::make_unique<RpcClient>(port_, kNfs);
    ASSERT_TRUE(nfs_->IsConnected());
    root_ = NFS::MakeObjectId(NFS::kDirectoryKind, ShareName());
  }

  mountstat3 Mnt(const char* path, Bytes_t* handle = nullptr) {
    RpcClient mount(port_, kMount);
    char* text = const_cast<char*>(path);
    mountres3 result{};
    EXPECT_EQ(mount.Call(1, xdr_dirpath, text, xdr_mountres3, result), RPC_SUCCESS);
    const mountstat3 status = result.fhs_status;
    if (status == MNT3_OK && handle != nullptr) {
      const auto& fh = result.mountres3_u.mountinfo.fhandle;
      handle->assign(fh.fhandle3_val, fh.fhandle3_val + fh.fhandle3_len);
      EXPECT_EQ(result.mountres3_u.mountinfo.auth_flavors.auth_flavors_len, 0u);
    }
    mount.Free(xdr_mountres3, result);
    return status;
  }

  nfsstat3 GetAttr(Bytes_t handle, fattr3* attributes = nullptr) {
    GETATTR3args args{Handle(handle)};
    GETATTR3res result{};
    EXPECT_EQ(nfs_->Call(1, xdr_GETATTR3args, args, xdr_GETATTR3res, result), RPC_SUCCESS);
    if (attributes != nullptr && result.status == NFS3_OK) *attributes = result.GETATTR3res_u.resok.obj_attributes;
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_GETATTR3res, result);
    return status;
  }

  nfsstat3 Lookup(Bytes_t dir, const char* name, Bytes_t* found = nullptr) {
    LOOKUP3args args{{Handle(dir), const_cast<char*>(name)}};
    LOOKUP3res result{};
    EXPECT_EQ(nfs_->Call(3, xdr_LOOKUP3args, args, xdr_LOOKUP3res, result), RPC_SUCCESS);
    if (found != nullptr && result.status == NFS3_OK) *found = Bytes(result.LOOKUP3res_u.resok.object);
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_LOOKUP3res, result);
    return status;
  }

  uint32_t Access(Bytes_t handle) {
    ACCESS3args args{Handle(handle), 0x3F};
    ACCESS3res result{};
    EXPECT_EQ(nfs_->Call(4, xdr_ACCESS3args, args, xdr_ACCESS3res, result), RPC_SUCCESS);
    EXPECT_EQ(result.status, NFS3_OK);
    const uint32_t bits = result.ACCESS3res_u.resok.access;
    nfs_->Free(xdr_ACCESS3res, result);
    return bits;
  }

  nfsstat3 Create(Bytes_t dir, const char* name, createmode3 mode, Bytes_t* created = nullptr) {
    CREATE3args args{};
    args.where = {Handle(dir), const_cast<char*>(name)};
    args.how.mode = mode;
    CREATE3res result{};
    EXPECT_EQ(nfs_->Call(8, xdr_CREATE3args, args, xdr_CREATE3res, result), RPC_SUCCESS);
    if (result.status == NFS3_OK) {
      EXPECT_TRUE(result.CREATE3res_u.resok.obj.handle_follows);
      EXPECT_TRUE(result.CREATE3res_u.resok.obj_attributes.attributes_follow);
      if (created != nullptr) *created = Bytes(result.CREATE3res_u.resok.obj.post_op_fh3_u.handle);
    }
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_CREATE3res, result);
    return status;
  }

  WRITE3resok Write(Bytes_t file, uint64_t offset, std::string data, uint32_t count, stable_how stable) {
    WRITE3args args{Handle(file), offset, count, stable, {static_cast<u_int>(data.size()), data.data()}};
    WRITE3res result{};
    EXPECT_EQ(nfs_->Call(7, xdr_WRITE3args, args, xdr_WRITE3res, result), RPC_SUCCESS);
    EXPECT_EQ(result.status, NFS3_OK);
    const WRITE3resok ok = result.WRITE3res_u.resok;
    nfs_->Free(xdr_WRITE3res, result);
    return ok;
  }

  std::pair<std::string, bool> Read(Bytes_t file, uint64_t offset, uint32_t count) {
    READ3args args{Handle(file), offset, count};
    READ3res result{};
    EXPECT_EQ(nfs_->Call(6, xdr_READ3args, args, xdr_READ3res, result), RPC_SUCCESS);
    EXPECT_EQ(result.status, NFS3_OK);
    const auto& ok = result.READ3res_u.resok;
    EXPECT_FALSE(ok.file_attributes.attributes_follow);
    EXPECT_EQ(ok.count, ok.data.data_len);
    std::pair<std::string, bool> answer{std::string(ok.data.data_val, ok.data.data_len), ok.eof != 0};
    nfs_->Free(xdr_READ3res, result);
    return answer;
  }

  nfsstat3 MkDir(Bytes_t dir, const char* name, Bytes_t* made = nullptr) {
    MKDIR3args args{};
    args.where = {Handle(dir), const_cast<char*>(name)};
    MKDIR3res result{};
    EXPECT_EQ(nfs_->Call(9, xdr_MKDIR3args, args, xdr_MKDIR3res, result), RPC_SUCCESS);
    if (made != nullptr && result.status == NFS3_OK) *made = Bytes(result.MKDIR3res_u.resok.obj.post_op_fh3_u.handle);
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_MKDIR3res, result);
    return status;
  }

  nfsstat3 Rename(Bytes_t fromDir, const char* from, Bytes_t toDir, const char* to) {
    RENAME3args args{{Handle(fromDir), const_cast<char*>(from)}, {Handle(toDir), const_cast<char*>(to)}};
    RENAME3res result{};
    EXPECT_EQ(nfs_->Call(14, xdr_RENAME3args, args, xdr_RENAME3res, result), RPC_SUCCESS);
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_RENAME3res, result);
    return status;
  }

  nfsstat3 SetMode(Bytes_t object, uint32_t mode) {
    SETATTR3args args{};
    args.object = Handle(object);
    args.new_attributes.mode.set_it = TRUE;
    args.new_attributes.mode.set_mode3_u.mode = mode;
    SETATTR3res result{};
    EXPECT_EQ(nfs_->Call(2, xdr_SETATTR3args, args, xdr_SETATTR3res, result), RPC_SUCCESS);
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_SETATTR3res, result);
    return status;
  }

  struct Listing {
    nfsstat3 status = NFS3_OK;
    std::vector<std::string> names;
    std::vector<uint64_t> cookies;
    uint64_t verifier = 0;
    bool eof = false;
    bool dirAttributes = false;
  };

  Listing ReadDirPlus(Bytes_t dir, uint64_t cookie, uint64_t verifier, uint32_t maxcount = 32768) {
    READDIRPLUS3args args{};
    args.dir = Handle(dir);
    args.cookie = cookie;
    std::memcpy(args.cookieverf, &verifier, 8);  // little-endian machine
    args.dircount = 4096;
    args.maxcount = maxcount;
    READDIRPLUS3res result{};
    EXPECT_EQ(nfs_->Call(17, xdr_READDIRPLUS3args, args, xdr_READDIRPLUS3res, result), RPC_SUCCESS);
    Listing listing;
    listing.status = result.status;
    if (result.status == NFS3_OK) {
      const auto& ok = result.READDIRPLUS3res_u.resok;
      std::memcpy(&listing.verifier, ok.cookieverf, 8);
      listing.eof = ok.reply.eof;
      listing.dirAttributes = ok.dir_attributes.attributes_follow;
      for (const entryplus3* e = ok.reply.entries; e != nullptr; e = e->nextentry) {
        listing.names.push_back(e->name);
        listing.cookies.push_back(e->cookie);
        EXPECT_FALSE(e->name_attributes.attributes_follow);
        EXPECT_FALSE(e->name_handle.handle_follows);
      }
    } else {
      listing.dirAttributes = result.READDIRPLUS3res_u.resfail.dir_attributes.attributes_follow;
    }
    nfs_->Free(xdr_READDIRPLUS3res, result);
    return listing;
  }

  std::unique_ptr<RpcClient> nfs_;
  Bytes_t root_;
};

}  // namespace TestSupport
