#pragma once

#include <cstdint>
#include <string>

#include <service_lib/protocol/nfs3.h>

#include "host/Error.h"
#include "host/Strings.h"
#include "server_lib/core/ObjectId.h"
#include "server_lib/objects/Attributes.h"

namespace NFS::NSL {

// Names arrive as bytes: UTF-8 when well formed, else one character per byte.
Common::WString IncomingString(const char* bytes);
// Names leave as UTF-8, or, when the text cannot be encoded, low bytes.
std::string OutgoingString(const Common::WString& text);

ObjectId HandleBytes(const nfs_fh3& handle);
// A heap copy that xdr_free releases.
void CopyHandle(const ObjectId& id, nfs_fh3& handle);

nfsstat3 MapErrorToNfsStatus(const Common::Error& error);
ftype3 MapObjectType(uint32_t type);
void FillFileAttributes(AttributesAccessor& attributes, fattr3& out);
uint32_t ComputeAccessBits(AttributesAccessor& attributes);

}  // namespace NFS::NSL
