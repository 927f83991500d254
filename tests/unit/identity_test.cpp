#include "platform/identity.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>

namespace velka {
namespace {

TEST(IdentityTest, GuidsAreWellFormedVersionFourAndDistinct) {
    // Upper-case 8-4-4-4-12 groups; a random GUID carries version 4 and the RFC 4122 variant.
    const std::regex format("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string guid = NewGuidString();
        ASSERT_EQ(guid.size(), 36u) << guid;
        EXPECT_TRUE(std::regex_match(guid, format)) << guid;
        EXPECT_TRUE(seen.insert(guid).second) << "repeated " << guid;
    }
}

TEST(IdentityTest, MacAddressIsAnEthernetAdaptersOrEmptyAndStable) {
    // Where the host name resolves to the loopback adapter (as on many build machines), its
    // all-zero hardware address must not be taken for an Ethernet adapter's: the result is empty.
    const std::string mac = LocalMacAddress();
    EXPECT_TRUE(std::regex_match(mac, std::regex("|([0-9a-f]{2}:){5}[0-9a-f]{2}"))) << mac;
    EXPECT_NE(mac, "00:00:00:00:00:00");
    EXPECT_EQ(LocalMacAddress(), mac) << "the same adapter every time";
}

}  // namespace
}  // namespace velka
