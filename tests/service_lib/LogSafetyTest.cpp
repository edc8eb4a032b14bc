// What clients send reaches the log escaped, cut and within a rate: the
// handlers are called as the RPC thread calls them, with decoded arguments,
// over a server exporting a temporary folder (no network).
#include <gtest/gtest.h>
#include <rpc/rpc.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <service_lib/protocol/nfs3.h>

#include "host/Assertion.h"
#include "host/LogRateLimiter.h"
#include "host/Logging.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/server/Server.h"
#include "service_lib/nsl/CallFailureLog.h"
#include "service_lib/nsl/FileServiceImpl.h"
#include "service_lib/nsl/MountServiceImpl.h"
#include "tests/support/TempDir.h"
#include "tests/support/FakeClock.h"

namespace {

using TestSupport::FakeClock;
using TestSupport::kSecondNs;

template <typename Result, typename Coder>
void Free(Coder coder, Result& result) {
  xdr_free(reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder)), reinterpret_cast<char*>(&result));
}

// The limits of failure and assertion lines run on a clock of the test's own:
// time moves only when a test says so.
class LogSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    server_ = NFS::CreateServer(nullptr);
    const Common::Error root = server_->SetRoot(Common::FromUtf8((temp_.Path() / "export").string()), u"/share");
    ASSERT_TRUE(root.IsSuccess()) << root.Describe();
    files_ = std::make_unique<NFS::NSL::FileServiceImpl>(server_);
    mount_ = std::make_unique<NFS::NSL::MountServiceImpl>(server_);
    root_ = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
    logPath_ = (temp_.Path() / "host.log").string();
    previousSink_ = Common::Logger::SetSink(Common::CreateFileLogSink(logPath_));
    previousThreshold_ = Common::Logger::GetThreshold();
    // The most a client can make the server write: every trace line too.
    Common::Logger::SetThreshold(Common::kTrace);
    previousFailureLimiter_ = NFS::NSL::SetCallFailureLimiter(
        Common::CreateLogRateLimiter(NFS::NSL::kCallFailureLinesPerSecond, clock_.Reader()));
    previousAssertionLimiter_ = Common::SetAssertionLimiter(
        Common::CreateLogRateLimiter(Common::kAssertionLinesPerSecond, clock_.Reader()));
  }

  void TearDown() override {
    Common::SetAssertionLimiter(previousAssertionLimiter_);
    NFS::NSL::SetCallFailureLimiter(previousFailureLimiter_);
    Common::Logger::SetSink(previousSink_);
    Common::Logger::SetThreshold(previousThreshold_);
  }

  nfs_fh3 Root() { return nfs_fh3{{static_cast<u_int>(root_.size()), reinterpret_cast<char*>(root_.data())}}; }

  nfsstat3 Remove(const std::string& name) {
    REMOVE3args args{};
    args.object.dir = Root();
    args.object.name = const_cast<char*>(name.c_str());
    REMOVE3res result{};
    files_->Remove(args, result);
    const nfsstat3 status = result.status;
    Free(xdr_REMOVE3res, result);
    return status;
  }

  nfsstat3 RmDir(const std::string& name) {
    RMDIR3args args{};
    args.object.dir = Root();
    args.object.name = const_cast<char*>(name.c_str());
    RMDIR3res result{};
    files_->RmDir(args, result);
    const nfsstat3 status = result.status;
    Free(xdr_RMDIR3res, result);
    return status;
  }

  mountstat3 Mnt(const std::string& path) {
    char* text = const_cast<char*>(path.c_str());
    mountres3 result{};
    mount_->Mnt(text, "127.0.0.1", result);
    const mountstat3 status = result.fhs_status;
    Free(xdr_mountres3, result);
    return status;
  }

  // A listing whose cookie says "go on" while its verifier names no listing.
  nfsstat3 ReadDirPlusWithDisagreeingCookie() {
    READDIRPLUS3args args{};
    args.dir = Root();
    args.cookie = 7;
    args.dircount = 1024;
    args.maxcount = 4096;
    READDIRPLUS3res result{};
    files_->ReadDirPlus(args, result);
    const nfsstat3 status = result.status;
    Free(xdr_READDIRPLUS3res, result);
    return status;
  }

  std::vector<std::string> LogLines() const {
    std::ifstream file(logPath_);
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    return lines;
  }

  uintmax_t LogSize() const { return std::filesystem::file_size(logPath_); }

  // Every line the sink wrote begins with its own time, level and channel.
  void ExpectOnlySinkLines() const {
    const std::regex prefix(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[\d\] \d+: )");
    for (const auto& line : LogLines()) {
      EXPECT_TRUE(std::regex_search(line, prefix)) << line.substr(0, 200);
      EXPECT_NE(line.rfind("FORGED-LINE", 0), 0u);
    }
  }

  TestSupport::TempDir temp_;
  std::shared_ptr<NFS::Server> server_;
  std::unique_ptr<NFS::NSL::FileServiceImpl> files_;
  std::unique_ptr<NFS::NSL::MountServiceImpl> mount_;
  NFS::ObjectId root_;
  std::string logPath_;
  FakeClock clock_{7 * kSecondNs};
  std::shared_ptr<Common::LogSink> previousSink_;
  int previousThreshold_ = Common::kNotice;
  std::shared_ptr<Common::LogRateLimiter> previousFailureLimiter_;
  std::shared_ptr<Common::LogRateLimiter> previousAssertionLimiter_;
};

