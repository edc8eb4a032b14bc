#include <gtest/gtest.h>

#include <cerrno>

#include "host/Assertion.h"
#include "host/Logging.h"
#include "server_lib/virtual/VirtualFilesProvider.h"
#include "tests/server_lib/ServerTestFixture.h"

namespace {

namespace Code = NFS::ErrorCode;
using Chain = std::vector<uint32_t>;

class VirtualFilesTest : public TestSupport::ServerTest {
 protected:
  void AddVirtual(const std::u16string& path, uint64_t size, const std::u16string& uri) {
    const Common::Error error = server_->AddVirtualFile(path, size, uri, {});
    ASSERT_TRUE(error.IsSuccess()) << error.Describe();
  }
};

TEST_F(VirtualFilesTest, MixedListingsAndLookups) {
  temp_.WriteFile("export/l1", "local one");
  temp_.WriteFile("export/l2", "local two");
  temp_.WriteFile("export/same", "local same");
  plugin_->SetContent("v", "virtual bytes");
  AddVirtual(u"/share/v1", 13, u"mem:v");
  AddVirtual(u"/share/same", 13, u"mem:v");

  // A local entry hides the virtual one of the same name.
  const NFS::ObjectId same = Lookup(root_, u"same");
  EXPECT_EQ(Read(same, 0, 100), "local same");
  const NFS::ObjectId v1 = Lookup(root_, u"v1");
  EXPECT_EQ(v1, NFS::MakeObjectId(NFS::kFileKind, u"/share/v1"));

  uint64_t verifier = 0;
  const auto entries = List(root_, &verifier);
  ASSERT_EQ(entries.size(), 5u);
  std::vector<uint32_t> cookies;
  for (const auto& entry : entries) cookies.push_back(entry.cookie);
  EXPECT_EQ(cookies, (std::vector<uint32_t>{1, 2, 1000000, 1000001, 1000002}));
  EXPECT_EQ(entries[3].name, u"same");  // virtual entries in name order, after the local ones
  EXPECT_EQ(entries[4].name, u"v1");
  EXPECT_EQ(entries[4].id, v1);

  // A follow-up request finds the enumerator by its verifier and resumes at
  // the cookie the previous reply ended on, on either side.
  auto resume = [&](int entriesSent) {
    std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
    EXPECT_TRUE(server_->ReadDirectory(root_, 0, enumerator).IsSuccess());
    for (int i = 0; i < entriesSent; ++i) enumerator->Next();
    const uint32_t cookie = enumerator->GetCookie();
    std::shared_ptr<NFS::DirEntriesEnumerator> again;
    EXPECT_TRUE(server_->ReadDirectory(root_, enumerator->GetId(), again).IsSuccess());
    again->Seek(cookie);
    std::vector<std::u16string> rest;
    for (; again->IsValid(); again->Next()) rest.push_back(again->GetName());
    return rest;
  };
  EXPECT_EQ(resume(2), (std::vector<std::u16string>{entries[2].name, u"same", u"v1"}));
  EXPECT_EQ(resume(4), std::vector<std::u16string>{u"v1"});
  EXPECT_NE(verifier, 0u);

  // Deleting a name present on both sides takes the local one first.
  ASSERT_TRUE(server_->DeleteFile(root_, u"same").IsSuccess());
  EXPECT_FALSE(temp_.Exists("export/same"));
  EXPECT_EQ(Read(Lookup(root_, u"same"), 0, 100), "virtual bytes");
  ASSERT_TRUE(server_->DeleteFile(root_, u"same").IsSuccess());
  NFS::ObjectId out;
  EXPECT_EQ(Codes(server_->LookupObject(root_, u"same", out)), (Chain{Code::LookupFailed, Code::NotFound}));

  // New files always go to the local side; virtual ones cannot be renamed.
  Create(root_, u"fresh");
  EXPECT_TRUE(temp_.Exists("export/fresh"));
  EXPECT_EQ(Codes(server_->Rename(root_, u"v1", u"v2")), (Chain{Code::RenameFailed, Code::IoError, 0x1830000u + EACCES}));
  EXPECT_EQ(Lookup(root_, u"v1"), v1);
  EXPECT_EQ(Codes(server_->LookupObject(root_, u"v2", out)), (Chain{Code::LookupFailed, Code::NotFound}));
}

TEST_F(VirtualFilesTest, ContentOpensAtFirstAccessAndFollowsItsPlugin) {
  std::filesystem::create_directory(Local("dir"));
  plugin_->SetContent("data", "0123456789");
  AddVirtual(u"/share/dir/data.bin", 10, u"mem:data");
  AddVirtual(u"/share/dir/broken.bin", 5, u"mem:broken");
  EXPECT_EQ(plugin_->OpenCount(), 0);

  const NFS::ObjectId dir = Lookup(root_, u"dir");
  const NFS::ObjectId data = Lookup(dir, u"data.bin");
  std::shared_ptr<NFS::AttributesAccessor> attributes;
  ASSERT_TRUE(server_->GetAttrs(data, attributes).IsSuccess());
  EXPECT_EQ(attributes->GetType(), NFS::ObjectTypeCode::RegularFile);
  EXPECT_EQ(attributes->GetMode(), 0666u);
  EXPECT_EQ(attributes->GetSize(), 10u);
  EXPECT_EQ(attributes->GetUsedSize(), 10u);
  EXPECT_EQ(attributes->GetLinksCount(), 1u);
  EXPECT_EQ(attributes->GetAccessTime(), attributes->GetModifyTime());
  EXPECT_EQ(attributes->GetModifyTime(), attributes->GetChangeTime());
  EXPECT_EQ(plugin_->OpenCount(), 0);

  EXPECT_EQ(Read(data, 2, 3), "234");
  EXPECT_EQ(Read(data, 5, 10), "56789");
  EXPECT_EQ(plugin_->OpenCount(), 1);
  Write(data, 0, "AB");
  EXPECT_EQ(plugin_->GetContent("data"), "AB23456789");
  ASSERT_TRUE(server_->GetAttrs(data, attributes).IsSuccess());
  EXPECT_EQ(attributes->GetSize(), 10u);  // the registered size never changes
  EXPECT_TRUE(server_->CommitData(data).IsSuccess());

  std::shared_ptr<NFS::AttributesModifier> modifier;
  ASSERT_TRUE(server_->SetAttrs(data, modifier).IsSuccess());
  modifier->SetUnixPermissions(0777);
  modifier->Truncate(0);
  EXPECT_EQ(attributes->GetMode(), 0555u);
  EXPECT_EQ(attributes->GetSize(), 10u);

  // Accepted at registration, failing at first access, and again at the next.
  const NFS::ObjectId broken = Lookup(dir, u"broken.bin");
  uint8_t buffer[4];
  uint32_t count = 0;
  const int opensBefore = plugin_->OpenCount();
  EXPECT_EQ(Codes(server_->ReadData(broken, 0, 4, buffer, count)),
            (Chain{Code::ReadFailed, Code::IoError, 0x7770001}));
  EXPECT_EQ(Codes(server_->ReadData(broken, 0, 4, buffer, count)).front(), Code::ReadFailed);
  EXPECT_EQ(plugin_->OpenCount(), opensBefore + 2);  // each access tries to open again

  // Control requests reach the content.
  std::vector<uint8_t> request = {1, 2, 3};
  ASSERT_TRUE(server_->ControlVirtualFile(u"/share/dir/data.bin", request).IsSuccess());
  EXPECT_EQ(request, (std::vector<uint8_t>{3, 2, 1}));
  std::vector<uint8_t> empty;
  EXPECT_EQ(Codes(server_->ControlVirtualFile(u"/share/dir/data.bin", empty)),
            (Chain{Code::ControlVirtualFileFailed, Code::IoError, 0x7770001}));
  EXPECT_EQ(Codes(server_->ControlVirtualFile(u"/share/dir/none", request)),
            (Chain{Code::ControlVirtualFileFailed, Code::NotFound}));
}

TEST_F(VirtualFilesTest, RegistrationFailuresAndDeletion) {
  Common::ScopedLogCapture log;
  const Common::Error noPlugin = server_->AddVirtualFile(u"/share/x", 1, u"http://x", {});
  EXPECT_EQ(Codes(noPlugin), (Chain{Code::AddVirtualFileFailed, Code::NoPlugin}));
  EXPECT_EQ(noPlugin.Message(), u"Failed to register virtual file '/share/x' of 1 as 'http://x'.");
  EXPECT_EQ(noPlugin.Reason().Message(), u"No registered plug-ins that can process URI 'http://x'.");

  AddVirtual(u"/share/x", 4, u"mem:a");
  EXPECT_TRUE(log.Contains("Adding virtual file '/share/x' using 'mem:a'."));
  const Common::Error twice = server_->AddVirtualFile(u"/share/x", 99, u"mem:b", {});
  EXPECT_EQ(Codes(twice), (Chain{Code::AddVirtualFileFailed, Code::AlreadyExists}));
  EXPECT_EQ(twice.Reason().Message(), u"Virtual file 'x' in folder '/share' is already registered.");
  AddVirtual(u"/share/X", 5, u"mem:a");  // case matters

  const NFS::ObjectId x = Lookup(root_, u"x");
  std::shared_ptr<NFS::AttributesAccessor> attributes;
  ASSERT_TRUE(server_->GetAttrs(x, attributes).IsSuccess());
  EXPECT_EQ(attributes->GetSize(), 4u);

  ASSERT_TRUE(server_->DeleteVirtualFile(u"/share/x").IsSuccess());
  EXPECT_TRUE(log.Contains("Deleting virtual file '/share/x'."));
  EXPECT_EQ(Codes(server_->GetAttrs(x, attributes)), (Chain{Code::GetAttrsFailed, Code::ObjectNotFound}));
  const Common::Error again = server_->DeleteVirtualFile(u"/share/x");
  EXPECT_EQ(Codes(again), (Chain{Code::DeleteVirtualFileFailed, Code::NotFound}));
  EXPECT_EQ(again.Reason().Message(), u"Virtual file 'x' in folder '/share' is not registered.");
  EXPECT_TRUE(log.Contains("The virtual file referenced by '/share/x' has been removed."));
  EXPECT_EQ(Lookup(root_, u"X"), NFS::MakeObjectId(NFS::kFileKind, u"/share/X"));
}

TEST(VirtualFilesProviderTest, FoldersListInNameOrderAndShareTheirLiveMap) {
  auto plugin = std::make_shared<TestSupport::MemoryPlugin>();
  auto provider = NFS::CreateVirtualFilesProvider(plugin);
  provider->AddVirtualFile(u"/share/a/y", 1, u"mem:y", {});
  provider->AddVirtualFile(u"/share/a/x", 1, u"mem:x", {});
  auto folder = provider->GetMixinDirectory(u"/share/a");
  ASSERT_TRUE(folder);
  EXPECT_FALSE(provider->GetMixinDirectory(u"/share/A"));

  auto names = [&] {
    std::vector<std::u16string> listed;
    auto enumerator = folder->GetEnumerator(0);
    for (; enumerator->IsValid(); enumerator->Next()) listed.push_back(enumerator->GetName());
    return listed;
  };
  EXPECT_EQ(names(), (std::vector<std::u16string>{u"x", u"y"}));
  provider->DeleteVirtualFile(u"/share/a/x");
  EXPECT_EQ(names(), std::vector<std::u16string>{u"y"});

  EXPECT_FALSE(folder->Lookup(u"."));
  EXPECT_FALSE(folder->Lookup(u".."));
  EXPECT_THROW(folder->DeleteDir(u"y"), Common::Error);
  {
    Common::ScopedAssertionCapture assertions;
    EXPECT_FALSE(folder->GetFSStat());
    // Nothing can be made in a folder of virtual files only: the client is told.
    EXPECT_THROW(folder->CreateFile(u"z"), Common::Error);
    EXPECT_EQ(assertions.Reports().size(), 1u);
    EXPECT_NE(assertions.Reports()[0].find("!\"Should never be called.\""), std::string::npos);
  }

  // A delete in a folder never used fails but leaves an empty folder behind.
  EXPECT_THROW(provider->DeleteVirtualFile(u"/share/b/z"), Common::Error);
  auto empty = provider->GetMixinDirectory(u"/share/b");
  ASSERT_TRUE(empty);
  EXPECT_FALSE(empty->GetEnumerator(0)->IsValid());

  // A path without "/" is its own folder and name.
  NFS::ObjectId unused;
  std::u16string folderPath, name;
  NFS::SplitVirtualPath(u"file.bin", folderPath, name);
  EXPECT_EQ(folderPath, u"file.bin");
  EXPECT_EQ(name, u"file.bin");
  NFS::SplitVirtualPath(u"/file.bin", folderPath, name);
  EXPECT_EQ(folderPath, u"");
  EXPECT_EQ(name, u"file.bin");
}

}  // namespace
