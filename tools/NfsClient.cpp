#include "tools/NfsClient.h"

#include <sys/time.h>
#include <unistd.h>

#include <nfsc/libnfs.h>
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/CommandLine.h"
#include "tools/LibnfsCall.h"
#include "tools/NfsUrl.h"

namespace Tools {

namespace {

constexpr int kTimeoutMs = 30000;
constexpr uint32_t kChunk = 32768;

const char* StatusName(int status) {
  switch (status) {
    case NFS3_OK: return "NFS3_OK";
    case NFS3ERR_PERM: return "NFS3ERR_PERM";
    case NFS3ERR_NOENT: return "NFS3ERR_NOENT";
    case NFS3ERR_IO: return "NFS3ERR_IO";
    case NFS3ERR_ACCES: return "NFS3ERR_ACCES";
    case NFS3ERR_EXIST: return "NFS3ERR_EXIST";
    case NFS3ERR_NOTDIR: return "NFS3ERR_NOTDIR";
    case NFS3ERR_ISDIR: return "NFS3ERR_ISDIR";
    case NFS3ERR_INVAL: return "NFS3ERR_INVAL";
    case NFS3ERR_NOSPC: return "NFS3ERR_NOSPC";
    case NFS3ERR_STALE: return "NFS3ERR_STALE";
    case NFS3ERR_BADHANDLE: return "NFS3ERR_BADHANDLE";
    case NFS3ERR_BAD_COOKIE: return "NFS3ERR_BAD_COOKIE";
    case NFS3ERR_NOTSUPP: return "NFS3ERR_NOTSUPP";
    case NFS3ERR_SERVERFAULT: return "NFS3ERR_SERVERFAULT";
    default: return "an unknown status";
  }
}

struct Failure {
  std::string text;
};

// A call that was not answered, as a Failure; `unsent` and `failed` say
// what the call was for when libnfs refused it or the callback reported an error.
void ThrowUnlessAnswered(const CallResult& result, const std::string& unsent, const std::string& failed) {
  switch (result.end) {
    case CallEnd::Answered: return;
    case CallEnd::NotSent: throw Failure{unsent + ": " + result.error};
    case CallEnd::NoAnswer: throw Failure{"no answer from the server"};
    case CallEnd::ConnectionLost: throw Failure{"connection lost: " + result.error};
    case CallEnd::Failed: throw Failure{failed};
  }
}

// One RPC connection to one program, with calls waited for.
class Connection {
 public:
  // The context goes with the object, also when the connection fails.
  Connection(const NfsUrl& url, int port, int program) : rpc_(rpc_init_context(), rpc_destroy_context) {
    if (url.uid) rpc_set_uid(rpc_.get(), *url.uid);
    if (url.gid) rpc_set_gid(rpc_.get(), *url.gid);
    const std::string& host = url.host;
    const CallResult connected = CallAndWait(rpc_.get(), kTimeoutMs, [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_connect_port_async(rpc, host.c_str(), port, program, 3, cb, data);
    });
    ThrowUnlessAnswered(connected, "cannot connect to " + host,
                        "cannot connect to " + (host.find(':') == std::string::npos ? host : "[" + host + "]") +
                            ":" + std::to_string(port) + ": " +
                            (connected.error.empty() ? "connection failed" : connected.error));
  }

  // Sends with `send`; `reply` sees the decoded result while it is valid.
  void Call(const char* what, const std::function<int(rpc_context*, rpc_cb, void*)>& send,
            const std::function<void(void*)>& reply) {
    ThrowUnlessAnswered(CallAndWait(rpc_.get(), kTimeoutMs, send, reply), what,
                        std::string(what) + ": the call failed");
  }

