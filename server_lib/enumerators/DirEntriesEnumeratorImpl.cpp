#include "server_lib/enumerators/DirEntriesEnumeratorImpl.h"

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS {

DirEntriesEnumeratorImpl::DirEntriesEnumeratorImpl(uint64_t id,
                                                   DirEntriesEnumeratorsProvider::IteratorSource& source)
    : id_(id), source_(source), sourceName_(source.GetSourceName()) {
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): created", sourceName_, id_);
  std::lock_guard lock(streamMutex_);
  iterator_ = FreshIterator();
  OpenListings::Instance().Touch(*this);
}

DirEntriesEnumeratorImpl::~DirEntriesEnumeratorImpl() { OpenListings::Instance().Forget(*this); }

std::unique_ptr<IndexedDirectoryIterator> DirEntriesEnumeratorImpl::FreshIterator() {
  return std::make_unique<IndexedDirectoryIterator>(source_.CreateIterator());
}

void DirEntriesEnumeratorImpl::Park() {
  parkedIndex_ = iterator_->GetIndex();
  parkedValid_ = iterator_->IsValid();
  iterator_.reset();
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): closed at {2}", sourceName_, id_, parkedIndex_);
}

IndexedDirectoryIterator& DirEntriesEnumeratorImpl::Iterator() {
  if (!iterator_) {
    Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): reopening at {2}", sourceName_, id_, parkedIndex_);
    auto fresh = FreshIterator();
    while (fresh->IsValid() && fresh->GetIndex() != parkedIndex_) fresh->Next();
    iterator_ = std::move(fresh);
  }
  OpenListings::Instance().Touch(*this);
  return *iterator_;
}

bool DirEntriesEnumeratorImpl::IsValid() {
  std::lock_guard lock(streamMutex_);
  // Known without reopening; positions only hold while the folder is unchanged anyway.
  if (!iterator_) return parkedValid_;
  return Iterator().IsValid();
}

Common::WString DirEntriesEnumeratorImpl::GetName() {
  std::lock_guard lock(streamMutex_);
  return Iterator().GetName();
}

std::shared_ptr<AttributesAccessor> DirEntriesEnumeratorImpl::GetAttributes() {
  std::lock_guard lock(streamMutex_);
  return Iterator().GetAttributes();
}

uint32_t DirEntriesEnumeratorImpl::GetCookie() {
  std::lock_guard lock(streamMutex_);
  return iterator_ ? iterator_->GetIndex() : parkedIndex_;
}

ObjectId DirEntriesEnumeratorImpl::GetEntryId() {
  const Common::WString path = sourceName_ + u"/" + GetName();
  const bool directory = GetAttributes()->GetType() == ObjectTypeCode::Directory;
  return MakeObjectId(directory ? kDirectoryKind : kFileKind, path);
}

void DirEntriesEnumeratorImpl::Next() {
  std::lock_guard lock(streamMutex_);
  IndexedDirectoryIterator& iterator = Iterator();
  iterator.Next();
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): moved to {2}", sourceName_, id_, iterator.GetIndex());
}

void DirEntriesEnumeratorImpl::Seek(uint32_t position) {
  std::lock_guard lock(streamMutex_);
  const uint32_t current = iterator_ ? iterator_->GetIndex() : parkedIndex_;
  Common::Trace(kLogChannel, "DirEnumerator({0}:{1}): seeking {2}", sourceName_, current, position);
  if (current == position) return;
  // Positions only count entries, so any other position means listing again.
  auto fresh = FreshIterator();
  while (fresh->IsValid() && fresh->GetIndex() != position) fresh->Next();
  iterator_ = std::move(fresh);
  OpenListings::Instance().Touch(*this);
}

}  // namespace NFS
