#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <fcntl.h>
#include <rpc/pmap_clnt.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/support/Process.h"
#include "host/Logging.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/core/ServerErrors.h"
#include "tests/service_lib/RpcClient.h"
#include "tests/support/MemoryPlugin.h"
#include "tests/support/TempDir.h"

#include "service_lib/ServerControl.h"
#include "service_lib/nsl/Service.h"

namespace {

using Bytes_t = std::vector<uint8_t>;
constexpr uint32_t kNfs = 100003;
constexpr uint32_t kMount = 100005;

// Whether the peer closed the connection within the time.
bool ClosedWithin(int fd, int milliseconds) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, milliseconds) <= 0) return false;
  char byte;
  return recv(fd, &byte, 1, 0) <= 0;
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    server_ = NFS::CreateServer(std::make_shared<TestSupport::MemoryPlugin>());
    service_ = NFS::CreateService(server_);
    ASSERT_TRUE(service_->SetRoot(Common::FromUtf8((temp_.Path() / "export").string()), u"/share").IsSuccess());
  }
  void TearDown() override { service_->Stop(); }

  // The reply's status, or -1 when no reply came.
  int GetAttrRoot(TestSupport::RpcClient& client, int timeoutMs = 5000) {
    Bytes_t root = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
    GETATTR3args args{TestSupport::Handle(root)};
    GETATTR3res result{};
    const clnt_stat call = client.Call(1, xdr_GETATTR3args, args, xdr_GETATTR3res, result, timeoutMs);
    if (call != RPC_SUCCESS) return -1;
    const int status = result.status;
    client.Free(xdr_GETATTR3res, result);
    return status;
  }

  TestSupport::TempDir temp_;
  std::shared_ptr<NFS::Server> server_;
  std::unique_ptr<NFS::Service> service_;
};

TEST_F(LifecycleTest, StartAndStopAreCountedAndLeaveNothingOpen) {
  const size_t before = TestSupport::OpenDescriptors();
  Common::ScopedLogCapture log;
  EXPECT_EQ(service_->Stop().Code(), NFS::ErrorCode::AlreadyStopped);
  ASSERT_TRUE(service_->Start().IsSuccess());
  const Common::Error again = service_->Start();
  EXPECT_EQ(again.Code(), NFS::ErrorCode::AlreadyStarted);
  EXPECT_EQ(again.Message(), u"The NFS service is already started.");
  EXPECT_TRUE(log.Contains("Starting NFS network services."));
  const uint16_t port = NFS::NSL::GetListeningPort();
  EXPECT_EQ(port, 2029);

  // A client in the middle of a request, and one that only connected.
  TestSupport::RpcClient client(port, kNfs);
  EXPECT_EQ(GetAttrRoot(client), NFS3_OK);
  const int idle = TestSupport::ConnectLoopback(port);
  const int partial = TestSupport::ConnectLoopback(port);
  ASSERT_GE(partial, 0);
  const uint8_t marker[4] = {0x80, 0, 0, 100};
  ASSERT_EQ(send(partial, marker, sizeof marker, 0), 4);

  ASSERT_TRUE(service_->Stop().IsSuccess());
  EXPECT_EQ(service_->Stop().Code(), NFS::ErrorCode::AlreadyStopped);
  EXPECT_EQ(log.Texts(Common::kNotice, NFS::kLogChannel).back(), "NFS network services have been stopped.");
  EXPECT_TRUE(ClosedWithin(idle, 2000));
  EXPECT_TRUE(ClosedWithin(partial, 2000));
  EXPECT_NE(GetAttrRoot(client, 1000), NFS3_OK);
  EXPECT_LT(TestSupport::ConnectLoopback(port), 0);  // nobody listens any more
  close(idle);
  close(partial);

  // Everything the service opened is closed again (the client's own socket aside).
  EXPECT_EQ(TestSupport::OpenDescriptors(), before + 1);

  // A later start serves the same server again.
  ASSERT_TRUE(service_->Start().IsSuccess());
  TestSupport::RpcClient fresh(NFS::NSL::GetListeningPort(), kNfs);
  EXPECT_EQ(GetAttrRoot(fresh), NFS3_OK);
}

