#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <thread>

#include "server_lib/core/ObjectId.h"
#include "tests/module/HostProcess.h"
#include "tests/service_lib/RpcClient.h"
#include "tests/support/TempDir.h"

namespace {

using Bytes_t = std::vector<uint8_t>;

// The sample plug-ins' pattern: byte of an offset for a seed.
uint8_t PatternByte(uint64_t offset, uint64_t seed) {
  return static_cast<uint8_t>((offset * 131 + (offset >> 11) + seed * 7919) & 0xFF);
}

class OperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = (temp_.Path() / "control.sock").string();
    host_ = std::make_unique<TestSupport::HostProcess>(std::vector<std::string>{
        "--local-path", (temp_.Path() / "export").string(), "--share-name", "/share", "--control-socket", socket_});
    ASSERT_TRUE(host_->WaitForOutput("Serving", 20000)) << host_->ErrorOutput();
    nfs_ = std::make_unique<TestSupport::RpcClient>(2029, 100003);
    ASSERT_TRUE(nfs_->IsConnected());
  }

  void TearDown() override {
    host_->Signal(SIGTERM);
    EXPECT_EQ(host_->WaitForExit(10000), 0);
  }

  // Runs "nfs_host call ..." and returns its exit status and standard output.
  std::pair<int, std::string> Call(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"call", "--control-socket", socket_});
    TestSupport::HostProcess call(arguments);
    call.WaitForOutput("\n", 5000);
    const int status = call.WaitForExit(10000);
    return {status, call.Output()};
  }

  int Connect() {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // One line to the control channel, one line back.
  std::string Ask(int fd, const std::string& line) {
    EXPECT_EQ(send(fd, line.data(), line.size(), MSG_NOSIGNAL), static_cast<ssize_t>(line.size()));
    std::string answer;
    char c;
    while (recv(fd, &c, 1, 0) == 1 && c != '\n') answer.push_back(c);
    return answer;
  }

  Bytes_t Lookup(const char* name) {
    Bytes_t root = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
    LOOKUP3args args{{TestSupport::Handle(root), const_cast<char*>(name)}};
    LOOKUP3res result{};
    EXPECT_EQ(nfs_->Call(3, xdr_LOOKUP3args, args, xdr_LOOKUP3res, result), RPC_SUCCESS);
    Bytes_t handle = result.status == NFS3_OK ? TestSupport::Bytes(result.LOOKUP3res_u.resok.object) : Bytes_t();
    nfs_->Free(xdr_LOOKUP3res, result);
    return handle;
  }

  std::string Read(Bytes_t file, uint64_t offset, uint32_t count) {
    READ3args args{TestSupport::Handle(file), offset, count};
    READ3res result{};
    EXPECT_EQ(nfs_->Call(6, xdr_READ3args, args, xdr_READ3res, result), RPC_SUCCESS);
    std::string data;
    if (result.status == NFS3_OK) data.assign(result.READ3res_u.resok.data.data_val, result.READ3res_u.resok.data.data_len);
    nfs_->Free(xdr_READ3res, result);
    return data;
  }

  nfsstat3 Write(Bytes_t file, uint64_t offset, std::string data) {
    WRITE3args args{TestSupport::Handle(file), offset, static_cast<uint32_t>(data.size()), FILE_SYNC,
                    {static_cast<u_int>(data.size()), data.data()}};
    WRITE3res result{};
    EXPECT_EQ(nfs_->Call(7, xdr_WRITE3args, args, xdr_WRITE3res, result), RPC_SUCCESS);
    const nfsstat3 status = result.status;
    nfs_->Free(xdr_WRITE3res, result);
    return status;
  }

  TestSupport::TempDir temp_;
  std::string socket_;
  std::unique_ptr<TestSupport::HostProcess> host_;
  std::unique_ptr<TestSupport::RpcClient> nfs_;
};

TEST_F(OperatorTest, VirtualFileWalkFromTheCommandLine) {
  auto created = Call({"NFS::CreateVirtualFileCommand", "NetworkPath=/share/big.bin", "Size=1073741824",
                       "SourceUri=pattern:42"});
  ASSERT_EQ(created.first, 0);

  const Bytes_t big = Lookup("big.bin");
  ASSERT_FALSE(big.empty());
  const std::string head = Read(big, 0, 64);
  ASSERT_EQ(head.size(), 64u);
  for (size_t i = 0; i < head.size(); ++i) EXPECT_EQ(static_cast<uint8_t>(head[i]), PatternByte(i, 42)) << i;
  const std::string far = Read(big, 1000000000, 16);
  for (size_t i = 0; i < far.size(); ++i) EXPECT_EQ(static_cast<uint8_t>(far[i]), PatternByte(1000000000 + i, 42));
  EXPECT_EQ(Write(big, 0, "x"), NFS3ERR_IO);  // pattern content is read-only

  EXPECT_EQ(Call({"NFS::ControlVirtualFileCommand", "NetworkPath=/share/big.bin", "Blob=AQID"}).first, 0);
  std::filesystem::create_directory(temp_.Path() / "export" / "docs");
  EXPECT_EQ(Call({"NFS::CreateVirtualFileCommand", "NetworkPath=/share/docs/small.bin", "Size=10",
                  "SourceUri=pattern:1"}).first,
            0);
  EXPECT_EQ(Call({"NFS::FileExistsCommand", "ShareName=/share", "FilePath=docs/small.bin"}),
            std::make_pair(0, std::string("Exists true\n")));
  EXPECT_EQ(Call({"NFS::FileExistsCommand", "ShareName=/share", "FilePath=docs/other.bin"}).first, 1);
  EXPECT_EQ(Call({"NFS::DeleteVirtualFileCommand", "NetworkPath=/share/big.bin"}).first, 0);
  EXPECT_TRUE(Lookup("big.bin").empty());
  EXPECT_EQ(Call({"NFS::DeleteVirtualFileCommand", "NetworkPath=/share/big.bin"}).first, 1);
}

