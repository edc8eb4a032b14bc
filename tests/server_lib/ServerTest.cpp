#include <gtest/gtest.h>

#include <cerrno>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>

#include "host/Logging.h"
#include "server_lib/core/Md5CryptBatch.h"
#include "server_lib/server/ServerStatus.h"
#include "tests/server_lib/ServerTestFixture.h"

namespace {

namespace Code = NFS::ErrorCode;
using Chain = std::vector<uint32_t>;

class ServerTest : public TestSupport::ServerTest {
 protected:
  uint64_t MountedClients() {
    NFS::ServerStatus status;
    EXPECT_TRUE(NFS::GetServerStatus(*server_, status).IsSuccess());
    return status.mountedClients;
  }
};

TEST_F(ServerTest, ClientScenarioFromMountToDelete) {
  Common::ScopedLogCapture log;
  NFS::ObjectId mounted;
  ASSERT_TRUE(server_->Mount(u"/share", mounted).IsSuccess());
  EXPECT_EQ(mounted, root_);
  EXPECT_TRUE(log.Contains("Mount(share='/share', client='')=" + Common::ToUtf8(NFS::ObjectIdToString(root_))));
  EXPECT_EQ(log.Texts(Common::kNotice, NFS::kLogChannel), std::vector<std::string>{"Mounting share '/share'."});

  const NFS::ObjectId docs = MakeDir(root_, u"docs");
  EXPECT_EQ(docs, NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/docs"));
  const NFS::ObjectId file = Create(docs, u"a.txt");
  EXPECT_EQ(file, NFS::MakeObjectId(NFS::kFileKind, u"/share/docs/a.txt"));
  EXPECT_TRUE(log.Contains("Create(/share/docs, a.txt)=/share/docs/a.txt"));

  Write(file, 0, "hello ");
  Write(file, 6, "world");
  EXPECT_EQ(Read(file, 0, 100), "hello world");
  EXPECT_EQ(Read(file, 6, 3), "wor");
  EXPECT_TRUE(server_->CommitData(file).IsSuccess());
  std::ifstream onDisk(Local("docs/a.txt"));
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(onDisk), {}), "hello world");

  std::shared_ptr<NFS::AttributesAccessor> attributes;
  ASSERT_TRUE(server_->GetAttrs(file, attributes).IsSuccess());
  EXPECT_EQ(attributes->GetSize(), 11u);
  std::shared_ptr<NFS::AttributesModifier> modifier;
  ASSERT_TRUE(server_->SetAttrs(file, modifier).IsSuccess());
  modifier->Truncate(5);
  EXPECT_EQ(Read(file, 0, 100), "hello");

  EXPECT_EQ(Lookup(docs, u"a.txt"), file);
  EXPECT_TRUE(log.Contains("LookupObject(/share/docs, 'a.txt')=/share/docs/a.txt"));
  ASSERT_TRUE(server_->Rename(docs, u"a.txt", u"b.txt").IsSuccess());
  EXPECT_TRUE(log.Contains("Rename(/share/docs, a.txt => b.txt)"));
  const NFS::ObjectId renamed = Lookup(docs, u"b.txt");
  EXPECT_EQ(Read(renamed, 0, 100), "hello");

  const auto entries = List(docs);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, u"b.txt");
  EXPECT_EQ(entries[0].cookie, 1u);
  EXPECT_EQ(entries[0].id, renamed);

  std::unique_ptr<NFS::FSInfo> info;
  std::unique_ptr<NFS::FSStat> stat;
  EXPECT_TRUE(server_->FsInfo(root_, info).IsSuccess());
  EXPECT_TRUE(server_->FsStat(root_, stat).IsSuccess());
  EXPECT_GT(stat->GetTotalBytes(), 0u);

  ASSERT_TRUE(server_->DeleteFile(docs, u"b.txt").IsSuccess());
  EXPECT_FALSE(std::filesystem::exists(Local("docs/b.txt")));
  ASSERT_TRUE(server_->DeleteDir(root_, u"docs").IsSuccess());
  EXPECT_FALSE(std::filesystem::exists(Local("docs")));
  EXPECT_TRUE(log.Contains("DeleteDir(/share, docs)"));
}