TEST_F(LogSafetyTest, NamesThatHoldLineBreaksStartNoLineOfTheirOwn) {
  const std::string forged = "x\nFORGED-LINE level 4 386: the server was compromised\r\n";
  // Control characters make no entry name: refused, and logged escaped.
  EXPECT_EQ(Remove(forged), NFS3ERR_INVAL);
  EXPECT_EQ(RmDir(forged), NFS3ERR_INVAL);
  EXPECT_EQ(Mnt("/share\nFORGED-LINE level 4 386: mounted"), MNT3ERR_NOENT);

  ExpectOnlySinkLines();
  std::ifstream file(logPath_);
  const std::string log((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("x\\x0aFORGED-LINE level 4 386: the server was compromised\\x0d\\x0a"), std::string::npos);
  EXPECT_NE(log.find("/share\\x0aFORGED-LINE level 4 386: mounted"), std::string::npos);
}

TEST_F(LogSafetyTest, TwoHundredFailingCallsWithHugeNamesAddLittleToTheLog) {
  // Every failure let through: the cuts alone keep the log small.
  NFS::NSL::SetCallFailureLimiter(Common::CreateLogRateLimiter(1'000'000, clock_.Reader()));
  std::string name;
  while (name.size() < 60 * 1024) name += "name\nFORGED-LINE [4] 386: ";
  const uintmax_t before = LogSize();
  for (int i = 0; i < 200; ++i) EXPECT_EQ(Remove(name), NFS3ERR_NAMETOOLONG);
  EXPECT_LT(LogSize() - before, 2u * 1024 * 1024);
  ExpectOnlySinkLines();
  // The failures are there, each line cut to a size a reader can take in.
  size_t records = 0;
  for (const auto& line : LogLines()) {
    EXPECT_LT(line.size(), 2048u);
    if (line.find("] 386: 0x") != std::string::npos) ++records;
  }
  EXPECT_EQ(records, 200u);
}

TEST_F(LogSafetyTest, FailuresOfOneProcedureAndStatusAreLimitedThenCounted) {
  Common::ScopedLogCapture log;
  auto failures = [&] { return log.Texts(Common::kFailure, NFS::kLogChannel); };

  for (int i = 0; i < 200; ++i) EXPECT_EQ(Remove("absent"), NFS3ERR_NOENT);
  EXPECT_EQ(failures().size(), 10u);
  // Another procedure has a limit of its own.
  EXPECT_EQ(RmDir("absent"), NFS3ERR_NOENT);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(Mnt("/elsewhere"), MNT3ERR_NOENT);
  EXPECT_EQ(failures().size(), 21u);

  clock_.Advance(kSecondNs);
  log.Clear();
  EXPECT_EQ(Remove("absent"), NFS3ERR_NOENT);
  EXPECT_EQ(Mnt("/elsewhere"), MNT3ERR_NOENT);
  const auto lines = failures();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "190 similar failures suppressed (REMOVE NFS3ERR_NOENT).");
  EXPECT_NE(lines[1].find("absent"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "10 similar failures suppressed (MNT MNT3ERR_NOENT).");
  EXPECT_NE(lines[3].find("/elsewhere"), std::string::npos) << lines[3];
}

TEST_F(LogSafetyTest, AssertionsAClientCanReachAreLimited) {
  Common::ScopedLogCapture log;
  for (int i = 0; i < 100; ++i) ReadDirPlusWithDisagreeingCookie();
  const auto reports = log.Texts(Common::kFailure, 0);
  ASSERT_EQ(reports.size(), 10u);
  EXPECT_EQ(reports[0].rfind("Assertion failed: ", 0), 0u) << reports[0];
}

}  // namespace
