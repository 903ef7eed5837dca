#include "relay/interface_choice.h"

#include <arpa/inet.h>

bool IsExcludedAdapter(const std::string& description) {
    for (const char* word : {"Bluetooth", "Virtual", "Loopback", "Wireless", "Wi-Fi"}) {
        if (description.find(word) != std::string::npos) return true;
    }
    return false;
}

InterfaceChoice ChooseInterface(const std::vector<AdapterInfo>& adapters) {
    InterfaceChoice choice;
    for (const AdapterInfo& adapter : adapters) {
        if (IsExcludedAdapter(adapter.description)) continue;
        choice.hostAddr = adapter.address;
        choice.passed.push_back(&adapter);
        in_addr address{};
        if (inet_pton(AF_INET, adapter.address.c_str(), &address) == 1 && address.s_addr != 0) {
            choice.hostIp = address.s_addr;
            break;
        }
    }
    return choice;
}
