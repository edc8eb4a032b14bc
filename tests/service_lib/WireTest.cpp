#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <set>

#include "tests/service_lib/WireFixture.h"

namespace {

using TestSupport::Bytes;
using TestSupport::Bytes_t;
using TestSupport::Handle;
using TestSupport::kMount;
using TestSupport::kNfs;
using TestSupport::RpcClient;

using WireTest = TestSupport::WireClientTest;

TEST_F(WireTest, MountGivesTheRootHandle) {
  Bytes_t handle;
  ASSERT_EQ(Mnt("/share", &handle), MNT3_OK);
  EXPECT_EQ(handle, root_);
  EXPECT_EQ(handle[0], 1);
  EXPECT_EQ(Mnt("/other"), MNT3ERR_NOENT);
  EXPECT_EQ(Mnt("/SHARE"), MNT3ERR_NOENT);
  EXPECT_EQ(Mnt(""), MNT3ERR_SERVERFAULT);

  fattr3 attributes{};
  ASSERT_EQ(GetAttr(root_, &attributes), NFS3_OK);
  EXPECT_EQ(attributes.type, NF3DIR);
  EXPECT_EQ(attributes.fsid, 0u);

  // UMNT answers with an empty reply whatever it names.
  RpcClient mount(port_, kMount);
  char* nothing = const_cast<char*>("/nothing");
  EXPECT_EQ(mount.CallRaw(3, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_dirpath)), &nothing,
                          reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void)), nullptr, 5000),
            RPC_SUCCESS);
  EXPECT_EQ(mount.CallVoid(0), RPC_SUCCESS);
}

// Encodes a GETATTR whose handle is longer than the protocol allows.
bool_t EncodeLongHandle(XDR* xdrs, void* args) {
  auto* bytes = static_cast<Bytes_t*>(args);
  char* data = reinterpret_cast<char*>(bytes->data());
  u_int length = static_cast<u_int>(bytes->size());
  return xdr_bytes(xdrs, &data, &length, 1024);
}

// A WRITE whose data length field announces almost 4 GiB, with no data.
bool_t EncodeForgedWrite(XDR* xdrs, void* args) {
  auto* handle = static_cast<Bytes_t*>(args);
  char* data = reinterpret_cast<char*>(handle->data());
  u_int length = static_cast<u_int>(handle->size());
  uint64_t offset = 0;
  u_int count = 10;
  enum_t stable = 0;
  u_int forged = 0xF0000000u;
  return xdr_bytes(xdrs, &data, &length, 64) && xdr_u_int64_t(xdrs, &offset) && xdr_u_int(xdrs, &count) &&
         xdr_enum(xdrs, &stable) && xdr_u_int(xdrs, &forged);
}

TEST_F(WireTest, ForgedLengthsAreRefusedWithoutAllocating) {
  temp_.WriteFile("export/target", "");
  Bytes_t target;
  ASSERT_EQ(Lookup(root_, "target", &target), NFS3_OK);
  WRITE3res result{};
  EXPECT_EQ(nfs_->CallRaw(7, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(EncodeForgedWrite)), &target,
                          reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_WRITE3res)), &result, 5000),
            RPC_CANTDECODEARGS);
  EXPECT_EQ(GetAttr(root_), NFS3_OK);
}

