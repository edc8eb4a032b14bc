// "nfs_host watch" and the control channel's watch requests, against the host
// executable serving a libnfs client.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <nfsc/libnfs.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "server_lib/core/ObjectId.h"
#include "tests/module/HostProcess.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/Waiting.h"

namespace {

using TestSupport::HostProcess;
using Json = nlohmann::json;

std::string IdOf(const char16_t* path) {
  return Common::ToUtf8(NFS::ObjectIdToString(NFS::MakeObjectId(NFS::kFileKind, path)));
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) lines.push_back(line);
  return lines;
}

// A watcher speaking the channel's protocol itself, so that a test decides
// when, and whether, it reads; with another request, a plain connection.
class RawWatcher {
 public:
  explicit RawWatcher(const std::string& socketPath, const std::string& request = R"({"watch":"NFS::FileEvents"})") {
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    Send(request + "\n");
  }
  ~RawWatcher() { Close(); }

  void Send(const std::string& text) {
    EXPECT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }

  // The next line as JSON; null when the connection ended or nothing came
  // for a long while.
  Json Next() {
    for (;;) {
      const size_t newline = pending_.find('\n');
      if (newline != std::string::npos) {
        const std::string line = pending_.substr(0, newline);
        pending_.erase(0, newline + 1);
        return Json::parse(line, nullptr, false);
      }
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 60000) <= 0) return nullptr;
      char buffer[65536];
      const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return nullptr;
      pending_.append(buffer, static_cast<size_t>(n));
    }
  }

  // The acknowledgement's count of watchers, or -1 when the watch was refused.
  long Acknowledged() {
    const Json ack = Next();
    if (!ack.is_object() || !ack.value("ok", false)) {
      ADD_FAILURE() << ack.dump();
      return -1;
    }
    EXPECT_EQ(ack.value("watching", ""), "NFS::FileEvents");
    return ack.value("watchers", -1L);
  }

  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  std::string pending_;
};

class WatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = (temp_.Path() / "control.sock").string();
    std::filesystem::create_directories(temp_.Path() / "export" / "docs");
    host_ = std::make_unique<HostProcess>(std::vector<std::string>{
        "--local-path", (temp_.Path() / "export").string(), "--share-name", "/share", "--control-socket", socket_});
    ASSERT_TRUE(host_->WaitForOutput("Serving", 20000)) << host_->ErrorOutput();
    // Clients here use port 2029: with it taken they would reach another server.
    ASSERT_EQ(host_->ErrorOutput().find("to fixed port"), std::string::npos)
        << "Another process holds port 2029; run again once it has ended.";
    nfs_ = nfs_init_context();
    nfs_set_timeout(nfs_, 30000);
    nfs_url* url =
        nfs_parse_url_dir(nfs_, "nfs://127.0.0.1/share?version=3&nfsport=2029&mountport=2029&auto-traverse-mounts=0");
    ASSERT_NE(url, nullptr);
    const int mounted = nfs_mount(nfs_, url->server, url->path);
    nfs_destroy_url(url);
    ASSERT_EQ(mounted, 0) << nfs_get_error(nfs_);
  }

  void TearDown() override {
    if (nfs_ != nullptr) nfs_destroy_context(nfs_);
    StopHost();
  }

  void StopHost() {
    if (stopped_) return;
    stopped_ = true;
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->WaitForExit(20000), 0) << host_->ErrorOutput();
  }

  // "nfs_host watch ..." running until it is signalled.
  std::unique_ptr<HostProcess> StartWatch(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"watch", "--control-socket", socket_});
    auto watch = std::make_unique<HostProcess>(arguments);
    EXPECT_TRUE(watch->WaitForErrorOutput("Watching NFS::FileEvents", 10000)) << watch->ErrorOutput();
    return watch;
  }

  // The event observers the server holds, from its status document.
  long ServerObservers() {
    RawWatcher channel(socket_, R"({"command":"NFS::GetServerStatusCommand","request":{}})");
    const Json answer = channel.Next();
    if (!answer.is_object() || !answer.value("ok", false)) {
      ADD_FAILURE() << answer.dump();
      return -1;
    }
    return Json::parse(answer["response"].value("Status", "{}")).value("observers", -1L);
  }

  int Create(const std::string& path) {
    nfsfh* file = nullptr;
    const int created = nfs_creat(nfs_, path.c_str(), 0644, &file);
    if (created == 0) nfs_close(nfs_, file);
    return created;
  }

  TestSupport::TempDir temp_;
  std::string socket_;
  std::unique_ptr<HostProcess> host_;
  bool stopped_ = false;
  nfs_context* nfs_ = nullptr;
};

