#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/Assertion.h"
#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "service_lib/nsl/FileServiceImpl.h"
#include "service_lib/nsl/WireConversions.h"

namespace NFS::NSL {

namespace {

constexpr uint32_t kReplyBudget = 2048;
// READDIRPLUS3resok without entries and directory attributes.
constexpr uint32_t kHeaderSize = 20;

// An entryplus3 with its list word, without attributes or handle.
uint32_t EntrySize(const std::string& name) {
  return 32 + static_cast<uint32_t>((name.size() + 3) / 4 * 4);
}

uint64_t VerifierValue(const cookieverf3 verifier) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(verifier[i]);
  return value;
}

void StoreVerifier(uint64_t value, cookieverf3 verifier) {
  for (int i = 0; i < 8; ++i) verifier[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

}  // namespace

void FileServiceImpl::ReadDirPlus(const READDIRPLUS3args& args, READDIRPLUS3res& result) {
  const ObjectId dir = HandleBytes(args.dir);
  Common::Trace(kLogChannel, "NSLFile::ReadDirPlus, handle - {0}", IdText(dir));
  const uint64_t enumeratorId = VerifierValue(args.cookieverf);
  COMMON_ASSERT((enumeratorId != 0) == (args.cookie != 0));

  std::shared_ptr<DirEntriesEnumerator> enumerator;
  Serve(
      result, [&] { return server_->ReadDirectory(dir, enumeratorId, enumerator); },
      [&](READDIRPLUS3resok& ok) { FillEntries(args, enumeratorId, *enumerator, ok); },
      [&] { FillPostAttributes(dir, result.READDIRPLUS3res_u.resfail.dir_attributes); });
}

void FileServiceImpl::FillEntries(const READDIRPLUS3args& args, uint64_t enumeratorId, DirEntriesEnumerator& listing,
                                  READDIRPLUS3resok& ok) {
  ok.dir_attributes.attributes_follow = FALSE;
  const uint32_t budget = std::min(args.maxcount, kReplyBudget);
  Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: requested enumerator {0}, cookie {1}.", enumeratorId,
                args.cookie);
  if (enumeratorId != 0) listing.Seek(static_cast<uint32_t>(args.cookie));

  uint32_t total = kHeaderSize;
  Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: requested {0} bytes, header is {1} bytes.", budget, total);
  entryplus3** tail = &ok.reply.entries;
  while (listing.IsValid()) {
    const std::string name = OutgoingString(listing.GetName());
    const uint32_t size = EntrySize(name);
    total += size;
    Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: entry {0} with {1} bytes (total={2})", name, size, total);
    if (total > budget) {
      Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: limit reached.");
      break;
    }
    auto* entry = static_cast<entryplus3*>(std::calloc(1, sizeof(entryplus3)));
    entry->fileid = listing.GetAttributes()->GetFileId();
    entry->name = strdup(name.c_str());
    *tail = entry;
    tail = &entry->nextentry;
    listing.Next();
    entry->cookie = listing.GetCookie();
  }
  StoreVerifier(listing.GetId(), ok.cookieverf);
  if (!listing.IsValid()) {
    Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: end of dir reached.");
    ok.reply.eof = TRUE;
  } else {
    Common::Trace(kLogChannel, "NSLFile::ReadDirPlus: stopping here.");
    ok.reply.eof = FALSE;
  }
}

void FileServiceImpl::FsStat(const FSSTAT3args& args, FSSTAT3res& result) {
  const ObjectId object = HandleBytes(args.fsroot);
  Common::Trace(kLogChannel, "NSLFile::FsStat, handle - {0}", IdText(object));
  std::unique_ptr<NFS::FSStat> stat;
  Serve(result, [&] { return server_->FsStat(object, stat); }, [&](FSSTAT3resok& ok) {
    FillPostAttributes(object, ok.obj_attributes);
    ok.tbytes = stat->GetTotalBytes();
    ok.fbytes = stat->GetFreeBytes();
    ok.abytes = stat->GetAvailableBytes();
    ok.tfiles = stat->GetTotalFiles();
    ok.ffiles = stat->GetFreeFiles();
    ok.afiles = stat->GetAvailableFiles();
    ok.invarsec = 0;
  });
}

void FileServiceImpl::FsInfo(const FSINFO3args& args, FSINFO3res& result) {
  const ObjectId object = HandleBytes(args.fsroot);
  Common::Trace(kLogChannel, "NSLFile::FsInfo, handle - {0}", IdText(object));
  std::unique_ptr<NFS::FSInfo> info;
  Serve(result, [&] { return server_->FsInfo(object, info); }, [](FSINFO3resok& ok) {
    ok.obj_attributes.attributes_follow = FALSE;
    ok.rtmax = ok.rtpref = 32768;
    ok.rtmult = 512;
    ok.wtmax = ok.wtpref = 32768;
    ok.wtmult = 512;
    ok.dtpref = 2048;
    ok.maxfilesize = 0x8000000000000000ULL;
    ok.time_delta = nfstime3{1, 0};
    ok.properties = FSF3_HOMOGENEOUS | FSF3_CANSETTIME;
  });
}

}  // namespace NFS::NSL
