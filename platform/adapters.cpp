#include "platform/adapters.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <filesystem>
#include <fstream>
#include <map>

namespace {

namespace fs = std::filesystem;

// Bridges over bonds over VLANs nest a few levels at most; the bound only
// guards against a loop in a damaged tree.
constexpr int kMaxStackDepth = 8;

std::string AddressText(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = "0.0.0.0";
    if (address && address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    }
    return text;
}

bool IsBluetooth(const fs::path& device) {
    std::ifstream uevent(device / "uevent");
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=bluetooth") return true;
    }
    return false;
}

struct DeviceFacts {
    bool wireless = false;
    bool bluetooth = false;
    bool virtualDevice = false;
};

DeviceFacts ReadFacts(const fs::path& sysfsRoot, const std::string& name) {
    std::error_code error;
    const fs::path device = sysfsRoot / "class/net" / name;
    DeviceFacts facts;
    facts.wireless = fs::exists(device / "wireless", error) || fs::exists(device / "phy80211", error);
    facts.bluetooth = IsBluetooth(device);
    // The kernel files software devices (bridges, bonds, VLANs, veth, tun)
    // under devices/virtual; hardware sits under its bus.
    const fs::path real = fs::canonical(device, error);
    const fs::path virtualNet = fs::weakly_canonical(sysfsRoot / "devices/virtual/net", error);
    facts.virtualDevice = real.string().starts_with(virtualNet.string() + "/");
    return facts;
}

// The devices a stacked device sends through: "lower_DEV" links for bonds,
// VLANs and bridges, and a bridge's ports in brif/.
std::vector<std::string> LowerDevices(const fs::path& sysfsRoot, const std::string& name) {
    std::vector<std::string> lower;
    std::error_code error;
    const fs::path device = sysfsRoot / "class/net" / name;
    for (const auto& entry : fs::directory_iterator(device, error)) {
        const std::string link = entry.path().filename();
        if (link.starts_with("lower_")) lower.push_back(link.substr(6));
    }
    for (const auto& entry : fs::directory_iterator(device / "brif", error)) lower.push_back(entry.path().filename());
    return lower;
}

bool OverWiredPort(const fs::path& sysfsRoot, const std::string& name, int depth) {
    if (depth > kMaxStackDepth) return false;
    for (const std::string& lower : LowerDevices(sysfsRoot, name)) {
        const DeviceFacts facts = ReadFacts(sysfsRoot, lower);
        if (facts.wireless || facts.bluetooth) continue;
        if (!facts.virtualDevice || OverWiredPort(sysfsRoot, lower, depth + 1)) return true;
    }
    return false;
}

}  // namespace

std::string DescribeAdapter(const std::string& sysfsRoot, const std::string& name, bool loopback) {
    const DeviceFacts facts = ReadFacts(sysfsRoot, name);
    const char* kind = "Ethernet";
    if (loopback) {
        kind = "Loopback";
    } else if (facts.wireless) {
        kind = "Wireless";
    } else if (facts.bluetooth) {
        kind = "Bluetooth";
    } else if (facts.virtualDevice && !OverWiredPort(sysfsRoot, name, 0)) {
        kind = "Virtual";
    }
    return name + " " + kind;
}

bool ListAdapters(std::vector<AdapterInfo>& adapters, const std::string& sysfsRoot) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return false;
    struct Entry {
        AdapterInfo info;
        bool hasIpv4 = false;
    };
    std::map<unsigned, Entry> byIndex;  // index order, as the kernel numbers them
    for (ifaddrs* it = list; it; it = it->ifa_next) {
        const unsigned index = if_nametoindex(it->ifa_name);
        if (index == 0) continue;
        auto [entry, added] = byIndex.try_emplace(index);
        if (added) {
            entry->second.info = {it->ifa_name, DescribeAdapter(sysfsRoot, it->ifa_name, it->ifa_flags & IFF_LOOPBACK),
                                  "0.0.0.0", "0.0.0.0"};
        }
        if (!entry->second.hasIpv4 && it->ifa_addr && it->ifa_addr->sa_family == AF_INET) {
            entry->second.hasIpv4 = true;
            entry->second.info.address = AddressText(it->ifa_addr);
            entry->second.info.mask = AddressText(it->ifa_netmask);
        }
    }
    freeifaddrs(list);
    for (auto& [index, entry] : byIndex) adapters.push_back(entry.info);
    return true;
}
