// The nfs subcommand's URL parser: hosts, ports, paths and query keys.
#include "tools/NfsUrl.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Tools::BadNfsUrl;
using Tools::NfsUrl;
using Tools::ParseNfsUrl;

TEST(NfsUrlTest, HostsPortsAndPaths) {
  NfsUrl url = ParseNfsUrl("nfs://server.example/share");
  EXPECT_EQ(url.host, "server.example");
  EXPECT_EQ(url.nfsPort, 2029);
  EXPECT_EQ(url.mountPort, 2029);
  EXPECT_EQ(url.share, "/share");
  EXPECT_TRUE(url.names.empty());
  EXPECT_FALSE(url.uid.has_value());

  url = ParseNfsUrl("nfs://127.0.0.1:2050/share/docs/a.txt");
  EXPECT_EQ(url.host, "127.0.0.1");
  EXPECT_EQ(url.nfsPort, 2050);
  EXPECT_EQ(url.mountPort, 2050);
  EXPECT_EQ(url.names, (std::vector<std::string>{"docs", "a.txt"}));

  url = ParseNfsUrl("NFS://[::1]:65535//share//docs/");
  EXPECT_EQ(url.host, "::1");
  EXPECT_EQ(url.nfsPort, 65535);
  EXPECT_EQ(url.share, "/share");
  EXPECT_EQ(url.names, std::vector<std::string>{"docs"});

  url = ParseNfsUrl("nfs://[fe80::1%25eth0]/share");
  EXPECT_EQ(url.host, "fe80::1%eth0");
  EXPECT_EQ(url.nfsPort, 2029);
  EXPECT_EQ(ParseNfsUrl("nfs://[2001:db8::7]:1/s").host, "2001:db8::7");
}

TEST(NfsUrlTest, PercentDecodingOfThePath) {
  const NfsUrl url = ParseNfsUrl("nfs://h/my%20share/caf%C3%A9/100%25.txt");
  EXPECT_EQ(url.share, "/my share");
  EXPECT_EQ(url.names, (std::vector<std::string>{"caf\xC3\xA9", "100%.txt"}));
  EXPECT_EQ(ParseNfsUrl("nfs://h/s/%3f%23%26").names, std::vector<std::string>{"?#&"});
}

TEST(NfsUrlTest, QueryKeys) {
  NfsUrl url = ParseNfsUrl("nfs://h:2050/share?version=3&nfsport=3000");
  EXPECT_EQ(url.nfsPort, 3000);
  EXPECT_EQ(url.mountPort, 2050);
  url = ParseNfsUrl("nfs://h/share/f?mountport=4000&uid=1000&gid=100&&auto-traverse-mounts=0&dircache=1"
                    "&autoreconnect=-1&tcp-syncnt=3&readahead=0&pagecache=0&debug=0");
  EXPECT_EQ(url.nfsPort, 2029);
  EXPECT_EQ(url.mountPort, 4000);
  EXPECT_EQ(url.uid, 1000);
  EXPECT_EQ(url.gid, 100);
  EXPECT_EQ(url.names, std::vector<std::string>{"f"});
  EXPECT_EQ(ParseNfsUrl("nfs://h/share?n%66sport=%35").nfsPort, 5);  // keys and values are decoded too
  EXPECT_EQ(ParseNfsUrl("nfs://h/share?").nfsPort, 2029);
}

TEST(NfsUrlTest, BadUrlsAreRefused) {
  for (const char* bad : {
           "",
           "http://h/share",
           "nfs:/h/share",
           "nfs://",
           "nfs://h",
           "nfs://h/",
           "nfs:///share",
           "nfs://:2029/share",
           "nfs://h:/share",
           "nfs://h:0/share",
           "nfs://h:65536/share",
           "nfs://h:-1/share",
           "nfs://h:20x/share",
           "nfs://h:2029:1/share",
           "nfs://::1/share",
           "nfs://[::1/share",
           "nfs://[::1]x/share",
           "nfs://[::1]:/share",
           "nfs://[not-v6]/share",
           "nfs://[127.0.0.1]/share",
           "nfs://[fe80::1%eth0]/share",
           "nfs://user@h/share",
           "nfs://h o/share",
           "nfs://h/sh are",
           "nfs://h/share\n",
           "nfs://h/share#top",
           "nfs://h/share/%2",
           "nfs://h/share/%zz",
           "nfs://h/share/a%2Fb",
           "nfs://h/share/a%00b",
           "nfs://h/share?version=4",
           "nfs://h/share?version=",
           "nfs://h/share?nfsport=0",
           "nfs://h/share?mountport=70000",
           "nfs://h/share?uid=-1",
           "nfs://h/share?gid=x",
           "nfs://h/share?dircache=2",
           "nfs://h/share?if=eth0",
           "nfs://h/share?nosuchkey=1",
           "nfs://h/share?version",
       }) {
    try {
      ParseNfsUrl(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const BadNfsUrl& error) {
      const std::string message = error.what();
      EXPECT_FALSE(message.empty()) << bad;
      EXPECT_EQ(message.find('\n'), std::string::npos) << bad;
    }
  }
}

}  // namespace
