// "nfs_host call" run as its own process against a control socket of this test.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "host/app/ControlChannel.h"
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

}  // namespace
