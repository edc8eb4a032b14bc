// MOUNT from several client machines over real connections: no client's
// MNT or UMNT takes the share from the others or grows what the server
// holds, and the export folder, once opened, is the one served whatever
// later becomes of its path.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "server_lib/server/ServerStatus.h"
#include "tests/service_lib/CallClient.h"
#include "tests/service_lib/RunningService.h"

namespace {

using TestSupport::Client;
using Bytes_t = std::vector<uint8_t>;

class MountTest : public TestSupport::RunningServiceTest {
 protected:
  uint64_t MountedClients() {
    NFS::ServerStatus status;
    EXPECT_TRUE(NFS::GetServerStatus(*server_, status).IsSuccess());
    return status.mountedClients;
  }

  std::string Read(Client& client, const Bytes_t& file) {
    std::string data;
    EXPECT_EQ(client.Read(file, &data), NFS3_OK);
    return data;
  }
};

TEST_F(MountTest, UnmountsFromAClientThatNeverMountedChangeNothing) {
  temp_.WriteFile("export/notes.txt", "notes");
  Client mounted("127.0.0.2", "127.0.0.1", port_);
  ASSERT_TRUE(mounted.mount.IsConnected() && mounted.nfs.IsConnected());
  Bytes_t root, notes;
  ASSERT_EQ(mounted.Mnt("/share", &root), MNT3_OK);
  ASSERT_EQ(mounted.Lookup(root, "notes.txt", &notes), NFS3_OK);
  EXPECT_EQ(MountedClients(), 1u);

  Client stranger("127.0.0.1", "127.0.0.1", port_);
  ASSERT_TRUE(stranger.mount.IsConnected());
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(stranger.Umnt("/share"));

  // The other client's handles, the root and a file found under it, still work.
  EXPECT_EQ(mounted.GetAttr(root), NFS3_OK);
  EXPECT_EQ(mounted.GetAttr(notes), NFS3_OK);
  EXPECT_EQ(Read(mounted, notes), "notes");
  EXPECT_EQ(MountedClients(), 1u);

  // And a new mount from either gives the same root.
  Bytes_t again;
  ASSERT_EQ(mounted.Mnt("/share", &again), MNT3_OK);
  EXPECT_EQ(again, root);
  ASSERT_EQ(stranger.Mnt("/share", &again), MNT3_OK);
  EXPECT_EQ(again, root);
  EXPECT_EQ(stranger.GetAttr(notes), NFS3_OK);
  EXPECT_EQ(MountedClients(), 2u);
}

TEST_F(MountTest, ManyMountsFromOneClientAreOneRecord) {
  Client client("127.0.0.2", "127.0.0.1", port_);
  ASSERT_TRUE(client.mount.IsConnected());
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(client.Mnt("/share"), MNT3_OK) << "call " << i;
  EXPECT_EQ(MountedClients(), 1u);
  NFS::ServerStatus status;
  ASSERT_TRUE(NFS::GetServerStatus(*server_, status).IsSuccess());
  ASSERT_EQ(status.cachedObjects.size(), 1u);
  EXPECT_EQ(status.cachedObjects[0].objects, 1u);  // the root, once
  // A name that is not the share records nothing.
  EXPECT_EQ(client.Mnt("/other"), MNT3ERR_NOENT);
  Client other("127.0.0.3", "127.0.0.1", port_);
  EXPECT_EQ(other.Mnt("/other"), MNT3ERR_NOENT);
  EXPECT_EQ(MountedClients(), 1u);
}

TEST_F(MountTest, AClientReleasesItsOwnRecordOnly) {
  temp_.WriteFile("export/data.txt", "data");
  Client first("127.0.0.1", "127.0.0.1", port_);
  Client second("127.0.0.2", "127.0.0.1", port_);
  Bytes_t root;
  ASSERT_EQ(first.Mnt("/share", &root), MNT3_OK);
  ASSERT_EQ(second.Mnt("/share"), MNT3_OK);
  EXPECT_EQ(MountedClients(), 2u);

  // Unmounts naming something else release nothing.
  ASSERT_TRUE(first.Umnt("/other"));
  ASSERT_TRUE(first.Umnt(""));
  EXPECT_EQ(MountedClients(), 2u);
  // The first client's own record goes, once; the second's stays.
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(first.Umnt("/share"));
  EXPECT_EQ(MountedClients(), 1u);
  ASSERT_TRUE(second.Umnt("/share"));
  EXPECT_EQ(MountedClients(), 0u);

  // With no record left the share is still served, to both.
  Bytes_t data;
  ASSERT_EQ(second.Lookup(root, "data.txt", &data), NFS3_OK);
  EXPECT_EQ(Read(second, data), "data");
  EXPECT_EQ(first.GetAttr(root), NFS3_OK);
}

TEST_F(MountTest, TheExportPathSwappedForALinkExposesNothing) {
  temp_.WriteFile("export/mine.txt", "mine");
  std::filesystem::create_directory(temp_.Path() / "elsewhere");
  temp_.WriteFile("elsewhere/secret", "secret");
  Client client("127.0.0.2", "127.0.0.1", port_);
  Bytes_t root, mine;
  ASSERT_EQ(client.Mnt("/share", &root), MNT3_OK);
  ASSERT_EQ(client.Lookup(root, "mine.txt", &mine), NFS3_OK);

  // A local user renames the export away and puts a link in its place.
  std::filesystem::rename(ExportPath(), temp_.Path() / "export-moved");
  std::filesystem::create_directory_symlink(temp_.Path() / "elsewhere", ExportPath());

  // However often clients unmount, a new mount, also from a client never
  // seen, still gives the folder first opened.
  Client newcomer("127.0.0.3", "127.0.0.1", port_);
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(client.Umnt("/share"));
    ASSERT_TRUE(newcomer.Umnt("/share"));
  }
  for (Client* mounting : {&client, &newcomer}) {
    Bytes_t again;
    ASSERT_EQ(mounting->Mnt("/share", &again), MNT3_OK);
    EXPECT_EQ(again, root);
    EXPECT_EQ(mounting->Lookup(again, "secret"), NFS3ERR_NOENT);
    Bytes_t found;
    ASSERT_EQ(mounting->Lookup(again, "mine.txt", &found), NFS3_OK);
    EXPECT_EQ(found, mine);
    EXPECT_EQ(Read(*mounting, found), "mine");
  }
  std::vector<std::string> names;
  ASSERT_EQ(newcomer.ReadDirPlus(root, &names), NFS3_OK);
  EXPECT_EQ(names, std::vector<std::string>{"mine.txt"});
  // Changes land in the renamed folder; the other one is untouched.
  ASSERT_EQ(newcomer.Create(root, "new.txt"), NFS3_OK);
  EXPECT_TRUE(temp_.Exists("export-moved/new.txt"));
  EXPECT_FALSE(temp_.Exists("elsewhere/new.txt"));
  EXPECT_EQ(temp_.ReadFile("elsewhere/secret"), "secret");
}

}  // namespace
