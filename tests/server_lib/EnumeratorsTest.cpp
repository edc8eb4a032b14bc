#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/DirEntriesEnumeratorsProviderImpl.h"
#include "tests/server_lib/LocalTestFixture.h"

namespace {

class EnumeratorsTest : public TestSupport::LocalShareTest {
 protected:
  void SetUp() override {
    LocalShareTest::SetUp();
    for (const char* name : {"a", "b", "c", "d", "e", "f", "g"}) Write(name, name);
    std::filesystem::create_directory(Local("dir"));
    symlink("a", Local("link").c_str());
  }

  static uint64_t BaseOf(const std::u16string& path) {
    const NFS::ObjectId id = NFS::MakeObjectId(NFS::kDirectoryKind, path);
    uint64_t base = 0;
    for (int i = 16; i >= 9; --i) base = (base << 8) | id[static_cast<size_t>(i)];
    return base & ~uint64_t{0xFF};
  }
};

TEST_F(EnumeratorsTest, IdsCountFromThePathBaseAndStayWithTheirDirectory) {
  const uint64_t base = BaseOf(u"/share");
  auto first = root_->GetEnumerator(0);
  auto second = root_->GetEnumerator(0);
  EXPECT_EQ(first->GetId(), base + 1);
  EXPECT_EQ(second->GetId(), base + 2);
  EXPECT_EQ(root_->GetEnumerator(base + 1), first);  // shared, not copied

  // Another object on the same path computes the same base.
  auto again = OpenRoot();
  EXPECT_EQ(again->GetEnumerator(0)->GetId(), base + 1);

  // Ids are not valid across directories, nor ones never issued.
  auto dir = std::dynamic_pointer_cast<NFS::DirObject>(root_->Lookup(u"dir"));
  const uint64_t dirId = dir->GetEnumerator(0)->GetId();
  EXPECT_EQ(dirId, BaseOf(u"/share/dir") + 1);
  Common::ScopedLogCapture log;
  EXPECT_FALSE(root_->GetEnumerator(dirId));
  EXPECT_FALSE(root_->GetEnumerator(base + 99));
  EXPECT_TRUE(log.Contains("Dir(/share): no enumerator " + std::to_string(base + 99)));
  root_->GetEnumerator(base + 1);
  EXPECT_TRUE(log.Contains("Dir(/share): getting cached enumerator " + std::to_string(base + 1)));
}

TEST_F(EnumeratorsTest, ListingHidesLinksAndGivesLookupIds) {
  auto enumerator = root_->GetEnumerator(0);
  std::set<std::u16string> names;
  for (; enumerator->IsValid(); enumerator->Next()) {
    const std::u16string name = enumerator->GetName();
    names.insert(name);
    auto object = root_->Lookup(name);
    ASSERT_TRUE(object);
    EXPECT_EQ(enumerator->GetEntryId(), object->GetId());
  }
  EXPECT_EQ(names, (std::set<std::u16string>{u"a", u"b", u"c", u"d", u"e", u"f", u"g", u"dir"}));
  EXPECT_EQ(enumerator->GetCookie(), 8u);
}

TEST_F(EnumeratorsTest, SeekResumesRelistsAndStopsPastTheEnd) {
  std::vector<std::u16string> order;
  {
    auto listing = root_->GetEnumerator(0);
    for (; listing->IsValid(); listing->Next()) order.push_back(listing->GetName());
  }
  ASSERT_EQ(order.size(), 8u);

  auto enumerator = root_->GetEnumerator(0);
  for (int i = 0; i < 5; ++i) enumerator->Next();
  EXPECT_EQ(enumerator->GetCookie(), 5u);

  Common::ScopedLogCapture log;
  enumerator->Seek(5);  // where the last reply ended: nothing to do
  EXPECT_EQ(enumerator->GetName(), order[5]);
  const std::string idText = std::to_string(enumerator->GetId());

  enumerator->Seek(2);
  EXPECT_EQ(enumerator->GetCookie(), 2u);
  EXPECT_EQ(enumerator->GetName(), order[2]);
  enumerator->Next();
  EXPECT_EQ(enumerator->GetName(), order[3]);
  EXPECT_TRUE(log.Contains("DirEnumerator(/share:" + idText + "): moved to 3"));
  EXPECT_TRUE(log.Contains("DirEnumerator(/share:5): seeking 2"));

  enumerator->Seek(100);
  EXPECT_FALSE(enumerator->IsValid());
  EXPECT_EQ(enumerator->GetCookie(), 8u);

  // A finished enumerator restarts from an earlier position.
  enumerator->Seek(0);
  EXPECT_TRUE(enumerator->IsValid());
  EXPECT_EQ(enumerator->GetName(), order[0]);
}

}  // namespace
