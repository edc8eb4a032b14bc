#include "app/ControlChannel.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Logging.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;

// Waits, polling, until the condition holds or five seconds have passed.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Test::Throw fails the way its Kind says; with no Kind it succeeds.
class ThrowingCommand : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record& request, Core::HostContext&) override {
    const std::string kind = Common::ToUtf8(request.GetOr<Common::WString>("Kind", u""));
    if (kind == "runtime") throw std::runtime_error("the disk is on fire");
    if (kind == "alloc") throw std::bad_alloc();
    if (kind == "int") throw 42;
    if (kind == "error") throw Common::Error(0x0F000001, u"A plain command failure.");
    Core::Record response("Test::ThrowResponse");
    response.Set("Done", true);
    return response;
  }
};

// Test::Hold runs until the test opens the gate; Test::Count counts its runs.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int holding = 0;
  std::atomic<int> counted{0};
};
Gate gate;

class HoldingCommand : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record&, Core::HostContext&) override {
    std::unique_lock lock(gate.mutex);
    ++gate.holding;
    gate.changed.notify_all();
    gate.changed.wait(lock, [] { return gate.open; });
    --gate.holding;
    return Core::Record("Test::HoldResponse");
  }
};

class CountingCommand : public Core::Command {
 public:
  Core::Record RunLogic(const Core::Record&, Core::HostContext&) override {
    ++gate.counted;
    return Core::Record("Test::CountResponse");
  }
};

template <typename CommandImpl>
std::shared_ptr<Core::Addon> Factory(const std::string& name, std::vector<Core::PropertySpec> properties = {}) {
  Core::CommandDescription description{name + "Addon", name, "00000000-0000-0000-0000-000000000000",
                                       name + "Request", name + "Response", std::move(properties)};
  return std::make_shared<Core::CommandFactoryAddonOf<CommandImpl>>(description);
}

const std::string kOk = "{\"command\":\"Test::Throw\",\"request\":{}}\n";

std::string Throw(const std::string& kind) {
  return "{\"command\":\"Test::Throw\",\"request\":{\"Kind\":\"" + kind + "\"}}\n";
}

class ControlChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      std::lock_guard lock(gate.mutex);
      gate.open = false;
      gate.holding = 0;
    }
    gate.counted = 0;
    socket_ = (temp_.Path() / "control.sock").string();
    auto& addons = Core::AddonRegistry::Instance();
    addons.Add(Factory<ThrowingCommand>("Test::Throw", {{"Kind", Core::PropertyType::String}}));
    addons.Add(Factory<HoldingCommand>("Test::Hold"));
    addons.Add(Factory<CountingCommand>("Test::Count"));
  }

  void TearDown() override {
    {
      std::lock_guard lock(gate.mutex);
      gate.open = true;
    }
    gate.changed.notify_all();
    channel_.reset();
    for (const auto& addon : Core::AddonRegistry::Instance().Snapshot()) {
      Core::AddonRegistry::Instance().Remove(addon.get());
    }
  }

  void StartChannel() {
    channel_ = std::make_unique<Host::ControlChannel>(runner_, socket_);
    channel_->Start();
  }

  // A connected client, or -1.
  int Connect() const {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!ConnectExisting(fd)) {
      close(fd);
      return -1;
    }
    return fd;
  }

  bool ConnectExisting(int fd) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    return connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }

  // One line, without its newline; empty at the end of the stream.
  static std::string ReadLine(int fd) {
    std::string line;
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') line.push_back(c);
    return line;
  }

  static std::string Ask(int fd, const std::string& request) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return "";
    return ReadLine(fd);
  }

  // Whether the host closed the connection (after any lines still queued).
  static bool ClosedByHost(int fd) {
    char c;
    for (;;) {
      const ssize_t n = recv(fd, &c, 1, 0);
      if (n <= 0) return true;
    }
  }

  static bool Ok(const std::string& answer) {
    const auto json = nlohmann::json::parse(answer, nullptr, false);
    return json.is_object() && json.value("ok", false);
  }

  // The messages of a failure answer, outermost first, one per line.
  static std::string Messages(const std::string& answer) {
    const auto json = nlohmann::json::parse(answer, nullptr, false);
    if (!json.is_object() || json.value("ok", true) || !json.contains("error")) return "not a failure: " + answer;
    std::string text;
    for (const auto& record : json["error"]) {
      text += record.value("code", "") + " " + record.value("message", "") + "\n";
    }
    return text;
  }

  TestSupport::TempDir temp_;
  std::string socket_;
  ComponentManagement::ComponentRegistry components_;
  Core::HostContext context_{&components_};
  Core::CommandRunner runner_{Core::AddonRegistry::Instance(), context_};
  std::unique_ptr<Host::ControlChannel> channel_;
};

