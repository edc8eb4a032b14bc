#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/FileServiceImpl.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

namespace {

constexpr uint32_t kMaxRead = 32768;

}  // namespace

void FileServiceImpl::Read(const READ3args& args, READ3res& result) {
  const ObjectId file = HandleBytes(args.file);
  const uint32_t size = std::min<uint32_t>(args.count, kMaxRead);
  // Handed to the reply as it is; xdr_free releases it.
  auto* buffer = static_cast<char*>(std::calloc(size == 0 ? 1 : size, 1));
  auto guard = Lock();
  uint32_t count = 0;
  const Common::Error error =
      server_->ReadData(file, args.offset, size, reinterpret_cast<uint8_t*>(buffer), count);
  if (error.IsFailure()) {
    std::free(buffer);
    Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
    result.READ3res_u.resfail.file_attributes.attributes_follow = FALSE;
    return;
  }
  result.status = NFS3_OK;
  READ3resok& ok = result.READ3res_u.resok;
  ok.file_attributes.attributes_follow = FALSE;
  ok.count = count;
  ok.eof = count != args.count;
  if (count == 0) {
    std::free(buffer);
    buffer = nullptr;
  }
  ok.data.data_len = count;
  ok.data.data_val = buffer;
}

void FileServiceImpl::Write(const WRITE3args& args, WRITE3res& result) {
  const ObjectId file = HandleBytes(args.file);
  const uint32_t size = std::min<uint32_t>(args.data.data_len, args.count);
  Common::Trace(kLogChannel, "NSLFile::Write, file - {0}, offset - {1}, size - {2}", IdText(file),
                args.offset, size);
  auto guard = Lock();
  uint32_t written = 0;
  const Common::Error error = server_->WriteData(file, args.offset, size,
                                                 reinterpret_cast<const uint8_t*>(args.data.data_val), written);
  if (error.IsFailure()) {
    Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
    return;
  }
  result.status = NFS3_OK;
  WRITE3resok& ok = result.WRITE3res_u.resok;
  ok.count = written;
  // Writes reach the operating system before the reply: an unstable request
  // is answered as data-synchronous.
  ok.committed = args.stable == FILE_SYNC ? FILE_SYNC : DATA_SYNC;
  std::memcpy(ok.verf, GetWriteVerifier().data(), sizeof ok.verf);
}

void FileServiceImpl::Commit(const COMMIT3args& args, COMMIT3res& result) {
  const ObjectId file = HandleBytes(args.file);
  Common::Trace(kLogChannel, "NSLFile::Commit, handle - {0}", IdText(file));
  auto guard = Lock();
  const Common::Error error = server_->CommitData(file);
  if (error.IsFailure()) {
    Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
    return;
  }
  result.status = NFS3_OK;
  std::memcpy(result.COMMIT3res_u.resok.verf, GetWriteVerifier().data(), NFS3_WRITEVERFSIZE);
}

void FileServiceImpl::Create(const CREATE3args& args, CREATE3res& result) {
  const ObjectId dir = HandleBytes(args.where.dir);
  const Common::WString name = IncomingString(args.where.name);
  const auto dirText = IdText(dir);
  Common::Trace(kLogChannel, "NSLFile::Create, dir - {0}, name - {1}, mode - {2}", dirText, name,
                static_cast<int>(args.how.mode));
  if (args.how.mode > GUARDED) {
    Common::Trace(kLogChannel,
                  "NSLFile::Create: can't create file (dir - {0}, name - {1}) by unsupported mode reason",
                  dirText, name);
    result.status = NFS3ERR_NOTSUPP;
    return;
  }
  auto guard = Lock();
  if (args.how.mode == UNCHECKED) {
    ObjectId existing;
    const Common::Error lookup = server_->LookupObject(dir, name, existing);
    if (lookup.IsSuccess()) {
      Common::Trace(kLogChannel,
                    "NSLFile::Create: not fully supported request when a file already exists (dir - {0}, name - {1})",
                    dirText, name);
      result.status = NFS3ERR_NOTSUPP;
      return;
    }
    if (!Common::ContainsCode(lookup, ErrorCode::NotFound)) {
      Common::Log(Common::kFailure, kLogChannel, lookup);
      result.status = MapErrorToNfsStatus(lookup);
      return;
    }
  }
  ObjectId created;
  const Common::Error error = server_->CreateFile(dir, name, created);
  if (error.IsFailure()) {
    Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
    return;
  }
  result.status = NFS3_OK;
  FillNewObject(created, result.CREATE3res_u.resok.obj, result.CREATE3res_u.resok.obj_attributes);
}

void FileServiceImpl::MkDir(const MKDIR3args& args, MKDIR3res& result) {
  const ObjectId dir = HandleBytes(args.where.dir);
  const Common::WString name = IncomingString(args.where.name);
  Common::Trace(kLogChannel, "NSLFile::MkDir, dir - {0}, name - {1}", IdText(dir), name);
  auto guard = Lock();
  ObjectId created;
  const Common::Error error = server_->CreateDir(dir, name, created);
  if (error.IsFailure()) {
    Common::Log(Common::kFailure, kLogChannel, error);
    result.status = MapErrorToNfsStatus(error);
    return;
  }
  result.status = NFS3_OK;
  FillNewObject(created, result.MKDIR3res_u.resok.obj, result.MKDIR3res_u.resok.obj_attributes);
}

void FileServiceImpl::Remove(const REMOVE3args& args, REMOVE3res& result) {
  const ObjectId dir = HandleBytes(args.object.dir);
  const Common::WString name = IncomingString(args.object.name);
  Common::Trace(kLogChannel, "NSLFile::Remove, dir - {0}, name - {1}", IdText(dir), name);
  auto guard = Lock();
  const Common::Error error = server_->DeleteFile(dir, name);
  if (error.IsFailure()) Common::Log(Common::kFailure, kLogChannel, error);
  result.status = error.IsFailure() ? MapErrorToNfsStatus(error) : NFS3_OK;
}

void FileServiceImpl::RmDir(const RMDIR3args& args, RMDIR3res& result) {
  const ObjectId dir = HandleBytes(args.object.dir);
  const Common::WString name = IncomingString(args.object.name);
  Common::Trace(kLogChannel, "NSLFile::RmDir, dir - {0}, name - {1}", IdText(dir), name);
  auto guard = Lock();
  const Common::Error error = server_->DeleteDir(dir, name);
  if (error.IsFailure()) Common::Log(Common::kFailure, kLogChannel, error);
  result.status = error.IsFailure() ? MapErrorToNfsStatus(error) : NFS3_OK;
}

void FileServiceImpl::Rename(const RENAME3args& args, RENAME3res& result) {
  const ObjectId fromDir = HandleBytes(args.from.dir);
  const ObjectId toDir = HandleBytes(args.to.dir);
  const Common::WString fromName = IncomingString(args.from.name);
  const Common::WString toName = IncomingString(args.to.name);
  Common::Trace(kLogChannel, "NSLFile::Rename, from dir - {0}, name - {1} to dir - {2}, name - {3}",
                IdText(fromDir), fromName, IdText(toDir), toName);
  if (fromDir != toDir) {
    result.status = NFS3ERR_NOTSUPP;
    return;
  }
  auto guard = Lock();
  const Common::Error error = server_->Rename(fromDir, fromName, toName);
  if (error.IsFailure()) Common::Log(Common::kFailure, kLogChannel, error);
  result.status = error.IsFailure() ? MapErrorToNfsStatus(error) : NFS3_OK;
}

}  // namespace NFS::NSL
