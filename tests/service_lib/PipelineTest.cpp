// Clients that send many calls without waiting for the answers (libnfs and
// the kernel do, a directory listing sends thousands of LOOKUPs at once),
// written here record by record on raw connections: every call is answered
// once and in order, a connection that always has more calls waiting does
// not hold the others back, and a stop ends the service while calls keep
// coming. And clients that strain the connection itself: one that does not
// read its answers, and new ones when the process is out of descriptors.

#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server_lib/server/Server.h"
#include "tests/service_lib/WireFixture.h"
#include "tests/support/Process.h"
#include "tests/support/Waiting.h"

namespace {

using TestSupport::Bytes_t;
using TestSupport::Handle;
using TestSupport::kMount;
using TestSupport::kNfs;

constexpr uint32_t kAcceptSuccess = 0;
constexpr uint32_t kProgUnavail = 1;
constexpr uint32_t kProgMismatch = 2;
constexpr uint32_t kProcUnavail = 3;
constexpr uint32_t kGarbageArgs = 4;

template <typename Coder>
xdrproc_t X(Coder coder) {
  return reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(coder));
}

// One call as it goes on the wire: the record marker, the call header with
// no credentials, then the arguments.
std::string CallRecord(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure, xdrproc_t encode,
                       void* args) {
  std::vector<char> body(4096);
  XDR xdrs;
  xdrmem_create(&xdrs, body.data(), static_cast<u_int>(body.size()), XDR_ENCODE);
  rpc_msg call{};
  call.rm_xid = xid;
  call.rm_direction = CALL;
  call.rm_call.cb_rpcvers = RPC_MSG_VERSION;
  call.rm_call.cb_prog = program;
  call.rm_call.cb_vers = version;
  call.rm_call.cb_proc = procedure;
  call.rm_call.cb_cred = _null_auth;
  call.rm_call.cb_verf = _null_auth;
  const bool encoded = xdr_callmsg(&xdrs, &call) && encode(&xdrs, args);
  const u_int length = xdr_getpos(&xdrs);
  xdr_destroy(&xdrs);
  EXPECT_TRUE(encoded);
  const uint32_t marker = htonl(0x80000000u | length);
  std::string record(reinterpret_cast<const char*>(&marker), 4);
  record.append(body.data(), length);
  return record;
}

std::string NullCall(uint32_t xid, uint32_t program = kNfs, uint32_t version = 3, uint32_t procedure = 0) {
  return CallRecord(xid, program, version, procedure, X(xdr_void), nullptr);
}

std::string GetAttrCall(uint32_t xid, Bytes_t& handle) {
  GETATTR3args args{Handle(handle)};
  return CallRecord(xid, kNfs, 3, 1, X(xdr_GETATTR3args), &args);
}

std::string LookupCall(uint32_t xid, Bytes_t& dir, const std::string& name) {
  LOOKUP3args args{{Handle(dir), const_cast<char*>(name.c_str())}};
  return CallRecord(xid, kNfs, 3, 3, X(xdr_LOOKUP3args), &args);
}

std::string ReadCall(uint32_t xid, Bytes_t& file, uint64_t offset, uint32_t count) {
  READ3args args{Handle(file), offset, count};
  return CallRecord(xid, kNfs, 3, 6, X(xdr_READ3args), &args);
}

double ProcessorSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// What the tests look at in a reply: whose it is, whether it was accepted,
// and the status that every NFS result begins with.
struct Reply {
  uint32_t xid = 0;
  uint32_t acceptStat = 0;
  std::optional<uint32_t> status;
};

// A raw TCP connection to the service.
class Connection {
 public:
  explicit Connection(uint16_t port) : fd_(TestSupport::ConnectLoopback(port)) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  bool IsConnected() const { return fd_ >= 0; }

  // The bytes in one write, as far as the socket takes them.
  bool Send(const std::string& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  // The next reply; none when the connection ended or nothing came in time.
  std::optional<Reply> Next(int timeoutMs = 5000) {
    std::string record;
    for (bool last = false; !last;) {
      uint32_t marker = 0;
      if (!Read(&marker, 4, timeoutMs)) return std::nullopt;
      marker = ntohl(marker);
      last = (marker & 0x80000000u) != 0;
      std::string fragment(marker & 0x7FFFFFFFu, '\0');
      if (!Read(fragment.data(), fragment.size(), timeoutMs)) return std::nullopt;
      record += fragment;
    }
    std::vector<uint32_t> words(record.size() / 4);
    std::memcpy(words.data(), record.data(), words.size() * 4);
    for (uint32_t& word : words) word = ntohl(word);
    // xid, REPLY, MSG_ACCEPTED, verifier flavour and length, accept status.
    if (words.size() < 6 || words[1] != 1 || words[2] != 0 || words[4] != 0) return std::nullopt;
    Reply reply{words[0], words[5], std::nullopt};
    if (reply.acceptStat == kAcceptSuccess && words.size() > 6) reply.status = words[6];
    return reply;
  }

  // Whether the service closed the connection within the time.
  bool ClosedWithin(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char byte;
    return recv(fd_, &byte, 1, 0) <= 0;
  }

 private:
  bool Read(void* buffer, size_t size, int timeoutMs) {
    auto* at = static_cast<char*>(buffer);
    while (size > 0) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) return false;
      const ssize_t got = recv(fd_, at, size, 0);
      if (got <= 0) return false;
      at += got;
      size -= static_cast<size_t>(got);
    }
    return true;
  }

  int fd_;
};

