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
  uint32_t count = 0;
  Serve(
      result,
      [&] { return server_->ReadData(file, args.offset, size, reinterpret_cast<uint8_t*>(buffer), count); },
      [&](READ3resok& ok) {
        ok.file_attributes.attributes_follow = FALSE;
        ok.count = count;
        // Only a short read says the file ended: a request above the
        // largest transfer is cut to it, and that cut is no end of file.
        ok.eof = count < size;
        if (count == 0) {
          std::free(buffer);
          buffer = nullptr;
        }
        ok.data.data_len = count;
        ok.data.data_val = buffer;
      },
      [&] { std::free(buffer); });
}

void FileServiceImpl::Write(const WRITE3args& args, WRITE3res& result) {
  const ObjectId file = HandleBytes(args.file);
  const uint32_t size = std::min<uint32_t>(args.data.data_len, args.count);
  Common::Trace(kLogChannel, "NSLFile::Write, file - {0}, offset - {1}, size - {2}", IdText(file),
                args.offset, size);
  uint32_t written = 0;
  // A stable request is on the disk before its answer, so a failed flush
  // fails the call; an unstable one stays with the operating system until
  // COMMIT. Asynchronous writes, an operator's choice, flush nothing and
  // answer every write as stable.
  const bool unstable = args.stable == UNSTABLE && !asyncWrites_;
  const bool flush = args.stable != UNSTABLE && !asyncWrites_;
  Serve(
      result,
      [&] {
        const Common::Error error = server_->WriteData(
            file, args.offset, size, reinterpret_cast<const uint8_t*>(args.data.data_val), written);
        if (error.IsFailure() || !flush) return error;
        return server_->CommitData(file);
      },
      [&](WRITE3resok& ok) {
        ok.count = written;
        ok.committed = unstable ? UNSTABLE : args.stable == FILE_SYNC ? FILE_SYNC : DATA_SYNC;
        std::memcpy(ok.verf, GetWriteVerifier().data(), sizeof ok.verf);
      });
}

void FileServiceImpl::Commit(const COMMIT3args& args, COMMIT3res& result) {
  const ObjectId file = HandleBytes(args.file);
  Common::Trace(kLogChannel, "NSLFile::Commit, handle - {0}", IdText(file));
  Serve(result, [&] { return server_->CommitData(file); },
        [&](COMMIT3resok& ok) { std::memcpy(ok.verf, GetWriteVerifier().data(), NFS3_WRITEVERFSIZE); });
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
  ObjectId created;
  // An existing name is refused before anything is created; the locks are
  // held from that look-up to the creation.
  bool exists = false;
  Serve(
      result,
      [&] {
        if (args.how.mode == UNCHECKED) {
          ObjectId existing;
          const Common::Error lookup = server_->LookupObject(dir, name, existing);
          exists = lookup.IsSuccess();
          if (exists) return Common::Error();
          if (!Common::ContainsCode(lookup, ErrorCode::NotFound)) return lookup;
        }
        return server_->CreateFile(dir, name, created);
      },
      [&](CREATE3resok& ok) {
        if (exists) {
          Common::Trace(kLogChannel,
                        "NSLFile::Create: not fully supported request when a file already exists (dir - {0}, "
                        "name - {1})",
                        dirText, name);
          result.status = NFS3ERR_NOTSUPP;
          return;
        }
        FillNewObject(created, ok.obj, ok.obj_attributes);
      });
}

void FileServiceImpl::MkDir(const MKDIR3args& args, MKDIR3res& result) {
  const ObjectId dir = HandleBytes(args.where.dir);
  const Common::WString name = IncomingString(args.where.name);
  Common::Trace(kLogChannel, "NSLFile::MkDir, dir - {0}, name - {1}", IdText(dir), name);
  ObjectId created;
  Serve(result, [&] { return server_->CreateDir(dir, name, created); },
        [&](MKDIR3resok& ok) { FillNewObject(created, ok.obj, ok.obj_attributes); });
}

void FileServiceImpl::Remove(const REMOVE3args& args, REMOVE3res& result) {
  const ObjectId dir = HandleBytes(args.object.dir);
  const Common::WString name = IncomingString(args.object.name);
  Common::Trace(kLogChannel, "NSLFile::Remove, dir - {0}, name - {1}", IdText(dir), name);
  Serve(result, [&] { return server_->DeleteFile(dir, name); }, [](REMOVE3resok&) {});
}

void FileServiceImpl::RmDir(const RMDIR3args& args, RMDIR3res& result) {
  const ObjectId dir = HandleBytes(args.object.dir);
  const Common::WString name = IncomingString(args.object.name);
  Common::Trace(kLogChannel, "NSLFile::RmDir, dir - {0}, name - {1}", IdText(dir), name);
  Serve(result, [&] { return server_->DeleteDir(dir, name); }, [](RMDIR3resok&) {});
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
  Serve(result, [&] { return server_->Rename(fromDir, fromName, toName); }, [](RENAME3resok&) {});
}

}  // namespace NFS::NSL
