// Throughput figures of an NFS server, measured with libnfs over loopback.
//
//   nfs_bench [OPTIONS]       starts this server in-process on a temporary folder
//   nfs_bench [OPTIONS] nfs://HOST/share?version=3&nfsport=P&mountport=P&auto-traverse-mounts=0
//                             measures a server that is already running
//
// Every figure is printed for people and once more as "RESULT key value" for
// scripts (bench/compare reads those).
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server_lib/server/Server.h"
#include "service_lib/ServerControl.h"
#include "server_lib/store/ObjectStore.h"
#include "service_lib/nsl/Service.h"
#include "tools/LibnfsCall.h"

// libnfs 4.0 hands out handles of open files through this record, which its
// public headers only declare.
struct nfs_fh {
  int len;
  char* val;
};

namespace {

using Clock = std::chrono::steady_clock;

const std::vector<std::string> kMeasures = {"getattr", "getattr16", "lookup", "lookup16", "write", "read",
                                            "create",  "list",      "ls",     "lsr",      "scale"};

// Calls kept outstanding by the pipelined measures (getattr16, lookup16).
constexpr int kInFlight = 16;

struct Options {
  std::string url;
  std::set<std::string> measures = {"getattr", "getattr16", "lookup", "lookup16", "write", "read", "create", "list"};
  std::filesystem::path exportDir;  // local folder behind the URL's export, for scale, ls and lsr
  pid_t serverPid = 0;              // 0: this process (in-process server) or unknown
  size_t fileMiB = 256;
  int scaleDirs = 10000;
  int scaleFilesPerDir = 10;
  // In-process server only: its cache's capacity (0: no limit, as the
  // design had it), with a store of ids in the temporary folder.
  long cacheObjects = 100000;
  int lsFiles = 10000;  // files of the folder that ls lists
  int lsrDirs = 1000;   // folders of the tree that lsr lists
  int lsrFilesPerDir = 10;
  bool makeTrees = false;  // only make the listing trees in exportDir, then exit
  std::string tag;         // keeps names of repeated runs on one export apart
};

// The folders of the listing measures, directly in the export. Their names
// carry their sizes, not the tag: they are made once and listed by many runs.
std::string LsFolder(const Options& options) { return "ls-" + std::to_string(options.lsFiles); }
std::string LsrFolder(const Options& options) {
  return "lsr-" + std::to_string(options.lsrDirs) + "x" + std::to_string(options.lsrFilesPerDir);
}

void Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [OPTIONS] [URL]\n"
               "  --only LIST         measures to run, comma separated, out of\n"
               "                      getattr,getattr16,lookup,lookup16,write,read,create,\n"
               "                      list,ls,lsr,scale (default: all but ls, lsr and scale)\n"
               "  --scale             also walk a large tree (LOOKUP of every entry)\n"
               "  --scale-dirs N      folders of that tree (default 10000)\n"
               "  --scale-files N     files in each of them (default 10)\n"
               "  --cache-objects N   the in-process server's cache capacity, with a store\n"
               "                      of ids in the temporary folder (default 100000;\n"
               "                      0: no limit)\n"
               "  --ls-files N        files of the folder that ls lists (default 10000)\n"
               "  --lsr-dirs N        folders of the tree that lsr lists (default 1000)\n"
               "  --lsr-files N       files in each of them (default 10)\n"
               "  --export-dir DIR    local folder the URL's export serves; trees are\n"
               "                      made there with POSIX calls (needed for scale; ls\n"
               "                      and lsr make theirs there when it is given)\n"
               "  --make-trees        only make the trees of the chosen ls/lsr measures in\n"
               "                      --export-dir, then exit (no server, no URL)\n"
               "  --server-pid PID    server process whose memory and descriptors are\n"
               "                      reported (default: this process when in-process)\n"
               "  --file-mib N        size of the sequential WRITE/READ file (default 256)\n"
               "  --tag NAME          suffix of the names made in the share (default: pid)\n",
               program);
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", flag.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (flag == "--help" || flag == "-h") {
      Usage(argv[0]);
      std::exit(0);
    } else if (flag == "--only") {
      options.measures.clear();
      std::stringstream list(value());
      for (std::string item; std::getline(list, item, ',');) {
        if (std::find(kMeasures.begin(), kMeasures.end(), item) == kMeasures.end()) {
          std::fprintf(stderr, "unknown measure '%s'\n", item.c_str());
          return false;
        }
        options.measures.insert(item);
      }
    } else if (flag == "--scale") {
      options.measures.insert("scale");
    } else if (flag == "--scale-dirs") {
      options.scaleDirs = std::stoi(value());
    } else if (flag == "--cache-objects") {
      options.cacheObjects = std::stol(value());
    } else if (flag == "--scale-files") {
      options.scaleFilesPerDir = std::stoi(value());
    } else if (flag == "--ls-files") {
      options.lsFiles = std::stoi(value());
    } else if (flag == "--lsr-dirs") {
      options.lsrDirs = std::stoi(value());
    } else if (flag == "--lsr-files") {
      options.lsrFilesPerDir = std::stoi(value());
    } else if (flag == "--make-trees") {
      options.makeTrees = true;
    } else if (flag == "--export-dir") {
      options.exportDir = value();
    } else if (flag == "--server-pid") {
      options.serverPid = static_cast<pid_t>(std::stol(value()));
    } else if (flag == "--file-mib") {
      options.fileMiB = std::stoul(value());
    } else if (flag == "--tag") {
      options.tag = value();
    } else if (!flag.empty() && flag[0] == '-') {
      std::fprintf(stderr, "unknown option '%s'\n", flag.c_str());
      return false;
    } else {
      options.url = flag;
    }
  }
  return true;
}

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void Result(const char* key, double value) { std::printf("RESULT %s %.6g\n", key, value); }

