// "nfs_host stats" and "nfs_host status" against a real host process, after
// known traffic from a libnfs client on one connection.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <nfsc/libnfs.h>
// After libnfs.h, which defines what they need.
#include <nfsc/libnfs-raw.h>
#include <nfsc/libnfs-raw-mount.h>
#include <nfsc/libnfs-raw-nfs.h>

#include <httplib.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/module/HostProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"
#include "tools/LibnfsCall.h"

namespace {

constexpr int kTimeoutMs = 10000;

struct Outcome {
  int status = -1;
  std::string output;
  std::string errors;
};

// A libnfs connection that sends exactly the calls a test asks for.
class RawClient {
 public:
  RawClient() : rpc_(rpc_init_context()) {}
  ~RawClient() { rpc_destroy_context(rpc_); }

  bool Connect(int port) {
    return Tools::CallAndWait(rpc_, kTimeoutMs, [port](rpc_context* rpc, rpc_cb cb, void* data) {
             return rpc_connect_async(rpc, "127.0.0.1", port, cb, data);
           }).Answered();
  }

  // MNT; the root handle, empty when refused.
  std::string Mount(const char* share) {
    std::string handle;
    const auto call = Tools::CallAndWait(
        rpc_, kTimeoutMs,
        [share](rpc_context* rpc, rpc_cb cb, void* data) {
          return rpc_mount3_mnt_async(rpc, cb, const_cast<char*>(share), data);
        },
        [&](void* result) {
          const auto* mounted = static_cast<mountres3*>(result);
          if (mounted->fhs_status != MNT3_OK) return;
          const auto& fh = mounted->mountres3_u.mountinfo.fhandle;
          handle.assign(fh.fhandle3_val, fh.fhandle3_len);
        });
    EXPECT_TRUE(call.Answered()) << call.error;
    return handle;
  }

  int GetAttr(std::string& object) {
    GETATTR3args args{};
    args.object = Handle(object);
    return Status(
        [&](rpc_context* rpc, rpc_cb cb, void* data) { return rpc_nfs3_getattr_async(rpc, cb, &args, data); });
  }

  int Lookup(std::string& dir, const char* name, std::string* found = nullptr) {
    LOOKUP3args args{};
    args.what.dir = Handle(dir);
    args.what.name = const_cast<char*>(name);
    return Status([&](rpc_context* rpc, rpc_cb cb, void* data) { return rpc_nfs3_lookup_async(rpc, cb, &args, data); },
                  [&](void* result) {
                    const auto* looked = static_cast<LOOKUP3res*>(result);
                    if (found != nullptr && looked->status == NFS3_OK) {
                      const auto& fh = looked->LOOKUP3res_u.resok.object.data;
                      found->assign(fh.data_val, fh.data_len);
                    }
                  });
  }

  int Write(std::string& file, std::string data) {
    WRITE3args args{};
    args.file = Handle(file);
    args.count = static_cast<count3>(data.size());
    args.stable = FILE_SYNC;
    args.data.data_len = static_cast<u_int>(data.size());
    args.data.data_val = data.data();
    return Status([&](rpc_context* rpc, rpc_cb cb, void* data_) { return rpc_nfs3_write_async(rpc, cb, &args, data_); });
  }

  int Read(std::string& file, uint32_t count, uint32_t& got) {
    READ3args args{};
    args.file = Handle(file);
    args.count = count;
    return Status([&](rpc_context* rpc, rpc_cb cb, void* data) { return rpc_nfs3_read_async(rpc, cb, &args, data); },
                  [&](void* result) {
                    const auto* read = static_cast<READ3res*>(result);
                    if (read->status == NFS3_OK) got = read->READ3res_u.resok.count;
                  });
  }

