#include "server_lib/enumerators/DirEntriesEnumeratorsProviderImpl.h"

#include "host/Assertion.h"
#include "host/Logging.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/DirEntriesEnumeratorImpl.h"
#include "server_lib/enumerators/Enumerators.h"

namespace NFS {

namespace {

uint64_t BaseOf(const Common::WString& sourceName) {
  const ObjectId id = MakeObjectId(kDirectoryKind, sourceName);
  uint64_t base = 0;
  for (int i = 16; i >= 9; --i) base = (base << 8) | id[static_cast<size_t>(i)];
  return base & ~uint64_t{0xFF};
}

}  // namespace

std::unique_ptr<DirEntriesEnumeratorsProvider> CreateDirEntriesEnumeratorsProvider(
    DirEntriesEnumeratorsProvider::IteratorSource& source) {
  return std::make_unique<DirEntriesEnumeratorsProviderImpl>(source);
}

DirEntriesEnumeratorsProviderImpl::DirEntriesEnumeratorsProviderImpl(IteratorSource& source)
    : source_(source), base_(BaseOf(source.GetSourceName())), lastId_(base_) {}

std::shared_ptr<DirEntriesEnumerator> DirEntriesEnumeratorsProviderImpl::GetEnumerator(uint64_t id) {
  if (id == 0) return CreateEnumerator();
  const auto it = enumerators_.find(id);
  if (it == enumerators_.end()) {
    Common::Trace(kLogChannel, "Dir({0}): no enumerator {1}", source_.GetSourceName(), id);
    return nullptr;
  }
  Common::Trace(kLogChannel, "Dir({0}): getting cached enumerator {1}", source_.GetSourceName(), id);
  recency_.splice(recency_.begin(), recency_, it->second.recency);
  return it->second.enumerator;
}

std::shared_ptr<DirEntriesEnumerator> DirEntriesEnumeratorsProviderImpl::CreateEnumerator() {
  const uint64_t id = ++lastId_;
  std::shared_ptr<DirEntriesEnumerator> result = std::make_shared<DirEntriesEnumeratorImpl>(id, source_);
  COMMON_ASSERT(id == result->GetId());
  recency_.push_front(id);
  enumerators_[id] = Entry{result, recency_.begin()};
  while (enumerators_.size() > kMaxEnumerators) {
    const uint64_t oldest = recency_.back();
    recency_.pop_back();
    enumerators_.erase(oldest);
    Common::Trace(kLogChannel, "Dir({0}): dropping enumerator {1}", source_.GetSourceName(), oldest);
  }
  return result;
}

}  // namespace NFS
