#include "server_lib/core/ObjectId.h"

#include <mutex>
#include <unordered_map>

#include "server_lib/core/Md5Crypt.h"

namespace NFS {

namespace {

ObjectId ComputeObjectId(ObjectKind kind, Common::WStringView path) {
  std::vector<uint8_t> password;
  password.reserve(path.size() * 2);
  for (char16_t unit : path) {
    password.push_back(static_cast<uint8_t>(unit & 0xFF));
    password.push_back(static_cast<uint8_t>(unit >> 8));
  }
  const uint8_t salt[4] = {static_cast<uint8_t>(kind), 0, 0, 0};
  const Md5Digest digest = Md5Crypt(password, salt);

  ObjectId id;
  id.reserve(kObjectIdSize);
  id.push_back(static_cast<uint8_t>(kind));
  id.insert(id.end(), digest.begin(), digest.end());
  return id;
}

// The digest is deliberately slow (a thousand rounds) and clients look the
// same paths up again and again, so recent answers are remembered. Two
// generations keep it bounded: when the young one is full it becomes the old
// one, and what is found in the old one moves back to the young.
class RecentIds {
 public:
  static RecentIds& Instance() {
    static auto* recent = new RecentIds;  // never destroyed: used until exit
    return *recent;
  }

  ObjectId Get(ObjectKind kind, Common::WStringView path) {
    Common::WString key;
    key.reserve(path.size() + 1);
    key.push_back(static_cast<char16_t>(kind));
    key.append(path);
    {
      std::lock_guard lock(mutex_);
      if (auto found = young_.find(key); found != young_.end()) return found->second;
      if (auto found = old_.find(key); found != old_.end()) {
        ObjectId id = found->second;
        Insert(std::move(key), id);
        return id;
      }
    }
    ObjectId id = ComputeObjectId(kind, path);  // outside the lock: slow
    std::lock_guard lock(mutex_);
    Insert(std::move(key), id);
    return id;
  }

 private:
  static constexpr size_t kGeneration = 8192;

  void Insert(Common::WString key, const ObjectId& id) {
    if (young_.size() >= kGeneration) {
      old_ = std::move(young_);
      young_ = {};
    }
    young_.emplace(std::move(key), id);
  }

  std::mutex mutex_;
  std::unordered_map<Common::WString, ObjectId> young_;
  std::unordered_map<Common::WString, ObjectId> old_;
};

}  // namespace

ObjectId MakeObjectId(ObjectKind kind, Common::WStringView path) { return RecentIds::Instance().Get(kind, path); }

bool IsValidObjectId(const ObjectId& id) {
  return id.size() == kObjectIdSize && (id[0] == kDirectoryKind || id[0] == kFileKind);
}

ObjectKind GetObjectKind(const ObjectId& id) {
  return id.size() == kObjectIdSize ? static_cast<ObjectKind>(id[0]) : kInvalidKind;
}

Common::WString ObjectIdToString(const ObjectId& id) {
  if (!IsValidObjectId(id)) return u"InvalidHandle";
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  Common::WString text;
  text.reserve(id.size() * 2);
  for (uint8_t byte : id) {
    text.push_back(kHex[byte >> 4]);
    text.push_back(kHex[byte & 0xF]);
  }
  return text;
}

}  // namespace NFS
