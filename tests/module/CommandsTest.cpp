#include <gtest/gtest.h>

#include <filesystem>

#include "tests/module/ModuleFixture.h"
#include "tests/support/TempDir.h"

namespace {

constexpr uint32_t kStartServerFailed = 0x1820031;
constexpr uint32_t kInvalidArgument = 0x1820001;

Core::Record StartRequest(const std::string& path, const std::u16string& share) {
  Core::Record request("NFS::StartServerRequest");
  if (!path.empty()) request.Set("LocalPath", Common::FromUtf8(path));
  if (!share.empty()) request.Set("ShareName", share);
  return request;
}

std::vector<uint32_t> Codes(const Common::Error& error) {
  std::vector<uint32_t> codes;
  for (const Common::Error* e = &error; e->IsFailure(); e = &e->Reason()) codes.push_back(e->Code());
  return codes;
}

class CommandsTest : public TestSupport::HostedModuleTest {
 protected:
  void SetUp() override { LoadHost(true); }

  bool Exists(const std::u16string& share, const std::u16string& path) {
    Core::Record request("NFS::FileExistsRequest");
    request.Set("ShareName", share);
    request.Set("FilePath", path);
    try {
      return Run("NFS::FileExistsCommand", request).Get<bool>("Exists");
    } catch (const Common::Error&) {
      return false;
    }
  }

  TestSupport::TempDir temp_;
};

TEST_F(CommandsTest, StartServerValidatesCreatesAndExports) {
  // Neither field: the local path is reported, not the share name.
  const Common::Error none = Failure("NFS::StartServerCommand", StartRequest("", u""));
  EXPECT_EQ(Codes(none), (std::vector<uint32_t>{kStartServerFailed, kInvalidArgument}));
  EXPECT_EQ(none.Message(), u"Failed to start the NFS server.");
  EXPECT_EQ(none.Reason().Message(), u"The specified local path is invalid.");
  const Common::Error noShare = Failure("NFS::StartServerCommand", StartRequest("/tmp", u""));
  EXPECT_EQ(noShare.Reason().Message(), u"The specified share name is invalid.");

  // Share names that could be read two ways are refused, saying why;
  // nothing starts and nothing is exported under them.
  const std::vector<std::pair<std::u16string, std::u16string>> refused = {
      {u"//x", u"empty component"},   {u"/x/", u"empty component"}, {u"/", u"empty component"},
      {u"/a//b", u"empty component"}, {u"/.", u"\".\" or \"..\""},     {u"/a/../b", u"\".\" or \"..\""},
      {u"..", u"\".\" or \"..\""},     {u"/a\\b", u"backslash"},       {u"/" + std::u16string(255, u'n'), u"255 bytes"},
  };
  for (const auto& [name, rule] : refused) {
    const Common::Error error = Failure("NFS::StartServerCommand", StartRequest(temp_.PathString(), name));
    EXPECT_EQ(Codes(error), (std::vector<uint32_t>{kStartServerFailed, kInvalidArgument})) << Common::ToUtf8(name);
    EXPECT_NE(error.Reason().Message().find(rule), std::u16string::npos) << Common::ToUtf8(error.Reason().Message());
  }

  // A folder whose parents do not exist yet; twice with the same values.
  const std::string deep = (temp_.Path() / "a" / "b" / "c").string();
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(deep, u"/share")).IsSuccess());
  EXPECT_TRUE(std::filesystem::is_directory(deep));
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(deep, u"/share")).IsSuccess());
  std::filesystem::create_directory(deep + "/docs");
  temp_.WriteFile("a/b/c/docs/report.txt", "r");
  EXPECT_TRUE(Exists(u"/share", u"docs/report.txt"));

  // Exported again under a new name: the old one is gone.
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(deep, u"/renamed")).IsSuccess());
  EXPECT_TRUE(Exists(u"/renamed", u"docs/report.txt"));
  EXPECT_FALSE(Exists(u"/share", u"docs/report.txt"));
  // Nested names are fine.
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(deep, u"/exports/a")).IsSuccess());
  EXPECT_TRUE(Exists(u"/exports/a", u"docs/report.txt"));

  // A folder that cannot be made.
  temp_.WriteFile("plainfile", "");
  const Common::Error blocked =
      Failure("NFS::StartServerCommand", StartRequest((temp_.Path() / "plainfile" / "sub").string(), u"/share"));
  ASSERT_EQ(Codes(blocked).size(), 2u);
  EXPECT_EQ(Codes(blocked)[0], kStartServerFailed);
}