  // "127.0.0.1:PORT" of this end of the connection, as the server sees it.
  std::string LocalAddress() const {
    sockaddr_in address{};
    socklen_t size = sizeof address;
    if (getsockname(rpc_get_fd(rpc_), reinterpret_cast<sockaddr*>(&address), &size) != 0) return "?";
    return "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  }

  bool Null() {
    return Tools::CallAndWait(rpc_, kTimeoutMs, [](rpc_context* rpc, rpc_cb cb, void* data) {
             return rpc_nfs3_null_async(rpc, cb, data);
           }).Answered();
  }

 private:
  static nfs_fh3 Handle(std::string& bytes) {
    nfs_fh3 handle{};
    handle.data.data_len = static_cast<u_int>(bytes.size());
    handle.data.data_val = bytes.data();
    return handle;
  }

  int Status(const std::function<int(rpc_context*, rpc_cb, void*)>& send,
             const std::function<void(void*)>& more = {}) {
    int status = -1;
    const auto call = Tools::CallAndWait(rpc_, kTimeoutMs, send, [&](void* result) {
      status = Tools::ResultStatus(result);
      if (more) more(result);
    });
    EXPECT_TRUE(call.Answered()) << call.error;
    return status;
  }

  rpc_context* rpc_;
};

class MonitoringTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = (temp_.Path() / "control.sock").string();
    std::vector<std::string> arguments{"--local-path", Export(),  "--share-name", "/share", "--control-socket",
                                       socket_,   "--state-dir", (temp_.Path() / "state").string()};
    for (auto& more : MoreArguments()) arguments.push_back(std::move(more));
    host_ = std::make_unique<TestSupport::HostProcess>(arguments);
    ASSERT_TRUE(host_->WaitForOutput("Serving", 20000)) << host_->ErrorOutput();
  }

  void TearDown() override {
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->WaitForExit(10000), 0);
  }

  virtual std::vector<std::string> MoreArguments() const { return {}; }

  std::string Export() const { return (temp_.Path() / "export").string(); }

  // "nfs_host SUBCOMMAND --control-socket SOCKET ARGUMENTS...", read to its end.
  Outcome Host(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin() + 1, {"--control-socket", socket_});
    TestSupport::HostProcess process(arguments);
    process.WaitForOutput("\x01 (until the output ends)", 20000);
    Outcome run;
    run.status = process.WaitForExit(10000);
    run.output = process.Output();
    run.errors = process.ErrorOutput();
    return run;
  }

  nlohmann::json Json(std::vector<std::string> arguments) {
    arguments.push_back("--json");
    const Outcome run = Host(arguments);
    EXPECT_EQ(run.status, 0) << run.errors;
    return nlohmann::json::parse(run.output);
  }

  // Known traffic on one connection: MNT, a LOOKUP that finds the file,
  // 3 GETATTR, 2 LOOKUP of a missing name, a WRITE of 1000 bytes, a READ
  // of them and a closing NULL, whose arrival means the calls before it
  // have all been counted, latency included.
  void KnownTraffic(RawClient& client) {
    // The port the host serves on (2029 unless another program holds it).
    const auto port = Json({"status"}).at("network").at("port").get<int>();
    ASSERT_NE(port, 0);
    ASSERT_TRUE(client.Connect(port));
    std::string root = client.Mount("/share");
    ASSERT_FALSE(root.empty());
    std::string file;
    ASSERT_EQ(client.Lookup(root, "data.bin", &file), NFS3_OK);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(client.GetAttr(root), NFS3_OK);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(client.Lookup(root, "missing.txt"), NFS3ERR_NOENT);
    EXPECT_EQ(client.Write(file, std::string(1000, 'w')), NFS3_OK);
    uint32_t read = 0;
    EXPECT_EQ(client.Read(file, 4096, read), NFS3_OK);
    EXPECT_EQ(read, 1000u);
    ASSERT_TRUE(client.Null());
  }

  TestSupport::TempDir temp_;
  std::string socket_;
  std::unique_ptr<TestSupport::HostProcess> host_;
};