TEST_F(ServerTest, FailuresCarryTheOperationCodeThenTheCause) {
  const NFS::ObjectId file = Create(root_, u"f.txt");
  NFS::ObjectId out;

  NFS::ObjectId shortId(root_.begin(), root_.end() - 1);
  NFS::ObjectId badKind = root_;
  badKind[0] = 3;
  for (const auto& invalid : {shortId, badKind}) {
    const Common::Error error = server_->LookupObject(invalid, u"f.txt", out);
    EXPECT_EQ(Codes(error), (Chain{Code::LookupFailed, Code::InvalidHandle}));
    EXPECT_EQ(error.Message(),
              u"Failed to find the object in the directory (Handle: InvalidHandle; Name: 'f.txt').");
  }
  // A well-formed id nobody handed out, and a file id where a directory belongs.
  const NFS::ObjectId stale = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share/never");
  EXPECT_EQ(Codes(server_->LookupObject(stale, u"x", out)), (Chain{Code::LookupFailed, Code::ObjectNotFound}));
  EXPECT_EQ(Codes(server_->CreateDir(file, u"x", out)), (Chain{Code::CreateDirFailed, Code::ObjectNotFound}));
  std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
  EXPECT_EQ(Codes(server_->ReadDirectory(file, 0, enumerator)),
            (Chain{Code::ReadDirectoryFailed, Code::ObjectNotFound}));
  uint8_t byte = 0;
  uint32_t count = 0;
  EXPECT_EQ(Codes(server_->ReadData(root_, 0, 1, &byte, count)), (Chain{Code::ReadFailed, Code::ObjectNotFound}));

  EXPECT_EQ(Codes(server_->LookupObject(root_, u"missing", out)), (Chain{Code::LookupFailed, Code::NotFound}));
  EXPECT_EQ(Codes(server_->DeleteFile(root_, u"missing")), (Chain{Code::DeleteFileFailed, Code::NotFound}));
  EXPECT_EQ(Codes(server_->Rename(root_, u"missing", u"x")), (Chain{Code::RenameFailed, Code::NotFound}));
  const Common::Error exists = server_->CreateFile(root_, u"f.txt", out);
  EXPECT_EQ(Codes(exists), (Chain{Code::CreateFileFailed, Code::AlreadyExists}));
  EXPECT_EQ(exists.Message(), u"Failed to create a file (Handle: " + NFS::ObjectIdToString(root_) +
                                  u"; Name: 'f.txt').");

  const Common::Error cookie = server_->ReadDirectory(root_, 12345, enumerator);
  EXPECT_EQ(Codes(cookie), (Chain{Code::ReadDirectoryFailed, Code::InvalidCookie}));
  EXPECT_EQ(cookie.Message(), u"Failed to read the directory (Handle: " + NFS::ObjectIdToString(root_) +
                                  u"; Cookie: '12345').");

  // A client name that tries to leave the folder is no entry name: refused.
  EXPECT_EQ(Codes(server_->CreateFile(root_, u"../escape", out)), (Chain{Code::CreateFileFailed, Code::InvalidFileName}));
  EXPECT_FALSE(std::filesystem::exists(temp_.Path() / "escape"));
  EXPECT_EQ(Codes(server_->CreateFile(root_, u"", out)).front(), Code::CreateFileFailed);

  // A local failure keeps the local library's record at the bottom.
  ASSERT_EQ(unlink(Local("f.txt").c_str()), 0);
  const Common::Error read = server_->ReadData(file, 0, 1, &byte, count);
  ASSERT_EQ(Codes(read).size(), 3u);
  EXPECT_EQ(Codes(read)[1], Code::IoError);
  EXPECT_EQ(read.Message(), u"Failed to read data (Handle: " + NFS::ObjectIdToString(file) + u"; Offset: 0; Size: 1).");

  NFS::ShareFilePath byPath{u"share", u"", u"f.txt"};
  const Common::Error deleteByPath = server_->DeleteFile(byPath);
  EXPECT_EQ(Codes(deleteByPath), (Chain{Code::DeleteFileFailed, Code::NotImplemented}));
  EXPECT_EQ(deleteByPath.Message(), u"Failed to delete file 'f.txt'.");
}

