#include "service_lib/nsl/FileServiceImpl.h"

#include <random>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/CallFailureLog.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

namespace {

// A version 4 GUID as RFC 4122 lays it out; the verifier is its first 8 bytes.
std::array<uint8_t, 16> RandomGuid() {
  std::random_device random;
  std::array<uint8_t, 16> guid{};
  for (auto& byte : guid) byte = static_cast<uint8_t>(random());
  const uint16_t version = static_cast<uint16_t>(((guid[6] | (guid[7] << 8)) % 4096) + 0x4000);
  guid[6] = static_cast<uint8_t>(version & 0xFF);
  guid[7] = static_cast<uint8_t>(version >> 8);
  guid[8] = static_cast<uint8_t>(guid[8] % 64 + 128);
  return guid;
}

}  // namespace

FileServiceImpl::FileServiceImpl(std::shared_ptr<Server> server, bool asyncWrites)
    : server_(std::move(server)), asyncWrites_(asyncWrites) {
  const auto guid = RandomGuid();
  std::copy(guid.begin(), guid.begin() + 8, writeVerifier_.begin());
}

void FileServiceImpl::FillPostAttributes(const ObjectId& id, post_op_attr& attributes) {
  Common::Trace(kLogChannel, "NSLFile::FillPostAttributes");
  std::shared_ptr<AttributesAccessor> accessor;
  const Common::Error error = server_->GetAttrs(id, accessor);
  if (error.IsFailure()) {
    // The call goes on without them; the failure shares one limit whatever the call.
    LogCallFailure("post-operation attributes", error);
    attributes.attributes_follow = FALSE;
    return;
  }
  attributes.attributes_follow = TRUE;
  FillFileAttributes(*accessor, attributes.post_op_attr_u.attributes);
}

void FileServiceImpl::FillNewObject(const ObjectId& id, post_op_fh3& handle, post_op_attr& attributes) {
  handle.handle_follows = TRUE;
  CopyHandle(id, handle.post_op_fh3_u.handle);
  FillPostAttributes(id, attributes);
}

void FileServiceImpl::GetAttr(const GETATTR3args& args, GETATTR3res& result) {
  const ObjectId object = HandleBytes(args.object);
  Common::Trace(kLogChannel, "NSLFile::GetAttr, handle - {0}", IdText(object));
  std::shared_ptr<AttributesAccessor> accessor;
  Serve(result, [&] { return server_->GetAttrs(object, accessor); },
        [&](GETATTR3resok& ok) { FillFileAttributes(*accessor, ok.obj_attributes); });
}

void FileServiceImpl::SetAttr(const SETATTR3args& args, SETATTR3res& result) {
  const ObjectId object = HandleBytes(args.object);
  Common::Trace(kLogChannel, "NSLFile::SetAttr, handle - {0}", IdText(object));
  Serve(
      result,
      [&] {
        std::shared_ptr<AttributesModifier> modifier;
        const Common::Error found = server_->SetAttrs(object, modifier);
        if (found.IsFailure()) return found;
        // A change the local file system refuses is the call's failure,
        // with the refusal as its cause, as any server operation reports.
        try {
          const sattr3& wanted = args.new_attributes;
          // Permission bits only: set-id and sticky bits from a client never reach the disk.
          if (wanted.mode.set_it) modifier->SetUnixPermissions(wanted.mode.set_mode3_u.mode & 0777);
          // An owner without a group, or the reverse, is not applied.
          if (wanted.uid.set_it && wanted.gid.set_it) {
            modifier->SetUnixOwner(wanted.uid.set_uid3_u.uid, wanted.gid.set_gid3_u.gid);
          }
          if (wanted.size.set_it) modifier->Truncate(wanted.size.set_size3_u.size);
        } catch (const Common::Error& refused) {
          return Common::Error(ErrorCode::SetAttrsFailed,
                               Common::FormatMessage(Messages::SetAttrsFailed, IdText(object)), refused);
        }
        return Common::Error::Success();
      },
      [](SETATTR3resok&) {});
}

void FileServiceImpl::Lookup(const LOOKUP3args& args, LOOKUP3res& result) {
  const ObjectId dir = HandleBytes(args.what.dir);
  const Common::WString name = IncomingString(args.what.name);
  Common::Trace(kLogChannel, "NSLFile::Lookup, dir - {0}, name - {1}", IdText(dir), name);
  ObjectId found;
  Serve(
      result, [&] { return server_->LookupObject(dir, name, found); },
      [&](LOOKUP3resok& ok) {
        CopyHandle(found, ok.object);
        FillPostAttributes(found, ok.obj_attributes);
        ok.dir_attributes.attributes_follow = FALSE;
      },
      // Missing names are the common case of LOOKUP, not worth a log record.
      NoCleanup{}, FailureLog::Skip);
}

void FileServiceImpl::Access(const ACCESS3args& args, ACCESS3res& result) {
  const ObjectId object = HandleBytes(args.object);
  Common::Trace(kLogChannel, "NSLFile::Access, handle - {0}", IdText(object));
  std::shared_ptr<AttributesAccessor> accessor;
  Serve(result, [&] { return server_->GetAttrs(object, accessor); }, [&](ACCESS3resok& ok) {
    ok.obj_attributes.attributes_follow = TRUE;
    FillFileAttributes(*accessor, ok.obj_attributes.post_op_attr_u.attributes);
    ok.access = ComputeAccessBits(*accessor);
  });
}

}  // namespace NFS::NSL
