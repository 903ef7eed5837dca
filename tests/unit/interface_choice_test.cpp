#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "platform/app_data.h"
#include "relay/interface_choice.h"

namespace {

TEST(InterfaceChoice, SkipsExcludedKindsCaseSensitively) {
    EXPECT_TRUE(IsExcludedAdapter("lo Loopback"));
    EXPECT_TRUE(IsExcludedAdapter("veth0 Virtual"));
    EXPECT_TRUE(IsExcludedAdapter("wlan0 Wireless"));
    EXPECT_TRUE(IsExcludedAdapter("bnep0 Bluetooth"));
    EXPECT_TRUE(IsExcludedAdapter("Intel Wi-Fi 6 AX201"));
    EXPECT_FALSE(IsExcludedAdapter("eth0 Ethernet"));
    EXPECT_FALSE(IsExcludedAdapter("my wireless bridge"));
}

TEST(InterfaceChoice, FirstPassingAdapterWithAnAddressWins) {
    const std::vector<AdapterInfo> adapters = {
        {"lo Loopback", "127.0.0.1", "255.0.0.0"},
        {"eth0 Ethernet", "0.0.0.0", "0.0.0.0"},
        {"wlan0 Wireless", "192.168.1.5", "255.255.255.0"},
        {"eth1 Ethernet", "198.51.100.7", "255.255.255.0"},
        {"eth2 Ethernet", "198.51.100.8", "255.255.255.0"},
    };
    const InterfaceChoice choice = ChooseInterface(adapters);
    EXPECT_EQ(choice.hostAddr, "198.51.100.7");
    EXPECT_EQ(choice.hostIp, inet_addr("198.51.100.7"));
    ASSERT_EQ(choice.passed.size(), 2u);  // both log a line, the first with 0.0.0.0
    EXPECT_EQ(choice.passed[0]->description, "eth0 Ethernet");
    EXPECT_EQ(choice.passed[1]->description, "eth1 Ethernet");
}

TEST(InterfaceChoice, PassingAdaptersWithoutAddressKeepTheLastText) {
    const InterfaceChoice choice = ChooseInterface({{"eth0 Ethernet", "0.0.0.0", "0.0.0.0"},
                                                    {"eth1 Ethernet", "not an address", "0.0.0.0"}});
    EXPECT_EQ(choice.hostAddr, "not an address");
    EXPECT_EQ(choice.hostIp, 0u);
}

TEST(InterfaceChoice, PrivateNamespaceChoosesNone) {
    const InterfaceChoice choice = ChooseInterface({{"lo Loopback", "127.0.0.1", "255.0.0.0"},
                                                    {"veth-a Virtual", "198.51.100.1", "255.255.255.0"}});
    EXPECT_EQ(choice.hostAddr, "127.0.0.1");
    EXPECT_EQ(choice.hostIp, 0u);
    EXPECT_TRUE(choice.passed.empty());
}

TEST(InterfaceChoice, KindWordsFollowTheDevice) {
    EXPECT_EQ(AdapterKind(true, false, false, true), "Loopback");
    EXPECT_EQ(AdapterKind(false, true, false, false), "Wireless");
    EXPECT_EQ(AdapterKind(false, false, true, false), "Bluetooth");
    EXPECT_EQ(AdapterKind(false, false, false, true), "Virtual");
    EXPECT_EQ(AdapterKind(false, false, false, false), "Ethernet");
}

TEST(UserDataFolder, FollowsXdgOnlyWhenAbsolute) {
    EXPECT_EQ(UserDataFolder("/data", "/home/u"), "/data");
    EXPECT_EQ(UserDataFolder("relative", "/home/u"), "/home/u/.local/share");
    EXPECT_EQ(UserDataFolder(nullptr, "/home/u"), "/home/u/.local/share");
}

}  // namespace
