#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "service_lib/nsl/LatencyHistogram.h"

namespace NFS::NSL {

enum class RpcProgram : uint8_t { Mount, Nfs };

// Why a call was refused before it reached its handler.
enum class Refusal : uint8_t {
  kClientNotAllowed,  // its address is not among the allowed clients
  kReadOnly,          // it would change a read-only export
};

// One status value a procedure answered with, and how often.
struct StatusCount {
  uint32_t status = 0;  // nfsstat3 or mountstat3
  std::string name;     // "NFS3ERR_NOENT"; "OTHER" for a value the tables do not know
  uint64_t count = 0;
};

struct LatencyCounts {
  // From dispatch to the reply sent (or to the decision to send none).
  std::array<uint64_t, Latency::kBucketCount> buckets{};
  uint64_t count = 0;
  uint64_t sumNs = 0;
  uint64_t maxNs = 0;

  uint64_t QuantileNs(double q) const { return Latency::QuantileNs(buckets.data(), q, maxNs); }
};

struct ProcedureStatistics {
  uint32_t number = 0;
  std::string name;  // as in RFC 1813: "GETATTR", "MNT"
  uint64_t calls = 0;
  // Calls the server never answers (READDIR, MKNOD ...), or got while stopping.
  uint64_t unanswered = 0;
  // Calls whose arguments did not decode (answered GARBAGE_ARGS).
  uint64_t garbageArguments = 0;
  // Replies by status, those seen only; replies of procedures without a
  // status (NULL, UMNT) are not listed.
  std::vector<StatusCount> statuses;
  // Replies whose status is not OK.
  uint64_t failures = 0;
  LatencyCounts latency;
};

struct ProgramStatistics {
  std::string name;  // "MOUNT", "NFS"
  uint32_t program = 0;
  uint32_t version = 3;
  std::vector<ProcedureStatistics> procedures;  // by number, every one the program has
  uint64_t unknownProcedures = 0;               // answered PROC_UNAVAIL
  uint64_t sendFailures = 0;                    // replies the transport could not send
};

// The counters at one moment. Each counter is read on its own: a call
// being served while the snapshot is taken may show in some and not yet in
// others.
struct StatisticsSnapshot {
  uint64_t takenNs = 0;           // steady clock: subtract two to get an interval
  uint64_t collectingForNs = 0;   // since the counters were made (the first start in this process)
  std::vector<ProgramStatistics> programs;  // MOUNT, then NFS
  uint64_t bytesRead = 0;         // the counts of READ replies with NFS3_OK
  uint64_t bytesWritten = 0;      // the counts of WRITE arguments answered NFS3_OK
  uint64_t connectionsAccepted = 0;
  uint64_t connectionsOpen = 0;
  // Calls refused before their handler ran, by reason (also counted in
  // their procedure's statuses: ACCES, ROFS).
  uint64_t refusedClientNotAllowed = 0;
  uint64_t refusedReadOnly = 0;
};

// Counters of the RPC front end, made once per process and never reset.
// Only the RPC thread counts (so each counter has one writer and costs a
// relaxed load and store, no lock and no allocation); any thread may take
// a snapshot.
class Statistics {
 public:
  virtual ~Statistics() = default;

  // RPC thread only. A call as it arrives, before anything else is known.
  virtual void CountCall(RpcProgram program, uint32_t procedure) = 0;
  // A procedure number beyond the program's table.
  virtual void CountUnknownProcedure(RpcProgram program) = 0;
  virtual void CountGarbageArguments(RpcProgram program, uint32_t procedure) = 0;
  virtual void CountUnanswered(RpcProgram program, uint32_t procedure) = 0;
  // A reply about to be sent; hasStatus is false for void results.
  virtual void CountReply(RpcProgram program, uint32_t procedure, bool hasStatus, uint32_t status, uint64_t bytesRead,
                          uint64_t bytesWritten) = 0;
  virtual void CountSendFailure(RpcProgram program) = 0;
  virtual void CountLatency(RpcProgram program, uint32_t procedure, uint64_t nanoseconds) = 0;
  virtual void CountRefused(Refusal reason) = 0;
  virtual void CountConnectionAccepted() = 0;
  virtual void CountConnectionClosed() = 0;

  virtual StatisticsSnapshot Snapshot() const = 0;
};

Statistics& GetStatistics();

// RFC 1813's names: "REMOVE", "NFS3ERR_NOENT"; "OTHER" for a number the
// tables do not know.
const char* ProcedureName(RpcProgram program, uint32_t procedure);
const char* StatusName(RpcProgram program, uint32_t status);

// The steady clock in nanoseconds, as the snapshot's takenNs uses it.
uint64_t SteadyNowNs();

}  // namespace NFS::NSL
