#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "server_lib/enumerators/DirEntriesEnumeratorsProviderImpl.h"
#include "server_lib/enumerators/OpenListings.h"
#include "tests/support/Process.h"
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

namespace {

std::vector<std::u16string> Walk(NFS::DirEntriesEnumerator& enumerator) {
  std::vector<std::u16string> names;
  for (; enumerator.IsValid(); enumerator.Next()) names.push_back(enumerator.GetName());
  return names;
}

// Clients start listings and abandon them: a directory keeps the most
// recently used ones only, and the dropped ids are unknown from then on.
TEST_F(EnumeratorsTest, EachDirectoryKeepsItsMostRecentlyUsedEnumerators) {
  constexpr size_t kMax = NFS::DirEntriesEnumeratorsProviderImpl::kMaxEnumerators;
  auto kept = root_->GetEnumerator(0);
  const uint64_t keptId = kept->GetId();
  kept.reset();
  std::vector<uint64_t> ids;
  for (size_t i = 0; i < kMax + 40; ++i) {
    ids.push_back(root_->GetEnumerator(0)->GetId());
    if (i % 100 == 0) {
      EXPECT_TRUE(root_->GetEnumerator(keptId)) << i;  // use keeps it
    }
  }
  EXPECT_TRUE(root_->GetEnumerator(keptId));
  for (size_t i = 0; i < 41; ++i) EXPECT_FALSE(root_->GetEnumerator(ids[i])) << i;
  for (size_t i = 41; i < ids.size(); ++i) EXPECT_TRUE(root_->GetEnumerator(ids[i])) << i;
}

// Past the process-wide budget of open listings, idle ones give their
// stream back and reopen where they were: many interleaved listings each
// see the whole folder once, while few streams are open at any time.
TEST_F(EnumeratorsTest, ParkedListingsResumeWhereTheyStood) {
  for (int i = 0; i < 40; ++i) Write("many-" + std::to_string(i), "");
  auto& budget = NFS::OpenListings::Instance();
  budget.SetLimit(3);
  const size_t before = TestSupport::OpenDescriptors();
  std::vector<std::shared_ptr<NFS::DirEntriesEnumerator>> listings;
  std::vector<std::vector<std::u16string>> seen(20);
  for (size_t i = 0; i < seen.size(); ++i) listings.push_back(root_->GetEnumerator(0));
  EXPECT_LE(budget.Count(), 3u);
  for (bool any = true; any;) {
    any = false;
    for (size_t i = 0; i < listings.size(); ++i) {
      for (int step = 0; step < static_cast<int>(i % 3) + 1 && listings[i]->IsValid(); ++step) {
        seen[i].push_back(listings[i]->GetName());
        listings[i]->Next();
        EXPECT_EQ(listings[i]->GetCookie(), seen[i].size());
        any = true;
      }
      EXPECT_LE(TestSupport::OpenDescriptors(), before + 3);
    }
  }
  auto fresh = root_->GetEnumerator(0);
  const std::vector<std::u16string> whole = Walk(*fresh);
  EXPECT_EQ(whole.size(), 48u);  // 7 files, 40 more and a folder; the link is hidden
  for (const auto& names : seen) EXPECT_EQ(names, whole);

  // A listing parked after a seek comes back there; a finished one stays
  // finished without reopening.
  listings[0]->Seek(5);
  EXPECT_EQ(listings[0]->GetName(), whole[5]);
  for (size_t i = 2; i < 6; ++i) listings[i]->Seek(1);
  EXPECT_EQ(listings[0]->GetCookie(), 5u);
  EXPECT_EQ(listings[0]->GetName(), whole[5]);
  EXPECT_FALSE(listings[1]->IsValid());
  EXPECT_EQ(listings[1]->GetCookie(), whole.size());
  budget.SetLimit(NFS::OpenListings::kDefaultLimit);
}

}  // namespace
