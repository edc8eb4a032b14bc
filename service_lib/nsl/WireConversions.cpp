#include "service_lib/nsl/WireConversions.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "host/Assertion.h"
#include "server_lib/core/ServerErrors.h"

namespace NFS::NSL {

Common::WString IncomingString(const char* bytes) { return Common::FromUtf8(bytes ? bytes : ""); }

std::string OutgoingString(const Common::WString& text) {
  std::string utf8;
  if (Common::TryToUtf8(text, utf8)) return utf8;
  std::string low;
  low.reserve(text.size());
  for (char16_t unit : text) low.push_back(static_cast<char>(unit & 0xFF));
  return low;
}

ObjectId HandleBytes(const nfs_fh3& handle) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(handle.data.data_val);
  return ObjectId(bytes, bytes + handle.data.data_len);
}

void CopyHandle(const ObjectId& id, nfs_fh3& handle) {
  if (id.empty()) COMMON_ASSERT(!"Invalid handle");
  handle.data.data_len = static_cast<u_int>(id.size());
  handle.data.data_val = static_cast<char*>(std::malloc(id.empty() ? 1 : id.size()));
  if (!id.empty()) std::memcpy(handle.data.data_val, id.data(), id.size());
}

namespace {

// What the local file system said, in the protocol's words.
nfsstat3 MapSystemError(int error) {
  switch (error) {
    case ENOTEMPTY:
      return NFS3ERR_NOTEMPTY;
    case EISDIR:
      return NFS3ERR_ISDIR;
    case ENOTDIR:
      return NFS3ERR_NOTDIR;
    case EACCES:
    case EPERM:
      return NFS3ERR_ACCES;
    case EROFS:
      return NFS3ERR_ROFS;
    case ENOSPC:
      return NFS3ERR_NOSPC;
    case EDQUOT:
      return NFS3ERR_DQUOT;
    case EEXIST:
      return NFS3ERR_EXIST;
    case ENOENT:
      return NFS3ERR_NOENT;
    case ENAMETOOLONG:
      return NFS3ERR_NAMETOOLONG;
    case EXDEV:
      return NFS3ERR_XDEV;
    case EFBIG:
      return NFS3ERR_FBIG;
    // The entry a handle was made for is gone, or its name holds another
    // object now (the local library's descriptor pool tells so).
    case ESTALE:
      return NFS3ERR_STALE;
    default:
      return NFS3ERR_IO;
  }
}

// An I/O failure carries the local library's record below it.
nfsstat3 MapIoError(const Common::Error& ioError) {
  if (!ioError.HasReason()) return NFS3ERR_IO;
  const uint32_t code = ioError.Reason().Code();
  if (code > ErrorCode::LocalSystemError && code < ErrorCode::LocalSystemError + 0x1000) {
    return MapSystemError(static_cast<int>(code - ErrorCode::LocalSystemError));
  }
  if (code == ErrorCode::LocalInvalidName) return NFS3ERR_INVAL;
  // A file handle whose name holds a folder, a link or a device now.
  if (code == ErrorCode::LocalNotRegularFile) return NFS3ERR_STALE;
  return NFS3ERR_IO;
}

}  // namespace

nfsstat3 MapErrorToNfsStatus(const Common::Error& error) {
  const uint32_t code = error.HasReason() ? error.Reason().Code() : 0;
  switch (code) {
    case ErrorCode::InvalidArgument:
    case ErrorCode::InvalidFileName:
      return NFS3ERR_INVAL;
    case ErrorCode::InvalidHandle:
      return NFS3ERR_BADHANDLE;
    case ErrorCode::IoError:
      return MapIoError(error.Reason());
    case ErrorCode::AlreadyExists:
      return NFS3ERR_EXIST;
    case ErrorCode::NotFound:
      return NFS3ERR_NOENT;
    case ErrorCode::ObjectNotFound:
      return NFS3ERR_STALE;
    case ErrorCode::InvalidCookie:
      return NFS3ERR_BAD_COOKIE;
    default:
      COMMON_ASSERT(!"Unsupported error code");
      return NFS3ERR_SERVERFAULT;
  }
}

ftype3 MapObjectType(uint32_t type) {
  switch (type) {
    case ObjectTypeCode::RegularFile:
      return NF3REG;
    case ObjectTypeCode::CharacterDevice:
      return NF3CHR;
    case ObjectTypeCode::BlockDevice:
      return NF3BLK;
    case ObjectTypeCode::Fifo:
      return NF3FIFO;
    case ObjectTypeCode::Socket:
      return NF3SOCK;
    case ObjectTypeCode::SymbolicLink:
      return NF3LNK;
    case ObjectTypeCode::Directory:
      return NF3DIR;
    default:
      COMMON_ASSERT(!"Invalid file type");
      return NF3REG;
  }
}

namespace {

nfstime3 Time(uint64_t milliseconds) {
  return nfstime3{static_cast<uint32>(milliseconds / 1000),
                  static_cast<uint32>((milliseconds % 1000) * 1000000)};
}

}  // namespace

void FillFileAttributes(AttributesAccessor& attributes, fattr3& out) {
  out.type = MapObjectType(attributes.GetType());
  out.mode = attributes.GetMode();
  out.nlink = attributes.GetLinksCount();
  out.uid = attributes.GetUid();
  out.gid = attributes.GetGid();
  out.size = attributes.GetSize();
  out.used = attributes.GetUsedSize();
  const auto device = attributes.GetDevice();
  out.rdev.specdata1 = device.first;
  out.rdev.specdata2 = device.second;
  out.fsid = 0;
  out.fileid = attributes.GetFileId();
  out.atime = Time(attributes.GetAccessTime());
  out.mtime = Time(attributes.GetModifyTime());
  out.ctime = Time(attributes.GetChangeTime());
}

uint32_t ComputeAccessBits(AttributesAccessor& attributes) {
  const uint32_t mode = attributes.GetMode();
  const bool read = (mode & 0x124) != 0;
  const bool write = (mode & 0x92) != 0;
  const bool execute = (mode & 0x49) != 0;
  uint32_t bits = 0;
  if (attributes.GetType() == ObjectTypeCode::Directory) {
    if (read) bits |= ACCESS3_READ;
    if (execute) bits |= ACCESS3_LOOKUP;
    if (write) bits |= ACCESS3_MODIFY | ACCESS3_EXTEND | ACCESS3_DELETE;
  } else {
    if (read) bits |= ACCESS3_READ;
    if (write) bits |= ACCESS3_MODIFY | ACCESS3_EXTEND;
    if (execute) bits |= ACCESS3_EXECUTE;
  }
  return bits;
}

}  // namespace NFS::NSL
