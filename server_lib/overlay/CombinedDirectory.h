#pragma once

#include <memory>

#include "server_lib/objects/FileSystemObject.h"
#include "server_lib/overlay/ForwardingDirectory.h"

namespace NFS {

// Joins a local directory (first) and its virtual overlay (second) into one
// namespace; a local entry hides a virtual one of the same name.
class CombinedDirectory : public ForwardingDirectory {
 public:
  CombinedDirectory(std::shared_ptr<DirObject> first, std::shared_ptr<DirObject> second);

  std::shared_ptr<DirEntriesEnumerator> GetEnumerator(uint64_t id) override;
  std::shared_ptr<FileSystemObject> Lookup(const Common::WString& name) override;
  void DeleteFile(const Common::WString& name) override;
  void DeleteDir(const Common::WString& name) override;
  void Rename(const Common::WString& from, const Common::WString& to) override;

 private:
  // The first directory is the decorated base.
  std::shared_ptr<DirObject> second_;
};

// Lists the first directory, then the second. Positions of the second side
// are offset by kSecondBase, so a cookie says which side it belongs to.
class CombinedDirEntriesEnumerator : public DirEntriesEnumerator {
 public:
  static constexpr uint32_t kSecondBase = 1000000;

  CombinedDirEntriesEnumerator(std::shared_ptr<DirEntriesEnumerator> first,
                               std::shared_ptr<DirEntriesEnumerator> second);

  uint64_t GetId() override { return second_->GetId(); }
  bool IsValid() override { return Current().IsValid(); }
  Common::WString GetName() override { return Current().GetName(); }
  std::shared_ptr<AttributesAccessor> GetAttributes() override { return Current().GetAttributes(); }
  ObjectId GetEntryId() override { return Current().GetEntryId(); }
  uint32_t GetCookie() override { return position_; }
  void Next() override;
  void Seek(uint32_t position) override;

 private:
  DirEntriesEnumerator& Current() { return position_ < kSecondBase ? *first_ : *second_; }
  void SettleOnFirst();

  std::shared_ptr<DirEntriesEnumerator> first_;
  std::shared_ptr<DirEntriesEnumerator> second_;
  uint32_t position_ = 0;
};

}  // namespace NFS