TEST_F(OperatorTest, FilePluginWritesThroughToTheLocalFile) {
  const std::string backing = (temp_.Path() / "backing.bin").string();
  temp_.WriteFile("backing.bin", "0123456789");
  ASSERT_EQ(Call({"NFS::CreateVirtualFileCommand", "NetworkPath=/share/mirror.bin", "Size=10",
                  "SourceUri=file:" + backing})
                .first,
            0);
  const Bytes_t mirror = Lookup("mirror.bin");
  EXPECT_EQ(Read(mirror, 0, 10), "0123456789");
  std::string data(4096, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  EXPECT_EQ(Write(mirror, 2, data), NFS3_OK);
  EXPECT_EQ(temp_.ReadFile("backing.bin"), "01" + data);
  EXPECT_EQ(Call({"NFS::ControlVirtualFileCommand", "NetworkPath=/share/mirror.bin", "Blob="}).first, 0);
}

TEST_F(OperatorTest, NfsSubcommandListsCopiesAndReads) {
  temp_.WriteFile("source.txt", "copied through the nfs subcommand\n");
  auto run = [](std::vector<std::string> arguments) {
    TestSupport::HostProcess process(arguments);
    process.WaitForOutput("\n", 5000);
    const int status = process.WaitForExit(10000);
    return std::make_pair(status, process.Output());
  };
  EXPECT_EQ(run({"nfs", "put", "nfs://127.0.0.1/share/copy.txt", (temp_.Path() / "source.txt").string()}).first, 0);
  EXPECT_EQ(temp_.ReadFile("export/copy.txt"), "copied through the nfs subcommand\n");
  EXPECT_EQ(run({"nfs", "cat", "nfs://127.0.0.1/share/copy.txt"}),
            std::make_pair(0, std::string("copied through the nfs subcommand\n")));
  const auto listing = run({"nfs", "ls", "nfs://127.0.0.1:2029/share"});
  EXPECT_EQ(listing.first, 0);
  EXPECT_NE(listing.second.find("copy.txt"), std::string::npos);
  EXPECT_NE(listing.second.find("34"), std::string::npos);  // the size
  EXPECT_EQ(run({"nfs", "cat", "nfs://127.0.0.1/share/missing.txt"}).first, 1);
  EXPECT_EQ(run({"nfs", "put", "nfs://127.0.0.1/share/copy.txt", (temp_.Path() / "source.txt").string()}).first, 1);
}

TEST_F(OperatorTest, ControlChannelSurvivesBadClients) {
  const int fd = Connect();
  EXPECT_NE(Ask(fd, "this is not json\n").find("\"ok\":false"), std::string::npos);
  EXPECT_NE(Ask(fd, "[1,2]\n").find("is an object"), std::string::npos);
  EXPECT_NE(Ask(fd, "{\"command\":\"NFS::NoSuch\"}\n").find("Cannot find the command 'NFS::NoSuch'."),
            std::string::npos);
  EXPECT_NE(Ask(fd, "{\"command\":\"NFS::DeleteVirtualFileCommand\",\"request\":{}}\n").find("0x01000003"),
            std::string::npos);
  EXPECT_NE(Ask(fd, "{\"command\":\"NFS::DeleteVirtualFileCommand\",\"request\":{\"NetworkPath\":7}}\n")
                .find("must be a string"),
            std::string::npos);
  EXPECT_NE(Ask(fd, "{\"command\":\"NFS::DeleteVirtualFileCommand\",\"request\":{\"Bogus\":\"x\"}}\n")
                .find("is not part of"),
            std::string::npos);
  const std::string exists =
      Ask(fd, "{\"command\":\"NFS::FileExistsCommand\",\"request\":{\"ShareName\":\"/share\",\"FilePath\":\"x\"}}\n");
  EXPECT_NE(exists.find("0x0182002D"), std::string::npos) << exists;
  close(fd);

  // A client that leaves in the middle of a line.
  const int leaving = Connect();
  const std::string half = "{\"command\":\"NFS::FileEx";
  send(leaving, half.data(), half.size(), MSG_NOSIGNAL);
  close(leaving);

  // Ten clients at once, while NFS clients are served.
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < 10; ++i) {
    clients.emplace_back([&, i] {
      const int client = Connect();
      const std::string path = "/share/v" + std::to_string(i);
      const std::string answer = Ask(client, "{\"command\":\"NFS::CreateVirtualFileCommand\",\"request\":"
                                             "{\"NetworkPath\":\"" + path + "\",\"Size\":10,\"SourceUri\":\"pattern:" +
                                                 std::to_string(i) + "\"}}\n");
      if (answer == "{\"ok\":true,\"response\":{}}") ++answered;
      close(client);
    });
  }
  for (int i = 0; i < 20; ++i) EXPECT_FALSE(Lookup(".").empty());
  for (auto& client : clients) client.join();
  EXPECT_EQ(answered.load(), 10);
  EXPECT_FALSE(Lookup("v9").empty());
}

}  // namespace