using PipelinedWireTest = TestSupport::WireClientTest;

// One write carries a whole run of calls, among them calls the library
// answers by itself (a program or version that is not served), which end
// the service's turn on the connection with calls still waiting. Every one
// is answered once, in the order sent.
TEST_F(PipelinedWireTest, CallsInOneWriteAreAnsweredInOrder) {
  temp_.WriteFile("export/present", "x");
  Connection client(port_);
  ASSERT_TRUE(client.IsConnected());
  std::string batch;
  std::vector<Reply> expected;
  for (uint32_t i = 0; i < 300; ++i) {
    const uint32_t xid = 1000 + i;
    switch (i % 8) {
      case 0:
        batch += NullCall(xid);
        expected.push_back({xid, kAcceptSuccess, std::nullopt});
        break;
      case 1:
        batch += GetAttrCall(xid, root_);
        expected.push_back({xid, kAcceptSuccess, NFS3_OK});
        break;
      case 2:
        batch += LookupCall(xid, root_, "missing-" + std::to_string(i));
        expected.push_back({xid, kAcceptSuccess, NFS3ERR_NOENT});
        break;
      case 3:
        batch += LookupCall(xid, root_, "present");
        expected.push_back({xid, kAcceptSuccess, NFS3_OK});
        break;
      case 4:
        batch += NullCall(xid, kMount);
        expected.push_back({xid, kAcceptSuccess, std::nullopt});
        break;
      case 5:
        batch += NullCall(xid, 100099);
        expected.push_back({xid, kProgUnavail, std::nullopt});
        break;
      case 6:
        batch += NullCall(xid, kNfs, 2);
        expected.push_back({xid, kProgMismatch, std::nullopt});
        break;
      default:
        // A procedure number past the table, or a GETATTR without its handle.
        batch += NullCall(xid, kNfs, 3, i % 16 == 7 ? 22 : 1);
        expected.push_back({xid, i % 16 == 7 ? kProcUnavail : kGarbageArgs, std::nullopt});
        break;
    }
  }
  // The run ends in half a call: the rest comes later.
  const std::string last = GetAttrCall(2000, root_);
  const size_t cut = last.size() / 2;
  ASSERT_TRUE(client.Send(batch + last.substr(0, cut)));

  for (const Reply& want : expected) {
    const std::optional<Reply> got = client.Next();
    ASSERT_TRUE(got.has_value()) << "no reply for " << want.xid;
    EXPECT_EQ(got->xid, want.xid);
    EXPECT_EQ(got->acceptStat, want.acceptStat) << want.xid;
    if (want.status) {
      EXPECT_EQ(got->status, want.status) << want.xid;
    }
  }
  // The half call holds nobody: the fixture's own connection is served.
  EXPECT_EQ(GetAttr(root_), NFS3_OK);
  EXPECT_FALSE(client.Next(100).has_value());

  ASSERT_TRUE(client.Send(last.substr(cut) + NullCall(2001)));
  std::optional<Reply> got = client.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->xid, 2000u);
  EXPECT_EQ(got->status, NFS3_OK);
  got = client.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->xid, 2001u);

  // Whole calls before a record announced past the limit are answered;
  // then the connection is dropped.
  const uint32_t tooLong = htonl(0x80000000u | ((1u << 20) + 4));
  std::string refused = NullCall(3000) + GetAttrCall(3001, root_);
  refused.append(reinterpret_cast<const char*>(&tooLong), 4);
  refused += std::string(64, '\0');
  ASSERT_TRUE(client.Send(refused));
  got = client.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->xid, 3000u);
  got = client.Next();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->xid, 3001u);
  EXPECT_TRUE(client.ClosedWithin(5000));
  EXPECT_EQ(GetAttr(root_), NFS3_OK);
}

