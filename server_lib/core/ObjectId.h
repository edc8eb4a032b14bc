#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/Messages.h"
#include "host/Strings.h"

namespace NFS {

// 17 bytes naming one exported object: the kind, then the MD5-crypt digest of
// the object's path. Equal paths and kinds give equal ids across restarts.
using ObjectId = std::vector<uint8_t>;

enum ObjectKind : uint8_t { kInvalidKind = 0, kDirectoryKind = 1, kFileKind = 2 };

inline constexpr size_t kObjectIdSize = 17;

ObjectId MakeObjectId(ObjectKind kind, Common::WStringView path);

// One path whose id is about to be asked for.
struct ObjectIdRequest {
  ObjectKind kind;
  Common::WString path;
};

// Computes, several at a time, the ids of these paths that are not
// remembered yet, so that MakeObjectId finds them without a digest of its
// own (a listing's entries are looked up one by one right after it).
void RememberObjectIds(std::span<const ObjectIdRequest> requests);

// Whether the id of this path is remembered (no digest needed to make it).
bool IsObjectIdRemembered(ObjectKind kind, Common::WStringView path);

// How many ids have been computed so far (each a digest), in batches or not.
uint64_t CountComputedObjectIds();

bool IsValidObjectId(const ObjectId& id);

// 0 for a vector that is not 17 bytes long.
ObjectKind GetObjectKind(const ObjectId& id);

// 34 upper-case hex digits, or "InvalidHandle".
Common::WString ObjectIdToString(const ObjectId& id);

// The text form as a message argument, made only if the text is formatted.
inline auto IdText(const ObjectId& id) {
  return Common::Lazy([&id] { return ObjectIdToString(id); });
}

}  // namespace NFS