TEST(ServerSetupTest, NothingWorksBeforeARootIsSet) {
  auto server = NFS::CreateServer(nullptr);
  NFS::ObjectId id;
  EXPECT_EQ(TestSupport::ChainCodes(server->Mount(u"/share", id)),
            (Chain{Code::MountFailed, Code::ShareNotMounted}));
  EXPECT_EQ(server->Mount(u"/share", id).Reason().Message(), u"Share '/share' is invalid.");
  std::u16string path, share;
  EXPECT_EQ(server->GetRoot(path, share).Code(), Code::NoRoot);
  EXPECT_EQ(TestSupport::ChainCodes(server->SetRoot(u"", u"/share")),
            (Chain{Code::SetRootFailed, Code::InvalidLocalPath}));
  EXPECT_EQ(TestSupport::ChainCodes(server->SetRoot(u"/tmp", u"")),
            (Chain{Code::SetRootFailed, Code::InvalidShareName}));
  // Without a plug-in no virtual file can be registered.
  EXPECT_EQ(TestSupport::ChainCodes(server->AddVirtualFile(u"/share/v", 1, u"mem:x", {})),
            (Chain{Code::AddVirtualFileFailed, Code::InvalidArgument}));
  // A folder that cannot be opened fails the mount inside SetRoot, and
  // exports nothing.
  const Common::Error missing = server->SetRoot(u"/nonexistent/nfs-test-folder", u"/share");
  ASSERT_EQ(TestSupport::ChainCodes(missing).size(), 3u);
  EXPECT_EQ(TestSupport::ChainCodes(missing)[1], Code::MountFailed);
  EXPECT_EQ(server->GetRoot(path, share).Code(), Code::NoRoot);
  EXPECT_EQ(TestSupport::ChainCodes(server->Mount(u"/share", "127.0.0.1", id)),
            (Chain{Code::MountFailed, Code::ShareNotMounted}));
  server->SetContext(nullptr);  // no plug-in: nothing to tell
}