// A client with a long run of LOOKUPs waiting, and another whose CREATE
// makes the looked-up name appear: the LOOKUPs answered "no such entry"
// are the ones served before the CREATE. The service is held in its first
// call (the test holds the operations lock every call takes) until both
// clients' calls are all there.
TEST_F(PipelinedWireTest, APipeliningClientDoesNotHoldBackAnother) {
  Connection lookups(port_);
  Connection creator(port_);
  ASSERT_TRUE(lookups.IsConnected());
  ASSERT_TRUE(creator.IsConnected());
  // Both connections are taken in by the service before it is held, and
  // the first has already sent calls ahead, so the service reads on from it
  // rather than poll after each of its calls.
  ASSERT_TRUE(lookups.Send(NullCall(90) + NullCall(91) + NullCall(92) + NullCall(93)));
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(lookups.Next().has_value());
  ASSERT_TRUE(creator.Send(NullCall(99)));
  ASSERT_TRUE(creator.Next().has_value());
  constexpr uint32_t kLookups = 200;
  std::string batch;
  for (uint32_t i = 0; i < kLookups; ++i) batch += LookupCall(i, root_, "appears");
  CREATE3args create{};
  create.where = {Handle(root_), const_cast<char*>("appears")};
  create.how.mode = GUARDED;

  {
    const auto held = NFS::LockOperations(*server_);
    ASSERT_TRUE(lookups.Send(batch));
    ASSERT_TRUE(creator.Send(CallRecord(7, kNfs, 3, 8, X(xdr_CREATE3args), &create)));
  }

  const std::optional<Reply> created = creator.Next();
  ASSERT_TRUE(created.has_value());
  EXPECT_EQ(created->status, NFS3_OK);
  uint32_t before = 0;
  for (uint32_t i = 0; i < kLookups; ++i) {
    const std::optional<Reply> found = lookups.Next();
    ASSERT_TRUE(found.has_value()) << i;
    EXPECT_EQ(found->xid, i);
    if (found->status == NFS3ERR_NOENT) {
      EXPECT_EQ(before, i) << "answered 'no such entry' after the entry was made";
      ++before;
    } else {
      EXPECT_EQ(found->status, NFS3_OK) << i;
    }
  }
  // The CREATE waited for a turn or two of the other client, not its run.
  EXPECT_LT(before, kLookups / 4);
}

// A client keeps a run of calls waiting all the time; the stop ends the
// service all the same and closes the connection.
TEST_F(PipelinedWireTest, StopEndsTheServiceWhileCallsKeepComing) {
  Connection client(port_);
  ASSERT_TRUE(client.IsConnected());
  std::string batch;
  for (uint32_t i = 0; i < 64; ++i) batch += GetAttrCall(i, root_);
  TestSupport::Counter answered;
  std::atomic<bool> ended{false};
  std::thread sender([&] {
    // Sends a batch whenever the last one is answered, until the
    // connection ends: some calls are always waiting.
    while (client.Send(batch)) {
      for (int i = 0; i < 64; ++i) {
        if (!client.Next().has_value()) {
          ended = true;
          return;
        }
        answered.Add();
      }
    }
    ended = true;
  });
  EXPECT_TRUE(answered.WaitFor(1000, std::chrono::seconds(30)));
  EXPECT_TRUE(service_->Stop().IsSuccess());
  sender.join();
  EXPECT_TRUE(ended);
}

// A client sends far more READs than the connection can hold answers for,
// then reads nothing for a while. The service stops taking its calls rather
// than wait to write an answer nobody reads (which would hold every other
// client back and spin until the connection is given up): another client
// is answered meanwhile, the service stays idle, and when the client reads
// again every answer comes, in order.
TEST_F(PipelinedWireTest, AClientThatStopsReadingHoldsBackNobody) {
  constexpr uint32_t kChunk = 32768;
  constexpr uint32_t kChunks = 32;
  {
    std::ofstream out(Local("big"), std::ios::binary);
    out << std::string(static_cast<size_t>(kChunk) * kChunks, 'r');
  }
  Bytes_t file;
  ASSERT_EQ(Lookup(root_, "big", &file), NFS3_OK);
  Connection reader(port_);
  ASSERT_TRUE(reader.IsConnected());
  // Far more answers (32 MiB) than the two sockets' buffers take.
  constexpr uint32_t kReads = 1024;
  std::string batch;
  for (uint32_t i = 0; i < kReads; ++i) batch += ReadCall(i, file, uint64_t{i % kChunks} * kChunk, kChunk);
  ASSERT_TRUE(reader.Send(batch));

  const double before = ProcessorSeconds();
  for (int i = 0; i < 30; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(GetAttr(root_), NFS3_OK) << i;
  }
  // Three seconds without a reading client: waiting to write would have
  // spun for two of them.
  EXPECT_LT(ProcessorSeconds() - before, 1.0);

  for (uint32_t i = 0; i < kReads; ++i) {
    const std::optional<Reply> read = reader.Next();
    ASSERT_TRUE(read.has_value()) << i;
    EXPECT_EQ(read->xid, i);
    EXPECT_EQ(read->status, NFS3_OK) << i;
  }
}

