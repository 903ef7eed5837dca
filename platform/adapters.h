// The network interfaces as start-up sees them: in index order, each with a
// description ("eth0 Ethernet") and its first IPv4 address and mask as text.
#pragma once

#include <string>
#include <vector>

inline constexpr char kSysfsRoot[] = "/sys";

struct AdapterInfo {
    std::string name;
    std::string description;
    std::string address;  // "0.0.0.0" when the interface has no IPv4 address
    std::string mask;
};

// False when the interface list cannot be read at all. sysfsRoot is where
// sysfs is mounted; tests point it at a tree of their own.
bool ListAdapters(std::vector<AdapterInfo>& adapters, const std::string& sysfsRoot = kSysfsRoot);

// "NAME KIND" from what sysfs shows of the interface. A bridge, bond or VLAN
// that sits on a wired port anywhere below it carries that port's traffic,
// so it is described as Ethernet; other software devices are Virtual.
std::string DescribeAdapter(const std::string& sysfsRoot, const std::string& name, bool loopback);
