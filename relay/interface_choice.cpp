#include "relay/interface_choice.h"

#include <arpa/inet.h>

namespace {

uint32_t AddressOf(const AdapterInfo& adapter) {
    in_addr address{};
    return inet_pton(AF_INET, adapter.address.c_str(), &address) == 1 ? address.s_addr : 0;
}

void Take(InterfaceChoice& choice, const AdapterInfo& adapter) {
    choice.hostAddr = adapter.address;
    choice.hostIp = AddressOf(adapter);
}

}  // namespace

AdapterTier TierOf(const std::string& description) {
    const auto names = [&description](const char* word) { return description.find(word) != std::string::npos; };
    if (names("Bluetooth") || names("Virtual") || names("Loopback")) return AdapterTier::Never;
    if (names("Wireless") || names("Wi-Fi")) return AdapterTier::Wireless;
    return AdapterTier::Wired;
}

InterfaceChoice ChooseInterface(const std::vector<AdapterInfo>& adapters, const std::string& overrideName) {
    InterfaceChoice choice;
    if (!overrideName.empty()) {
        choice.overrideProblem = "no interface of that name";
        for (const AdapterInfo& adapter : adapters) {
            if (adapter.name != overrideName) continue;
            if (AddressOf(adapter) == 0) {
                choice.overrideProblem = "it has no IPv4 address";
                break;
            }
            choice.overrideProblem.clear();
            choice.passed.push_back(&adapter);
            Take(choice, adapter);
            return choice;
        }
    }
    for (AdapterTier tier : {AdapterTier::Wired, AdapterTier::Wireless}) {
        for (const AdapterInfo& adapter : adapters) {
            if (TierOf(adapter.description) != tier) continue;
            choice.passed.push_back(&adapter);
            if (AddressOf(adapter) != 0) {
                Take(choice, adapter);
                return choice;
            }
        }
    }
    return choice;
}
