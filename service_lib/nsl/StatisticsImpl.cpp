#include "service_lib/nsl/StatisticsImpl.h"

#include <chrono>
#include <iterator>

namespace NFS::NSL {

namespace {

constexpr std::memory_order kRelaxed = std::memory_order_relaxed;

constexpr uint32_t kMountProgram = 100005;
constexpr uint32_t kNfsProgram = 100003;

constexpr const char* kMountNames[] = {"NULL", "MNT", "DUMP", "UMNT", "UMNTALL", "EXPORT"};
constexpr const char* kNfsNames[] = {"NULL",   "GETATTR", "SETATTR", "LOOKUP",  "ACCESS",      "READLINK",
                                     "READ",   "WRITE",   "CREATE",  "MKDIR",   "SYMLINK",     "MKNOD",
                                     "REMOVE", "RMDIR",   "RENAME",  "LINK",    "READDIR",     "READDIRPLUS",
                                     "FSSTAT", "FSINFO",  "PATHCONF", "COMMIT"};
static_assert(std::size(kMountNames) == StatisticsImpl::kMountProcedures);
static_assert(std::size(kNfsNames) == StatisticsImpl::kNfsProcedures);

struct KnownStatus {
  uint32_t value;
  const char* name;
};

// RFC 1813's nfsstat3 and mountstat3, success first: most replies stop there.
constexpr KnownStatus kNfsStatuses[] = {
    {0, "NFS3_OK"},           {1, "NFS3ERR_PERM"},         {2, "NFS3ERR_NOENT"},       {5, "NFS3ERR_IO"},
    {6, "NFS3ERR_NXIO"},      {13, "NFS3ERR_ACCES"},       {17, "NFS3ERR_EXIST"},      {18, "NFS3ERR_XDEV"},
    {19, "NFS3ERR_NODEV"},    {20, "NFS3ERR_NOTDIR"},      {21, "NFS3ERR_ISDIR"},      {22, "NFS3ERR_INVAL"},
    {27, "NFS3ERR_FBIG"},     {28, "NFS3ERR_NOSPC"},       {30, "NFS3ERR_ROFS"},       {31, "NFS3ERR_MLINK"},
    {63, "NFS3ERR_NAMETOOLONG"}, {66, "NFS3ERR_NOTEMPTY"}, {69, "NFS3ERR_DQUOT"},      {70, "NFS3ERR_STALE"},
    {71, "NFS3ERR_REMOTE"},   {10001, "NFS3ERR_BADHANDLE"}, {10002, "NFS3ERR_NOT_SYNC"}, {10003, "NFS3ERR_BAD_COOKIE"},
    {10004, "NFS3ERR_NOTSUPP"}, {10005, "NFS3ERR_TOOSMALL"}, {10006, "NFS3ERR_SERVERFAULT"},
    {10007, "NFS3ERR_BADTYPE"}, {10008, "NFS3ERR_JUKEBOX"}};
constexpr KnownStatus kMountStatuses[] = {
    {0, "MNT3_OK"},          {1, "MNT3ERR_PERM"},   {2, "MNT3ERR_NOENT"},        {5, "MNT3ERR_IO"},
    {13, "MNT3ERR_ACCES"},   {20, "MNT3ERR_NOTDIR"}, {22, "MNT3ERR_INVAL"},      {63, "MNT3ERR_NAMETOOLONG"},
    {10004, "MNT3ERR_NOTSUPP"}, {10006, "MNT3ERR_SERVERFAULT"}};
static_assert(std::size(kNfsStatuses) < StatisticsImpl::kStatusSlots);
static_assert(std::size(kMountStatuses) < StatisticsImpl::kStatusSlots);
constexpr size_t kOtherStatus = StatisticsImpl::kStatusSlots - 1;

template <size_t N>
size_t StatusSlot(const KnownStatus (&known)[N], uint32_t status) {
  for (size_t i = 0; i < N; ++i) {
    if (known[i].value == status) return i;
  }
  return kOtherStatus;
}

// Each counter has one writer, the RPC thread: a relaxed load and store
// count without a locked instruction, and readers still see whole values.
void Add(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
  counter.store(counter.load(kRelaxed) + amount, kRelaxed);
}

void Subtract(std::atomic<uint64_t>& counter) {
  const uint64_t value = counter.load(kRelaxed);
  if (value > 0) counter.store(value - 1, kRelaxed);
}

}  // namespace

uint64_t SteadyNowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

Statistics& GetStatistics() {
  // Never destroyed: the RPC thread of a service held by a static object may
  // still count while the process ends.
  static auto* statistics = new StatisticsImpl;
  return *statistics;
}

const char* ProcedureName(RpcProgram program, uint32_t procedure) {
  if (program == RpcProgram::Mount) return procedure < std::size(kMountNames) ? kMountNames[procedure] : "OTHER";
  return procedure < std::size(kNfsNames) ? kNfsNames[procedure] : "OTHER";
}

const char* StatusName(RpcProgram program, uint32_t status) {
  const bool mount = program == RpcProgram::Mount;
  const size_t slot = mount ? StatusSlot(kMountStatuses, status) : StatusSlot(kNfsStatuses, status);
  if (slot == kOtherStatus) return "OTHER";
  return mount ? kMountStatuses[slot].name : kNfsStatuses[slot].name;
}

StatisticsImpl::StatisticsImpl() : createdNs_(SteadyNowNs()) {
  // The bucket bounds are computed here, not on the first call served.
  Latency::BucketOf(0);
}

StatisticsImpl::ProcedureCounters* StatisticsImpl::Find(RpcProgram program, uint32_t procedure) {
  if (program == RpcProgram::Mount) return procedure < kMountProcedures ? &procedures_[procedure] : nullptr;
  return procedure < kNfsProcedures ? &procedures_[kMountProcedures + procedure] : nullptr;
}

void StatisticsImpl::CountCall(RpcProgram program, uint32_t procedure) {
  if (ProcedureCounters* counters = Find(program, procedure)) Add(counters->calls);
}

void StatisticsImpl::CountUnknownProcedure(RpcProgram program) {
  Add(programs_[static_cast<size_t>(program)].unknownProcedures);
}

void StatisticsImpl::CountGarbageArguments(RpcProgram program, uint32_t procedure) {
  if (ProcedureCounters* counters = Find(program, procedure)) Add(counters->garbageArguments);
}

void StatisticsImpl::CountUnanswered(RpcProgram program, uint32_t procedure) {
  if (ProcedureCounters* counters = Find(program, procedure)) Add(counters->unanswered);
}

void StatisticsImpl::CountReply(RpcProgram program, uint32_t procedure, bool hasStatus, uint32_t status,
                                uint64_t bytesRead, uint64_t bytesWritten) {
  ProcedureCounters* counters = Find(program, procedure);
  if (counters == nullptr) return;
  if (hasStatus) {
    const size_t slot =
        program == RpcProgram::Mount ? StatusSlot(kMountStatuses, status) : StatusSlot(kNfsStatuses, status);
    Add(counters->statuses[slot]);
  }
  if (bytesRead != 0) Add(bytesRead_, bytesRead);
  if (bytesWritten != 0) Add(bytesWritten_, bytesWritten);
}

void StatisticsImpl::CountSendFailure(RpcProgram program) {
  Add(programs_[static_cast<size_t>(program)].sendFailures);
}

void StatisticsImpl::CountLatency(RpcProgram program, uint32_t procedure, uint64_t nanoseconds) {
  ProcedureCounters* counters = Find(program, procedure);
  if (counters == nullptr) return;
  Add(counters->latency[Latency::BucketOf(nanoseconds)]);
  Add(counters->latencyCount);
  Add(counters->latencySumNs, nanoseconds);
  if (nanoseconds > counters->latencyMaxNs.load(kRelaxed)) counters->latencyMaxNs.store(nanoseconds, kRelaxed);
}

void StatisticsImpl::CountConnectionAccepted() {
  Add(connectionsAccepted_);
  Add(connectionsOpen_);
}

void StatisticsImpl::CountRefused(Refusal reason) {
  Add(reason == Refusal::kReadOnly ? refusedReadOnly_ : refusedClientNotAllowed_);
}

void StatisticsImpl::CountConnectionClosed() { Subtract(connectionsOpen_); }

StatisticsSnapshot StatisticsImpl::Snapshot() const {
  StatisticsSnapshot snapshot;
  snapshot.takenNs = SteadyNowNs();
  snapshot.collectingForNs = snapshot.takenNs - createdNs_;
  for (const RpcProgram program : {RpcProgram::Mount, RpcProgram::Nfs}) {
    const bool mount = program == RpcProgram::Mount;
    ProgramStatistics& out = snapshot.programs.emplace_back();
    out.name = mount ? "MOUNT" : "NFS";
    out.program = mount ? kMountProgram : kNfsProgram;
    const ProgramCounters& programCounters = programs_[static_cast<size_t>(program)];
    out.unknownProcedures = programCounters.unknownProcedures.load(kRelaxed);
    out.sendFailures = programCounters.sendFailures.load(kRelaxed);
    const size_t count = mount ? kMountProcedures : kNfsProcedures;
    const size_t first = mount ? 0 : kMountProcedures;
    for (size_t number = 0; number < count; ++number) {
      const ProcedureCounters& counters = procedures_[first + number];
      ProcedureStatistics& procedure = out.procedures.emplace_back();
      procedure.number = static_cast<uint32_t>(number);
      procedure.name = mount ? kMountNames[number] : kNfsNames[number];
      procedure.calls = counters.calls.load(kRelaxed);
      procedure.unanswered = counters.unanswered.load(kRelaxed);
      procedure.garbageArguments = counters.garbageArguments.load(kRelaxed);
      const KnownStatus* known = mount ? kMountStatuses : kNfsStatuses;
      const size_t knownCount = mount ? std::size(kMountStatuses) : std::size(kNfsStatuses);
      for (size_t slot = 0; slot < kStatusSlots; ++slot) {
        const uint64_t replies = counters.statuses[slot].load(kRelaxed);
        if (replies == 0) continue;
        const bool isKnown = slot < knownCount;
        procedure.statuses.push_back({isKnown ? known[slot].value : UINT32_MAX, isKnown ? known[slot].name : "OTHER",
                                      replies});
        if (slot != 0) procedure.failures += replies;
      }
      for (size_t bucket = 0; bucket < Latency::kBucketCount; ++bucket) {
        procedure.latency.buckets[bucket] = counters.latency[bucket].load(kRelaxed);
      }
      procedure.latency.count = counters.latencyCount.load(kRelaxed);
      procedure.latency.sumNs = counters.latencySumNs.load(kRelaxed);
      procedure.latency.maxNs = counters.latencyMaxNs.load(kRelaxed);
    }
  }
  snapshot.bytesRead = bytesRead_.load(kRelaxed);
  snapshot.bytesWritten = bytesWritten_.load(kRelaxed);
  snapshot.connectionsAccepted = connectionsAccepted_.load(kRelaxed);
  snapshot.connectionsOpen = connectionsOpen_.load(kRelaxed);
  snapshot.refusedClientNotAllowed = refusedClientNotAllowed_.load(kRelaxed);
  snapshot.refusedReadOnly = refusedReadOnly_.load(kRelaxed);
  return snapshot;
}

}  // namespace NFS::NSL