// With every descriptor taken the service cannot make the descriptor that
// ends its thread: the start must fail and say so, and leave nothing that a
// later stop would wait on.
TEST_F(LifecycleTest, StartFailsCleanlyWhenDescriptorsRunOut) {
  if (!TestSupport::kCanExhaustDescriptors) GTEST_SKIP() << "UBSan needs descriptors of its own";
  const size_t before = TestSupport::OpenDescriptors();
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = before + 16;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  std::vector<int> fillers;
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  const int fillError = errno;
  const Common::Error failed = service_->Start();
  for (int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ASSERT_EQ(fillError, EMFILE);

  ASSERT_TRUE(failed.IsFailure());
  EXPECT_TRUE(Common::ContainsCode(failed, NFS::ErrorCode::RpcInitFailed)) << failed.Describe();
  EXPECT_NE(failed.Describe().find("Failed to create the wake-up descriptor of the NFS service: Too many open files."),
            std::string::npos)
      << failed.Describe();
  EXPECT_EQ(service_->Stop().Code(), NFS::ErrorCode::AlreadyStopped);
  EXPECT_EQ(TestSupport::OpenDescriptors(), before);

  // Once descriptors are free again the same service starts and serves.
  ASSERT_TRUE(service_->Start().IsSuccess());
  TestSupport::RpcClient client(NFS::NSL::GetListeningPort(), kNfs);
  EXPECT_EQ(GetAttrRoot(client), NFS3_OK);
}

TEST_F(LifecycleTest, TakenFixedPortFallsBackToThePortmapper) {
  const int blocker = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(2029);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  const int on = 1;  // earlier tests leave connections of the port in TIME_WAIT
  setsockopt(blocker, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(blocker, 1), 0);

  Common::ScopedLogCapture log;
  ASSERT_TRUE(service_->Start().IsSuccess());
  EXPECT_TRUE(log.Contains("Failed to bind the NFS service to fixed port '2029'. Using the provided portmap."));
  const uint16_t port = NFS::NSL::GetListeningPort();
  EXPECT_NE(port, 2029);

  sockaddr_in loopback{};
  loopback.sin_family = AF_INET;
  loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(pmap_getport(&loopback, kNfs, 3, IPPROTO_TCP), port);
  EXPECT_EQ(pmap_getport(&loopback, kMount, 3, IPPROTO_TCP), port);
  TestSupport::RpcClient client(port, kNfs);
  EXPECT_EQ(GetAttrRoot(client), NFS3_OK);
  close(blocker);
}

TEST_F(LifecycleTest, StalledAndLyingClientsDoNotHoldTheThread) {
  ASSERT_TRUE(service_->Start().IsSuccess());
  const uint16_t port = NFS::NSL::GetListeningPort();

  // Half a record, then silence.
  const int stalled = TestSupport::ConnectLoopback(port);
  const uint8_t half[8] = {0x80, 0, 0, 100, 1, 2, 3, 4};
  ASSERT_EQ(send(stalled, half, sizeof half, 0), 8);
  // A record marker announcing 2 GiB.
  const int liar = TestSupport::ConnectLoopback(port);
  const uint8_t huge[4] = {0xFF, 0xFF, 0xFF, 0xF0};
  ASSERT_EQ(send(liar, huge, sizeof huge, 0), 4);

  TestSupport::RpcClient client(port, kNfs);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(GetAttrRoot(client, 2000), NFS3_OK);
  EXPECT_TRUE(ClosedWithin(liar, 2000));
  EXPECT_FALSE(ClosedWithin(stalled, 100));
  close(stalled);
  close(liar);
  EXPECT_EQ(GetAttrRoot(client, 2000), NFS3_OK);
}

}  // namespace
