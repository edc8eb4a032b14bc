#include <gtest/gtest.h>

#include "host/Logging.h"
#include "tests/server_lib/ServerTestFixture.h"

namespace {

class Recorder : public EventObserver {
 public:
  explicit Recorder(bool fail = false) : fail_(fail) {}
  Common::Error HandleEvent(const std::shared_ptr<NFS::Event>& event) override {
    events.push_back(event);
    if (fail_) return Common::Error(0x7770002, u"observer refuses");
    return Common::Error();
  }
  std::vector<std::shared_ptr<NFS::Event>> events;

 private:
  bool fail_;
};

class EventsTest : public TestSupport::ServerTest {};

TEST_F(EventsTest, CreateAndDeleteEventsReachEveryObserver) {
  auto failing = std::make_shared<Recorder>(true);
  auto recorder = std::make_shared<Recorder>();
  uint32_t first = 0, second = 0;
  ASSERT_TRUE(server_->Register(failing, first).IsSuccess());
  ASSERT_TRUE(server_->Register(recorder, second).IsSuccess());
  EXPECT_EQ(second, first + 1);

  Common::ScopedLogCapture log;
  const NFS::ObjectId file = Create(root_, u"watched.txt");
  MakeDir(root_, u"dir");  // directories raise nothing
  ASSERT_TRUE(server_->DeleteFile(root_, u"watched.txt").IsSuccess());
  EXPECT_FALSE(temp_.Exists("export/watched.txt"));  // the refusing observer changed nothing

  ASSERT_EQ(recorder->events.size(), 2u);
  EXPECT_EQ(failing->events.size(), 2u);
  auto created = std::dynamic_pointer_cast<NFS::FileEvent>(recorder->events[0]);
  ASSERT_TRUE(created);
  EXPECT_EQ(created->GetType(), NFS::CreateFileEvent::kType);
  EXPECT_EQ(created->GetPath(), u"/share/watched.txt");
  NFS::ObjectId id;
  created->GetId(id);
  EXPECT_EQ(id, file);
  auto deleted = std::dynamic_pointer_cast<NFS::FileEvent>(recorder->events[1]);
  ASSERT_TRUE(deleted);
  EXPECT_EQ(deleted->GetType(), NFS::DeleteFileEvent::kType);
  EXPECT_EQ(deleted->GetPath(), u"/share/watched.txt");
  deleted->GetId(id);
  EXPECT_EQ(id, file);

  const auto warnings = log.Texts(Common::kWarning, NFS::kLogChannel);
  ASSERT_EQ(warnings.size(), 2u);
  EXPECT_NE(warnings[0].find("observer refuses"), std::string::npos);

  // A failed create raises nothing; a rename onto a name deletes it first.
  NFS::ObjectId out;
  Create(root_, u"a");
  Create(root_, u"b");
  recorder->events.clear();
  EXPECT_TRUE(server_->CreateFile(root_, u"a", out).IsFailure());
  EXPECT_TRUE(recorder->events.empty());
  ASSERT_TRUE(server_->Rename(root_, u"a", u"b").IsSuccess());
  ASSERT_EQ(recorder->events.size(), 1u);
  EXPECT_EQ(recorder->events[0]->GetType(), NFS::DeleteFileEvent::kType);
  EXPECT_EQ(std::dynamic_pointer_cast<NFS::FileEvent>(recorder->events[0])->GetPath(), u"/share/b");

  // Ids are never reused, and an unknown id is reported with its number.
  ASSERT_TRUE(server_->Unregister(first).IsSuccess());
  uint32_t third = 0;
  ASSERT_TRUE(server_->Register(recorder, third).IsSuccess());
  EXPECT_EQ(third, second + 1);
  const Common::Error unknown = server_->Unregister(first);
  EXPECT_EQ(unknown.Code(), NFS::ErrorCode::ObserverNotFound);
  EXPECT_FALSE(unknown.HasReason());
  EXPECT_EQ(unknown.Message(), u"Failed to find the NFS event observer with ID '" +
                                   Common::FromUtf8(std::to_string(first)) + u"'.");

  // Ids come from one counter for the whole process.
  auto otherServer = NFS::CreateServer(nullptr);
  uint32_t fourth = 0;
  ASSERT_TRUE(otherServer->Register(recorder, fourth).IsSuccess());
  EXPECT_EQ(fourth, third + 1);
}

}  // namespace