const nlohmann::json& FindProcedure(const nlohmann::json& statistics, const std::string& program,
                                    const std::string& name) {
  for (const auto& entry : statistics.at("programs")) {
    if (entry.at("name") != program) continue;
    for (const auto& procedure : entry.at("procedures")) {
      if (procedure.at("name") == name) return procedure;
    }
  }
  static const nlohmann::json kMissing = nlohmann::json::object();
  ADD_FAILURE() << program << " " << name << " is not in the statistics";
  return kMissing;
}

TEST_F(MonitoringTest, StatsCountKnownTrafficExactly) {
  temp_.WriteFile("export/data.bin", "");
  RawClient client;
  KnownTraffic(client);

  const nlohmann::json statistics = Json({"stats"});
  EXPECT_EQ(statistics.at("format"), 1);
  EXPECT_EQ(statistics.at("bytes_written"), 1000);
  EXPECT_EQ(statistics.at("bytes_read"), 1000);
  EXPECT_EQ(statistics.at("connections").at("accepted"), 1);
  EXPECT_EQ(statistics.at("connections").at("open"), 1);

  const auto& mnt = FindProcedure(statistics, "MOUNT", "MNT");
  EXPECT_EQ(mnt.at("calls"), 1);
  EXPECT_EQ(mnt.at("statuses"), nlohmann::json({{"MNT3_OK", 1}}));
  const auto& getattr = FindProcedure(statistics, "NFS", "GETATTR");
  EXPECT_EQ(getattr.at("calls"), 3);
  EXPECT_EQ(getattr.at("failures"), 0);
  EXPECT_EQ(getattr.at("statuses"), nlohmann::json({{"NFS3_OK", 3}}));
  const auto& lookup = FindProcedure(statistics, "NFS", "LOOKUP");
  EXPECT_EQ(lookup.at("calls"), 3);
  EXPECT_EQ(lookup.at("failures"), 2);
  EXPECT_EQ(lookup.at("statuses"), nlohmann::json({{"NFS3_OK", 1}, {"NFS3ERR_NOENT", 2}}));
  EXPECT_EQ(FindProcedure(statistics, "NFS", "WRITE").at("calls"), 1);
  EXPECT_EQ(FindProcedure(statistics, "NFS", "READ").at("calls"), 1);
  EXPECT_EQ(FindProcedure(statistics, "NFS", "NULL").at("calls"), 1);
  EXPECT_EQ(FindProcedure(statistics, "NFS", "CREATE").at("calls"), 0);
  EXPECT_EQ(FindProcedure(statistics, "MOUNT", "UMNT").at("calls"), 0);

  // Every call before the NULL has its latency counted, in its buckets too.
  for (const char* name : {"GETATTR", "LOOKUP", "WRITE", "READ"}) {
    const auto& procedure = FindProcedure(statistics, "NFS", name);
    const auto& latency = procedure.at("latency");
    EXPECT_EQ(latency.at("count"), procedure.at("calls")) << name;
    uint64_t inBuckets = 0;
    for (const auto& bucket : latency.at("buckets")) inBuckets += bucket.at(1).get<uint64_t>();
    EXPECT_EQ(inBuckets, procedure.at("calls").get<uint64_t>()) << name;
    EXPECT_LE(latency.at("p50_ns"), latency.at("p90_ns")) << name;
    EXPECT_LE(latency.at("p90_ns"), latency.at("p99_ns")) << name;
    EXPECT_LE(latency.at("p99_ns"), latency.at("max_ns")) << name;
    EXPECT_GT(latency.at("max_ns"), 0) << name;
  }

  // The same on one screen.
  const Outcome table = Host({"stats"});
  EXPECT_EQ(table.status, 0) << table.errors;
  EXPECT_NE(table.output.find("Connections  1 open, 1 accepted"), std::string::npos) << table.output;
  EXPECT_NE(table.output.find("1000 B read, 1000 B written"), std::string::npos) << table.output;
  const size_t lookupLine = table.output.find("NFS     LOOKUP ");
  ASSERT_NE(lookupLine, std::string::npos) << table.output;
  const std::string line = table.output.substr(lookupLine, table.output.find('\n', lookupLine) - lookupLine);
  EXPECT_NE(line.find("NFS3ERR_NOENT 2"), std::string::npos) << line;
  EXPECT_EQ(table.output.find("CREATE"), std::string::npos) << "procedures without calls are left out";
}