TEST_F(WatchTest, TwoWatchersSeeAClientsCreateAndDeleteInOrder) {
  auto text = StartWatch({});
  auto json = StartWatch({"--json"});

  ASSERT_EQ(Create("/docs/a.txt"), 0) << nfs_get_error(nfs_);
  ASSERT_EQ(nfs_unlink(nfs_, "/docs/a.txt"), 0) << nfs_get_error(nfs_);

  const std::string id = IdOf(u"/share/docs/a.txt");
  ASSERT_TRUE(text->WaitForOutput(" deleted ", 10000)) << text->Output();
  const auto lines = Lines(text->Output());
  ASSERT_EQ(lines.size(), 2u) << text->Output();
  const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)");
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(\S+ created /share/docs/a\.txt )" + id)) &&
              std::regex_match(lines[0].substr(0, lines[0].find(' ')), time))
      << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\S+ deleted /share/docs/a\.txt )" + id)) &&
              std::regex_match(lines[1].substr(0, lines[1].find(' ')), time))
      << lines[1];

  ASSERT_TRUE(json->WaitForOutput("\"deleted\"", 10000)) << json->Output();
  const auto objects = Lines(json->Output());
  ASSERT_EQ(objects.size(), 2u) << json->Output();
  const Json created = Json::parse(objects[0]);
  const Json deleted = Json::parse(objects[1]);
  EXPECT_EQ(created, (Json{{"time", created["time"]}, {"event", "created"}, {"path", "/share/docs/a.txt"}, {"id", id}}));
  EXPECT_EQ(deleted, (Json{{"time", deleted["time"]}, {"event", "deleted"}, {"path", "/share/docs/a.txt"}, {"id", id}}));
  EXPECT_TRUE(std::regex_match(created["time"].get<std::string>(), time));
  EXPECT_LE(created["time"].get<std::string>(), deleted["time"].get<std::string>());
  // The order the fields are printed in, for readers of the raw lines.
  EXPECT_EQ(objects[0].rfind("{\"time\":", 0), 0u) << objects[0];

  text->Signal(SIGINT);
  json->Signal(SIGINT);
  EXPECT_EQ(text->WaitForExit(10000), 0);
  EXPECT_EQ(json->WaitForExit(10000), 0);
}

// The observer only queues: a watcher that reads nothing while a client
// works costs it nothing, and learns afterwards how much it missed.
TEST_F(WatchTest, AWatcherThatDoesNotReadNeitherSlowsClientsNorLosesCount) {
  RawWatcher slow(socket_);
  ASSERT_EQ(slow.Acknowledged(), 1);
  // And one that never reads at all, with its socket full when the host stops.
  RawWatcher stuck(socket_);
  ASSERT_EQ(stuck.Acknowledged(), 2);

  const int pairs = TestSupport::FromEnvironment("WATCH_PAIRS", 3000);
  int failures = 0;
  for (int i = 0; i < pairs; ++i) {
    const std::string path = "/f" + std::to_string(i);
    if (Create(path) != 0 || nfs_unlink(nfs_, path.c_str()) != 0) ++failures;
  }
  EXPECT_EQ(failures, 0) << nfs_get_error(nfs_) << host_->ErrorOutput();

  // Every event is either delivered, in the order raised, or counted.
  const uint64_t events = 2u * static_cast<uint64_t>(pairs);
  uint64_t delivered = 0;
  uint64_t dropped = 0;
  long lastIndex = -1;
  bool lastWasCreate = false;
  bool outOfOrder = false;
  while (delivered + dropped < events) {
    const Json line = slow.Next();
    ASSERT_TRUE(line.is_object()) << "after " << delivered << " events and " << dropped << " dropped";
    if (line.contains("dropped")) {
      dropped += line["dropped"].get<uint64_t>();
      continue;
    }
    ASSERT_TRUE(line.contains("item")) << line.dump();
    ++delivered;
    const std::string path = line["item"]["path"];
    const bool create = line["item"]["event"] == "created";
    ASSERT_EQ(path.rfind("/share/f", 0), 0u) << "Another client uses port 2029; run again once it has ended. "
                                               << line.dump();
    const long index = std::stol(path.substr(std::strlen("/share/f")));
    if (index < lastIndex || (index == lastIndex && (create || !lastWasCreate))) outOfOrder = true;
    lastIndex = index;
    lastWasCreate = create;
  }
  EXPECT_FALSE(outOfOrder);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(delivered + dropped, events);

  // Caught up, it gets the next event as it happens.
  ASSERT_EQ(Create("/last.txt"), 0);
  const Json next = slow.Next();
  EXPECT_EQ(next["item"]["path"], "/share/last.txt") << next.dump();

  // The host stops although `stuck` still holds a full socket (TearDown).
}