 private:
  std::unique_ptr<rpc_context, void (*)(rpc_context*)> rpc_;
};

using Handle = std::vector<char>;

nfs_fh3 Fh(Handle& handle) {
  nfs_fh3 fh{};
  fh.data.data_len = static_cast<u_int>(handle.size());
  fh.data.data_val = handle.data();
  return fh;
}

void Check(int status, const std::string& what) {
  if (status != NFS3_OK) throw Failure{what + ": " + StatusName(status)};
}

class Client {
 public:
  explicit Client(const NfsUrl& url) : url_(url), nfs_(url, url.nfsPort, NFS_PROGRAM) {
    Connection mount(url, url.mountPort, MOUNT_PROGRAM);
    std::string share = url.share;
    int status = -1;
    mount.Call("MNT", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_mount3_mnt_async(rpc, cb, share.data(), data);
    }, [&](void* data) {
      auto* result = static_cast<mountres3*>(data);
      status = result->fhs_status;
      if (status == MNT3_OK) {
        const auto& fh = result->mountres3_u.mountinfo.fhandle;
        root_.assign(fh.fhandle3_val, fh.fhandle3_val + fh.fhandle3_len);
      }
    });
    if (status != MNT3_OK) throw Failure{"cannot mount " + url.share + " (MOUNT status " + std::to_string(status) + ")"};
  }

  Handle Root() const { return root_; }

  // The handle of a name in a directory, with its attributes.
  Handle Lookup(Handle dir, const std::string& name, fattr3* attributes = nullptr) {
    LOOKUP3args args{};
    args.what.dir = Fh(dir);
    std::string text = name;
    args.what.name = text.data();
    Handle found;
    int status = -1;
    nfs_.Call("LOOKUP", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_lookup_async(rpc, cb, &args, data);
    }, [&](void* data) {
      auto* result = static_cast<LOOKUP3res*>(data);
      status = result->status;
      if (status == NFS3_OK) {
        const auto& fh = result->LOOKUP3res_u.resok.object.data;
        found.assign(fh.data_val, fh.data_val + fh.data_len);
        if (attributes && result->LOOKUP3res_u.resok.obj_attributes.attributes_follow) {
          *attributes = result->LOOKUP3res_u.resok.obj_attributes.post_op_attr_u.attributes;
        }
      }
    });
    Check(status, "LOOKUP " + name);
    return found;
  }

  Handle Walk(const std::vector<std::string>& names) {
    Handle current = root_;
    for (const auto& name : names) current = Lookup(current, name);
    return current;
  }

