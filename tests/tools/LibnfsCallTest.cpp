// The waited libnfs call against real sockets and the running portmapper.
#include "tools/LibnfsCall.h"

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nfsc/libnfs-raw.h>

namespace {

constexpr int kPortmapperPort = 111;
constexpr int kTimeoutMs = 10000;

// A TCP socket on a free loopback port, listening or only bound (which
// refuses connections).
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (listening) {
      EXPECT_EQ(listen(fd_, 4), 0);
    }
    socklen_t size = sizeof address;
    EXPECT_EQ(getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size), 0);
    port_ = ntohs(address.sin_port);
  }
  ~LoopbackPort() { Close(); }

  int Port() const { return port_; }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
  int port_ = 0;
};

class LibnfsCallTest : public ::testing::Test {
 protected:
  ~LibnfsCallTest() override { rpc_destroy_context(rpc_); }

  Tools::CallResult Connect(int port) {
    return Tools::CallAndWait(rpc_, kTimeoutMs, [port](rpc_context* rpc, rpc_cb cb, void* data) {
      return rpc_connect_async(rpc, "127.0.0.1", port, cb, data);
    });
  }

  // The portmapper's NULL procedure; `answered` tells whether the answer was seen.
  Tools::CallResult Null(int timeoutMs, bool& answered) {
    answered = false;
    return Tools::CallAndWait(
        rpc_, timeoutMs, [](rpc_context* rpc, rpc_cb cb, void* data) { return rpc_pmap2_null_async(rpc, cb, data); },
        [&answered](void*) { answered = true; });
  }

  rpc_context* rpc_ = rpc_init_context();
};

TEST_F(LibnfsCallTest, AnsweredCallShowsItsResult) {
  // The service tests need the portmapper too; scripts/start-rpcbind starts it.
  const Tools::CallResult connected = Connect(kPortmapperPort);
  ASSERT_TRUE(connected.Answered()) << "no portmapper on port 111: " << connected.error;
  bool answered = false;
  const Tools::CallResult result = Null(kTimeoutMs, answered);
  EXPECT_EQ(result.end, Tools::CallEnd::Answered);
  EXPECT_TRUE(result.error.empty());
  EXPECT_TRUE(answered);
}

TEST_F(LibnfsCallTest, RefusedConnectionIsReportedInLibnfsWords) {
  LoopbackPort refusing(false);
  const Tools::CallResult result = Connect(refusing.Port());
  EXPECT_FALSE(result.Answered());
  EXPECT_NE(result.end, Tools::CallEnd::NoAnswer);
  EXPECT_FALSE(result.error.empty());
}

TEST_F(LibnfsCallTest, SilentServerEndsTheWaitWithoutAnAnswer) {
  // The kernel completes the connection; nobody ever reads the call.
  LoopbackPort silent(true);
  ASSERT_TRUE(Connect(silent.Port()).Answered());
  bool answered = false;
  const Tools::CallResult result = Null(200, answered);
  EXPECT_EQ(result.end, Tools::CallEnd::NoAnswer);
  EXPECT_FALSE(answered);
  // The call given up on is still queued: destroying the context runs its
  // callback, which must find live memory (the sanitizer build checks).
}

TEST_F(LibnfsCallTest, ServerThatHangsUpIsReportedAsNotAnswered) {
  LoopbackPort listening(true);
  ASSERT_TRUE(Connect(listening.Port()).Answered());
  const int peer = accept(listening.Fd(), nullptr, nullptr);
  ASSERT_GE(peer, 0);
  close(peer);
  listening.Close();  // no reconnecting either
  bool answered = false;
  const Tools::CallResult result = Null(kTimeoutMs, answered);
  EXPECT_FALSE(result.Answered());
  EXPECT_NE(result.end, Tools::CallEnd::NoAnswer);
  EXPECT_FALSE(answered);
}

TEST(LibnfsResultStatusTest, ReadsTheLeadingStatus) {
  struct {
    int status;
    char rest[12];
  } result{70, {}};  // NFS3ERR_STALE
  EXPECT_EQ(Tools::ResultStatus(&result), 70);
}

}  // namespace
