// Who may call and what they may do: the allow-list, read-only exports and
// the listen address, checked over real connections from real source
// addresses, with the disk checked after every refused change.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "host/Logging.h"
#include "server_lib/core/ObjectId.h"
#include "service_lib/nsl/Statistics.h"
#include "tests/service_lib/CallClient.h"
#include "tests/service_lib/RunningService.h"
#include "tests/support/Ports.h"

namespace {

using TestSupport::Client;
using TestSupport::Handle;
using Bytes_t = std::vector<uint8_t>;

Bytes_t FileId(const std::u16string& path) { return NFS::MakeObjectId(NFS::kFileKind, path); }
Bytes_t DirId(const std::u16string& path) { return NFS::MakeObjectId(NFS::kDirectoryKind, path); }

uint32_t ModeOf(const std::string& path) {
  struct stat entry {};
  EXPECT_EQ(stat(path.c_str(), &entry), 0) << path;
  return entry.st_mode & 07777;
}

NFS::NSL::NetworkOptions AllowOnly(const std::string& list) {
  NFS::NSL::NetworkOptions options;
  std::string why;
  EXPECT_TRUE(Host::ClientNetworks::Parse(list, options.access.allowClients, why)) << why;
  return options;
}

class AllowListTest : public TestSupport::RunningServiceTest {
 protected:
  NFS::NSL::NetworkOptions NetworkOptions() const override { return AllowOnly("127.0.0.2/32"); }
};

TEST_F(AllowListTest, AClientOutsideTheListNeitherMountsNorTouchesAnything) {
  temp_.WriteFile("export/kept.txt", "original");
  temp_.WriteFile("export/victim.txt", "still here");
  const NFS::NSL::StatisticsSnapshot before = NFS::NSL::GetStatistics().Snapshot();
  Common::ScopedLogCapture log;

  Client outsider("127.0.0.1", "127.0.0.1", port_);
  ASSERT_TRUE(outsider.nfs.IsConnected());
  Bytes_t root;
  EXPECT_EQ(outsider.Mnt("/share", &root), MNT3ERR_ACCES);
  // NULL still answers: a refused client learns no more than that.
  EXPECT_EQ(outsider.nfs.CallVoid(0), RPC_SUCCESS);
  const Bytes_t kept = FileId(u"/share/kept.txt");
  const Bytes_t share = DirId(u"/share");
  EXPECT_EQ(outsider.GetAttr(share), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.Lookup(share, "kept.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.Write(kept, "overwritten"), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.Remove(share, "victim.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.Create(share, "planted.txt"), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.MkDir(share, "planted"), NFS3ERR_ACCES);
  EXPECT_EQ(outsider.SetMode(kept, 0777), NFS3ERR_ACCES);
  // Even the procedures this server never answers get their refusal.
  READLINK3args readlink{Handle(const_cast<Bytes_t&>(kept))};
  READLINK3res readlinkResult{};
  EXPECT_EQ(outsider.Call(5, xdr_READLINK3args, readlink, xdr_READLINK3res, readlinkResult), NFS3ERR_ACCES);
  outsider.nfs.Free(xdr_READLINK3res, readlinkResult);
  // UMNT is answered, and unmounts nothing.
  EXPECT_TRUE(outsider.Umnt("/share"));

  EXPECT_EQ(temp_.ReadFile("export/kept.txt"), "original");
  EXPECT_EQ(temp_.ReadFile("export/victim.txt"), "still here");
  EXPECT_FALSE(temp_.Exists("export/planted.txt"));
  EXPECT_FALSE(temp_.Exists("export/planted"));
  EXPECT_NE(ModeOf(Local("kept.txt")), 0777u);

  // The same calls from an allowed address work, on the same server.
  Client member("127.0.0.2", "127.0.0.1", port_);
  ASSERT_TRUE(member.nfs.IsConnected());
  ASSERT_EQ(member.Mnt("/share", &root), MNT3_OK);
  EXPECT_EQ(root, share);
  Bytes_t found;
  ASSERT_EQ(member.Lookup(share, "kept.txt", &found), NFS3_OK);
  EXPECT_EQ(member.GetAttr(found), NFS3_OK);
  EXPECT_EQ(member.Write(found, "rewritten"), NFS3_OK);
  EXPECT_EQ(member.Remove(share, "victim.txt"), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("export/kept.txt"), "rewritten");
  EXPECT_FALSE(temp_.Exists("export/victim.txt"));

  // Counted by reason, and logged once for the address, not once a call.
  const NFS::NSL::StatisticsSnapshot after = NFS::NSL::GetStatistics().Snapshot();
  EXPECT_EQ(after.refusedClientNotAllowed - before.refusedClientNotAllowed, 10u);
  EXPECT_EQ(after.refusedReadOnly, before.refusedReadOnly);
  const auto lines = log.Lines();
  const auto refusals = std::count_if(lines.begin(), lines.end(), [](const Common::LogLine& line) {
    return line.text.find("Refused the calls of 127.0.0.1") != std::string::npos;
  });
  EXPECT_EQ(refusals, 1);
}

TEST_F(AllowListTest, IPv6ClientsAreCheckedAgainstIPv6Networks) {
  // ::1 is not in 127.0.0.2/32; an IPv4-mapped address would count as IPv4.
  Client v6("::1", "::1", port_);
  ASSERT_TRUE(v6.nfs.IsConnected()) << "no IPv6 loopback on this machine";
  EXPECT_EQ(v6.Mnt("/share"), MNT3ERR_ACCES);
  EXPECT_EQ(v6.GetAttr(DirId(u"/share")), NFS3ERR_ACCES);
  // The dual-stack listener shows an IPv4 client as IPv4 and lets it in
  // by its IPv4 network.
  Client mapped("127.0.0.2", "127.0.0.2", port_);
  EXPECT_EQ(mapped.Mnt("/share"), MNT3_OK);
}

class ReadOnlyTest : public TestSupport::RunningServiceTest {
 protected:
  NFS::NSL::NetworkOptions NetworkOptions() const override {
    NFS::NSL::NetworkOptions options;
    options.access.readOnly = true;
    return options;
  }
};

TEST_F(ReadOnlyTest, EveryChangeIsRefusedAndNothingChangesOnDisk) {
  temp_.WriteFile("export/file.txt", "content");
  std::filesystem::create_directory(Local("dir"));
  chmod(Local("file.txt").c_str(), 0666);
  chmod(Local("dir").c_str(), 0777);
  const NFS::NSL::StatisticsSnapshot before = NFS::NSL::GetStatistics().Snapshot();

  Client client(nullptr, "127.0.0.1", port_);
  Bytes_t root;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  Bytes_t file;
  Bytes_t dir;
  ASSERT_EQ(client.Lookup(root, "file.txt", &file), NFS3_OK);
  ASSERT_EQ(client.Lookup(root, "dir", &dir), NFS3_OK);

  EXPECT_EQ(client.Write(file, "changed"), NFS3ERR_ROFS);
  EXPECT_EQ(client.SetMode(file, 0600), NFS3ERR_ROFS);
  EXPECT_EQ(client.Create(root, "new.txt"), NFS3ERR_ROFS);
  EXPECT_EQ(client.MkDir(root, "newdir"), NFS3ERR_ROFS);
  EXPECT_EQ(client.Remove(root, "file.txt"), NFS3ERR_ROFS);
  EXPECT_EQ(client.RmDir(root, "dir"), NFS3ERR_ROFS);
  EXPECT_EQ(client.Rename(root, "file.txt", "moved.txt"), NFS3ERR_ROFS);

  EXPECT_EQ(temp_.ReadFile("export/file.txt"), "content");
  EXPECT_EQ(ModeOf(Local("file.txt")), 0666u);
  EXPECT_FALSE(temp_.Exists("export/new.txt"));
  EXPECT_FALSE(temp_.Exists("export/newdir"));
  EXPECT_TRUE(std::filesystem::is_directory(Local("dir")));
  EXPECT_FALSE(temp_.Exists("export/moved.txt"));
  const NFS::NSL::StatisticsSnapshot after = NFS::NSL::GetStatistics().Snapshot();
  EXPECT_EQ(after.refusedReadOnly - before.refusedReadOnly, 7u);

  // ACCESS grants no change, whatever the modes allow.
  uint32_t bits = 0;
  ASSERT_EQ(client.Access(file, &bits), NFS3_OK);
  EXPECT_EQ(bits, 0x1u);  // READ; 0666 has no execute bit
  ASSERT_EQ(client.Access(dir, &bits), NFS3_OK);
  EXPECT_EQ(bits, 0x3u);  // READ and LOOKUP

  // Reading works as before.
  std::string data;
  EXPECT_EQ(client.Read(file, &data), NFS3_OK);
  EXPECT_EQ(data, "content");
  EXPECT_EQ(client.GetAttr(file), NFS3_OK);
  std::vector<std::string> names;
  EXPECT_EQ(client.ReadDirPlus(root, &names), NFS3_OK);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"dir", "file.txt"}));
  EXPECT_EQ(client.FsStat(root), NFS3_OK);
  EXPECT_EQ(client.FsInfo(root), NFS3_OK);
  EXPECT_EQ(client.Commit(file), NFS3_OK);
}