// The in-process server's temporary folder, removed on every way out.
std::filesystem::path g_temporaryFolder;

[[noreturn]] void Die(const std::string& what, nfs_context* nfs) {
  std::fprintf(stderr, "%s: %s\n", what.c_str(), nfs ? nfs_get_error(nfs) : std::strerror(errno));
  if (!g_temporaryFolder.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(g_temporaryFolder, ignored);
  }
  std::exit(1);
}

constexpr int kCallTimeoutMs = 30000;

// One raw call on the mounted context's connection, waited for; onOk sees the
// decoded result when the server answered NFS3_OK.
bool RawCall(rpc_context* rpc, const std::function<int(rpc_cb, void*)>& send,
             const std::function<void(void*)>& onOk = {}) {
  bool ok = false;
  const Tools::CallResult result = Tools::CallAndWait(
      rpc, kCallTimeoutMs, [&](rpc_context*, rpc_cb cb, void* data) { return send(cb, data); },
      [&](void* data) {
        ok = Tools::ResultStatus(data) == NFS3_OK;
        if (ok && onOk) onOk(data);
      });
  return result.Answered() && ok;
}

// The export's root handle from a MOUNT call on a connection of its own:
// libnfs 4.0 keeps the mounted context's root handle private.
std::string MountRoot(const std::string& server, int port, const std::string& exportPath) {
  rpc_context* rpc = rpc_init_context();
  std::string handle;
  bool ok = Tools::CallAndWait(rpc, kCallTimeoutMs, [&](rpc_context* r, rpc_cb cb, void* data) {
              return rpc_connect_async(r, server.c_str(), port, cb, data);
            }).Answered();
  if (ok) {
    bool mounted = false;
    ok = Tools::CallAndWait(
             rpc, kCallTimeoutMs,
             [&](rpc_context* r, rpc_cb cb, void* data) {
               return rpc_mount3_mnt_async(r, cb, const_cast<char*>(exportPath.c_str()), data);
             },
             [&](void* data) {
               const auto* res = static_cast<mountres3*>(data);
               mounted = res->fhs_status == MNT3_OK;
               if (mounted) {
                 const fhandle3& fh = res->mountres3_u.mountinfo.fhandle;
                 handle.assign(fh.fhandle3_val, fh.fhandle3_len);
               }
             })
             .Answered() &&
         mounted;
  }
  if (!ok) std::fprintf(stderr, "MOUNT of %s on %s:%d: %s\n", exportPath.c_str(), server.c_str(), port, rpc_get_error(rpc));
  rpc_destroy_context(rpc);
  return ok ? handle : std::string();
}