// A client whose answers back up and that then hangs up without reading
// them: its held connection is closed like any other.
TEST_F(PipelinedWireTest, AHeldClientThatHangsUpIsClosed) {
  {
    std::ofstream out(Local("big"), std::ios::binary);
    out << std::string(32768, 'r');
  }
  Bytes_t file;
  ASSERT_EQ(Lookup(root_, "big", &file), NFS3_OK);
  const auto connections = [] { return NFS::NSL::GetNetworkStatus().connections.size(); };
  {
    Connection reader(port_);
    ASSERT_TRUE(reader.IsConnected());
    std::string batch;
    for (uint32_t i = 0; i < 1024; ++i) batch += ReadCall(i, file, 0, 32768);
    ASSERT_TRUE(reader.Send(batch));
    // Half a second is many times what filling both sockets takes.
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      EXPECT_EQ(GetAttr(root_), NFS3_OK);
    }
    EXPECT_EQ(connections(), 2u);
  }
  EXPECT_TRUE(TestSupport::WaitUntil([&] { return connections() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(GetAttr(root_), NFS3_OK);
}

// Descriptors taken up to the limit, all but one, which the next client's
// socket takes; fillers to give back afterwards.
std::vector<int> TakeAllDescriptorsButOne(rlimit& saved) {
  std::vector<int> fillers;
  EXPECT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit lowered = saved;
  lowered.rlim_cur = TestSupport::OpenDescriptors() + 16;
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  EXPECT_EQ(errno, EMFILE);
  if (!fillers.empty()) {
    close(fillers.back());
    fillers.pop_back();
  }
  return fillers;
}

void GiveBack(std::vector<int>& fillers, const rlimit& saved) {
  for (int fd : fillers) close(fd);
  fillers.clear();
  EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
}

std::set<std::string> ShownPeers() {
  std::set<std::string> shown;
  for (const NFS::NSL::ClientConnection& connection : NFS::NSL::GetNetworkStatus().connections) {
    shown.insert(connection.peer);
  }
  return shown;
}

// Out of descriptors, a new client finds the service unable to accept it:
// the least active connection is closed to make room, and what the service
// shows of its connections follows.
TEST_F(PipelinedWireTest, OutOfDescriptorsTheLeastActiveConnectionMakesRoom) {
  if (!TestSupport::kCanExhaustDescriptors) GTEST_SKIP() << "UBSan needs descriptors of its own";
  Connection idle(port_);
  ASSERT_TRUE(idle.Send(NullCall(1)));
  ASSERT_TRUE(idle.Next().has_value());
  // The fixture's client has been active since: the idle one goes.
  ASSERT_EQ(GetAttr(root_), NFS3_OK);
  const std::set<std::string> before = ShownPeers();
  ASSERT_EQ(before.size(), 2u);

  rlimit saved{};
  std::vector<int> fillers = TakeAllDescriptorsButOne(saved);
  Connection fresh(port_);
  const bool answered = fresh.IsConnected() && fresh.Send(NullCall(2)) && fresh.Next().has_value();
  GiveBack(fillers, saved);
  ASSERT_TRUE(answered);
  EXPECT_TRUE(idle.ClosedWithin(5000));
  EXPECT_EQ(GetAttr(root_), NFS3_OK);

  const std::set<std::string> after = ShownPeers();
  EXPECT_EQ(after.size(), 2u);
  size_t kept = 0;
  for (const std::string& peer : after) kept += before.count(peer);
  EXPECT_EQ(kept, 1u) << "the closed connection is still shown, or the new one is not";
}

// Out of descriptors with no connection to close, the listener (readable
// all the while) is left alone for a moment rather than polled in a spin;
// once descriptors are free the waiting client is taken in.
TEST_F(PipelinedWireTest, OutOfDescriptorsWithNothingToCloseTheServiceWaits) {
  if (!TestSupport::kCanExhaustDescriptors) GTEST_SKIP() << "UBSan needs descriptors of its own";
  nfs_.reset();
  ASSERT_TRUE(TestSupport::WaitUntil([] { return ShownPeers().empty(); }, std::chrono::seconds(10)));

  rlimit saved{};
  std::vector<int> fillers = TakeAllDescriptorsButOne(saved);
  Connection waiting(port_);
  const bool connected = waiting.IsConnected() && waiting.Send(NullCall(3));
  const double processor = ProcessorSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const double spent = ProcessorSeconds() - processor;
  GiveBack(fillers, saved);
  ASSERT_TRUE(connected);
  EXPECT_LT(spent, 0.5);
  const std::optional<Reply> reply = waiting.Next();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->xid, 3u);
}

}  // namespace