TEST_F(ControlChannelTest, AnyExceptionOfACommandIsAnErrorLineAndServingGoesOn) {
  StartChannel();
  const int fd = Connect();
  ASSERT_GE(fd, 0);
  EXPECT_EQ(Messages(Ask(fd, Throw("runtime"))),
            "0x0100000A The command 'Test::Throw' failed: the disk is on fire\n");
  EXPECT_EQ(Messages(Ask(fd, Throw("alloc"))), "0x0100000A The command 'Test::Throw' failed: std::bad_alloc\n");
  EXPECT_EQ(Messages(Ask(fd, Throw("int"))),
            "0x0100000A The command 'Test::Throw' failed with an unknown exception.\n");
  EXPECT_EQ(Messages(Ask(fd, Throw("error"))), "0x0F000001 A plain command failure.\n");
  // The same connection, and new ones, are served as before.
  EXPECT_EQ(Ask(fd, kOk), "{\"ok\":true,\"response\":{\"Done\":true}}");
  close(fd);
  const int again = Connect();
  EXPECT_TRUE(Ok(Ask(again, kOk)));
  close(again);
}

TEST_F(ControlChannelTest, ConnectionsBeyondTheCapAreRefusedWhileTheOthersAreServed) {
  StartChannel();
  std::vector<int> served;
  for (size_t i = 0; i < Host::ControlChannel::kMaxConnections; ++i) {
    served.push_back(Connect());
    ASSERT_TRUE(Ok(Ask(served.back(), kOk))) << i;
  }
  for (int extra = 0; extra < 3; ++extra) {
    const int refused = Connect();
    ASSERT_GE(refused, 0);
    EXPECT_EQ(Messages(ReadLine(refused)),
              "0x0100000A The host already serves 64 control connections; try again when one has ended.\n");
    EXPECT_TRUE(ClosedByHost(refused));
    close(refused);
  }
  for (int fd : served) EXPECT_TRUE(Ok(Ask(fd, kOk)));

  // Once one leaves there is room for one more.
  close(served.back());
  served.pop_back();
  int admitted = -1;
  EXPECT_TRUE(Eventually([&] {
    const int fd = Connect();
    if (Ok(Ask(fd, kOk))) {
      admitted = fd;
      return true;
    }
    close(fd);
    return false;
  }));
  for (int fd : served) close(fd);
  close(admitted);
}

// The socket left by a host still running is neither replaced nor removed by
// a second one that is given the same path.
TEST_F(ControlChannelTest, ASecondChannelOnALiveSocketLeavesItAlone) {
  StartChannel();
  {
    Host::ControlChannel second(runner_, socket_);
    try {
      second.Start();
      ADD_FAILURE() << "a second channel started on a live socket";
    } catch (const Common::Error& error) {
      EXPECT_NE(error.Describe().find("Cannot open the control socket '" + socket_ + "': Address already in use"),
                std::string::npos)
          << error.Describe();
    }
  }
  const int fd = Connect();
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(Ok(Ask(fd, kOk)));
  close(fd);
}

TEST_F(ControlChannelTest, StopFinishesRunningRequestsAndRunsNoOther) {
  StartChannel();
  const int idle = Connect();
  ASSERT_TRUE(Ok(Ask(idle, kOk)));
  // A request that runs until the gate opens, with another line queued behind it.
  const int busy = Connect();
  const std::string lines =
      "{\"command\":\"Test::Hold\",\"request\":{}}\n{\"command\":\"Test::Count\",\"request\":{}}\n";
  ASSERT_EQ(send(busy, lines.data(), lines.size(), MSG_NOSIGNAL), static_cast<ssize_t>(lines.size()));
  {
    std::unique_lock lock(gate.mutex);
    ASSERT_TRUE(gate.changed.wait_for(lock, std::chrono::seconds(5), [] { return gate.holding == 1; }));
  }

  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    channel_->Stop();
    stopped = true;
  });
  // The socket goes first: nobody new gets in.
  EXPECT_TRUE(Eventually([&] { return !std::filesystem::exists(socket_); }));
  EXPECT_EQ(Connect(), -1);
  // The idle client is let go; what it sends now is not run.
  EXPECT_TRUE(ClosedByHost(idle));
  const std::string count = "{\"command\":\"Test::Count\",\"request\":{}}\n";
  send(idle, count.data(), count.size(), MSG_NOSIGNAL);
  close(idle);
  // The running request holds the stop until it is done.
  EXPECT_FALSE(stopped);
  {
    std::lock_guard lock(gate.mutex);
    gate.open = true;
  }
  gate.changed.notify_all();
  EXPECT_EQ(ReadLine(busy), "{\"ok\":true,\"response\":{}}");
  EXPECT_EQ(Messages(ReadLine(busy)), "0x0100000A The host is shutting down; the request was not run.\n");
  EXPECT_TRUE(ClosedByHost(busy));
  close(busy);
  stopper.join();
  EXPECT_TRUE(stopped);
  EXPECT_EQ(gate.counted.load(), 0);
}