// A numeric query parameter of the URL, or fallback.
int UrlNumber(const std::string& url, const std::string& key, int fallback) {
  for (const std::string& prefix : {"?" + key + "=", "&" + key + "="}) {
    const size_t at = url.find(prefix);
    if (at != std::string::npos) return std::atoi(url.c_str() + at + prefix.size());
  }
  return fallback;
}

std::string Handle(const nfs_fh3& fh) { return std::string(fh.data.data_val, fh.data.data_len); }

// The handle of NAME in the folder DIR, empty when the lookup failed.
std::string Lookup(rpc_context* rpc, const std::string& dir, const std::string& name) {
  LOOKUP3args args{};
  args.what.dir.data.data_len = static_cast<u_int>(dir.size());
  args.what.dir.data.data_val = const_cast<char*>(dir.data());
  args.what.name = const_cast<char*>(name.c_str());
  std::string found;
  const bool ok = RawCall(
      rpc, [&](rpc_cb cb, void* data) { return rpc_nfs3_lookup_async(rpc, cb, &args, data); },
      [&](void* data) { found = Handle(static_cast<LOOKUP3res*>(data)->LOOKUP3res_u.resok.object); });
  return ok ? found : std::string();
}

// A field of /proc/PID/status in KiB, -1 when unreadable.
long StatusKib(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/status");
  const std::string prefix = std::string(field) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

long OpenDescriptors(pid_t pid) {
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/" + (pid ? std::to_string(pid) : std::string("self")) + "/fd", error);
  if (error) return -1;
  long count = 0;
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    ++count;
  }
  return count;
}

// The folder DIR with the empty files f0 .. f<files - 1>, made on the local
// disk; what already exists is kept.
void MakeFiles(const std::string& dir, int files) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) Die("mkdir " + dir, nullptr);
  for (int f = 0; f < files; ++f) {
    const std::string file = dir + "/f" + std::to_string(f);
    const int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd < 0) Die("create " + file, nullptr);
    close(fd);
  }
}

// Trees are made on the local disk: through NFS, 100 000 creates would take
// longer than the walk being measured, and a listing should meet entries the
// server has never seen.
void MakeTree(const std::filesystem::path& root, int dirs, int files) {
  std::filesystem::create_directories(root);
  for (int d = 0; d < dirs; ++d) MakeFiles(root.string() + "/d" + std::to_string(d), files);
}

// The trees of the listing measures asked for, in the export's local folder.
void MakeListingTrees(const Options& options) {
  auto wants = [&](const char* measure) { return options.measures.count(measure) != 0; };
  if (wants("ls")) {
    const auto start = Clock::now();
    std::filesystem::create_directories(options.exportDir);
    MakeFiles((options.exportDir / LsFolder(options)).string(), options.lsFiles);
    std::printf("ls: made %s (%d files) on disk in %.1f s\n", LsFolder(options).c_str(), options.lsFiles,
                Seconds(start));
  }
  if (wants("lsr")) {
    const auto start = Clock::now();
    MakeTree(options.exportDir / LsrFolder(options), options.lsrDirs, options.lsrFilesPerDir);
    std::printf("lsr: made %s (%d folders of %d files) on disk in %.1f s\n", LsrFolder(options).c_str(),
                options.lsrDirs, options.lsrFilesPerDir, Seconds(start));
  }
}

// The export's root handle, from a MOUNT call to the URL's mount port.
std::string ExportRoot(nfs_context* nfs, const Options& options, const char* measure) {
  nfs_url* parsed = nfs_parse_url_dir(nfs, options.url.c_str());
  if (parsed == nullptr) Die("bad URL", nfs);
  const int mountPort = UrlNumber(options.url, "mountport", UrlNumber(options.url, "nfsport", 0));
  if (mountPort == 0) {
    std::fprintf(stderr, "%s: the URL names no mountport\n", measure);
    std::exit(2);
  }
  const std::string root = MountRoot(parsed->server, mountPort, parsed->path);
  nfs_destroy_url(parsed);
  if (root.empty()) Die(std::string(measure) + ": no root handle", nfs);
  return root;
}