TEST_F(MonitoringTest, StatusShowsTheExportTheConnectionAndWhatTheServerHolds) {
  temp_.WriteFile("export/data.bin", "");
  const Outcome created = Host({"call", "NFS::CreateVirtualFileCommand", "NetworkPath=/share/big.bin",
                                "Size=1073741824", "SourceUri=pattern:42"});
  ASSERT_EQ(created.status, 0) << created.errors;
  auto client = std::make_unique<RawClient>();
  KnownTraffic(*client);

  const nlohmann::json status = Json({"status"});
  EXPECT_EQ(status.at("format"), 1);
  EXPECT_EQ(status.at("share").at("name"), "/share");
  EXPECT_EQ(status.at("share").at("local_path"), Export());
  const auto& network = status.at("network");
  EXPECT_TRUE(network.at("serving").get<bool>());
  const auto port = network.at("port").get<uint64_t>();
  EXPECT_TRUE(network.at("portmapper").at("registered").get<bool>()) << network;
  EXPECT_EQ(network.at("portmapper").at("nfs_port"), port);
  EXPECT_EQ(network.at("portmapper").at("mount_port"), port);
  ASSERT_EQ(network.at("connections").size(), 1u) << network;
  EXPECT_EQ(network.at("connections")[0].at("peer"), client->LocalAddress());
  // The root and the file the client looked up; missing names are not kept.
  EXPECT_EQ(status.at("cached_objects"), nlohmann::json::parse(R"([{"share": "/share", "objects": 2}])"));
  EXPECT_EQ(status.at("mounted_clients"), 1);
  const auto& cache = status.at("cache");
  EXPECT_EQ(cache.at("capacity"), 100000);
  EXPECT_GT(cache.at("hits").get<uint64_t>(), 0u);
  EXPECT_EQ(cache.at("stale"), 0);
  EXPECT_EQ(cache.at("evicted"), 0);
  EXPECT_TRUE(status.at("store").at("open").get<bool>());
  EXPECT_EQ(status.at("virtual_files"), nlohmann::json::parse(R"({"count": 1, "bytes": 1073741824})"));
  EXPECT_LE(status.at("descriptors").at("open"), status.at("descriptors").at("limit"));
  EXPECT_GT(status.at("descriptors").at("limit"), 0);
  EXPECT_EQ(status.at("listings").at("enumerators_kept"), 0);
  EXPECT_EQ(status.at("observers"), 0);

  const Outcome screen = Host({"status"});
  EXPECT_EQ(screen.status, 0) << screen.errors;
  for (const std::string& expected : std::vector<std::string>{
           "Share        /share\n", "Local path   " + Export() + "\n",
        "Server       serving on TCP port " + std::to_string(port) + " for ",
        "Portmapper   MOUNT and NFS registered for port " + std::to_string(port) + "\n", "Connections  1\n",
        "               " + client->LocalAddress() + " ", "Cached       2 objects in /share\n",
        "Mounted by   1 client address\n", "Cache        at most 100000 objects; ", "Handle store ",
        "Virtual      1 file, 1.0 GiB\n"}) {
    EXPECT_NE(screen.output.find(expected), std::string::npos) << expected << "\nin\n" << screen.output;
  }

  // The server sees the client go (on its next poll): then no connection is left.
  client.reset();
  EXPECT_TRUE(TestSupport::WaitUntil(
      [&] { return Json({"status"}).at("network").at("connections").empty(); }, std::chrono::seconds(20)));
  const nlohmann::json statistics = Json({"stats"});
  EXPECT_EQ(statistics.at("connections").at("open"), 0);
  EXPECT_EQ(statistics.at("connections").at("accepted"), 1);
}