TEST_F(WireTest, ProcedureTableAndUnansweredProcedures) {
  EXPECT_EQ(nfs_->CallVoid(0), RPC_SUCCESS);
  EXPECT_EQ(nfs_->CallVoid(22), RPC_PROCUNAVAIL);
  RpcClient mount(port_, kMount);
  EXPECT_EQ(mount.CallVoid(6), RPC_PROCUNAVAIL);

  Bytes_t longHandle(65, 1);
  GETATTR3res result{};
  EXPECT_EQ(nfs_->CallRaw(1, reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(EncodeLongHandle)), &longHandle,
                          reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_GETATTR3res)), &result, 5000),
            RPC_CANTDECODEARGS);

  // Well-formed calls of procedures the server never answers. This client
  // library cannot use a connection again after a call timed out, so each
  // goes on a connection of its own.
  constexpr int kNoReply = 400;
  auto fresh = [&] { return std::make_unique<RpcClient>(port_, kNfs); };
  Bytes_t root = root_;
  char empty[] = "";
  READLINK3args readlink{Handle(root)};
  READLINK3res readlinkRes{};
  EXPECT_EQ(fresh()->Call(5, xdr_READLINK3args, readlink, xdr_READLINK3res, readlinkRes, kNoReply), RPC_TIMEDOUT);
  SYMLINK3args symlink{};
  symlink.where = {Handle(root), empty};
  symlink.symlink.symlink_data = empty;
  SYMLINK3res symlinkRes{};
  EXPECT_EQ(fresh()->Call(10, xdr_SYMLINK3args, symlink, xdr_SYMLINK3res, symlinkRes, kNoReply), RPC_TIMEDOUT);
  MKNOD3args mknod{};
  mknod.where = {Handle(root), empty};
  mknod.what.type = NF3FIFO;
  MKNOD3res mknodRes{};
  EXPECT_EQ(fresh()->Call(11, xdr_MKNOD3args, mknod, xdr_MKNOD3res, mknodRes, kNoReply), RPC_TIMEDOUT);
  LINK3args link{Handle(root), {Handle(root), empty}};
  LINK3res linkRes{};
  EXPECT_EQ(fresh()->Call(15, xdr_LINK3args, link, xdr_LINK3res, linkRes, kNoReply), RPC_TIMEDOUT);
  READDIR3args readdir{};
  readdir.dir = Handle(root);
  readdir.count = 4096;
  READDIR3res readdirRes{};
  EXPECT_EQ(fresh()->Call(16, xdr_READDIR3args, readdir, xdr_READDIR3res, readdirRes, kNoReply), RPC_TIMEDOUT);
  PATHCONF3args pathconf{Handle(root)};
  PATHCONF3res pathconfRes{};
  EXPECT_EQ(fresh()->Call(20, xdr_PATHCONF3args, pathconf, xdr_PATHCONF3res, pathconfRes, kNoReply), RPC_TIMEDOUT);
  for (uint32_t procedure : {2u, 4u, 5u}) {
    EXPECT_EQ(RpcClient(port_, kMount).CallVoid(procedure, kNoReply), RPC_TIMEDOUT);
  }
  // The connection still serves after all of that.
  EXPECT_EQ(GetAttr(root_), NFS3_OK);
}