// Keeps kInFlight calls outstanding on the connection until `calls` calls
// have been answered; `send` queues call number i with the callback and data
// it is given. Every call must succeed. Returns the calls per second.
double Pipelined(nfs_context* nfs, rpc_context* rpc, int calls, const char* what,
                 const std::function<int(int, rpc_cb, void*)>& send) {
  struct State {
    int answered = 0;
    int failed = 0;
    std::string error;
  } state;
  const rpc_cb answered = [](rpc_context*, int status, void* data, void* privateData) {
    auto* s = static_cast<State*>(privateData);
    ++s->answered;
    if (status == RPC_STATUS_SUCCESS && Tools::ResultStatus(data) == NFS3_OK) return;
    if (s->failed++ == 0) {
      s->error = status == RPC_STATUS_SUCCESS ? "NFS status " + std::to_string(Tools::ResultStatus(data))
                 : status == RPC_STATUS_ERROR && data != nullptr ? static_cast<const char*>(data)
                                                                 : "RPC status " + std::to_string(status);
    }
  };
  int sent = 0;
  const auto start = Clock::now();
  while (state.answered < calls) {
    for (; sent < calls && sent - state.answered < kInFlight; ++sent) {
      if (send(sent, answered, &state) != 0) Die(std::string(what) + ": call not sent", nfs);
    }
    pollfd p{rpc_get_fd(rpc), static_cast<short>(rpc_which_events(rpc)), 0};
    const int ready = poll(&p, 1, kCallTimeoutMs);
    if (ready == 0) Die(std::string(what) + ": no answer", nullptr);
    if (ready < 0 || rpc_service(rpc, p.revents) < 0) Die(std::string(what) + ": connection lost", nfs);
  }
  const double rate = calls / Seconds(start);
  if (state.failed != 0) {
    std::fprintf(stderr, "%s: %d of %d calls failed, the first with %s\n", what, state.failed, calls,
                 state.error.c_str());
    Die(what, nullptr);
  }
  return rate;
}

struct Listed {
  long entries = 0;  // without "." and ".."
  long folders = 0;  // opened, the listed one included
};

// What nfs-ls (-R) does: nfs_opendir, every entry through nfs_readdir, "."
// and ".." skipped, and with `recursive` the same again for each entry whose
// mode says folder, depth first, while the parent stays open. libnfs reads
// the whole folder in nfs_opendir (READDIRPLUS, plus a LOOKUP of each entry
// that came without attributes). Nothing is printed.
void ListFolder(nfs_context* nfs, const std::string& dir, bool recursive, int level, Listed& listed) {
  if (level == 0) Die("recursion too deep at " + dir, nullptr);
  nfsdir* folder = nullptr;
  if (nfs_opendir(nfs, dir.c_str(), &folder) != 0) {
    if (listed.folders == 0) {
      std::fprintf(stderr, "(the listing trees are made on disk with --export-dir, or first with --make-trees)\n");
    }
    Die("opendir " + dir, nfs);
  }
  ++listed.folders;
  while (nfsdirent* entry = nfs_readdir(nfs, folder)) {
    if (std::strcmp(entry->name, ".") == 0 || std::strcmp(entry->name, "..") == 0) continue;
    ++listed.entries;
    if (recursive && (entry->mode & S_IFMT) == S_IFDIR) {
      ListFolder(nfs, dir + "/" + entry->name, true, level - 1, listed);
    }
  }
  nfs_closedir(nfs, folder);
}

// One listing of the export's folder NAME, on a libnfs context of its own
// (like one nfs-ls run: nothing cached on the client). The mount is not
// timed; opendir to the last readdir is. Dies unless the expected count of
// entries and folders was seen.
double TimedListing(const Options& options, const std::string& name, bool recursive, long entries, long folders) {
  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, kCallTimeoutMs);
  nfs_url* parsed = nfs_parse_url_dir(nfs, options.url.c_str());
  if (parsed == nullptr) Die("bad URL", nfs);
  if (nfs_mount(nfs, parsed->server, parsed->path) != 0) Die("mount", nfs);
  nfs_destroy_url(parsed);
  Listed listed;
  const auto start = Clock::now();
  ListFolder(nfs, "/" + name, recursive, 16, listed);
  const double seconds = Seconds(start);
  nfs_destroy_context(nfs);
  if (listed.entries != entries || listed.folders != folders) {
    std::fprintf(stderr, "listing of %s: %ld entries in %ld folders, expected %ld in %ld\n", name.c_str(),
                 listed.entries, listed.folders, entries, folders);
    Die("listing of " + name, nullptr);
  }
  return seconds;
}

