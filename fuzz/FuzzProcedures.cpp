// Arbitrary bytes as the arguments of every MOUNT and NFS procedure: the
// first byte picks the procedure, the rest is decoded by the generated coder
// and handed to the real handler over a server exporting a temporary folder.
#include <rpc/rpc.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include <service_lib/protocol/nfs3.h>

#include "host/Logging.h"
#include "server_lib/server/Server.h"
#include "service_lib/nsl/FileServiceImpl.h"
#include "service_lib/nsl/MountServiceImpl.h"

namespace {

std::shared_ptr<NFS::Server> g_server;
std::unique_ptr<NFS::NSL::FileServiceImpl> g_files;
std::unique_ptr<NFS::NSL::MountServiceImpl> g_mount;

template <typename Args, typename Result>
void Run(const uint8_t* data, size_t size, bool_t (*decode)(XDR*, Args*), bool_t (*encode)(XDR*, Result*),
         void (*handle)(const Args&, Result&)) {
  Args args;
  Result result;
  std::memset(&args, 0, sizeof args);
  std::memset(&result, 0, sizeof result);
  XDR in;
  xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size), XDR_DECODE);
  if (decode(&in, &args)) {
    handle(args, result);
    // The reply must encode as well as it was filled.
    std::vector<char> out(1 << 20);
    XDR reply;
    xdrmem_create(&reply, out.data(), static_cast<u_int>(out.size()), XDR_ENCODE);
    encode(&reply, &result);
    xdr_destroy(&reply);
    xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(encode)), reinterpret_cast<char*>(&result));
  }
  xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(decode)), reinterpret_cast<char*>(&args));
  xdr_destroy(&in);
}

#define NFS_PROCEDURE(Type, Method)                                                                   \
  Run<Type##3args, Type##3res>(data, size, xdr_##Type##3args, xdr_##Type##3res,                       \
                               [](const Type##3args& a, Type##3res& r) { g_files->Method(a, r); })

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Common::Logger::SetThreshold(5);  // quiet
  char pattern[] = "/tmp/nfs-fuzz-XXXXXX";
  const std::filesystem::path root = mkdtemp(pattern);
  std::filesystem::create_directories(root / "dir" / "sub");
  std::ofstream(root / "file.txt") << "some content";
  std::ofstream(root / "dir" / "inner.bin") << std::string(5000, 'x');
  g_server = NFS::CreateServer(nullptr);
  g_server->SetRoot(Common::FromUtf8(root.string()), u"/share");
  g_files = std::make_unique<NFS::NSL::FileServiceImpl>(g_server);
  g_mount = std::make_unique<NFS::NSL::MountServiceImpl>(g_server);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t length) {
  if (length < 1) return 0;
  const uint8_t selector = bytes[0] % 20;
  const uint8_t* data = bytes + 1;
  const size_t size = length - 1;
  switch (selector) {
    case 0: NFS_PROCEDURE(GETATTR, GetAttr); break;
    case 1: NFS_PROCEDURE(SETATTR, SetAttr); break;
    case 2: NFS_PROCEDURE(LOOKUP, Lookup); break;
    case 3: NFS_PROCEDURE(ACCESS, Access); break;
    case 4: NFS_PROCEDURE(READ, Read); break;
    case 5: NFS_PROCEDURE(WRITE, Write); break;
    case 6: NFS_PROCEDURE(CREATE, Create); break;
    case 7: NFS_PROCEDURE(MKDIR, MkDir); break;
    case 8: NFS_PROCEDURE(REMOVE, Remove); break;
    case 9: NFS_PROCEDURE(RMDIR, RmDir); break;
    case 10: NFS_PROCEDURE(RENAME, Rename); break;
    case 11: NFS_PROCEDURE(READDIRPLUS, ReadDirPlus); break;
    case 12: NFS_PROCEDURE(FSSTAT, FsStat); break;
    case 13: NFS_PROCEDURE(FSINFO, FsInfo); break;
    case 14: NFS_PROCEDURE(COMMIT, Commit); break;
    case 15:
      Run<dirpath, mountres3>(data, size, xdr_dirpath, xdr_mountres3,
                              [](const dirpath& path, mountres3& result) { g_mount->Mnt(path, "192.0.2.7", result); });
      break;
    case 16:
      Run<dirpath, mountres3>(data, size, xdr_dirpath, xdr_mountres3,
                              [](const dirpath& path, mountres3&) { g_mount->Umnt(path, "192.0.2.7"); });
      break;
    default: {
      // The procedures that are never answered must still decode safely.
      READLINK3args readlink;
      std::memset(&readlink, 0, sizeof readlink);
      XDR in;
      xdrmem_create(&in, reinterpret_cast<char*>(const_cast<uint8_t*>(data)), static_cast<u_int>(size), XDR_DECODE);
      xdr_READLINK3args(&in, &readlink);
      xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_READLINK3args)),
               reinterpret_cast<char*>(&readlink));
      xdr_destroy(&in);
      break;
    }
  }
  return 0;
}
