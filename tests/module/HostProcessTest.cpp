#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nfsc/libnfs.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/HostProcess.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"

namespace {

using TestSupport::HostProcess;

// Waits, polling, until the condition holds or ten seconds have passed.
bool Eventually(const std::function<bool()>& condition) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

int ConnectUnix(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The answer line, or empty when the host closed the connection instead.
std::string Ask(int fd, const std::string& line) {
  if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return "";
  std::string answer;
  char c;
  while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
  return answer;
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(HostProcessTest, ServesUntilSigtermAndKeepsTheData) {
  TestSupport::TempDir temp;
  const std::string exported = (temp.Path() / "exported").string();
  HostProcess host({"--local-path", exported, "--share-name", "/share"});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();

  nfs_context* nfs = nfs_init_context();
  nfs_set_timeout(nfs, 10000);
  nfs_url* url =
      nfs_parse_url_dir(nfs, "nfs://127.0.0.1/share?version=3&nfsport=2029&mountport=2029&auto-traverse-mounts=0");
  ASSERT_NE(url, nullptr);
  ASSERT_EQ(nfs_mount(nfs, url->server, url->path), 0) << nfs_get_error(nfs);
  nfsfh* file = nullptr;
  ASSERT_EQ(nfs_creat(nfs, "/copied.txt", 0644, &file), 0) << nfs_get_error(nfs);
  const std::string data = "data that must survive the host";
  ASSERT_EQ(nfs_pwrite(nfs, file, 0, data.size(), data.data()), static_cast<int>(data.size()));
  nfs_close(nfs, file);
  nfs_destroy_url(url);
  nfs_destroy_context(nfs);

  host.Signal(SIGTERM);
  EXPECT_EQ(host.WaitForExit(10000), 0);
  EXPECT_NE(host.ErrorOutput().find("NFS network services have been stopped."), std::string::npos);
  EXPECT_EQ(temp.ReadFile("exported/copied.txt"), data);
}

// On SIGTERM the control channel closes before the components shut down: a
// request running then finishes first, and nothing sent afterwards runs, so
// no command can start the network service again on the way out.
TEST(HostProcessTest, ShutdownClosesTheControlChannelBeforeTheService) {
  TestSupport::TempDir temp;
  const std::filesystem::path modules = temp.Path() / "modules";
  std::filesystem::create_directory(modules);
  std::filesystem::create_symlink(NFS_MODULE_PATH, modules / "nfs_service.so");
  std::filesystem::create_symlink(TEST_PLUGIN_MODULE_PATH, modules / "test_plugin_module.so");
  const std::string socketPath = (temp.Path() / "control.sock").string();
  const std::string fifo = (temp.Path() / "hold.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string exported = (temp.Path() / "exported").string();
  HostProcess host({"--local-path", exported, "--share-name", "/share", "--control-socket", socketPath, "--modules",
                    modules.string()});
  ASSERT_TRUE(host.WaitForOutput("Serving", 20000)) << host.ErrorOutput();

  const int idle = ConnectUnix(socketPath);
  ASSERT_NE(Ask(idle, "{\"command\":\"NFS::NoSuch\"}\n").find("\"ok\":false"), std::string::npos);
  const int holding = ConnectUnix(socketPath);
  const std::string hold = "{\"command\":\"Test::HoldCommand\",\"request\":{\"Fifo\":\"" + fifo + "\"}}\n";
  ASSERT_EQ(send(holding, hold.data(), hold.size(), MSG_NOSIGNAL), static_cast<ssize_t>(hold.size()));
  // The FIFO opens for writing once the command has it open for reading.
  int release = -1;
  ASSERT_TRUE(Eventually([&] { return (release = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; }));

  host.Signal(SIGTERM);
  EXPECT_TRUE(Eventually([&] { return !std::filesystem::exists(socketPath); }));
  EXPECT_EQ(ConnectUnix(socketPath), -1);
  // What an already connected client sends now is not run.
  const std::string start = "{\"command\":\"NFS::StartServerCommand\",\"request\":{\"LocalPath\":\"" + exported +
                            "\",\"ShareName\":\"/share\"}}\n";
  EXPECT_EQ(Ask(idle, start), "");
  close(idle);
  // The service is still up while the running request holds the host.
  const int nfs = TestSupport::ConnectLoopback(2029);
  EXPECT_GE(nfs, 0);
  if (nfs >= 0) close(nfs);

  close(release);
  std::string answer;
  char c;
  while (recv(holding, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
  EXPECT_EQ(answer, "{\"ok\":true,\"response\":{}}");
  close(holding);
  EXPECT_EQ(host.WaitForExit(10000), 0);
  const std::string log = host.ErrorOutput();
  EXPECT_EQ(Occurrences(log, "Starting NFS network services."), 1u) << log;
  EXPECT_EQ(Occurrences(log, "NFS network services have been stopped."), 1u) << log;
}

// Without XDG_RUNTIME_DIR the socket lives in a folder of the user's own in
// /tmp, where host and call both find it.
TEST(HostProcessTest, DefaultControlSocketLivesInAPrivateFolder) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string savedRuntime = runtime != nullptr ? runtime : "";
  unsetenv("XDG_RUNTIME_DIR");
  TestSupport::TempDir temp;
  const std::string folder = "/tmp/nfs_host-" + std::to_string(geteuid());
  const std::string socketPath = folder + "/nfs_host.sock";
  {
    HostProcess host({"--local-path", (temp.Path() / "exported").string(), "--share-name", "/share"});
    ASSERT_TRUE(host.WaitForOutput("Control channel: " + socketPath + "\n", 20000)) << host.ErrorOutput();
    struct stat made {};
    ASSERT_EQ(lstat(folder.c_str(), &made), 0);
    EXPECT_TRUE(S_ISDIR(made.st_mode));
    EXPECT_EQ(made.st_uid, geteuid());
    EXPECT_EQ(made.st_mode & 0022, 0u);
    HostProcess call({"call", "NFS::FileExistsCommand", "ShareName=/share", "FilePath=folder/missing.txt"});
    EXPECT_EQ(call.WaitForExit(10000), 1);
    EXPECT_NE(call.ErrorOutput().find("0x0182002D"), std::string::npos);
    host.Signal(SIGTERM);
    EXPECT_EQ(host.WaitForExit(10000), 0);
  }
  EXPECT_FALSE(std::filesystem::exists(socketPath));
  if (runtime != nullptr) setenv("XDG_RUNTIME_DIR", savedRuntime.c_str(), 1);
}

TEST(HostProcessTest, StartFailuresPrintTheWholeChain) {
  HostProcess host({"--local-path", "", "--share-name", "/share"});
  EXPECT_EQ(host.WaitForExit(20000), 1);
  const std::string errors = host.ErrorOutput();
  EXPECT_NE(errors.find("0x01820031: Failed to start the NFS server."), std::string::npos) << errors;
  EXPECT_NE(errors.find("0x01820001: The specified local path is invalid."), std::string::npos) << errors;

  HostProcess unknown({"--no-such-flag"});
  EXPECT_EQ(unknown.WaitForExit(5000), 2);
}

TEST(HostProcessTest, HelpExplainsEveryFlag) {
  HostProcess host({"--help"});
  ASSERT_TRUE(host.WaitForOutput("--log-level", 5000));
  EXPECT_EQ(host.WaitForExit(5000), 0);
}

}  // namespace