  fattr3 GetAttr(Handle object) {
    GETATTR3args args{};
    args.object = Fh(object);
    fattr3 attributes{};
    int status = -1;
    nfs_.Call("GETATTR", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_getattr_async(rpc, cb, &args, data);
    }, [&](void* data) {
      auto* result = static_cast<GETATTR3res*>(data);
      status = result->status;
      if (status == NFS3_OK) attributes = result->GETATTR3res_u.resok.obj_attributes;
    });
    Check(status, "GETATTR");
    return attributes;
  }

  std::vector<std::string> List(Handle dir) {
    std::vector<std::string> names;
    uint64_t cookie = 0;
    char verifier[8] = {};
    for (bool eof = false; !eof;) {
      READDIRPLUS3args args{};
      args.dir = Fh(dir);
      args.cookie = cookie;
      std::memcpy(args.cookieverf, verifier, 8);
      args.dircount = 4096;
      args.maxcount = 32768;
      int status = -1;
      nfs_.Call("READDIRPLUS", [&](rpc_context* rpc, rpc_cb cb, void* data) {
        return rpc_nfs3_readdirplus_async(rpc, cb, &args, data);
      }, [&](void* data) {
        auto* result = static_cast<READDIRPLUS3res*>(data);
        status = result->status;
        if (status != NFS3_OK) return;
        const auto& ok = result->READDIRPLUS3res_u.resok;
        std::memcpy(verifier, ok.cookieverf, 8);
        eof = ok.reply.eof;
        // libnfs may place entries at unaligned addresses: copy each before use.
        for (const void* next = ok.reply.entries; next != nullptr;) {
          entryplus3 entry;
          std::memcpy(&entry, next, sizeof entry);
          names.emplace_back(entry.name);
          cookie = entry.cookie;
          next = entry.nextentry;
        }
      });
      Check(status, "READDIRPLUS");
    }
    return names;
  }

  uint32_t Read(Handle file, uint64_t offset, char* buffer, uint32_t count, bool& eof) {
    READ3args args{};
    args.file = Fh(file);
    args.offset = offset;
    args.count = count;
    uint32_t got = 0;
    int status = -1;
    nfs_.Call("READ", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_read_async(rpc, cb, &args, data);
    }, [&](void* data) {
      auto* result = static_cast<READ3res*>(data);
      status = result->status;
      if (status != NFS3_OK) return;
      got = result->READ3res_u.resok.data.data_len;
      std::memcpy(buffer, result->READ3res_u.resok.data.data_val, got);
      eof = result->READ3res_u.resok.eof;
    });
    Check(status, "READ");
    return got;
  }

  Handle Create(Handle dir, const std::string& name) {
    CREATE3args args{};
    args.where.dir = Fh(dir);
    std::string text = name;
    args.where.name = text.data();
    args.how.mode = GUARDED;
    Handle created;
    int status = -1;
    nfs_.Call("CREATE", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_create_async(rpc, cb, &args, data);
    }, [&](void* data) {
      auto* result = static_cast<CREATE3res*>(data);
      status = result->status;
      if (status == NFS3_OK && result->CREATE3res_u.resok.obj.handle_follows) {
        const auto& fh = result->CREATE3res_u.resok.obj.post_op_fh3_u.handle.data;
        created.assign(fh.data_val, fh.data_val + fh.data_len);
      }
    });
    Check(status, "CREATE " + name);
    return created;
  }

  void Write(Handle file, uint64_t offset, const char* bytes, uint32_t count) {
    WRITE3args args{};
    args.file = Fh(file);
    args.offset = offset;
    args.count = count;
    args.stable = UNSTABLE;
    args.data.data_len = count;
    args.data.data_val = const_cast<char*>(bytes);
    int status = -1;
    nfs_.Call("WRITE", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_write_async(rpc, cb, &args, data);
    }, [&](void* data) { status = static_cast<WRITE3res*>(data)->status; });
    Check(status, "WRITE");
  }

  void Commit(Handle file) {
    COMMIT3args args{};
    args.file = Fh(file);
    int status = -1;
    nfs_.Call("COMMIT", [&](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_nfs3_commit_async(rpc, cb, &args, data);
    }, [&](void* data) { status = static_cast<COMMIT3res*>(data)->status; });
    Check(status, "COMMIT");
  }

 private:
  NfsUrl url_;
  Connection nfs_;
  Handle root_;
};

const char* TypeName(int type) {
  switch (type) {
    case NF3REG: return "file";
    case NF3DIR: return "directory";
    case NF3LNK: return "link";
    default: return "other";
  }
}

// A progress bar on standard error, only when it is a terminal.
class Progress {
 public:
  explicit Progress(uint64_t total) : total_(total), shown_(isatty(2) && total > (1u << 20)) {}
  ~Progress() {
    if (shown_) std::fprintf(stderr, "\n");
  }
  void Update(uint64_t done) {
    if (!shown_ || total_ == 0) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == last_) return;
    last_ = percent;
    const int bars = percent / 2;
    std::fprintf(stderr, "\r[%-50s] %3d%% %llu MiB", std::string(static_cast<size_t>(bars), '#').c_str(), percent,
                 static_cast<unsigned long long>(done >> 20));
  }

 private:
  uint64_t total_;
  bool shown_;
  int last_ = -1;
};

void PrintHelp() {
  std::printf(
      "Usage: nfs_host nfs ls|stat|cat|put URL [FILE]\n"
      "  URL is nfs://HOST[:PORT]/SHARE[/PATH][?KEY=VALUE&...], for example\n"
      "  nfs://127.0.0.1/share/big.bin or nfs://[::1]:2050/share; PORT (2029 unless\n"
      "  given) serves NFS and MOUNT unless nfsport=N or mountport=N says otherwise\n"
      "  ls    lists a directory     stat  prints the attributes\n"
      "  cat   writes a file's content to standard output\n"
      "  put   copies FILE (or standard input) to a new file at URL\n"
      "  --help      this text\n"
      "  --version   the version of this program\n");
}

}  // namespace