TEST_F(CommandsTest, VirtualFilesAndFileExistsThroughTheCommands) {
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(temp_.PathString(), u"/share")).IsSuccess());

  Core::Record create("NFS::CreateVirtualFileRequest");
  // FileExists looks in a folder of the share root; virtual files show in
  // the local folder of the same path.
  std::filesystem::create_directories(temp_.Path() / "v");
  create.Set("NetworkPath", std::u16string(u"/share/v/virtual.bin"));
  create.Set("SourceUri", std::u16string(u"mem:hello"));
  create.Set("Size", uint64_t{17});
  ASSERT_TRUE(Failure("NFS::CreateVirtualFileCommand", create).IsSuccess());
  EXPECT_TRUE(Exists(u"/share", u"v/virtual.bin"));
  EXPECT_EQ(Codes(Failure("NFS::CreateVirtualFileCommand", create)),
            (std::vector<uint32_t>{0x182001A, 0x1820011}));
  Core::Record foreign = create;
  foreign.Set("NetworkPath", std::u16string(u"/share/v/other.bin"));
  foreign.Set("SourceUri", std::u16string(u"http://elsewhere"));
  EXPECT_EQ(Codes(Failure("NFS::CreateVirtualFileCommand", foreign)),
            (std::vector<uint32_t>{0x182001A, 0x1820019}));
  EXPECT_FALSE(Exists(u"/share", u"v/other.bin"));

  // A required property missing: the record's error, nothing done.
  Core::Record incomplete("NFS::CreateVirtualFileRequest");
  incomplete.Set("NetworkPath", std::u16string(u"/share/x.bin"));
  const Common::Error missing = Failure("NFS::CreateVirtualFileCommand", incomplete);
  EXPECT_EQ(missing.Code(), 0x1000003u);
  EXPECT_NE(Common::ToUtf8(missing.Message()).find("SourceUri"), std::string::npos);

  Core::Record control("NFS::ControlVirtualFileRequest");
  control.Set("NetworkPath", std::u16string(u"/share/v/virtual.bin"));
  control.Set("Blob", Core::Blob{1, 2, 3});
  EXPECT_TRUE(Failure("NFS::ControlVirtualFileCommand", control).IsSuccess());
  control.Set("NetworkPath", std::u16string(u"/share/none.bin"));
  EXPECT_EQ(Codes(Failure("NFS::ControlVirtualFileCommand", control)),
            (std::vector<uint32_t>{0x182001C, 0x1820014}));

  // Folders of the share: a/b/c.txt is folder a/b, name c.txt.
  std::filesystem::create_directories(temp_.Path() / "docs");
  temp_.WriteFile("docs/c.txt", "c");
  EXPECT_TRUE(Exists(u"/share", u"docs/c.txt"));
  EXPECT_TRUE(Exists(u"share", u"docs/c.txt"));
  EXPECT_FALSE(Exists(u"/share", u"docs/d.txt"));
  Core::Record noShare("NFS::FileExistsRequest");
  noShare.Set("FilePath", std::u16string(u"docs/c.txt"));
  const Common::Error wrongShare = Failure("NFS::FileExistsCommand", noShare);
  EXPECT_EQ(Codes(wrongShare), (std::vector<uint32_t>{0x182002D, 0x1820003}));
  EXPECT_EQ(wrongShare.Reason().Message(), u"Share '/' is invalid.");

  Core::Record remove("NFS::DeleteVirtualFileRequest");
  remove.Set("NetworkPath", std::u16string(u"/share/v/virtual.bin"));
  EXPECT_TRUE(Failure("NFS::DeleteVirtualFileCommand", remove).IsSuccess());
  EXPECT_FALSE(Exists(u"/share", u"v/virtual.bin"));
  EXPECT_EQ(Codes(Failure("NFS::DeleteVirtualFileCommand", remove)), (std::vector<uint32_t>{0x182001B, 0x1820014}));
}

TEST(CommandsWithoutComponentTest, TheRegistryErrorIsTheReason) {
  auto& addons = Core::AddonRegistry::Instance();
  Core::LoadModule(TestSupport::NfsModulePath(), addons);
  ComponentManagement::ComponentRegistry empty;
  Core::CommandRunner runner(addons, Core::HostContext{&empty});
  try {
    runner.Run("NFS::StartServerCommand", StartRequest("/tmp", u"/share")).get();
    FAIL() << "started without a component";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), kStartServerFailed);
    EXPECT_EQ(error.Reason().Message(), u"Cannot find a component with ID '386'.");
  }
  EXPECT_THROW(runner.Run("NFS::NoSuchCommand", Core::Record()).get(), Common::Error);
  for (const auto& addon : addons.Snapshot()) addons.Remove(addon.get());
}

TEST_F(CommandsTest, SplitFilePathRules) {
  ASSERT_TRUE(Failure("NFS::StartServerCommand", StartRequest(temp_.PathString(), u"/share")).IsSuccess());
  std::filesystem::create_directories(temp_.Path() / "a" / "b");
  temp_.WriteFile("a/b/c.txt", "");
  std::filesystem::create_directories(temp_.Path() / "docs");
  temp_.WriteFile("docs/c.txt", "");
  temp_.WriteFile("report.txt", "");
  EXPECT_TRUE(Exists(u"/share", u"docs/c.txt"));
  // "report.txt" and "/report.txt" ask for an empty folder, which is no
  // entry of the share root: not found, although the file is there.
  Core::Record atRoot("NFS::FileExistsRequest");
  atRoot.Set("ShareName", std::u16string(u"/share"));
  for (const std::u16string path : {u"report.txt", u"/report.txt"}) {
    atRoot.Set("FilePath", path);
    const Common::Error error = Failure("NFS::FileExistsCommand", atRoot);
    EXPECT_EQ(Codes(error), (std::vector<uint32_t>{0x182002D, 0x1820014}));
    EXPECT_EQ(error.Message(), u"Failed to find object 'report.txt'.");
  }
  // Only one level of folder is looked up under the share root.
  EXPECT_FALSE(Exists(u"/share", u"a/b/c.txt"));
}

}  // namespace