TEST_F(ServerTest, ClientMountsAreRecordsAndTheShareLivesUntilTheNextSetRoot) {
  std::u16string path, share;
  ASSERT_TRUE(server_->GetRoot(path, share).IsSuccess());
  EXPECT_EQ(share, u"/share");
  EXPECT_EQ(path, Common::FromUtf8(ExportPath()));

  NFS::ObjectId id;
  EXPECT_EQ(Codes(server_->Mount(u"/Share", "127.0.0.1", id)), (Chain{Code::MountFailed, Code::ShareNotMounted}));
  EXPECT_EQ(Codes(server_->UnMount(u"/Share", "127.0.0.1")), (Chain{Code::UnmountFailed, Code::ShareNotMounted}));
  EXPECT_EQ(MountedClients(), 0u);

  const NFS::ObjectId dir = MakeDir(root_, u"d");
  // However often a client mounts, it has one record; the host's own mount
  // has none.
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.1", id).IsSuccess());
    EXPECT_EQ(id, root_);
  }
  ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.2", id).IsSuccess());
  ASSERT_TRUE(server_->Mount(u"/share", id).IsSuccess());
  EXPECT_EQ(MountedClients(), 2u);

  // An address without a record releases nothing, however often it asks.
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(server_->UnMount(u"/share", "127.0.0.3").IsSuccess());
  EXPECT_EQ(MountedClients(), 2u);
  // A client releases its own record, once.
  ASSERT_TRUE(server_->UnMount(u"/share", "127.0.0.1").IsSuccess());
  ASSERT_TRUE(server_->UnMount(u"/share", "127.0.0.1").IsSuccess());
  EXPECT_EQ(MountedClients(), 1u);
  ASSERT_TRUE(server_->UnMount(u"/share", "127.0.0.2").IsSuccess());
  EXPECT_EQ(MountedClients(), 0u);

  // With every record gone the share is still exported: the ids handed out
  // before resolve, and the next mount gives the same root.
  std::shared_ptr<NFS::AttributesAccessor> attributes;
  EXPECT_TRUE(server_->GetAttrs(root_, attributes).IsSuccess());
  EXPECT_TRUE(server_->GetAttrs(dir, attributes).IsSuccess());
  EXPECT_EQ(Lookup(root_, u"d"), dir);
  ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.1", id).IsSuccess());
  EXPECT_EQ(id, root_);

  // Setting the same root again changes nothing, records included.
  ASSERT_TRUE(server_->SetRoot(Common::FromUtf8(ExportPath()), u"/share").IsSuccess());
  EXPECT_TRUE(server_->GetAttrs(dir, attributes).IsSuccess());
  EXPECT_EQ(MountedClients(), 1u);

  // A root that cannot be opened leaves the share exported before as it was.
  const Common::Error missing = server_->SetRoot(u"/nonexistent/nfs-test-folder", u"/other");
  EXPECT_EQ(Codes(missing).front(), Code::SetRootFailed);
  ASSERT_TRUE(server_->GetRoot(path, share).IsSuccess());
  EXPECT_EQ(share, u"/share");
  EXPECT_EQ(path, Common::FromUtf8(ExportPath()));
  EXPECT_TRUE(server_->GetAttrs(dir, attributes).IsSuccess());
  EXPECT_EQ(MountedClients(), 1u);

  // A new share name discards every id and every record of the old one.
  ASSERT_TRUE(server_->SetRoot(Common::FromUtf8(ExportPath()), u"/other").IsSuccess());
  EXPECT_EQ(Codes(server_->GetAttrs(dir, attributes)), (Chain{Code::GetAttrsFailed, Code::ObjectNotFound}));
  EXPECT_EQ(MountedClients(), 0u);
  EXPECT_EQ(Codes(server_->Mount(u"/share", "127.0.0.1", id)), (Chain{Code::MountFailed, Code::ShareNotMounted}));
  const NFS::ObjectId otherRoot = NFS::MakeObjectId(NFS::kDirectoryKind, u"/other");
  ASSERT_TRUE(server_->Mount(u"/other", "127.0.0.1", id).IsSuccess());
  EXPECT_EQ(id, otherRoot);
  EXPECT_EQ(Lookup(otherRoot, u"d"), NFS::MakeObjectId(NFS::kDirectoryKind, u"/other/d"));
}

TEST_F(ServerTest, TheExportFolderSwappedForALinkIsNotFollowed) {
  temp_.WriteFile("export/mine.txt", "mine");
  std::filesystem::create_directory(temp_.Path() / "elsewhere");
  temp_.WriteFile("elsewhere/secret", "secret");
  const NFS::ObjectId mine = Lookup(root_, u"mine.txt");

  std::filesystem::rename(ExportPath(), temp_.Path() / "export-moved");
  std::filesystem::create_directory_symlink(temp_.Path() / "elsewhere", ExportPath());

  for (int i = 0; i < 5; ++i) ASSERT_TRUE(server_->UnMount(u"/share", "127.0.0.1").IsSuccess());
  NFS::ObjectId id;
  ASSERT_TRUE(server_->Mount(u"/share", "127.0.0.1", id).IsSuccess());
  EXPECT_EQ(id, root_);
  NFS::ObjectId out;
  EXPECT_EQ(Codes(server_->LookupObject(id, u"secret", out)), (Chain{Code::LookupFailed, Code::NotFound}));
  EXPECT_EQ(Lookup(id, u"mine.txt"), mine);
  EXPECT_EQ(Read(mine, 0, 100), "mine");
  // Changes land in the folder first opened, wherever it now is.
  Create(root_, u"new.txt");
  EXPECT_TRUE(temp_.Exists("export-moved/new.txt"));
  EXPECT_EQ(List(root_).size(), 2u);
  EXPECT_EQ(temp_.ReadFile("elsewhere/secret"), "secret");
  EXPECT_FALSE(temp_.Exists("elsewhere/new.txt"));
}