// With no descriptor left the pending connection cannot be taken: the
// acceptor must rest until one is free rather than retry in a tight loop.
TEST_F(ControlChannelTest, DescriptorExhaustionRestsTheAcceptorUntilOneIsFree) {
  if (!TestSupport::kCanExhaustDescriptors) GTEST_SKIP() << "UBSan needs descriptors of its own";
  StartChannel();
  Common::ScopedLogCapture log;
  const std::string warning = "Cannot accept control connections: Too many open files.";
  auto warnings = [&] {
    int count = 0;
    for (const auto& line : log.Lines()) count += line.text.find(warning) != std::string::npos;
    return count;
  };
  const int client = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = TestSupport::OpenDescriptors() + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);

  const bool connected = ConnectExisting(client);
  const bool warned = connected && Eventually([&] { return warnings() > 0; });
  // A busy loop would use about all of this interval's processor time; the
  // resting acceptor next to nothing. (The interval is the measurement, not
  // a wait for something to happen.)
  timespec before{}, after{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &before);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &after);

  for (int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_TRUE(connected);
  ASSERT_TRUE(warned);
  const double used = static_cast<double>(after.tv_sec - before.tv_sec) +
                      static_cast<double>(after.tv_nsec - before.tv_nsec) / 1e9;
  EXPECT_LT(used, 0.25);
  // The waiting client is served once descriptors are free, and the shortage
  // was reported once, not on every attempt.
  EXPECT_TRUE(Ok(Ask(client, kOk)));
  EXPECT_EQ(warnings(), 1);
  close(client);
}

// A connection whose thread cannot start, and a command whose thread cannot
// start, are refused with an error line; the channel serves again as soon
// as threads can be made. Threads are denied by a process limit of zero,
// which binds only users without privileges: as root the channel runs in a
// child process under another user.
TEST_F(ControlChannelTest, ThreadsThatCannotStartFailOnlyTheirRequest) {
  const bool root = geteuid() == 0;
  const uid_t nobody = 65534;
  const std::filesystem::path folder = temp_.Path() / "channel";
  std::filesystem::create_directory(folder);
  if (root) {
    ASSERT_EQ(chmod(temp_.Path().c_str(), 0711), 0);
    ASSERT_EQ(chown(folder.c_str(), nobody, nobody), 0);
  }
  socket_ = (folder / "control.sock").string();
  // The child obeys one byte at a time: 'd' denies threads, 'a' allows them
  // again, 'q' stops the channel and ends; it answers each with one byte.
  int orders[2], answers[2];
  ASSERT_EQ(pipe(orders), 0);
  ASSERT_EQ(pipe(answers), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(orders[1]);
    close(answers[0]);
    if (root && (setgroups(0, nullptr) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
                 setresuid(nobody, nobody, nobody) != 0)) {
      _exit(3);
    }
    try {
      StartChannel();
    } catch (const Common::Error& error) {
      std::fprintf(stderr, "%s\n", error.Describe().c_str());
      _exit(4);
    }
    rlimit allowed{};
    if (getrlimit(RLIMIT_NPROC, &allowed) != 0) _exit(5);
    for (char order = 'r';;) {
      if (write(answers[1], &order, 1) != 1) _exit(6);
      if (read(orders[0], &order, 1) != 1 || order == 'q') break;
      rlimit limit = allowed;
      if (order == 'd') limit.rlim_cur = 0;
      if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(7);
    }
    channel_->Stop();
    _exit(0);
  }
  close(orders[0]);
  close(answers[1]);
  auto order = [&](char what) {
    char answer = 0;
    return (what == 0 || write(orders[1], &what, 1) == 1) && read(answers[0], &answer, 1) == 1 &&
           (what == 0 || answer == what);
  };
  ASSERT_TRUE(order(0)) << "the channel did not start in the child";
  auto allowThreads = [&](bool allowed) { return order(allowed ? 'a' : 'd'); };

  const int established = Connect();
  ASSERT_TRUE(Ok(Ask(established, kOk)));
  ASSERT_TRUE(allowThreads(false));
  const int refused = Connect();
  const std::string connectionAnswer = ReadLine(refused);
  const bool refusedClosed = ClosedByHost(refused);
  const std::string commandAnswer = Ask(established, kOk);
  ASSERT_TRUE(allowThreads(true));

  EXPECT_EQ(Messages(connectionAnswer),
            "0x0100000A Cannot serve the control connection: Resource temporarily unavailable\n");
  EXPECT_TRUE(refusedClosed);
  EXPECT_EQ(Messages(commandAnswer), "0x0100000A The command 'Test::Throw' failed: Resource temporarily unavailable\n");
  EXPECT_TRUE(Ok(Ask(established, kOk)));
  const int later = Connect();
  EXPECT_TRUE(Ok(Ask(later, kOk)));
  close(refused);
  close(established);
  close(later);

  ASSERT_EQ(write(orders[1], "q", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(orders[1]);
  close(answers[0]);
}

}  // namespace
