#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "host/Logging.h"
#include "server_lib/core/ServerErrors.h"
#include "tests/server_lib/LocalTestFixture.h"

namespace {

class FileObjectTest : public TestSupport::LocalShareTest {
 protected:
  std::shared_ptr<NFS::FileObject> Open(const std::u16string& name) {
    auto file = std::dynamic_pointer_cast<NFS::FileObject>(root_->Lookup(name));
    EXPECT_TRUE(file);
    return file;
  }

  // The file object's own trace lines since the last call.
  std::vector<std::string> FileTraces() {
    std::vector<std::string> traces;
    for (const auto& text : log_.Texts(Common::kTrace, NFS::kLogChannel)) {
      if (text.rfind("File(", 0) == 0) traces.push_back(text);
    }
    log_.Clear();
    return traces;
  }

  Common::ScopedLogCapture log_;
};

using Traces = std::vector<std::string>;

TEST_F(FileObjectTest, ReadsOpenLazilyContinueWithoutSeekAndCloseAtTheEnd) {
  std::string content(8192, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  Write("data.bin", content);
  auto file = Open(u"data.bin");
  FileTraces();

  std::vector<uint8_t> buffer(4096);
  uint32_t count = 0;
  file->Read(0, 4096, buffer.data(), count);
  EXPECT_EQ(count, 4096u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content.substr(0, 4096));
  EXPECT_EQ(FileTraces(), Traces{"File(/share/data.bin): open for read"});

  file->Read(4096, 4096, buffer.data(), count);
  EXPECT_EQ(count, 4096u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), content.substr(4096));
  EXPECT_EQ(FileTraces(), Traces{"File(/share/data.bin): closing ro file."});

  file->Read(0, 100, buffer.data(), count);
  EXPECT_EQ(count, 100u);
  EXPECT_EQ(FileTraces(), Traces{"File(/share/data.bin): open for read"});

  // Beyond the end: nothing read, and the file is closed again.
  file->Read(100000, 10, buffer.data(), count);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(FileTraces(), Traces{"File(/share/data.bin): closing ro file."});
}

TEST_F(FileObjectTest, WritesSwitchToReadWriteAndAttributesFollowThem) {
  Write("w.txt", "abc");
  auto file = Open(u"w.txt");
  std::vector<uint8_t> buffer(16);
  uint32_t count = 0;
  file->Read(0, 1, buffer.data(), count);
  FileTraces();

  const std::string text = "hello, world";
  file->Write(3, static_cast<uint32_t>(text.size()), reinterpret_cast<const uint8_t*>(text.data()), count);
  EXPECT_EQ(count, text.size());
  EXPECT_EQ(FileTraces(), (Traces{"File(/share/w.txt): closing ro file- switch to rw mode.",
                                  "File(/share/w.txt): reopen for write"}));
  // Written data reaches the operating system at once.
  EXPECT_EQ(Read("w.txt"), "abc" + text);

  // Exact without a flush: the data is in the operating system already.
  EXPECT_EQ(file->GetAttributes()->GetSize(), 3 + text.size());
  EXPECT_EQ(FileTraces(), Traces{});

  // Reads now use the read-write handle; reading to the end closes it.
  file->Read(0, 16, buffer.data(), count);
  EXPECT_EQ(count, 15u);
  EXPECT_EQ(FileTraces(), Traces{"File(/share/w.txt): closing rw file."});

  // A first write on a closed object opens for write without "re".
  file->Write(0, 1, reinterpret_cast<const uint8_t*>("A"), count);
  EXPECT_EQ(FileTraces(), Traces{"File(/share/w.txt): open for write"});
  EXPECT_EQ(Read("w.txt"), "Abc" + text);
}

TEST_F(FileObjectTest, CommitOpensForWriteAndFlushes) {
  Write("c.txt", "x");
  auto file = Open(u"c.txt");
  FileTraces();
  file->Commit();
  EXPECT_EQ(FileTraces(), Traces{"File(/share/c.txt): open for write"});
  file->Commit();
  EXPECT_TRUE(FileTraces().empty());
}

TEST_F(FileObjectTest, FailuresAreIoErrorsWithTheLocalCause) {
  Write("gone.txt", "x");
  auto file = Open(u"gone.txt");
  ASSERT_EQ(unlink(Local("gone.txt").c_str()), 0);

  std::vector<uint8_t> buffer(4);
  uint32_t count = 0;
  try {
    file->Read(0, 4, buffer.data(), count);
    FAIL() << "read of a deleted file succeeded";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), NFS::ErrorCode::IoError);
    EXPECT_EQ(error.Message(), u"An error has occurred while performing the I/O operation.");
    EXPECT_TRUE(error.HasReason());
    EXPECT_NE(error.Location().function.find("OpenIFile"), std::string::npos);
  }
  try {
    file->Write(0, 1, buffer.data(), count);
    FAIL() << "write of a deleted file succeeded";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), NFS::ErrorCode::IoError);
    EXPECT_NE(error.Location().function.find("OpenOFile"), std::string::npos);
  }
  // The write must not have created the file again.
  EXPECT_FALSE(Exists("gone.txt"));
  try {
    file->GetAttributes();
    FAIL() << "attributes of a deleted file";
  } catch (const Common::Error& error) {
    EXPECT_EQ(error.Code(), NFS::ErrorCode::NotFound);
  }

  // Control requests reach the file, which answers none.
  Write("c.txt", "x");
  std::vector<uint8_t> request = {1, 2, 3};
  EXPECT_THROW(Open(u"c.txt")->IOCTL(request), Common::Error);
}

}  // namespace
