// "nfs_host call" run as its own process against a control socket of this test.
#include <gtest/gtest.h>
#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/ControlChannel.h"
#include "tests/module/HostProcess.h"
#include "tests/support/TempDir.h"

namespace {

struct Outcome {
  int status;
  std::string errors;
};

class CallCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { socket_ = (temp_.Path() / "control.sock").string(); }

  Outcome Call(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"call", "--control-socket", socket_});
    TestSupport::HostProcess call(arguments);
    const int status = call.WaitForExit(10000);
    return {status, call.ErrorOutput()};
  }

  // Whether call got through to the channel: it answers that there is no such command.
  bool Reached(const Outcome& outcome) {
    return outcome.status == 1 && outcome.errors.find("Cannot find the command 'NFS::X'.") != std::string::npos;
  }

  std::string Untrusted(const std::string& why) const {
    return "The control socket '" + socket_ + "' is not trusted: " + why + ".\n";
  }

  TestSupport::TempDir temp_;
  std::string socket_;
  ComponentManagement::ComponentRegistry components_;
  Core::HostContext context_{&components_};
  Core::CommandRunner runner_{Core::AddonRegistry::Instance(), context_};
};

TEST_F(CallCommandTest, ArgumentsThatAreNotUtf8AreRefusedWithTheirBytesShown) {
  Host::ControlChannel channel(runner_, socket_);
  channel.Start();
  const std::string refusal = "' is not valid UTF-8; command names, property names and values must be.\n";
  EXPECT_EQ(Call({"Bad\xFFName"}).errors, "The argument 'Bad\\xFFName" + refusal);
  EXPECT_EQ(Call({"NFS::X", "Good=1", "N\xC3me=x"}).errors, "The argument 'N\\xC3me=x" + refusal);
  const Outcome value = Call({"NFS::X", "Name=\xE2\x82"});  // a cut-off sequence
  EXPECT_EQ(value.status, 2);
  EXPECT_EQ(value.errors, "The argument 'Name=\\xE2\\x82" + refusal);
  // Valid text beyond ASCII goes through to the host, which answers.
  const Outcome reached = Call({"NFS::Caf\xC3\xA9", "Name=\xE2\x82\xAC"});
  EXPECT_EQ(reached.status, 1);
  EXPECT_NE(reached.errors.find("Cannot find the command 'NFS::Caf\xC3\xA9'."), std::string::npos) << reached.errors;
}

// Whatever answers on the socket, call reports it and exits; it never aborts.
TEST_F(CallCommandTest, AnswersOutsideTheProtocolAreReported) {
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  const std::vector<std::string> answers = {"[1,2]\n", "{\"ok\":\"yes\"}\n", "{\"ok\":false,\"error\":[7]}\n",
                                            "{\"ok\":true}\n", "not json\n", ""};
  std::thread fake([&] {
    for (const auto& answer : answers) {
      const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      char c;
      while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
      }
      send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
      close(fd);
    }
  });
  for (const auto& answer : answers) {
    const Outcome outcome = Call({"NFS::FileExistsCommand", "ShareName=/share"});
    EXPECT_EQ(outcome.status, 2) << answer;
    const std::string expected = answer.empty() ? "The host gave no answer.\n"
                                                : "The host's answer is not understood: '" +
                                                      answer.substr(0, answer.size() - 1) + "'\n";
    EXPECT_EQ(outcome.errors, expected);
  }
  fake.join();
  close(listener);
}

TEST_F(CallCommandTest, SocketInAFolderOtherUsersMayChangeIsRefused) {
  const auto folder = temp_.Path() / "shared";
  std::filesystem::create_directory(folder);
  socket_ = (folder / "control.sock").string();
  Host::ControlChannel channel(runner_, socket_);
  channel.Start();
  ASSERT_EQ(chmod(folder.c_str(), 0777), 0);
  EXPECT_EQ(Call({"NFS::X"}).errors,
            Untrusted("its folder '" + folder.string() + "' may be written by other users (mode 0777)"));
  ASSERT_EQ(chmod(folder.c_str(), 0770), 0);
  EXPECT_EQ(Call({"NFS::X"}).status, 2);
  // Sticky, as /tmp is: others may add entries but not replace this one.
  ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  EXPECT_TRUE(Reached(Call({"NFS::X"})));
  ASSERT_EQ(chmod(folder.c_str(), 0700), 0);
  EXPECT_TRUE(Reached(Call({"NFS::X"})));
}

TEST_F(CallCommandTest, SocketOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a socket to another user needs root";
  Host::ControlChannel channel(runner_, socket_);
  channel.Start();
  ASSERT_EQ(chown(socket_.c_str(), 65534, 65534), 0);
  const Outcome refused = Call({"NFS::X"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.errors, Untrusted("it belongs to user 65534, not to you (0) or root"));
  ASSERT_EQ(chown(socket_.c_str(), 0, 0), 0);
  EXPECT_TRUE(Reached(Call({"NFS::X"})));

  // Nor in a folder of another user, who could replace it.
  const auto theirs = temp_.Path() / "theirs";
  std::filesystem::create_directory(theirs);
  ASSERT_EQ(chmod(theirs.c_str(), 0755), 0);
  socket_ = (theirs / "control.sock").string();
  Host::ControlChannel inTheirFolder(runner_, socket_);
  inTheirFolder.Start();
  ASSERT_EQ(chown(theirs.c_str(), 65534, 65534), 0);
  EXPECT_EQ(Call({"NFS::X"}).errors,
            Untrusted("its folder '" + theirs.string() + "' belongs to user 65534, not to you (0) or root"));
}

// The path may look right while another user's process listens behind it:
// call asks the connection itself who serves it.
TEST_F(CallCommandTest, HostRunningAsAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "a listener of another user needs root";
  const auto folder = temp_.Path() / "sticky";
  std::filesystem::create_directory(folder);
  ASSERT_EQ(chmod(temp_.Path().c_str(), 0711), 0);
  ASSERT_EQ(chmod(folder.c_str(), 01777), 0);
  socket_ = (folder / "control.sock").string();
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    char byte = 'r';
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 4) != 0 ||
        write(ready[1], &byte, 1) != 1) {
      _exit(3);
    }
    [[maybe_unused]] const ssize_t got = read(done[0], &byte, 1);
    _exit(0);
  }
  close(ready[1]);
  close(done[0]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1) << "the other user's listener did not start";
  // Given to root, the file itself passes; the process behind it does not.
  ASSERT_EQ(chown(socket_.c_str(), 0, 0), 0);
  const Outcome refused = Call({"NFS::X"});
  EXPECT_EQ(refused.status, 2);
  EXPECT_EQ(refused.errors, Untrusted("the process serving it runs as user 65534, not as you (0) or root"));
  ASSERT_EQ(write(done[1], "d", 1), 1);
  int status = 0;
  EXPECT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  close(ready[0]);
  close(done[1]);
}

}  // namespace