TEST_F(ReadOnlyTest, VirtualFilesAreTheOperatorsAndClientsCannotWriteThem) {
  // Host commands still register virtual files: the operator is not a client.
  ASSERT_TRUE(service_->AddVirtualFile(u"/share/virtual.bin", 4096, u"mem:x", {}).IsSuccess());
  Client client(nullptr, "127.0.0.1", port_);
  Bytes_t root;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  Bytes_t file;
  ASSERT_EQ(client.Lookup(root, "virtual.bin", &file), NFS3_OK);
  EXPECT_EQ(client.Write(file, "changed"), NFS3ERR_ROFS);
  std::string data;
  EXPECT_EQ(client.Read(file, &data), NFS3_OK);
  EXPECT_EQ(data.find("changed"), std::string::npos);
  EXPECT_TRUE(service_->DeleteVirtualFile(u"/share/virtual.bin").IsSuccess());
}

// Starts a service of its own in each test, with the options the test needs.
class ListenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    server_ = NFS::CreateServer(std::make_shared<TestSupport::MemoryPlugin>());
    service_ = NFS::CreateService(server_);
    ASSERT_TRUE(service_->SetRoot(Common::FromUtf8((temp_.Path() / "export").string()), u"/share").IsSuccess());
  }
  void TearDown() override { service_->Stop(); }

  Common::Error Start(const NFS::NSL::NetworkOptions& options) {
    EXPECT_TRUE(service_->SetNetworkOptions(options).IsSuccess());
    return service_->Start();
  }

  TestSupport::TempDir temp_;
  std::shared_ptr<NFS::Server> server_;
  std::unique_ptr<NFS::Service> service_;
};

