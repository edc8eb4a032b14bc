#include "host/Network.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <string>

namespace {

bool Allows(const Host::ClientNetworks& networks, const std::string& address) {
  sockaddr_in v4{};
  if (inet_pton(AF_INET, address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    return networks.Contains(reinterpret_cast<sockaddr*>(&v4), sizeof v4);
  }
  sockaddr_in6 v6{};
  EXPECT_EQ(inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr), 1) << address;
  v6.sin6_family = AF_INET6;
  return networks.Contains(reinterpret_cast<sockaddr*>(&v6), sizeof v6);
}

Host::ClientNetworks Parsed(const std::string& list) {
  Host::ClientNetworks networks;
  std::string why;
  EXPECT_TRUE(Host::ClientNetworks::Parse(list, networks, why)) << list << ": " << why;
  return networks;
}

TEST(ClientNetworksTest, TheDefaultIsThisMachineOnly) {
  const Host::ClientNetworks loopback;
  EXPECT_TRUE(Allows(loopback, "127.0.0.1"));
  EXPECT_TRUE(Allows(loopback, "127.255.0.9"));
  EXPECT_TRUE(Allows(loopback, "::1"));
  EXPECT_TRUE(Allows(loopback, "::ffff:127.0.0.1"));  // an IPv4 client of a dual-stack socket
  EXPECT_FALSE(Allows(loopback, "128.0.0.1"));
  EXPECT_FALSE(Allows(loopback, "192.168.1.10"));
  EXPECT_FALSE(Allows(loopback, "::2"));
  EXPECT_FALSE(Allows(loopback, "::ffff:10.0.0.1"));
  EXPECT_EQ(loopback.ToString(), "127.0.0.0/8,::1");
  EXPECT_FALSE(loopback.AllowsEveryone());
}

TEST(ClientNetworksTest, NetworksMatchByTheirPrefixOnly) {
  const Host::ClientNetworks networks = Parsed("192.168.1.0/24, 10.1.2.3,fd00::/8,172.16.5.7/12");
  EXPECT_TRUE(Allows(networks, "192.168.1.0"));
  EXPECT_TRUE(Allows(networks, "192.168.1.255"));
  EXPECT_FALSE(Allows(networks, "192.168.2.1"));
  EXPECT_TRUE(Allows(networks, "10.1.2.3"));
  EXPECT_FALSE(Allows(networks, "10.1.2.4"));
  EXPECT_TRUE(Allows(networks, "fd12:3456::1"));
  EXPECT_FALSE(Allows(networks, "fe80::1"));
  // Host bits past the prefix are dropped: 172.16.5.7/12 is 172.16.0.0/12.
  EXPECT_TRUE(Allows(networks, "172.31.255.255"));
  EXPECT_FALSE(Allows(networks, "172.32.0.0"));
  EXPECT_TRUE(Allows(networks, "::ffff:192.168.1.77"));
  // IPv4 networks never match IPv6 addresses that merely end alike.
  EXPECT_FALSE(Allows(networks, "::10.1.2.3"));
  EXPECT_EQ(networks.ToString(), "192.168.1.0/24,10.1.2.3,fd00::/8,172.16.0.0/12");
  EXPECT_TRUE(Allows(Parsed("0.0.0.0/0"), "8.8.8.8"));
  EXPECT_FALSE(Allows(Parsed("0.0.0.0/0"), "2001:db8::1"));
}

TEST(ClientNetworksTest, AStarLetsEveryoneIn) {
  const Host::ClientNetworks everyone = Parsed("*");
  EXPECT_TRUE(everyone.AllowsEveryone());
  EXPECT_TRUE(Allows(everyone, "203.0.113.9"));
  EXPECT_TRUE(Allows(everyone, "2001:db8::1"));
  EXPECT_EQ(everyone.ToString(), "*");
}

TEST(ClientNetworksTest, MalformedListsNameTheBadEntryAndChangeNothing) {
  for (const auto& [list, named] : std::vector<std::pair<std::string, std::string>>{
           {"10.0.0.0/33", "'10.0.0.0/33'"},
           {"fd00::/129", "'fd00::/129'"},
           {"10.0.0.0/", "'10.0.0.0/'"},
           {"10.0.0.0/-1", "'10.0.0.0/-1'"},
           {"192.168.1.0/24,nfs.example.org", "'nfs.example.org'"},
           {"256.0.0.1", "'256.0.0.1'"},
           {"10.0.0.1,,10.0.0.2", "empty entry"},
           {"10.0.0.1,", "empty entry"},
           {"", "empty"},
           {" , ", "empty"},
           {"10.0.0.1/8/8", "'10.0.0.1/8/8'"}}) {
    Host::ClientNetworks networks;
    std::string why;
    EXPECT_FALSE(Host::ClientNetworks::Parse(list, networks, why)) << list;
    EXPECT_NE(why.find(named), std::string::npos) << list << ": " << why;
    EXPECT_EQ(networks.ToString(), "127.0.0.0/8,::1") << list;
  }
}

TEST(ClientNetworksTest, AddressesShowAsTheAllowListSeesThem) {
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = htons(812);
  inet_pton(AF_INET6, "::ffff:192.0.2.7", &mapped.sin6_addr);
  EXPECT_EQ(Host::FormatSocketAddress(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), "192.0.2.7:812");
  inet_pton(AF_INET6, "2001:db8::1", &mapped.sin6_addr);
  EXPECT_EQ(Host::FormatSocketAddress(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), "[2001:db8::1]:812");
  EXPECT_EQ(Host::FormatIpAddress(reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), "2001:db8::1");
  Host::IpNetwork address;
  EXPECT_TRUE(Host::ParseIpAddress("::", address));
  EXPECT_FALSE(Host::ParseIpAddress("localhost", address));
  EXPECT_FALSE(Host::ParseIpAddress("127.0.0.1:80", address));
}

}  // namespace
