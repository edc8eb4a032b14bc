#include "server_lib/enumerators/DirEntriesEnumeratorImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

DirEntriesEnumeratorImpl::DirEntriesEnumeratorImpl(uint64_t id,
                                                   DirEntriesEnumeratorsProvider::IteratorSource& source)
    : id_(id), source_(source), sourceName_(source.GetSourceName()), iterator_(FreshIterator()) {
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): created", sourceName_, id_);
}

std::unique_ptr<IndexedDirectoryIterator> DirEntriesEnumeratorImpl::FreshIterator() {
  return std::make_unique<IndexedDirectoryIterator>(source_.CreateIterator());
}

ObjectId DirEntriesEnumeratorImpl::GetEntryId() {
  const Common::WString path = sourceName_ + u"/" + GetName();
  const bool directory = GetAttributes()->GetType() == ObjectTypeCode::Directory;
  return MakeObjectId(directory ? kDirectoryKind : kFileKind, path);
}

void DirEntriesEnumeratorImpl::Next() {
  iterator_->Next();
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): moved to {2}", sourceName_, id_,
                iterator_->GetIndex());
}

void DirEntriesEnumeratorImpl::Seek(uint32_t position) {
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): seeking {2}", sourceName_,
                iterator_->GetIndex(), position);
  if (iterator_->GetIndex() == position) return;
  // Positions only count entries, so any other position means listing again.
  auto fresh = FreshIterator();
  while (fresh->IsValid() && fresh->GetIndex() != position) fresh->Next();
  iterator_ = std::move(fresh);
}

}  // namespace NFS
