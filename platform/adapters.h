// The network interfaces as start-up sees them: in index order, each with a
// description ("eth0 Ethernet") and its first IPv4 address and mask as text.
#pragma once

#include <string>
#include <vector>

struct AdapterInfo {
    std::string description;
    std::string address;  // "0.0.0.0" when the interface has no IPv4 address
    std::string mask;
};

// False when the interface list cannot be read at all.
bool ListAdapters(std::vector<AdapterInfo>& adapters);

// The kind word of an interface, from its flags and what sysfs shows of it.
std::string AdapterKind(bool loopback, bool wireless, bool bluetooth, bool virtualDevice);