TEST_F(ServerTest, RenamedOrDeletedDirectoriesTakeTheirCachedIdsAlong) {
  const NFS::ObjectId a = MakeDir(root_, u"a");
  const NFS::ObjectId x = MakeDir(a, u"x");
  const NFS::ObjectId y = Create(x, u"y");
  const NFS::ObjectId ab = MakeDir(root_, u"ab");
  const NFS::ObjectId abFile = Create(ab, u"f");
  std::shared_ptr<NFS::AttributesAccessor> attributes;

  ASSERT_TRUE(server_->Rename(root_, u"a", u"c").IsSuccess());
  for (const auto& gone : {a, x, y}) {
    EXPECT_EQ(Codes(server_->GetAttrs(gone, attributes)), (Chain{Code::GetAttrsFailed, Code::ObjectNotFound}));
  }
  EXPECT_TRUE(server_->GetAttrs(ab, attributes).IsSuccess());
  EXPECT_TRUE(server_->GetAttrs(abFile, attributes).IsSuccess());
  // The moved tree is reachable again under its new path.
  const NFS::ObjectId c = Lookup(root_, u"c");
  const NFS::ObjectId cx = Lookup(c, u"x");
  EXPECT_EQ(Lookup(cx, u"y"), NFS::MakeObjectId(NFS::kFileKind, u"/share/c/x/y"));

  // A folder that is not empty stays, with its content, and the call says
  // so; its cached ids stay too, since nothing changed.
  EXPECT_EQ(Codes(server_->DeleteDir(c, u"x")), (Chain{Code::DeleteDirFailed, Code::IoError, 0x1830000u + ENOTEMPTY}));
  EXPECT_TRUE(std::filesystem::is_regular_file(Local("c/x/y")));
  EXPECT_TRUE(server_->GetAttrs(cx, attributes).IsSuccess());
  const NFS::ObjectId again = Lookup(c, u"x");
  ASSERT_TRUE(server_->DeleteFile(again, u"y").IsSuccess());
  ASSERT_TRUE(server_->DeleteDir(c, u"x").IsSuccess());
  EXPECT_FALSE(std::filesystem::exists(Local("c/x")));
  EXPECT_EQ(Codes(server_->GetAttrs(again, attributes)), (Chain{Code::GetAttrsFailed, Code::ObjectNotFound}));
  EXPECT_TRUE(server_->GetAttrs(c, attributes).IsSuccess());

  // Renaming a file onto an existing name replaces it.
  const NFS::ObjectId one = Create(root_, u"one");
  Write(one, 0, "1");
  Create(root_, u"two");
  ASSERT_TRUE(server_->Rename(root_, u"one", u"two").IsSuccess());
  EXPECT_EQ(Read(Lookup(root_, u"two"), 0, 10), "1");
  EXPECT_EQ(Codes(server_->GetAttrs(one, attributes)), (Chain{Code::GetAttrsFailed, Code::ObjectNotFound}));
}

