#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "service_lib/nsl/Statistics.h"

namespace NFS::NSL {

class StatisticsImpl : public Statistics {
 public:
  StatisticsImpl();

  void CountCall(RpcProgram program, uint32_t procedure) override;
  void CountUnknownProcedure(RpcProgram program) override;
  void CountGarbageArguments(RpcProgram program, uint32_t procedure) override;
  void CountUnanswered(RpcProgram program, uint32_t procedure) override;
  void CountReply(RpcProgram program, uint32_t procedure, bool hasStatus, uint32_t status, uint64_t bytesRead,
                  uint64_t bytesWritten) override;
  void CountSendFailure(RpcProgram program) override;
  void CountLatency(RpcProgram program, uint32_t procedure, uint64_t nanoseconds) override;
  void CountRefused(Refusal reason) override;
  void CountConnectionAccepted() override;
  void CountConnectionClosed() override;

  StatisticsSnapshot Snapshot() const override;

  static constexpr size_t kMountProcedures = 6;
  static constexpr size_t kNfsProcedures = 22;
  // Every status value either program defines, and one slot for any other.
  static constexpr size_t kStatusSlots = 32;

 private:
  using Counter = std::atomic<uint64_t>;
  struct ProcedureCounters {
    Counter calls{0};
    Counter unanswered{0};
    Counter garbageArguments{0};
    std::array<Counter, kStatusSlots> statuses{};
    std::array<Counter, Latency::kBucketCount> latency{};
    Counter latencyCount{0};
    Counter latencySumNs{0};
    Counter latencyMaxNs{0};
  };
  struct ProgramCounters {
    Counter unknownProcedures{0};
    Counter sendFailures{0};
  };

  // Null for a procedure number beyond the program's table.
  ProcedureCounters* Find(RpcProgram program, uint32_t procedure);

  std::array<ProcedureCounters, kMountProcedures + kNfsProcedures> procedures_{};
  std::array<ProgramCounters, 2> programs_{};
  Counter bytesRead_{0};
  Counter bytesWritten_{0};
  Counter connectionsAccepted_{0};
  Counter connectionsOpen_{0};
  Counter refusedClientNotAllowed_{0};
  Counter refusedReadOnly_{0};
  uint64_t createdNs_;
};

}  // namespace NFS::NSL
