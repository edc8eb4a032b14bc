// Throughput figures of an NFS server, measured with libnfs over loopback.
//
//   nfs_bench                 starts this server in-process on a temporary folder
//   nfs_bench nfs://HOST/share?version=3&nfsport=P&mountport=P&auto-traverse-mounts=0
//                             measures a server that is already running
#include <fcntl.h>
#include <poll.h>
#include <sys/time.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "server_lib/server/Server.h"
#include "service_lib/ServerControl.h"
#include "service_lib/nsl/Service.h"

// libnfs 4.0 hands out handles of open files through this record, which its
// public headers only declare.
struct nfs_fh {
  int len;
  char* val;
};

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

[[noreturn]] void Die(const std::string& what, nfs_context* nfs) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), nfs ? nfs_get_error(nfs) : "");
  std::exit(1);
}

// One raw call on the mounted context's connection, waited for.
bool RawCall(rpc_context* rpc, const std::function<int(rpc_cb, void*)>& send) {
  struct State {
    bool done = false;
    bool ok = false;
  } state;
  rpc_cb callback = [](rpc_context*, int status, void* data, void* privateData) {
    auto* s = static_cast<State*>(privateData);
    s->done = true;
    s->ok = status == RPC_STATUS_SUCCESS && static_cast<GETATTR3res*>(data)->status == NFS3_OK;
  };
  if (send(callback, &state) != 0) return false;
  while (!state.done) {
    pollfd p{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
    if (poll(&p, 1, 10000) <= 0) return false;
    if (rpc_service(rpc, p.revents) < 0) return false;
  }
  return state.ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string url;
  std::filesystem::path folder;
  std::shared_ptr<NFS::Server> server;
  std::unique_ptr<NFS::Service> service;
  if (argc > 1) {
    url = argv[1];
  } else {
    folder = std::filesystem::temp_directory_path() / ("nfs-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    server = NFS::CreateServer(nullptr);
    service = NFS::CreateService(server);
    if (service->SetRoot(Common::FromUtf8(folder.string()), u"/share").IsFailure() ||
        service->Start().IsFailure()) {
      std::fprintf(stderr, "cannot start the server (is rpcbind running?)\n");
      return 1;
    }
    const std::string port = std::to_string(NFS::NSL::GetListeningPort());
    url = "nfs://127.0.0.1/share?version=3&nfsport=" + port + "&mountport=" + port + "&auto-traverse-mounts=0";
  }

  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, 30000);
  nfs_url* parsed = nfs_parse_url_dir(nfs, url.c_str());
  if (parsed == nullptr) Die("bad URL", nfs);
  if (nfs_mount(nfs, parsed->server, parsed->path) != 0) Die("mount", nfs);
  nfs_destroy_url(parsed);
  rpc_context* rpc = nfs_get_rpc_context(nfs);
  std::printf("server: %s\n", url.c_str());

  // GETATTR on one file, by handle.
  nfsfh* file = nullptr;
  if (nfs_creat(nfs, "/getattr.bin", 0644, &file) != 0) Die("creat", nfs);
  const nfs_fh* handle = nfs_get_fh(file);
  {
    const int calls = 20000;
    const auto start = Clock::now();
    for (int i = 0; i < calls; ++i) {
      GETATTR3args args{};
      args.object.data.data_len = static_cast<u_int>(handle->len);
      args.object.data.data_val = handle->val;
      if (!RawCall(rpc, [&](rpc_cb cb, void* data) { return rpc_nfs3_getattr_async(rpc, cb, &args, data); })) {
        Die("getattr", nfs);
      }
    }
    std::printf("GETATTR on one file:           %10.0f calls/s\n", calls / Seconds(start));
  }
  nfs_close(nfs, file);

  // LOOKUP + GETATTR over 1000 files.
  if (nfs_mkdir(nfs, "/thousand") != 0) Die("mkdir", nfs);
  for (int i = 0; i < 1000; ++i) {
    if (nfs_creat(nfs, ("/thousand/f" + std::to_string(i)).c_str(), 0644, &file) != 0) Die("creat", nfs);
    nfs_close(nfs, file);
  }
  {
    const auto start = Clock::now();
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < 1000; ++i) {
        struct nfs_stat_64 st {};
        if (nfs_stat64(nfs, ("/thousand/f" + std::to_string(i)).c_str(), &st) != 0) Die("stat", nfs);
      }
    }
    std::printf("LOOKUP+GETATTR over 1000 files: %9.0f files/s\n", 3000 / Seconds(start));
  }

  // Sequential WRITE and READ of 256 MiB in 32 KiB requests.
  constexpr size_t kChunk = 32768;
  constexpr size_t kTotal = 256u << 20;
  std::vector<char> buffer(kChunk, 'b');
  if (nfs_creat(nfs, "/big.bin", 0644, &file) != 0) Die("creat", nfs);
  {
    const auto start = Clock::now();
    for (size_t offset = 0; offset < kTotal; offset += kChunk) {
      if (nfs_pwrite(nfs, file, offset, kChunk, buffer.data()) != static_cast<int>(kChunk)) Die("write", nfs);
    }
    if (nfs_fsync(nfs, file) != 0) Die("commit", nfs);
    std::printf("sequential WRITE (32 KiB):     %10.1f MB/s\n", kTotal / 1e6 / Seconds(start));
  }
  {
    const auto start = Clock::now();
    for (size_t offset = 0; offset < kTotal; offset += kChunk) {
      if (nfs_pread(nfs, file, offset, kChunk, buffer.data()) != static_cast<int>(kChunk)) Die("read", nfs);
    }
    std::printf("sequential READ (32 KiB):      %10.1f MB/s\n", kTotal / 1e6 / Seconds(start));
  }
  nfs_close(nfs, file);
  nfs_unlink(nfs, "/big.bin");

  // CREATE + REMOVE.
  {
    const int count = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      const std::string path = "/churn" + std::to_string(i);
      if (nfs_creat(nfs, path.c_str(), 0644, &file) != 0) Die("creat", nfs);
      nfs_close(nfs, file);
      if (nfs_unlink(nfs, path.c_str()) != 0) Die("unlink", nfs);
    }
    std::printf("CREATE+REMOVE:                 %10.0f pairs/s\n", count / Seconds(start));
  }

  // Listing a 10 000-entry directory (libnfs looks every entry up).
  if (nfs_mkdir(nfs, "/tenthousand") != 0) Die("mkdir", nfs);
  for (int i = 0; i < 10000; ++i) {
    if (nfs_creat(nfs, ("/tenthousand/entry-" + std::to_string(i)).c_str(), 0644, &file) != 0) Die("creat", nfs);
    nfs_close(nfs, file);
  }
  {
    const auto start = Clock::now();
    nfsdir* dir = nullptr;
    if (nfs_opendir(nfs, "/tenthousand", &dir) != 0) Die("opendir", nfs);
    int entries = 0;
    while (nfs_readdir(nfs, dir) != nullptr) ++entries;
    nfs_closedir(nfs, dir);
    std::printf("list 10 000 entries:           %10.2f s (%d entries)\n", Seconds(start), entries);
  }

  nfs_destroy_context(nfs);
  if (service) {
    service->Stop();
    std::filesystem::remove_all(folder);
  }
  return 0;
}
