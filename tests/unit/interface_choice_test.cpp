#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "relay/interface_choice.h"

namespace {

namespace fs = std::filesystem;

// Each device as "NAME KIND ADDRESS LINK...". KIND: E a wired port, W a radio (both hardware, under a bus),
// V a software device under devices/virtual, L loopback. LINK: lower_DEV, a link to a device beneath
// (bonds, VLANs), or brif/DEV, a bridge's port.
struct Case {
    std::vector<std::string> devices;
    const char* descriptions;  // what sysfs makes of each device, in order
    const char *overrideName, *hostAddr, *overrideProblem = "";
};

const Case kCases[] = {
    {{"eth0 E 0.0.0.0", "br0 V 192.168.1.10 brif/eth0"}, "eth0 Ethernet, br0 Ethernet", "", "192.168.1.10"},
    {{"eth0 E 0.0.0.0", "bond0 V 0.0.0.0 lower_eth0", "bond0.20 V 10.20.0.5 lower_bond0"},  // a VLAN on a bond
     "eth0 Ethernet, bond0 Ethernet, bond0.20 Ethernet", "", "10.20.0.5"},
    {{"lo L 127.0.0.1", "eth0 E 0.0.0.0", "wlan0 W 192.168.1.20"},  // no address on the wire: the radio
     "lo Loopback, eth0 Ethernet, wlan0 Wireless", "", "192.168.1.20"},
    {{"wlan0 W 192.168.1.20", "eth0 E 0.0.0.0", "eth1 E 10.0.0.7"},  // wired before wireless
     "wlan0 Wireless, eth0 Ethernet, eth1 Ethernet", "", "10.0.0.7"},
    {{"lo L 127.0.0.1", "veth0 V 198.51.100.1", "docker0 V 172.17.0.1 lower_veth0 brif/veth0"},  // a private namespace
     "lo Loopback, veth0 Virtual, docker0 Virtual", "", "127.0.0.1"},
    {{"eth0 E 10.0.0.1", "wlan0 W 192.168.1.20"}, "eth0 Ethernet, wlan0 Wireless", "wlan0", "192.168.1.20"},
    {{"eth0 E 10.0.0.1", "eth1 E 0.0.0.0"}, "eth0 Ethernet, eth1 Ethernet", "eth1", "10.0.0.1",
     "it has no IPv4 address"},
    {{"eth0 E 10.0.0.1"}, "eth0 Ethernet", "eth9", "10.0.0.1", "no interface of that name"},
};

// A tree laid out as sysfs is, class/net/NAME linking to where the kernel files the device; then the
// adapters as start-up lists them.
std::vector<AdapterInfo> Adapters(const fs::path& root, const std::vector<std::string>& devices) {
    std::vector<AdapterInfo> adapters;
    for (const std::string& device : devices) {
        std::istringstream fields(device);
        std::string name, kind, address, link;
        fields >> name >> kind >> address;
        const fs::path home = root / (kind == "E" || kind == "W" ? "devices/pci0000:00/net" : "devices/virtual/net");
        fs::create_directories(home / name);
        fs::create_directories(root / "class/net");
        fs::create_directory_symlink(home / name, root / "class/net" / name);
        if (kind == "W") fs::create_directory(home / name / "wireless");
        while (fields >> link) {
            const fs::path linked = root / "class/net" / link.substr(link.find_first_of("_/") + 1);
            fs::create_directories((home / name / link).parent_path());
            fs::create_directory_symlink(linked, home / name / link);
        }
        adapters.push_back({name, kind, address, "255.255.255.0"});
    }
    for (AdapterInfo& adapter : adapters) {
        adapter.description = DescribeAdapter(root, adapter.name, adapter.description == "L");
    }
    return adapters;
}

TEST(InterfaceChoice, ChoosesAReachableAddressOnSysfsFixtures) {
    char pattern[] = "/tmp/quillbrook-sysfs-XXXXXX";
    const fs::path scratch = mkdtemp(pattern);
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.descriptions);
        const std::vector<AdapterInfo> adapters = Adapters(scratch / std::to_string(&c - kCases), c.devices);
        std::string descriptions;
        for (const AdapterInfo& adapter : adapters) {
            descriptions += (descriptions.empty() ? "" : ", ") + adapter.description;
        }
        EXPECT_EQ(descriptions, c.descriptions);
        const InterfaceChoice choice = ChooseInterface(adapters, c.overrideName);
        EXPECT_EQ(choice.hostAddr, c.hostAddr);
        EXPECT_EQ(choice.hostIp, choice.hostAddr == kNoInterfaceAddr ? 0 : inet_addr(c.hostAddr));
        EXPECT_EQ(choice.overrideProblem, c.overrideProblem);
    }
    fs::remove_all(scratch);
}

}  // namespace