TEST_F(MonitoringTest, StatsPerIntervalPrintOneJsonLineEach) {
  const Outcome run = Host({"stats", "--interval", "0.1", "--count", "2", "--json"});
  ASSERT_EQ(run.status, 0) << run.errors;
  std::vector<nlohmann::json> lines;
  size_t begin = 0;
  for (size_t end; (end = run.output.find('\n', begin)) != std::string::npos; begin = end + 1) {
    lines.push_back(nlohmann::json::parse(run.output.substr(begin, end - begin)));
  }
  ASSERT_EQ(lines.size(), 2u) << run.output;
  for (const auto& line : lines) {
    EXPECT_GT(line.at("seconds").get<double>(), 0);
    EXPECT_EQ(line.at("calls"), 0);  // no client in this test
    EXPECT_TRUE(line.at("procedures").is_array());
  }
  const Outcome table = Host({"stats", "--interval", "0.1", "--count", "1"});
  ASSERT_EQ(table.status, 0) << table.errors;
  EXPECT_EQ(table.output.rfind("TIME ", 0), 0u) << table.output;
}

// A port nothing listens on now (the host binds it right after).
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  int port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// The Prometheus text format, read strictly: every sample's family has its
// TYPE before it, names and labels have their shapes, values are numbers.
// Samples by their whole key, as in `name{label="value",...}`.
std::map<std::string, double> ParsePrometheusText(const std::string& text) {
  static const std::regex kHelp(R"(# HELP [a-zA-Z_:][a-zA-Z0-9_:]* .*)");
  static const std::regex kType(R"(# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram))");
  static const std::regex kSample(
      R"(([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*"(?:,[a-zA-Z_][a-zA-Z0-9_]*="(?:[^"\\\n]|\\[\\"n])*")*\})? ([^ ]+))");
  std::map<std::string, std::string> types;
  std::map<std::string, double> samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::smatch match;
    if (std::regex_match(line, kHelp)) continue;
    if (std::regex_match(line, match, kType)) {
      types[match[1]] = match[2];
      continue;
    }
    if (!std::regex_match(line, match, kSample)) {
      ADD_FAILURE() << "not a Prometheus line: " << line;
      continue;
    }
    std::string family = match[1];
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
      const std::string stem = family.substr(0, family.size() - std::min(family.size(), std::strlen(suffix)));
      if (family.ends_with(suffix) && types.count(stem) && types[stem] == "histogram") family = stem;
    }
    EXPECT_TRUE(types.count(family)) << "no TYPE before " << line;
    const std::string value = match[3];
    double number = 0;
    if (value == "+Inf") {
      number = std::numeric_limits<double>::infinity();
    } else {
      size_t used = 0;
      number = std::stod(value, &used);
      EXPECT_EQ(used, value.size()) << line;
    }
    EXPECT_TRUE(samples.emplace(std::string(match[1]) + std::string(match[2]), number).second) << "twice: " << line;
  }
  return samples;
}

class MetricsPageTest : public MonitoringTest {
 protected:
  std::vector<std::string> MoreArguments() const override {
    return {"--metrics-listen", "127.0.0.1:" + std::to_string(port_)};
  }

  std::map<std::string, double> Scrape() {
    httplib::Client page("127.0.0.1", port_);
    const auto response = page.Get("/metrics");
    EXPECT_TRUE(response);
    if (!response) return {};
    EXPECT_EQ(response->status, 200) << response->body;
    EXPECT_EQ(response->get_header_value("Content-Type"), "text/plain; version=0.0.4; charset=utf-8");
    return ParsePrometheusText(response->body);
  }

  const int port_ = FreePort();
};