int RunNfsClient(int argc, char** argv) {
  const CommandLine commandLine{"nfs_host nfs", {}, PrintHelp, false, 3};
  const Parsed parsed = Parse(commandLine, argc, argv);
  if (parsed.exitStatus) return *parsed.exitStatus;
  const std::vector<std::string>& arguments = parsed.arguments;
  if (arguments.empty()) return UsageError(commandLine.command, "missing ls, stat, cat or put");
  const std::string& verb = arguments[0];
  if (verb != "ls" && verb != "stat" && verb != "cat" && verb != "put") {
    return UsageError(commandLine.command, "unknown action '" + verb + "' (ls, stat, cat or put)");
  }
  if (arguments.size() < 2) return UsageError(commandLine.command, "missing the URL");
  if (verb != "put" && arguments.size() > 2) {
    return UsageError(commandLine.command, "unexpected argument '" + arguments[2] + "'");
  }
  try {
    NfsUrl url;
    try {
      url = ParseNfsUrl(arguments[1]);
    } catch (const BadNfsUrl& bad) {
      std::fprintf(stderr, "nfs %s: bad URL: %s\n", verb.c_str(), bad.what());
      return 2;
    }
    Client client(url);
    if (verb == "ls") {
      Handle dir = client.Walk(url.names);
      for (const auto& name : client.List(dir)) {
        fattr3 attributes{};
        client.Lookup(dir, name, &attributes);
        std::printf("%-9s %12llu %s\n", TypeName(attributes.type), static_cast<unsigned long long>(attributes.size),
                    name.c_str());
      }
    } else if (verb == "stat") {
      const fattr3 a = client.GetAttr(client.Walk(url.names));
      std::printf("type %s\nmode %o\nsize %llu\nused %llu\nuid %u\ngid %u\nlinks %u\nfileid %llu\nmtime %u.%09u\n",
                  TypeName(a.type), a.mode, static_cast<unsigned long long>(a.size),
                  static_cast<unsigned long long>(a.used), a.uid, a.gid, a.nlink,
                  static_cast<unsigned long long>(a.fileid), a.mtime.seconds, a.mtime.nseconds);
    } else if (verb == "cat") {
      Handle file = client.Walk(url.names);
      const uint64_t size = client.GetAttr(file).size;
      Progress progress(size);
      std::vector<char> buffer(kChunk);
      uint64_t offset = 0;
      for (bool eof = false; !eof && offset < size;) {
        const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(kChunk, size - offset));
        const uint32_t got = client.Read(file, offset, buffer.data(), want, eof);
        if (got == 0) break;
        if (std::fwrite(buffer.data(), 1, got, stdout) != got) return 0;  // the reader went away
        offset += got;
        progress.Update(offset);
      }
    } else if (verb == "put") {
      if (url.names.empty()) throw Failure{"put needs a file name after the share"};
      std::FILE* source = arguments.size() > 2 ? std::fopen(arguments[2].c_str(), "rb") : stdin;
      if (source == nullptr) throw Failure{"cannot open " + arguments[2]};
      uint64_t total = 0;
      if (source != stdin) {
        std::fseek(source, 0, SEEK_END);
        total = static_cast<uint64_t>(std::ftell(source));
        std::fseek(source, 0, SEEK_SET);
      }
      std::vector<std::string> parent(url.names.begin(), url.names.end() - 1);
      Handle file = client.Create(client.Walk(parent), url.names.back());
      Progress progress(total);
      std::vector<char> buffer(kChunk);
      uint64_t offset = 0;
      for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), source)) > 0;) {
        client.Write(file, offset, buffer.data(), static_cast<uint32_t>(got));
        offset += got;
        progress.Update(offset);
      }
      if (source != stdin) std::fclose(source);
      client.Commit(file);
    }
  } catch (const Failure& failure) {
    std::fprintf(stderr, "nfs %s: %s\n", verb.c_str(), failure.text.c_str());
    return 1;
  }
  return 0;
}

}  // namespace Tools