TEST_F(WireTest, HandlesStatusesAttributesAndAccess) {
  temp_.WriteFile("export/ro.txt", "x");
  temp_.WriteFile("export/exec.sh", "x");
  std::filesystem::create_directory(Local("dir"));
  chmod(Local("ro.txt").c_str(), 0444);
  chmod(Local("exec.sh").c_str(), 0755);
  chmod(Local("dir").c_str(), 0755);
  const timespec times[2] = {{1700000000, 123000000}, {1700000000, 123000000}};
  ASSERT_EQ(utimensat(AT_FDCWD, Local("ro.txt").c_str(), times, 0), 0);

  Bytes_t ro, exec, dir;
  ASSERT_EQ(Lookup(root_, "ro.txt", &ro), NFS3_OK);
  ASSERT_EQ(Lookup(root_, "exec.sh", &exec), NFS3_OK);
  ASSERT_EQ(Lookup(root_, "dir", &dir), NFS3_OK);
  EXPECT_EQ(Lookup(root_, "missing"), NFS3ERR_NOENT);

  fattr3 attributes{};
  ASSERT_EQ(GetAttr(ro, &attributes), NFS3_OK);
  EXPECT_EQ(attributes.type, NF3REG);
  EXPECT_EQ(attributes.mode, 0444u);
  EXPECT_EQ(attributes.mtime.seconds, 1700000000u);
  EXPECT_EQ(attributes.mtime.nseconds, 123000000u);
  EXPECT_EQ(attributes.size, 1u);

  EXPECT_EQ(Access(ro), 0x1u);
  EXPECT_EQ(Access(dir), 0x1Fu);
  EXPECT_EQ(Access(exec), 0x2Du);

  Bytes_t shortHandle(root_.begin(), root_.end() - 1);
  Bytes_t badKind = root_;
  badKind[0] = 3;
  EXPECT_EQ(GetAttr(shortHandle), NFS3ERR_BADHANDLE);
  EXPECT_EQ(GetAttr(badKind), NFS3ERR_BADHANDLE);
  EXPECT_EQ(GetAttr(NFS::MakeObjectId(NFS::kFileKind, u"/share/never-seen")), NFS3ERR_STALE);

  // SETATTR: an owner without a group changes nothing; mode and size apply.
  struct stat before {};
  stat(Local("exec.sh").c_str(), &before);
  SETATTR3args setattr{};
  setattr.object = Handle(exec);
  setattr.new_attributes.uid.set_it = TRUE;
  setattr.new_attributes.uid.set_uid3_u.uid = before.st_uid + 1;
  setattr.new_attributes.mode.set_it = TRUE;
  setattr.new_attributes.mode.set_mode3_u.mode = 0700;
  setattr.new_attributes.size.set_it = TRUE;
  setattr.new_attributes.size.set_size3_u.size = 0;
  SETATTR3res setattrRes{};
  ASSERT_EQ(nfs_->Call(2, xdr_SETATTR3args, setattr, xdr_SETATTR3res, setattrRes), RPC_SUCCESS);
  EXPECT_EQ(setattrRes.status, NFS3_OK);
  EXPECT_FALSE(setattrRes.SETATTR3res_u.resok.obj_wcc.after.attributes_follow);
  struct stat after {};
  stat(Local("exec.sh").c_str(), &after);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_mode & 07777, 0700u);
  EXPECT_EQ(after.st_size, 0);
}

TEST_F(WireTest, ReadWriteAndCommit) {
  temp_.WriteFile("export/ten", "0123456789");
  temp_.WriteFile("export/hundred", std::string(100, 'h'));
  Bytes_t ten, hundred;
  ASSERT_EQ(Lookup(root_, "ten", &ten), NFS3_OK);
  ASSERT_EQ(Lookup(root_, "hundred", &hundred), NFS3_OK);

  EXPECT_EQ(Read(ten, 0, 100), std::make_pair(std::string("0123456789"), true));
  EXPECT_EQ(Read(hundred, 0, 10), std::make_pair(std::string(10, 'h'), false));
  EXPECT_EQ(Read(ten, 50, 10), std::make_pair(std::string(), true));

  const WRITE3resok first = Write(ten, 0, "abcdefghijklmnopqrst", 10, UNSTABLE);
  EXPECT_EQ(first.count, 10u);
  EXPECT_EQ(first.committed, UNSTABLE);
  const WRITE3resok second = Write(ten, 10, "XYZ", 20, FILE_SYNC);
  EXPECT_EQ(second.count, 3u);
  EXPECT_EQ(second.committed, FILE_SYNC);
  EXPECT_EQ(temp_.ReadFile("export/ten"), "abcdefghijXYZ");

  COMMIT3args commit{Handle(ten), 0, 0};
  COMMIT3res commitRes{};
  ASSERT_EQ(nfs_->Call(21, xdr_COMMIT3args, commit, xdr_COMMIT3res, commitRes), RPC_SUCCESS);
  ASSERT_EQ(commitRes.status, NFS3_OK);
  EXPECT_EQ(std::memcmp(first.verf, second.verf, 8), 0);
  EXPECT_EQ(std::memcmp(first.verf, commitRes.COMMIT3res_u.resok.verf, 8), 0);

  // A new start of the service is a new write verifier.
  char before[8];
  std::memcpy(before, first.verf, 8);
  ASSERT_TRUE(service_->Stop().IsSuccess());
  ASSERT_TRUE(service_->Start().IsSuccess());
  nfs_ = std::make_unique<RpcClient>(NFS::NSL::GetListeningPort(), kNfs);
  const WRITE3resok later = Write(ten, 0, "a", 1, UNSTABLE);
  EXPECT_NE(std::memcmp(before, later.verf, 8), 0);
}