TEST_F(WatchTest, AWatcherThatLeavesIsUnregistered) {
  RawWatcher first(socket_);
  ASSERT_EQ(first.Acknowledged(), 1);
  RawWatcher second(socket_);
  ASSERT_EQ(second.Acknowledged(), 2);
  auto cli = StartWatch({});
  EXPECT_EQ(ServerObservers(), 3);
  first.Close();
  cli->Signal(SIGINT);  // Ctrl-C
  EXPECT_EQ(cli->WaitForExit(10000), 0);

  // Unregistered once the host has seen the connections end: the server
  // keeps the observer of `second` only, and the host counts one watcher.
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return ServerObservers() == 1; }, std::chrono::seconds(20)));
  RawWatcher probe(socket_);
  EXPECT_EQ(probe.Acknowledged(), 2);
  probe.Close();
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return ServerObservers() == 1; }, std::chrono::seconds(20)));

  ASSERT_EQ(Create("/after.txt"), 0);
  const Json line = second.Next();
  EXPECT_EQ(line["item"]["path"], "/share/after.txt") << line.dump();
  // No observer was left for the server to fail to find.
  EXPECT_EQ(host_->ErrorOutput().find("event observer"), std::string::npos) << host_->ErrorOutput();
}

TEST_F(WatchTest, StoppingTheHostEndsEveryWatch) {
  auto cli = StartWatch({});
  RawWatcher raw(socket_);
  ASSERT_EQ(raw.Acknowledged(), 2);
  ASSERT_EQ(Create("/docs/b.txt"), 0);
  ASSERT_TRUE(cli->WaitForOutput(" created /share/docs/b.txt ", 10000)) << cli->Output();

  StopHost();
  EXPECT_EQ(cli->WaitForExit(10000), 0);
  EXPECT_NE(cli->ErrorOutput().find("The host ended the stream: The host is shutting down."), std::string::npos)
      << cli->ErrorOutput();
  EXPECT_EQ(raw.Next()["item"]["path"], "/share/docs/b.txt");
  EXPECT_EQ(raw.Next(), (Json{{"end", "The host is shutting down."}}));
  EXPECT_TRUE(raw.Next().is_null());  // closed
}

TEST_F(WatchTest, BadFlagsAndBadWatchRequestsAreRefused) {
  auto run = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "watch");
    HostProcess watch(arguments);
    const int status = watch.WaitForExit(10000);
    return std::make_pair(status, watch.ErrorOutput());
  };
  EXPECT_EQ(run({"--bogus", "--control-socket", socket_}).first, 2);
  EXPECT_EQ(run({"--control-socket", socket_, "extra"}).first, 2);
  EXPECT_EQ(run({"--control-socket"}).first, 2);
  EXPECT_EQ(run({"--json", "--control-socket", socket_ + ".missing"}).first, 2);
  {
    HostProcess help({"watch", "--help"});
    EXPECT_TRUE(help.WaitForOutput("Usage: nfs_host watch", 10000));
    EXPECT_EQ(help.WaitForExit(10000), 0);
  }

  // On the channel: refused watches leave the connection serving requests.
  RawWatcher channel(socket_, R"({"watch":"NFS::NoSuchStream"})");
  const Json missing = channel.Next();
  EXPECT_EQ(missing["ok"], false);
  EXPECT_EQ(missing["error"][0]["message"], "Cannot find the stream 'NFS::NoSuchStream'.") << missing.dump();
  for (const char* request : {R"({"watch":5})", R"({"watch":""})", R"({"watch":null,"command":"x"})"}) {
    channel.Send(std::string(request) + "\n");
    const Json refused = channel.Next();
    EXPECT_NE(refused.dump().find("A watch request is an object with a"), std::string::npos) << refused.dump();
  }
  channel.Send(R"({"command":"NFS::FileExistsCommand","request":{"ShareName":"/share","FilePath":"docs/x"}})" "\n");
  EXPECT_NE(channel.Next().dump().find("0x0182002D"), std::string::npos);
  // Anything a watcher sends once watching is ignored.
  channel.Send(R"({"watch":"NFS::FileEvents"})" "\nnot json\n{\"command\":\"NFS::FileExistsCommand\"}\n");
  EXPECT_EQ(channel.Next()["watching"], "NFS::FileEvents");
  ASSERT_EQ(Create("/docs/c.txt"), 0);
  EXPECT_EQ(channel.Next()["item"]["path"], "/share/docs/c.txt");
}

}  // namespace
