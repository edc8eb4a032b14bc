// The host's settings as an operator writes them: the configuration file's
// lines, what is refused (with the file and the line), and which source wins.
#include <gtest/gtest.h>

#include <string>

#include "app/HostSettings.h"
#include "tests/support/TempDir.h"

namespace {

using Host::HostSettings;

// The error of reading `text` as a configuration file, empty when it reads.
std::string ErrorOf(const std::string& text, HostSettings* settings = nullptr) {
  TestSupport::TempDir temp;
  const std::string path = (temp.Path() / "nfs_host.conf").string();
  temp.WriteFile("nfs_host.conf", text);
  HostSettings read;
  std::string error;
  const bool ok = Host::ReadConfigFile(path, settings != nullptr ? *settings : read, error);
  EXPECT_EQ(ok, error.empty()) << error;
  // Every message names the file where the operator must look.
  if (!ok) {
    EXPECT_EQ(error.rfind(path + ":", 0), 0u) << error;
    return error.substr(path.size());
  }
  return {};
}

TEST(HostSettingsTest, AFileReadsAsTheOptionsDo) {
  HostSettings settings;
  ASSERT_EQ(ErrorOf("# the export\n"
                    "\n"
                    "   local-path =  /srv/my export  \n"
                    "share-name=/share\n"
                    "\t# indented comment\n"
                    "allow-clients = 192.168.1.0/24, fd00::/8\n"
                    "read-only = Yes\n"
                    "async-writes = off\n"
                    "port = 2049\r\n"
                    "log-level = warning\n"
                    "cache-objects = 0\n"
                    "metrics-listen = 127.0.0.1:9587\n",
                    &settings),
            "");
  EXPECT_EQ(settings.Text("local-path"), "/srv/my export");
  EXPECT_EQ(settings.Text("share-name"), "/share");
  EXPECT_EQ(settings.Text("allow-clients"), "192.168.1.0/24, fd00::/8");
  EXPECT_EQ(settings.Flag("read-only"), true);
  EXPECT_EQ(settings.Flag("async-writes"), false);
  EXPECT_EQ(settings.Number("port"), 2049u);
  EXPECT_EQ(settings.Number("log-level"), 3u);
  EXPECT_EQ(settings.Number("cache-objects"), 0u);
  EXPECT_FALSE(settings.Has("listen"));
  // The file the package installs reads as it is.
  HostSettings packaged;
  std::string error;
  EXPECT_TRUE(Host::ReadConfigFile(NFS_SOURCE_DIR "/packaging/nfs_host.conf", packaged, error)) << error;
  EXPECT_EQ(packaged.Text("local-path"), "/srv/nfs");
}

TEST(HostSettingsTest, WhatIsRefusedNamesTheLineAndTheReason) {
  EXPECT_EQ(ErrorOf("port = 2049\nprot = 2049\n"), ":2: unknown key 'prot'");
  EXPECT_EQ(ErrorOf("\n\nport = 20x\n"), ":3: port '20x': give a number from 1 to 65535");
  EXPECT_EQ(ErrorOf("port = 0\n"), ":1: port '0': give a number from 1 to 65535");
  EXPECT_EQ(ErrorOf("read-only = maybe\n"), ":1: read-only 'maybe': give yes or no");
  EXPECT_EQ(ErrorOf("log-level = loud\n"), ":1: log-level 'loud': give 1 to 4, or trace, notice, warning or failure");
  EXPECT_EQ(ErrorOf("listen = localhost\n"),
            ":1: listen 'localhost': not an IPv4 or IPv6 address (host names are not taken)");
  EXPECT_NE(ErrorOf("allow-clients = 10.0.0.0/33\n").find(":1: allow-clients '10.0.0.0/33'"), std::string::npos);
  EXPECT_NE(ErrorOf("metrics-listen = 9587\n").find(":1: metrics-listen '9587'"), std::string::npos);
  EXPECT_EQ(ErrorOf("port =\n"), ":1: port '': give a number from 1 to 65535");
  EXPECT_NE(ErrorOf("allow-clients =\n").find("the list of clients is empty"), std::string::npos);
  EXPECT_EQ(ErrorOf("port = 2049\nport = 2050\n"), ":2: 'port' is set already at line 1");
  EXPECT_EQ(ErrorOf("--port 2049\n"), ":1: expected 'key = value', found '--port 2049'");
  // Bytes of any kind in a bad line are shown escaped, on one line.
  EXPECT_EQ(ErrorOf("a\x1b[2Jb\n"), ":1: expected 'key = value', found 'a\\x1b[2Jb'");
  // The command line's own names are not keys.
  EXPECT_EQ(ErrorOf("config = /etc/other.conf\n"), ":1: unknown key 'config'");

  TestSupport::TempDir temp;
  HostSettings settings;
  std::string error;
  EXPECT_FALSE(Host::ReadConfigFile((temp.Path() / "missing.conf").string(), settings, error));
  EXPECT_NE(error.find("cannot be read"), std::string::npos) << error;
  EXPECT_FALSE(Host::ReadConfigFile(temp.Path().string(), settings, error));
  EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
  // An empty file (or /dev/null) sets nothing.
  EXPECT_TRUE(Host::ReadConfigFile("/dev/null", settings, error)) << error;
}

TEST(HostSettingsTest, TheCommandLineWinsAndChangesAreNamed) {
  HostSettings file;
  HostSettings commandLine;
  std::string problem;
  ASSERT_TRUE(file.Set("port", "2049", problem));
  ASSERT_TRUE(file.Set("read-only", "yes", problem));
  ASSERT_TRUE(file.Set("share-name", "/data", problem));
  ASSERT_TRUE(commandLine.Set("port", "3049", problem));
  ASSERT_TRUE(commandLine.Set("log-level", "trace", problem));
  const HostSettings merged = commandLine.Over(file);
  EXPECT_EQ(merged.Number("port"), 3049u);
  EXPECT_EQ(merged.Flag("read-only"), true);
  EXPECT_EQ(merged.Text("share-name"), "/data");
  EXPECT_EQ(merged.Number("log-level"), 1u);

  // Two spellings of one value are no change; a key set in one only is.
  HostSettings again = commandLine;
  ASSERT_TRUE(again.Set("log-level", "1", problem));
  ASSERT_TRUE(again.Set("read-only", "true", problem));
  HostSettings before = commandLine;
  ASSERT_TRUE(before.Set("read-only", "on", problem));
  EXPECT_EQ(again.ChangedFrom(before), std::vector<std::string>{});
  ASSERT_TRUE(again.Set("port", "2049", problem));
  ASSERT_TRUE(again.Set("listen", "::1", problem));
  EXPECT_EQ(again.ChangedFrom(before), (std::vector<std::string>{"listen", "port"}));

  EXPECT_FALSE(file.Set("nope", "1", problem));
  EXPECT_EQ(problem, "unknown key 'nope'");
}

}  // namespace