TEST_F(ServerTest, ShareFilePathOperations) {
  NFS::ShareFilePath path{u"share", u"incoming", u"report.txt"};
  ASSERT_TRUE(server_->CreateFile(path).IsSuccess());
  EXPECT_TRUE(std::filesystem::is_regular_file(Local("incoming/report.txt")));

  bool exists = false;
  ASSERT_TRUE(server_->FileExists(path, exists).IsSuccess());
  EXPECT_TRUE(exists);
  // An empty folder creates in the share root, but is no entry to look in.
  NFS::ShareFilePath atRoot{u"/share", u"", u"top.txt"};
  ASSERT_TRUE(server_->CreateFile(atRoot).IsSuccess());
  EXPECT_TRUE(std::filesystem::is_regular_file(Local("top.txt")));
  EXPECT_EQ(Codes(server_->FileExists(atRoot, exists)), (Chain{Code::FileExistsFailed, Code::NotFound}));
  EXPECT_FALSE(exists);

  NFS::ShareFilePath missing{u"/share", u"incoming", u"none.txt"};
  const Common::Error error = server_->FileExists(missing, exists);
  EXPECT_FALSE(exists);
  EXPECT_EQ(Codes(error), (Chain{Code::FileExistsFailed, Code::LookupFailed, Code::NotFound}));
  EXPECT_EQ(error.Message(), u"Failed to find object 'none.txt'.");

  NFS::ShareFilePath otherShare{u"/elsewhere", u"", u"x"};
  EXPECT_EQ(Codes(server_->FileExists(otherShare, exists)), (Chain{Code::FileExistsFailed, Code::ShareNotMounted}));
  NFS::ShareFilePath noName{u"/share", u"", u""};
  EXPECT_EQ(Codes(server_->CreateFile(noName)), (Chain{Code::CreateFileFailed, Code::InvalidFileName}));
  EXPECT_EQ(Codes(server_->CreateFile(path)), (Chain{Code::CreateFileFailed, Code::CreateFileFailed, Code::AlreadyExists}));
}

// A client reads a listing and then looks every entry up: the listing
// computed their ids in batches, so the lookups compute none.
// Lists a folder the way a client reads a listing, then looks every entry
// up; returns how many ids the lookups computed.
uint64_t ListThenLookUpAll(NFS::Server& server, const NFS::ObjectId& dir, size_t expected,
                           const std::function<NFS::ObjectId(const std::u16string&)>& lookup) {
  std::vector<std::u16string> names;
  {
    const auto lock = NFS::LockOperations(server);
    std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
    EXPECT_TRUE(server.ReadDirectory(dir, 0, enumerator).IsSuccess());
    if (!enumerator) return ~uint64_t{0};
    for (; enumerator->IsValid(); enumerator->Next()) names.push_back(enumerator->GetName());
  }
  EXPECT_EQ(names.size(), expected);
  const uint64_t before = NFS::CountComputedObjectIds();
  for (const auto& name : names) {
    const NFS::ObjectId id = lookup(name);
    EXPECT_EQ(id[0], name == u"sub" ? NFS::kDirectoryKind : NFS::kFileKind);
  }
  return NFS::CountComputedObjectIds() - before;
}

TEST_F(ServerTest, LookupsAfterAListingComputeNoIds) {
  std::filesystem::create_directory(Local("many"));
  for (int i = 0; i < 70; ++i) temp_.WriteFile("export/many/entry-" + std::to_string(i), "");
  std::filesystem::create_directory(Local("many/sub"));
  const NFS::ObjectId many = Lookup(root_, u"many");
  EXPECT_EQ(ListThenLookUpAll(*server_, many, 71, [&](const auto& name) { return Lookup(many, name); }), 0u);
}

// A folder larger than one generation of remembered ids, listed twice: the
// second pass must not lose ids between the listing and its lookups.
TEST_F(ServerTest, ASecondListingOfALargeFolderComputesNoIds) {
  std::filesystem::create_directory(Local("large"));
  for (int i = 0; i < 10000; ++i) std::ofstream(Local("large/entry-" + std::to_string(i)));
  const NFS::ObjectId large = Lookup(root_, u"large");
  const auto lookup = [&](const auto& name) { return Lookup(large, name); };
  EXPECT_EQ(ListThenLookUpAll(*server_, large, 10000, lookup), 0u);
  EXPECT_EQ(ListThenLookUpAll(*server_, large, 10000, lookup), 0u);
}