TEST_F(ListenTest, AListenAddressIsTheOnlyWayIn) {
  NFS::NSL::NetworkOptions options = AllowOnly("127.0.0.0/8");
  options.listenAddress = "127.0.0.2";
  options.port = TestSupport::FreeLoopbackPort();
  const Common::Error started = Start(options);
  ASSERT_TRUE(started.IsSuccess()) << started.Describe();
  EXPECT_EQ(NFS::NSL::GetListeningPort(), options.port);
  Client reached(nullptr, "127.0.0.2", options.port);
  ASSERT_TRUE(reached.mount.IsConnected());
  EXPECT_EQ(reached.Mnt("/share"), MNT3_OK);
  Client elsewhere(nullptr, "127.0.0.1", options.port);
  EXPECT_FALSE(elsewhere.mount.IsConnected());
  Client v6(nullptr, "::1", options.port);
  EXPECT_FALSE(v6.mount.IsConnected());
  const NFS::NSL::NetworkStatus status = NFS::NSL::GetNetworkStatus();
  EXPECT_EQ(status.listen, "127.0.0.2:" + std::to_string(options.port));
  EXPECT_EQ(status.allowClients, "127.0.0.0/8");
  EXPECT_FALSE(status.readOnly);
}

TEST_F(ListenTest, ANamedPortThatIsTakenStopsTheStart) {
  const int holder = socket(AF_INET6, SOCK_STREAM, 0);
  ASSERT_GE(holder, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t size = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &size);
  NFS::NSL::NetworkOptions options;
  options.port = ntohs(address.sin6_port);
  const Common::Error started = Start(options);
  close(holder);
  ASSERT_TRUE(started.IsFailure());
  EXPECT_NE(started.Describe().find("Cannot listen on [::]:" + std::to_string(options.port)), std::string::npos)
      << started.Describe();
  // It did not move to another port.
  EXPECT_EQ(NFS::NSL::GetListeningPort(), 0);
}

TEST_F(ListenTest, EveryInterfaceOfBothFamiliesByDefault) {
  const Common::Error started = Start({});
  ASSERT_TRUE(started.IsSuccess()) << started.Describe();
  const uint16_t port = NFS::NSL::GetListeningPort();
  Client v4(nullptr, "127.0.0.1", port);
  Client v6(nullptr, "::1", port);
  ASSERT_TRUE(v6.mount.IsConnected()) << "no IPv6 loopback on this machine";
  EXPECT_EQ(v4.Mnt("/share"), MNT3_OK);
  EXPECT_EQ(v6.Mnt("/share"), MNT3_OK);
  const NFS::NSL::NetworkStatus status = NFS::NSL::GetNetworkStatus();
  EXPECT_EQ(status.listen, "[::]:" + std::to_string(port));
  EXPECT_EQ(status.allowClients, "127.0.0.0/8,::1");
  // Peers as the allow-list sees them: IPv4 clients as IPv4.
  std::vector<std::string> peers;
  for (const auto& connection : status.connections) peers.push_back(connection.peer);
  EXPECT_TRUE(std::any_of(peers.begin(), peers.end(), [](const std::string& p) { return p.rfind("127.0.0.1:", 0) == 0; }));
  EXPECT_TRUE(std::any_of(peers.begin(), peers.end(), [](const std::string& p) { return p.rfind("[::1]:", 0) == 0; }));
}

}  // namespace