TEST_F(WireTest, CreateModesRenameAndNames) {
  Bytes_t created;
  EXPECT_EQ(Create(root_, "new.txt", UNCHECKED, &created), NFS3_OK);
  EXPECT_EQ(created, NFS::MakeObjectId(NFS::kFileKind, u"/share/new.txt"));
  temp_.WriteFile("export/new.txt", "keep");
  EXPECT_EQ(Create(root_, "new.txt", UNCHECKED), NFS3ERR_NOTSUPP);
  EXPECT_EQ(temp_.ReadFile("export/new.txt"), "keep");
  EXPECT_EQ(Create(root_, "new.txt", GUARDED), NFS3ERR_EXIST);
  EXPECT_EQ(Create(root_, "exclusive.txt", EXCLUSIVE), NFS3ERR_NOTSUPP);
  EXPECT_FALSE(temp_.Exists("export/exclusive.txt"));
  EXPECT_EQ(Create(root_, "../escape.txt", GUARDED), NFS3ERR_INVAL);
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() / "escape.txt"));

  // A name that is not UTF-8 arrives byte-wise widened: 0xE9 is U+00E9.
  EXPECT_EQ(Create(root_, "\xE9", GUARDED), NFS3_OK);
  EXPECT_TRUE(temp_.Exists("export/\xC3\xA9"));

  Bytes_t sub;
  ASSERT_EQ(MkDir(root_, "sub", &sub), NFS3_OK);
  auto rename = [&](Bytes_t from, const char* fromName, Bytes_t to, const char* toName) {
    return Rename(from, fromName, to, toName);
  };
  EXPECT_EQ(rename(root_, "new.txt", sub, "moved.txt"), NFS3ERR_NOTSUPP);
  EXPECT_TRUE(temp_.Exists("export/new.txt"));
  EXPECT_EQ(rename(root_, "missing", root_, "x"), NFS3ERR_NOENT);
  EXPECT_EQ(rename(root_, "new.txt", root_, "renamed.txt"), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("export/renamed.txt"), "keep");

  auto remove = [&](uint32_t procedure, const char* name) {
    REMOVE3args args{{Handle(root_), const_cast<char*>(name)}};
    REMOVE3res result{};
    EXPECT_EQ(nfs_->Call(procedure, xdr_REMOVE3args, args, xdr_REMOVE3res, result), RPC_SUCCESS);
    return result.status;
  };
  EXPECT_EQ(remove(12, "renamed.txt"), NFS3_OK);
  EXPECT_EQ(remove(12, "renamed.txt"), NFS3ERR_NOENT);
  EXPECT_EQ(remove(13, "sub"), NFS3_OK);
  EXPECT_FALSE(temp_.Exists("export/sub"));
}

