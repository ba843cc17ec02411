// allow_networks: which client addresses a list of networks holds.

#include "network_list.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quillpost::smtpd {
namespace {

TEST(NetworkListTest, HoldsTheAddressesOfItsPrefixesInBothFamilies) {
  const NetworkList list =
      NetworkList::Parse(" 192.0.2.128/25, 10.0.0.0/8,2001:db8:40::/42 , 198.51.100.7,");
  const auto holds = [&](const char* address) { return list.Contains(*ParseIpAddress(address)); };
  EXPECT_TRUE(holds("192.0.2.128"));
  EXPECT_TRUE(holds("192.0.2.255"));
  EXPECT_FALSE(holds("192.0.2.127"));
  EXPECT_TRUE(holds("10.255.0.1"));
  EXPECT_FALSE(holds("11.0.0.1"));
  EXPECT_TRUE(holds("198.51.100.7"));
  EXPECT_FALSE(holds("198.51.100.8"));
  EXPECT_TRUE(holds("2001:db8:7f::1"));
  EXPECT_FALSE(holds("2001:db8:80::1"));
  // An IPv4 client on an IPv6 socket is the IPv4 address.
  EXPECT_TRUE(holds("::ffff:10.1.2.3"));
  EXPECT_FALSE(NetworkList::Parse("0.0.0.0/0").Contains(*ParseIpAddress("::1")));
  EXPECT_TRUE(IsLoopback(*ParseIpAddress("127.8.9.10")));
  EXPECT_TRUE(IsLoopback(*ParseIpAddress("::1")));
  EXPECT_FALSE(IsLoopback(*ParseIpAddress("0.0.0.0")));

  for (const char* bad :
       {"10.0.0.0/33", "2001:db8::/129", "10.0.0.0/", "example.org", "10.0.0/8"}) {
    EXPECT_THROW(NetworkList::Parse(bad), std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace quillpost::smtpd
