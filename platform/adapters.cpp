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

std::string Describe(const std::string& name, unsigned flags) {
    std::error_code error;
    const fs::path device = fs::path("/sys/class/net") / name;
    const bool wireless = fs::exists(device / "wireless", error) || fs::exists(device / "phy80211", error);
    const fs::path real = fs::canonical(device, error);
    const bool virtualDevice = !error && real.string().starts_with("/sys/devices/virtual/net/");
    return name + " " + AdapterKind(flags & IFF_LOOPBACK, wireless, IsBluetooth(device), virtualDevice);
}

}  // namespace

std::string AdapterKind(bool loopback, bool wireless, bool bluetooth, bool virtualDevice) {
    if (loopback) return "Loopback";
    if (wireless) return "Wireless";
    if (bluetooth) return "Bluetooth";
    if (virtualDevice) return "Virtual";
    return "Ethernet";
}

bool ListAdapters(std::vector<AdapterInfo>& adapters) {
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
        if (added) entry->second.info = {Describe(it->ifa_name, it->ifa_flags), "0.0.0.0", "0.0.0.0"};
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
