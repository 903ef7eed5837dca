#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "relay/interface_choice.h"

namespace {

namespace fs = std::filesystem;

// kind: 'E' a wired port, 'W' a radio (both hardware, under a bus), 'V' a
// software device under devices/virtual, 'L' loopback. lower names the
// devices beneath it by "lower_X" links; ports are a bridge's brif/ entries.
struct Device {
    const char* name;
    char kind;
    const char* address;
    std::vector<const char*> lower = {};
    std::vector<const char*> ports = {};
};

struct Case {
    const char* scenario;
    std::vector<Device> devices;
    const char* descriptions;  // what sysfs makes of each device, in order
    const char* overrideName;
    const char* hostAddr;
    const char* overrideProblem = "";
};

const Case kCases[] = {
    {"bridge over Ethernet", {{"eth0", 'E', "0.0.0.0"}, {"br0", 'V', "192.168.1.10", {}, {"eth0"}}},
     "eth0 Ethernet, br0 Ethernet", "", "192.168.1.10"},
    {"bond", {{"eth0", 'E', "0.0.0.0"}, {"eth1", 'E', "0.0.0.0"}, {"bond0", 'V', "10.0.0.5", {"eth0", "eth1"}}},
     "eth0 Ethernet, eth1 Ethernet, bond0 Ethernet", "", "10.0.0.5"},
    {"VLAN on a bond", {{"eth0", 'E', "0.0.0.0"}, {"bond0", 'V', "0.0.0.0", {"eth0"}},
                        {"bond0.20", 'V', "10.20.0.5", {"bond0"}}},
     "eth0 Ethernet, bond0 Ethernet, bond0.20 Ethernet", "", "10.20.0.5"},
    {"Wi-Fi only", {{"lo", 'L', "127.0.0.1"}, {"wlan0", 'W', "192.168.1.20"}},
     "lo Loopback, wlan0 Wireless", "", "192.168.1.20"},
    {"Ethernet without address beside Wi-Fi", {{"eth0", 'E', "0.0.0.0"}, {"wlan0", 'W', "192.168.1.20"}},
     "eth0 Ethernet, wlan0 Wireless", "", "192.168.1.20"},
    {"wired before wireless", {{"wlan0", 'W', "192.168.1.20"}, {"eth0", 'E', "0.0.0.0"}, {"eth1", 'E', "10.0.0.7"}},
     "wlan0 Wireless, eth0 Ethernet, eth1 Ethernet", "", "10.0.0.7"},
    {"loopback, veth and a bridge of veths (private namespace)",
     {{"lo", 'L', "127.0.0.1"}, {"veth0", 'V', "198.51.100.1"}, {"docker0", 'V', "172.17.0.1", {"veth0"}, {"veth0"}}},
     "lo Loopback, veth0 Virtual, docker0 Virtual", "", "127.0.0.1"},
    {"override by name", {{"eth0", 'E', "10.0.0.1"}, {"wlan0", 'W', "192.168.1.20"}},
     "eth0 Ethernet, wlan0 Wireless", "wlan0", "192.168.1.20"},
    {"override without address", {{"eth0", 'E', "10.0.0.1"}, {"eth1", 'E', "0.0.0.0"}},
     "eth0 Ethernet, eth1 Ethernet", "eth1", "10.0.0.1", "it has no IPv4 address"},
    {"override of a missing interface", {{"eth0", 'E', "10.0.0.1"}},
     "eth0 Ethernet", "eth9", "10.0.0.1", "no interface of that name"},
};

// A tree laid out as sysfs is: class/net/NAME links to where the kernel
// files the device.
fs::path MakeSysfs(const fs::path& root, const std::vector<Device>& devices) {
    fs::create_directories(root / "class/net");
    for (const Device& device : devices) {
        const bool hardware = device.kind == 'E' || device.kind == 'W';
        const fs::path home = root / (hardware ? "devices/pci0000:00/net" : "devices/virtual/net") / device.name;
        fs::create_directories(home);
        if (device.kind == 'W') fs::create_directory(home / "wireless");
        for (const char* lower : device.lower) {
            fs::create_directory_symlink(root / "class/net" / lower, home / (std::string("lower_") + lower));
        }
        for (const char* port : device.ports) fs::create_directories(home / "brif" / port);
        fs::create_directory_symlink(home, root / "class/net" / device.name);
    }
    return root;
}

TEST(InterfaceChoice, ChoosesAReachableAddressOnSysfsFixtures) {
    char pattern[] = "/tmp/quillbrook-sysfs-XXXXXX";
    const fs::path scratch = mkdtemp(pattern);
    int number = 0;
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.scenario);
        const fs::path root = MakeSysfs(scratch / std::to_string(number++), c.devices);
        std::vector<AdapterInfo> adapters;
        std::string descriptions;
        for (const Device& device : c.devices) {
            adapters.push_back({device.name, DescribeAdapter(root, device.name, device.kind == 'L'), device.address,
                                "255.255.255.0"});
            descriptions += (descriptions.empty() ? "" : ", ") + adapters.back().description;
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
