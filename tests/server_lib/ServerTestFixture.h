#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "server_lib/core/ServerErrors.h"
#include "server_lib/server/Server.h"
#include "tests/support/MemoryPlugin.h"
#include "tests/support/TempDir.h"

namespace TestSupport {

// The codes of a whole error chain, outermost first.
inline std::vector<uint32_t> ChainCodes(const Common::Error& error) {
  std::vector<uint32_t> codes;
  for (const Common::Error* e = &error; e->IsFailure(); e = &e->Reason()) codes.push_back(e->Code());
  return codes;
}

// A server exporting a temporary folder as "/share", with an in-memory
// plug-in for "mem:" URIs.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(temp_.Path() / "export");
    plugin_ = std::make_shared<MemoryPlugin>();
    server_ = NFS::CreateServer(plugin_);
    const Common::Error set = server_->SetRoot(Common::FromUtf8(ExportPath()), u"/share");
    ASSERT_TRUE(set.IsSuccess()) << set.Describe();
    root_ = NFS::MakeObjectId(NFS::kDirectoryKind, u"/share");
  }

  std::string ExportPath() const { return (temp_.Path() / "export").string(); }
  std::string Local(const std::string& relative) const { return ExportPath() + "/" + relative; }

  NFS::ObjectId Lookup(const NFS::ObjectId& dir, const std::u16string& name) {
    NFS::ObjectId id;
    const Common::Error error = server_->LookupObject(dir, name, id);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    return id;
  }

  NFS::ObjectId Create(const NFS::ObjectId& dir, const std::u16string& name) {
    NFS::ObjectId id;
    const Common::Error error = server_->CreateFile(dir, name, id);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    return id;
  }

  NFS::ObjectId MakeDir(const NFS::ObjectId& dir, const std::u16string& name) {
    NFS::ObjectId id;
    const Common::Error error = server_->CreateDir(dir, name, id);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    return id;
  }

  void Write(const NFS::ObjectId& file, uint64_t offset, const std::string& data) {
    uint32_t written = 0;
    const Common::Error error = server_->WriteData(file, offset, static_cast<uint32_t>(data.size()),
                                                   reinterpret_cast<const uint8_t*>(data.data()), written);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    EXPECT_EQ(written, data.size());
  }

  std::string Read(const NFS::ObjectId& file, uint64_t offset, uint32_t size) {
    std::string data(size, '\0');
    uint32_t count = 0;
    const Common::Error error =
        server_->ReadData(file, offset, size, reinterpret_cast<uint8_t*>(data.data()), count);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    data.resize(count);
    return data;
  }

  struct Entry {
    std::u16string name;
    uint32_t cookie;
    NFS::ObjectId id;
  };

  // Reads a whole listing the way READDIRPLUS does: entry, step, cookie.
  std::vector<Entry> List(const NFS::ObjectId& dir, uint64_t* verifier = nullptr) {
    const auto lock = NFS::LockOperations(*server_);
    std::shared_ptr<NFS::DirEntriesEnumerator> enumerator;
    const Common::Error error = server_->ReadDirectory(dir, 0, enumerator);
    EXPECT_TRUE(error.IsSuccess()) << error.Describe();
    std::vector<Entry> entries;
    if (!enumerator) return entries;
    if (verifier) *verifier = enumerator->GetId();
    while (enumerator->IsValid()) {
      Entry entry{enumerator->GetName(), 0, enumerator->GetEntryId()};
      enumerator->Next();
      entry.cookie = enumerator->GetCookie();
      entries.push_back(entry);
    }
    return entries;
  }

  static std::vector<uint32_t> Codes(const Common::Error& error) { return ChainCodes(error); }

  TempDir temp_;
  std::shared_ptr<MemoryPlugin> plugin_;
  std::shared_ptr<NFS::Server> server_;
  NFS::ObjectId root_;
};

}  // namespace TestSupport
