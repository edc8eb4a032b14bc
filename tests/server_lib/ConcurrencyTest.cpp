#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "server_lib/virtual/VirtualFilesProvider.h"
#include "tests/server_lib/ServerTestFixture.h"

namespace {

constexpr int kRounds = 300;

std::u16string Name(int i) { return Common::FromUtf8("v" + std::to_string(i % 7)); }

// Commands register and delete virtual files on their threads while the RPC
// thread looks them up, lists them and reads them.
TEST(VirtualFilesConcurrencyTest, ProviderSurvivesRegistrationDuringReads) {
  auto plugin = std::make_shared<TestSupport::MemoryPlugin>();
  plugin->SetContent("c", "content!");
  auto provider = NFS::CreateVirtualFilesProvider(plugin);
  provider->AddVirtualFile(u"/share/keep", 8, u"mem:c", {});
  std::atomic<bool> done{false};

  std::thread commands([&] {
    for (int i = 0; i < kRounds; ++i) {
      try {
        provider->AddVirtualFile(u"/share/" + Name(i), 8, u"mem:c", {});
      } catch (const Common::Error&) {
      }
      try {
        provider->DeleteVirtualFile(u"/share/" + Name(i + 3));
      } catch (const Common::Error&) {
      }
      std::vector<uint8_t> request = {1, 2};
      provider->ControlVirtualFile(u"/share/keep", request);
    }
    done = true;
  });

  int reads = 0;
  while (!done || reads == 0) {
    auto dir = provider->GetMixinDirectory(u"/share");
    ASSERT_TRUE(dir);
    auto enumerator = dir->GetEnumerator(0);
    for (; enumerator->IsValid(); enumerator->Next()) {
      auto object = dir->Lookup(enumerator->GetName());
      auto file = std::dynamic_pointer_cast<NFS::FileObject>(object);
      if (!file) continue;  // deleted between listing and lookup
      uint8_t buffer[8];
      uint32_t count = 0;
      file->Read(0, sizeof buffer, buffer, count);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), "content!");
      EXPECT_EQ(enumerator->GetAttributes()->GetSize(), 8u);
      ++reads;
    }
  }
  commands.join();
  EXPECT_GT(reads, 0);
}

class ServerConcurrencyTest : public TestSupport::ServerTest {};

TEST_F(ServerConcurrencyTest, ServerSurvivesCommandsDuringClientRequests) {
  plugin_->SetContent("c", "content!");
  std::filesystem::create_directory(temp_.Path() / "export" / "sub");
  temp_.WriteFile("export/sub/local.txt", "local");
  std::atomic<bool> done{false};

  std::thread commands([&] {
    for (int i = 0; i < kRounds; ++i) {
      server_->AddVirtualFile(u"/share/" + Name(i), 8, u"mem:c", {});
      server_->DeleteVirtualFile(u"/share/" + Name(i + 3));
      bool exists = false;
      server_->FileExists({u"/share", u"sub", u"local.txt"}, exists);
      EXPECT_TRUE(exists);
    }
    done = true;
  });

  while (!done) {
    for (const auto& entry : List(root_)) {
      uint8_t buffer[8];
      uint32_t count = 0;
      // Whatever was listed may be gone by now; failures are fine, crashes are not.
      server_->ReadData(entry.id, 0, sizeof buffer, buffer, count);
    }
  }
  commands.join();
}

}  // namespace