void Scale(nfs_context* nfs, rpc_context* rpc, const Options& options, pid_t pid) {
  if (options.exportDir.empty()) {
    std::fprintf(stderr, "scale: the export's local folder is unknown (give --export-dir)\n");
    std::exit(2);
  }
  const std::string name = "scale-" + options.tag;
  const long objects = static_cast<long>(options.scaleDirs) * (1 + options.scaleFilesPerDir);
  {
    const auto start = Clock::now();
    MakeTree(options.exportDir / name, options.scaleDirs, options.scaleFilesPerDir);
    std::printf("scale: made %d folders of %d files on disk in %.1f s\n", options.scaleDirs,
                options.scaleFilesPerDir, Seconds(start));
  }
  const std::string exportRoot = ExportRoot(nfs, options, "scale");
  const std::string root = Lookup(rpc, exportRoot, name);
  if (root.empty()) Die("lookup " + name, nfs);

  const long rssBefore = StatusKib(pid, "VmRSS");
  const long anonBefore = StatusKib(pid, "RssAnon");
  const long fdsBefore = OpenDescriptors(pid);
  // Anonymous memory after each tenth of the walk: flat once the walk has
  // passed the cache's capacity.
  std::vector<long> anonByTenth;
  const auto start = Clock::now();
  for (int d = 0; d < options.scaleDirs; ++d) {
    if (d % std::max(1, options.scaleDirs / 10) == 0 && d > 0) anonByTenth.push_back(StatusKib(pid, "RssAnon"));
    const std::string dir = Lookup(rpc, root, "d" + std::to_string(d));
    if (dir.empty()) Die("lookup d" + std::to_string(d), nfs);
    for (int f = 0; f < options.scaleFilesPerDir; ++f) {
      if (Lookup(rpc, dir, "f" + std::to_string(f)).empty()) {
        Die("lookup d" + std::to_string(d) + "/f" + std::to_string(f), nfs);
      }
    }
  }
  const double seconds = Seconds(start);
  const long rssAfter = StatusKib(pid, "VmRSS");
  const long anonAfter = StatusKib(pid, "RssAnon");
  const long fdsAfter = OpenDescriptors(pid);
  anonByTenth.push_back(anonAfter);
  std::printf("  server anonymous memory by tenth of the walk (KiB):");
  for (const long kib : anonByTenth) std::printf(" %ld", kib);
  std::printf("\n");
  // Past the first tenth: what each further object costs.
  const double laterObjects = objects * 0.9;
  const double perLaterObject =
      anonByTenth.size() > 1 ? (anonAfter - anonByTenth.front()) * 1024.0 / laterObjects : -1;
  const double perObjectAnon = anonBefore >= 0 && anonAfter >= 0 ? (anonAfter - anonBefore) * 1024.0 / objects : -1;
  std::printf("  server anonymous memory %ld -> %ld KiB: %.0f bytes per object, %.0f per object past the first "
              "tenth\n",
              anonBefore, anonAfter, perObjectAnon, perLaterObject);
  Result("scale_anon_before_kib", static_cast<double>(anonBefore));
  Result("scale_anon_after_kib", static_cast<double>(anonAfter));
  Result("scale_anon_bytes_per_object", perObjectAnon);
  Result("scale_anon_bytes_per_later_object", perLaterObject);
  const double perObject = rssBefore >= 0 && rssAfter >= 0 ? (rssAfter - rssBefore) * 1024.0 / objects : -1;
  std::printf("scale walk, LOOKUP of %ld entries: %7.2f s (%.0f lookups/s)\n", objects, seconds,
              objects / seconds);
  std::printf("  server RSS %ld -> %ld KiB, %.0f bytes per object; open descriptors %ld -> %ld\n", rssBefore,
              rssAfter, perObject, fdsBefore, fdsAfter);
  Result("scale_objects", static_cast<double>(objects));
  Result("scale_walk_s", seconds);
  Result("scale_lookups_per_s", objects / seconds);
  Result("scale_rss_before_kib", static_cast<double>(rssBefore));
  Result("scale_rss_after_kib", static_cast<double>(rssAfter));
  Result("scale_bytes_per_object", perObject);
  Result("scale_fds_before", static_cast<double>(fdsBefore));
  Result("scale_fds_after", static_cast<double>(fdsAfter));
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    Usage(argv[0]);
    return 2;
  }
  if (options.tag.empty()) options.tag = std::to_string(getpid());
  auto wants = [&](const char* measure) { return options.measures.count(measure) != 0; };
  if (options.lsFiles < 1 || options.lsrDirs < 1 || options.lsrFilesPerDir < 0) {
    std::fprintf(stderr, "--ls-files and --lsr-dirs take a positive number, --lsr-files one not negative\n");
    return 2;
  }
  if (options.makeTrees) {
    if (options.exportDir.empty() || !(wants("ls") || wants("lsr"))) {
      std::fprintf(stderr, "--make-trees needs --export-dir and --only with ls and/or lsr\n");
      return 2;
    }
    MakeListingTrees(options);
    return 0;
  }

  std::filesystem::path folder;
  std::shared_ptr<NFS::Server> server;
  std::unique_ptr<NFS::Service> service;
  pid_t serverPid = options.serverPid;
  if (options.url.empty()) {
    folder = std::filesystem::temp_directory_path() / ("nfs-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    g_temporaryFolder = folder;
    options.exportDir = folder;
    serverPid = getpid();
    server = NFS::CreateServer(nullptr);
    service = NFS::CreateService(server);
    std::shared_ptr<NFS::ObjectStore> store;
    if (NFS::OpenObjectStore((folder / ".state").string(), store).IsFailure() ||
        service->SetObjectStore(store, static_cast<size_t>(options.cacheObjects)).IsFailure()) {
      std::fprintf(stderr, "cannot open the store of ids\n");
      return 1;
    }
    if (service->SetRoot(Common::FromUtf8(folder.string()), u"/share").IsFailure() ||
        service->Start().IsFailure()) {
      std::fprintf(stderr, "cannot start the server (is rpcbind running?)\n");
      return 1;
    }
    const std::string port = std::to_string(NFS::NSL::GetListeningPort());
    options.url = "nfs://127.0.0.1/share?version=3&nfsport=" + port + "&mountport=" + port + "&auto-traverse-mounts=0";
  }
  // Without the export's folder, the listing trees must already be there
  // (bench/compare makes them with --make-trees before the servers start).
  if ((wants("ls") || wants("lsr")) && !options.exportDir.empty()) MakeListingTrees(options);

  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, 30000);
  nfs_url* parsed = nfs_parse_url_dir(nfs, options.url.c_str());
  if (parsed == nullptr) Die("bad URL", nfs);
  if (nfs_mount(nfs, parsed->server, parsed->path) != 0) Die("mount", nfs);
  nfs_destroy_url(parsed);
  rpc_context* rpc = nfs_get_rpc_context(nfs);
  std::printf("server: %s\n", options.url.c_str());

  // libnfs cuts a READ or WRITE into requests of at most the server's
  // rtmax/wtmax (from FSINFO), so both must allow the full 32 KiB.
  constexpr size_t kChunk = 32768;
  const uint64_t readMax = nfs_get_readmax(nfs);
  const uint64_t writeMax = nfs_get_writemax(nfs);
  std::printf("server read/write maximum: %llu / %llu bytes; requests of %zu bytes\n",
              static_cast<unsigned long long>(readMax), static_cast<unsigned long long>(writeMax), kChunk);
  Result("read_max_bytes", static_cast<double>(readMax));
  Result("write_max_bytes", static_cast<double>(writeMax));
  Result("io_request_bytes", static_cast<double>(std::min<uint64_t>(kChunk, std::min(readMax, writeMax))));
  if (readMax < kChunk || writeMax < kChunk) {
    std::fprintf(stderr, "warning: the server caps requests below %zu bytes; READ/WRITE will be split\n", kChunk);
  }

  const std::string& tag = options.tag;
  nfsfh* file = nullptr;

  // The file of the GETATTR measures, made on first use and open until the end.
  nfsfh* getattrFile = nullptr;
  auto getattrHandle = [&]() {
    if (getattrFile == nullptr && nfs_creat(nfs, ("/getattr-" + tag + ".bin").c_str(), 0644, &getattrFile) != 0) {
      Die("creat", nfs);
    }
    return nfs_get_fh(getattrFile);
  };
  // The folder of 1000 files of the LOOKUP measures, made through NFS on first use.
  const std::string thousand = "/thousand-" + tag;
  bool thousandMade = false;
  auto makeThousand = [&]() {
    if (thousandMade) return;
    if (nfs_mkdir(nfs, thousand.c_str()) != 0) Die("mkdir", nfs);
    for (int i = 0; i < 1000; ++i) {
      if (nfs_creat(nfs, (thousand + "/f" + std::to_string(i)).c_str(), 0644, &file) != 0) Die("creat", nfs);
      nfs_close(nfs, file);
    }
    thousandMade = true;
  };

  // GETATTR on one file, by handle, one call at a time.
  if (wants("getattr")) {
    const nfs_fh* handle = getattrHandle();
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
    const double rate = calls / Seconds(start);
    std::printf("GETATTR on one file:           %10.0f calls/s\n", rate);
    Result("getattr_per_s", rate);
  }

  // GETATTR on the same file, kInFlight calls outstanding.
  if (wants("getattr16")) {
    const nfs_fh* handle = getattrHandle();
    GETATTR3args args{};
    args.object.data.data_len = static_cast<u_int>(handle->len);
    args.object.data.data_val = handle->val;
    const double rate = Pipelined(nfs, rpc, 40000, "getattr16", [&](int, rpc_cb cb, void* data) {
      return rpc_nfs3_getattr_async(rpc, cb, &args, data);
    });
    std::printf("GETATTR, %d in flight:         %10.0f calls/s\n", kInFlight, rate);
    Result("getattr16_per_s", rate);
  }

  // LOOKUP + GETATTR over 1000 files.
  if (wants("lookup")) {
    makeThousand();
    const auto start = Clock::now();
    for (int round = 0; round < 3; ++round) {
      for (int i = 0; i < 1000; ++i) {
        struct nfs_stat_64 st {};
        if (nfs_stat64(nfs, (thousand + "/f" + std::to_string(i)).c_str(), &st) != 0) Die("stat", nfs);
      }
    }
    const double rate = 3000 / Seconds(start);
    std::printf("LOOKUP+GETATTR over 1000 files: %9.0f files/s\n", rate);
    Result("lookup_getattr_per_s", rate);
  }

  // Raw LOOKUPs of the same 1000 names in turn, kInFlight calls outstanding.
  if (wants("lookup16")) {
    makeThousand();
    const std::string dir = Lookup(rpc, ExportRoot(nfs, options, "lookup16"), thousand.substr(1));
    if (dir.empty()) Die("lookup " + thousand, nfs);
    std::vector<std::string> names;
    for (int i = 0; i < 1000; ++i) names.push_back("f" + std::to_string(i));
    const double rate = Pipelined(nfs, rpc, 30000, "lookup16", [&](int i, rpc_cb cb, void* data) {
      LOOKUP3args args{};
      args.what.dir.data.data_len = static_cast<u_int>(dir.size());
      args.what.dir.data.data_val = const_cast<char*>(dir.data());
      args.what.name = const_cast<char*>(names[i % names.size()].c_str());
      return rpc_nfs3_lookup_async(rpc, cb, &args, data);
    });
    std::printf("LOOKUP over 1000 files, %d in flight: %4.0f calls/s\n", kInFlight, rate);
    Result("lookup16_per_s", rate);
  }
  if (getattrFile != nullptr) nfs_close(nfs, getattrFile);

  // Sequential WRITE and READ in 32 KiB requests.
  if (wants("write") || wants("read")) {
    const size_t total = options.fileMiB << 20;
    const std::string big = "/big-" + tag + ".bin";
    std::vector<char> buffer(kChunk, 'b');
    if (nfs_creat(nfs, big.c_str(), 0644, &file) != 0) Die("creat", nfs);
    {
      const auto start = Clock::now();
      for (size_t offset = 0; offset < total; offset += kChunk) {
        if (nfs_pwrite(nfs, file, offset, kChunk, buffer.data()) != static_cast<int>(kChunk)) Die("write", nfs);
      }
      if (nfs_fsync(nfs, file) != 0) Die("commit", nfs);
      const double rate = total / 1e6 / Seconds(start);
      if (wants("write")) {
        std::printf("sequential WRITE (32 KiB):     %10.1f MB/s\n", rate);
        Result("write_mb_s", rate);
      }
    }
    if (wants("read")) {
      const auto start = Clock::now();
      for (size_t offset = 0; offset < total; offset += kChunk) {
        if (nfs_pread(nfs, file, offset, kChunk, buffer.data()) != static_cast<int>(kChunk)) Die("read", nfs);
      }
      const double rate = total / 1e6 / Seconds(start);
      std::printf("sequential READ (32 KiB):      %10.1f MB/s\n", rate);
      Result("read_mb_s", rate);
    }
    nfs_close(nfs, file);
    nfs_unlink(nfs, big.c_str());
  }

  // CREATE + REMOVE.
  if (wants("create")) {
    const int count = 2000;
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      const std::string path = "/churn-" + tag + "-" + std::to_string(i);
      if (nfs_creat(nfs, path.c_str(), 0644, &file) != 0) Die("creat", nfs);
      nfs_close(nfs, file);
      if (nfs_unlink(nfs, path.c_str()) != 0) Die("unlink", nfs);
    }
    const double rate = count / Seconds(start);
    std::printf("CREATE+REMOVE:                 %10.0f pairs/s\n", rate);
    Result("create_remove_per_s", rate);
  }

  // Listing a 10 000-entry directory (libnfs looks every entry up).
  if (wants("list")) {
    const std::string dir = "/tenthousand-" + tag;
    if (nfs_mkdir(nfs, dir.c_str()) != 0) Die("mkdir", nfs);
    for (int i = 0; i < 10000; ++i) {
      if (nfs_creat(nfs, (dir + "/entry-" + std::to_string(i)).c_str(), 0644, &file) != 0) Die("creat", nfs);
      nfs_close(nfs, file);
    }
    const auto start = Clock::now();
    nfsdir* listing = nullptr;
    if (nfs_opendir(nfs, dir.c_str(), &listing) != 0) Die("opendir", nfs);
    int entries = 0;
    while (nfs_readdir(nfs, listing) != nullptr) ++entries;
    nfs_closedir(nfs, listing);
    const double seconds = Seconds(start);
    std::printf("list 10 000 entries:           %10.2f s (%d entries)\n", seconds, entries);
    Result("list_10000_s", seconds);
    Result("list_entries", entries);
  }

  // Listings the way nfs-ls does them, of folders made on disk: the first
  // listing is cold when the server has not seen the folder before (bench/
  // compare restarts the servers for it), the second one, by the same
  // server, is warm. Each listing runs on a fresh libnfs context.
  if (wants("ls")) {
    const std::string folderName = LsFolder(options);
    const double cold = TimedListing(options, folderName, false, options.lsFiles, 1);
    const double warm = TimedListing(options, folderName, false, options.lsFiles, 1);
    std::printf("ls of %d files made on disk:   %10.3f s first (cold), %.3f s second (warm)\n", options.lsFiles, cold,
                warm);
    Result("ls_cold_s", cold);
    Result("ls_warm_s", warm);
    Result("ls_entries", options.lsFiles);
  }
  if (wants("lsr")) {
    const std::string folderName = LsrFolder(options);
    const long entries = static_cast<long>(options.lsrDirs) * (1 + options.lsrFilesPerDir);
    const double cold = TimedListing(options, folderName, true, entries, 1 + options.lsrDirs);
    const double warm = TimedListing(options, folderName, true, entries, 1 + options.lsrDirs);
    std::printf("ls -R of %d folders x %d files: %9.3f s first (cold), %.3f s second (warm)\n", options.lsrDirs,
                options.lsrFilesPerDir, cold, warm);
    Result("lsr_cold_s", cold);
    Result("lsr_warm_s", warm);
    Result("lsr_entries", static_cast<double>(entries));
  }

  if (wants("scale")) Scale(nfs, rpc, options, serverPid);

  if (serverPid != 0) {
    const long hwm = StatusKib(serverPid, "VmHWM");
    const long rss = StatusKib(serverPid, "VmRSS");
    std::printf("server peak RSS %ld KiB, RSS now %ld KiB, open descriptors %ld\n", hwm, rss,
                OpenDescriptors(serverPid));
    Result("server_vmhwm_kib", static_cast<double>(hwm));
    Result("server_vmrss_kib", static_cast<double>(rss));
  }

  nfs_destroy_context(nfs);
  if (service) {
    service->Stop();
    std::filesystem::remove_all(folder);
  }
  return 0;
}