TEST_F(MetricsPageTest, CountsKnownTrafficInThePrometheusFormat) {
  temp_.WriteFile("export/data.bin", "");
  RawClient client;
  KnownTraffic(client);
  auto samples = Scrape();
  const auto sample = [&](const std::string& key) {
    EXPECT_TRUE(samples.count(key)) << key;
    return samples[key];
  };
  const std::string getattr = R"(program="NFS",procedure="GETATTR")";
  EXPECT_EQ(sample("nfs_requests_total{" + getattr + "}"), 3);
  EXPECT_EQ(sample(R"(nfs_requests_total{program="NFS",procedure="LOOKUP"})"), 3);
  EXPECT_EQ(sample(R"(nfs_requests_total{program="MOUNT",procedure="MNT"})"), 1);
  EXPECT_EQ(sample(R"(nfs_request_failures_total{program="NFS",procedure="LOOKUP",status="NFS3ERR_NOENT"})"), 2);
  EXPECT_EQ(samples.count(R"(nfs_request_failures_total{program="NFS",procedure="GETATTR",status="NFS3_OK"})"), 0u);
  EXPECT_EQ(sample("nfs_write_bytes_total"), 1000);
  EXPECT_EQ(sample("nfs_read_bytes_total"), 1000);
  EXPECT_EQ(sample("nfs_connections"), 1);
  EXPECT_EQ(sample("nfs_up"), 1);
  EXPECT_GE(sample(R"(nfs_cached_objects{share="/share"})"), 2);  // the root and data.bin
  EXPECT_EQ(sample("nfs_mounted_clients"), 1);
  EXPECT_EQ(sample("nfs_cache_capacity"), 100000);
  EXPECT_GT(sample(R"(nfs_cache_lookups_total{outcome="hit"})"), 0);
  EXPECT_EQ(sample(R"(nfs_cache_lookups_total{outcome="stale"})"), 0);
  EXPECT_EQ(sample("nfs_cache_evictions_total"), 0);
  EXPECT_LE(sample("nfs_open_descriptors"), sample("nfs_descriptor_limit"));
  EXPECT_GT(sample("nfs_descriptor_limit"), 0);
  EXPECT_EQ(sample("nfs_virtual_files"), 0);
  // A histogram: buckets never fall, +Inf holds every call, as does _count.
  double previous = 0;
  for (const char* le : {"2.5e-05", "5e-05", "0.0001", "0.00025", "0.0005", "0.001", "0.0025", "0.005", "0.01",
                         "0.025", "0.05", "0.1", "0.25", "0.5", "1", "2.5", "5", "10", "+Inf"}) {
    const double bucket = sample("nfs_request_duration_seconds_bucket{" + getattr + ",le=\"" + le + "\"}");
    EXPECT_GE(bucket, previous) << le;
    previous = bucket;
  }
  EXPECT_EQ(previous, 3);
  EXPECT_EQ(sample("nfs_request_duration_seconds_count{" + getattr + "}"), 3);
  EXPECT_GT(sample("nfs_request_duration_seconds_sum{" + getattr + "}"), 0);

  httplib::Client page("127.0.0.1", port_);
  const auto other = page.Get("/");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);
}

TEST(MetricsFlagsTest, BadAddressesAndTakenPortsStopTheStart) {
  TestSupport::TempDir temp;
  const std::string control = (temp.Path() / "control.sock").string();
  for (const char* bad : {"9587", "127.0.0.1", "127.0.0.1:0", "127.0.0.1:65536", ":9587", "[::1]9587", "a:b:c"}) {
    TestSupport::HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket", control,
                                   "--metrics-listen", bad});
    EXPECT_EQ(host.WaitForExit(10000), 2) << bad;
    EXPECT_NE(host.ErrorOutput().find("--metrics-listen"), std::string::npos) << bad;
  }
  // A port another program holds: a start-up error before anything is exported.
  const int taken = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(taken, 1), 0);
  ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&address), &size), 0);
  TestSupport::HostProcess host({"--local-path", (temp.Path() / "export").string(), "--control-socket", control,
                                 "--metrics-listen", "127.0.0.1:" + std::to_string(ntohs(address.sin_port))});
  EXPECT_EQ(host.WaitForExit(20000), 1);
  const std::string errors = host.ErrorOutput();
  EXPECT_NE(errors.find("Cannot serve metrics"), std::string::npos) << errors;
  EXPECT_EQ(errors.find("Exporting"), std::string::npos) << errors;
  close(taken);
}

}  // namespace
