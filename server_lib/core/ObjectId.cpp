#include "server_lib/core/ObjectId.h"

#include <array>
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "server_lib/core/Md5Crypt.h"
#include "server_lib/core/Md5CryptBatch.h"

namespace NFS {

namespace {

// The digest's password: the path's UTF-16LE code units.
std::vector<uint8_t> PasswordOf(Common::WStringView path) {
  std::vector<uint8_t> password;
  password.reserve(path.size() * 2);
  for (char16_t unit : path) {
    password.push_back(static_cast<uint8_t>(unit & 0xFF));
    password.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return password;
}

std::array<uint8_t, 4> SaltOf(ObjectKind kind) { return {static_cast<uint8_t>(kind), 0, 0, 0}; }

ObjectId IdOf(ObjectKind kind, const Md5Digest& digest) {
  ObjectId id;
  id.reserve(kObjectIdSize);
  id.push_back(static_cast<uint8_t>(kind));
  id.insert(id.end(), digest.begin(), digest.end());
  return id;
}

std::atomic<uint64_t> computed{0};

Md5Digest ComputeDigest(ObjectKind kind, Common::WStringView path) {
  ++computed;
  const auto salt = SaltOf(kind);
  return Md5Crypt(PasswordOf(path), salt);
}

Common::WString KeyOf(ObjectKind kind, Common::WStringView path) {
  Common::WString key;
  key.reserve(path.size() + 1);
  key.push_back(static_cast<char16_t>(kind));
  key.append(path);
  return key;
}

// A probe's key, built in a buffer the thread keeps: probes are the hot path
// (two per client LOOKUP) and need no allocation of their own.
const Common::WString& ProbeKey(ObjectKind kind, Common::WStringView path) {
  thread_local Common::WString key;
  key.assign(1, static_cast<char16_t>(kind));
  key.append(path);
  return key;
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
    const Common::WString& key = ProbeKey(kind, path);
    {
      std::lock_guard lock(mutex_);
      if (auto found = young_.find(key); found != young_.end()) return IdOf(kind, found->second);
      if (auto found = old_.find(key); found != old_.end()) {
        const Md5Digest digest = found->second;
        Insert(key, digest);
        return IdOf(kind, digest);
      }
    }
    const Md5Digest digest = ComputeDigest(kind, path);  // outside the lock: slow
    std::lock_guard lock(mutex_);
    Insert(key, digest);
    return IdOf(kind, digest);
  }

  bool Contains(ObjectKind kind, Common::WStringView path) {
    const Common::WString& key = ProbeKey(kind, path);
    std::lock_guard lock(mutex_);
    return young_.count(key) != 0 || old_.count(key) != 0;
  }

  void Remember(std::span<const ObjectIdRequest> requests) {
    std::vector<const ObjectIdRequest*> missing;
    {
      std::lock_guard lock(mutex_);
      for (const ObjectIdRequest& request : requests) {
        const Common::WString key = KeyOf(request.kind, request.path);
        if (!young_.count(key) && !old_.count(key)) missing.push_back(&request);
      }
    }
    if (missing.empty()) return;
    std::vector<std::vector<uint8_t>> passwords;
    std::vector<std::array<uint8_t, 4>> salts;
    passwords.reserve(missing.size());
    salts.reserve(missing.size());
    std::vector<Md5CryptInput> inputs;
    for (const ObjectIdRequest* request : missing) {
      passwords.push_back(PasswordOf(request->path));
      salts.push_back(SaltOf(request->kind));
      inputs.push_back({passwords.back(), salts.back()});
    }
    const std::vector<Md5Digest> digests = Md5CryptBatch(inputs);  // outside the lock: slow
    computed += digests.size();
    std::lock_guard lock(mutex_);
    for (size_t i = 0; i < missing.size(); ++i) {
      Insert(KeyOf(missing[i]->kind, missing[i]->path), digests[i]);
    }
  }

 private:
  // A listing walks its folder in the same order every time: the young
  // generation must hold a whole folder, or a second listing of a larger one
  // loses each id just before its lookup asks for it. About 140 bytes each.
  static constexpr size_t kGeneration = 16384;

  void Insert(Common::WString key, const Md5Digest& digest) {
    if (young_.size() >= kGeneration) {
      old_ = std::move(young_);
      young_ = {};
    }
    young_.emplace(std::move(key), digest);
  }

  std::mutex mutex_;
  std::unordered_map<Common::WString, Md5Digest> young_;
  std::unordered_map<Common::WString, Md5Digest> old_;
};

}  // namespace

ObjectId MakeObjectId(ObjectKind kind, Common::WStringView path) { return RecentIds::Instance().Get(kind, path); }

void RememberObjectIds(std::span<const ObjectIdRequest> requests) { RecentIds::Instance().Remember(requests); }

bool IsObjectIdRemembered(ObjectKind kind, Common::WStringView path) {
  return RecentIds::Instance().Contains(kind, path);
}

uint64_t CountComputedObjectIds() { return computed; }

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