// Creating and removing a file computes the new path's id once: the
// objects made on the way (the new file, the one removed, the event's) all
// find it remembered.
TEST_F(ServerTest, CreateAndRemoveComputeThePathsIdOnce) {
  const NFS::ObjectId dir = MakeDir(root_, u"pairs");
  Lookup(dir, u".");
  for (int i = 0; i < 3; ++i) {
    const uint64_t before = NFS::CountComputedObjectIds();
    const std::u16string name = u"pair-" + Common::FromUtf8(std::to_string(i));
    Create(dir, name);
    const uint64_t afterCreate = NFS::CountComputedObjectIds();
    EXPECT_EQ(afterCreate - before, 1u) << i;
    ASSERT_TRUE(server_->DeleteFile(dir, name).IsSuccess());
    EXPECT_EQ(NFS::CountComputedObjectIds(), afterCreate) << i;
  }
}

// The attributes that follow a lookup come from the lookup's own stat only
// when nothing ran in between and the file found is the one the cache holds.
TEST_F(ServerTest, AttributesAfterALookupAreNeverOlderThanTheLastOperation) {
  const NFS::ObjectId dir = MakeDir(root_, u"sizes");
  const NFS::ObjectId file = Create(dir, u"grows");
  const auto size = [&] {
    std::shared_ptr<NFS::AttributesAccessor> attributes;
    EXPECT_TRUE(server_->GetAttrs(file, attributes).IsSuccess());
    return attributes ? attributes->GetSize() : ~uint64_t{0};
  };
  EXPECT_EQ(Lookup(dir, u"grows"), file);
  EXPECT_EQ(size(), 0u);
  // An operation between the lookup and the attributes: a fresh stat.
  Lookup(dir, u"grows");
  Write(file, 0, "12345");
  EXPECT_EQ(size(), 5u);
  // The file is open for writing in the cache: the lookup's new object is
  // not the cached one, so its stat is not used either.
  Write(file, 5, "678");
  EXPECT_EQ(Lookup(dir, u"grows"), file);
  EXPECT_EQ(size(), 8u);
  // Attributes asked for twice after one lookup: the second is a new stat.
  EXPECT_EQ(Lookup(dir, u"grows"), file);
  EXPECT_EQ(size(), 8u);
  { std::ofstream(Local("sizes/grows"), std::ios::app) << "9"; }
  EXPECT_EQ(size(), 9u);
}

// A walk looks the entries of a folder up one by one: the first lookup that
// needs a digest computes the others' in the same batch.
TEST_F(ServerTest, ALookupComputesItsFoldersOtherIdsInTheSameBatch) {
  if (NFS::Md5CryptLanes() == 1) GTEST_SKIP() << "no vector digest on this processor";
  std::filesystem::create_directory(Local("walk"));
  for (int i = 0; i < 9; ++i) temp_.WriteFile("export/walk/file-" + std::to_string(i), "");
  std::filesystem::create_directory(Local("walk/sub"));
  const NFS::ObjectId walk = Lookup(root_, u"walk");
  const uint64_t before = NFS::CountComputedObjectIds();
  EXPECT_EQ(Lookup(walk, u"file-0")[0], NFS::kFileKind);
  EXPECT_EQ(NFS::CountComputedObjectIds() - before, 10u);
  for (int i = 1; i < 9; ++i) Lookup(walk, u"file-" + Common::FromUtf8(std::to_string(i)));
  EXPECT_EQ(Lookup(walk, u"sub")[0], NFS::kDirectoryKind);
  EXPECT_EQ(NFS::CountComputedObjectIds() - before, 10u);
}

}  // namespace