TEST_F(WireTest, ReadDirPlusBudgetCookiesAndVerifier) {
  std::filesystem::create_directory(Local("empty"));
  std::filesystem::create_directory(Local("many"));
  for (int i = 0; i < 100; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "many/f%07d", i);
    temp_.WriteFile("export/" + std::string(name), "");
  }
  Bytes_t empty, many;
  ASSERT_EQ(Lookup(root_, "empty", &empty), NFS3_OK);
  ASSERT_EQ(Lookup(root_, "many", &many), NFS3_OK);

  const Listing none = ReadDirPlus(empty, 0, 0);
  ASSERT_EQ(none.status, NFS3_OK);
  EXPECT_TRUE(none.names.empty());
  EXPECT_TRUE(none.eof);
  EXPECT_NE(none.verifier, 0u);
  EXPECT_FALSE(none.dirAttributes);

  // 8-byte names cost 40 bytes each: 50 fit in 2048 with the 20-byte header.
  const Listing first = ReadDirPlus(many, 0, 0);
  ASSERT_EQ(first.names.size(), 50u);
  EXPECT_FALSE(first.eof);
  EXPECT_EQ(first.cookies.front(), 1u);
  EXPECT_EQ(first.cookies.back(), 50u);
  const Listing second = ReadDirPlus(many, first.cookies.back(), first.verifier);
  ASSERT_EQ(second.status, NFS3_OK);
  ASSERT_EQ(second.names.size(), 50u);
  EXPECT_TRUE(second.eof);
  EXPECT_EQ(second.verifier, first.verifier);
  EXPECT_EQ(second.cookies.front(), 51u);
  std::set<std::string> all(first.names.begin(), first.names.end());
  all.insert(second.names.begin(), second.names.end());
  EXPECT_EQ(all.size(), 100u);

  const Listing small = ReadDirPlus(many, 0, 0, 1024);
  EXPECT_EQ(small.names.size(), 25u);  // (1024 - 20) / 40

  const Listing stale = ReadDirPlus(many, 5, 0x1234567890ULL);
  EXPECT_EQ(stale.status, NFS3ERR_BAD_COOKIE);
  EXPECT_TRUE(stale.dirAttributes);
}

TEST_F(WireTest, FileSystemInformation) {
  FSINFO3args info{Handle(root_)};
  FSINFO3res infoRes{};
  ASSERT_EQ(nfs_->Call(19, xdr_FSINFO3args, info, xdr_FSINFO3res, infoRes), RPC_SUCCESS);
  ASSERT_EQ(infoRes.status, NFS3_OK);
  const FSINFO3resok& ok = infoRes.FSINFO3res_u.resok;
  EXPECT_FALSE(ok.obj_attributes.attributes_follow);
  EXPECT_EQ(ok.rtmax, 32768u);
  EXPECT_EQ(ok.rtpref, 32768u);
  EXPECT_EQ(ok.rtmult, 512u);
  EXPECT_EQ(ok.wtmax, 32768u);
  EXPECT_EQ(ok.wtpref, 32768u);
  EXPECT_EQ(ok.wtmult, 512u);
  EXPECT_EQ(ok.dtpref, 2048u);
  EXPECT_EQ(ok.maxfilesize, 0x8000000000000000ULL);
  EXPECT_EQ(ok.time_delta.seconds, 1u);
  EXPECT_EQ(ok.time_delta.nseconds, 0u);
  EXPECT_EQ(ok.properties, 0x18u);

  Bytes_t bad(3, 1);
  FSINFO3args badInfo{Handle(bad)};
  FSINFO3res badRes{};
  ASSERT_EQ(nfs_->Call(19, xdr_FSINFO3args, badInfo, xdr_FSINFO3res, badRes), RPC_SUCCESS);
  EXPECT_EQ(badRes.status, NFS3ERR_BADHANDLE);

  FSSTAT3args stat{Handle(root_)};
  FSSTAT3res statRes{};
  ASSERT_EQ(nfs_->Call(18, xdr_FSSTAT3args, stat, xdr_FSSTAT3res, statRes), RPC_SUCCESS);
  ASSERT_EQ(statRes.status, NFS3_OK);
  EXPECT_TRUE(statRes.FSSTAT3res_u.resok.obj_attributes.attributes_follow);
  EXPECT_GT(statRes.FSSTAT3res_u.resok.tbytes, 0u);
  EXPECT_EQ(statRes.FSSTAT3res_u.resok.ffiles, 0xFFFFFFFFFFFFFFFFULL);
  EXPECT_EQ(statRes.FSSTAT3res_u.resok.invarsec, 0u);
}

}  // namespace
