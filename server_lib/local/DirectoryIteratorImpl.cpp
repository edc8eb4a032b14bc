#include "server_lib/local/DirectoryIteratorImpl.h"

#include "server_lib/local/AttributesAccessorImpl.h"

namespace NFS {

DirectoryIteratorImpl::DirectoryIteratorImpl(std::shared_ptr<LocalFs::LocalEntryCursor> cursor)
    : cursor_(std::move(cursor)) {
  SkipHidden();
}

void DirectoryIteratorImpl::SkipHidden() {
  while (cursor_->IsValid() &&
         AttributesAccessorImpl::TypeCodeOf(*cursor_) == ObjectTypeCode::SymbolicLink) {
    cursor_->Next();
  }
}

bool DirectoryIteratorImpl::IsValid() { return cursor_->IsValid(); }

Common::WString DirectoryIteratorImpl::GetName() { return cursor_->GetName(); }

std::shared_ptr<AttributesAccessor> DirectoryIteratorImpl::GetAttributes() {
  if (!attributes_) attributes_ = std::make_shared<AttributesAccessorImpl>(cursor_);
  return attributes_;
}

void DirectoryIteratorImpl::Next() {
  cursor_->Next();
  SkipHidden();
  attributes_.reset();
}

}  // namespace NFS
