#include "server_lib/core/ObjectId.h"

#include "server_lib/core/Md5Crypt.h"

namespace NFS {

ObjectId MakeObjectId(ObjectKind kind, Common::WStringView path) {
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
