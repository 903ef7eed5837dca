#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/adapters.h"

inline constexpr char kNoInterfaceAddr[] = "127.0.0.1";

struct InterfaceChoice {
    std::string hostAddr = kNoInterfaceAddr;
    uint32_t hostIp = 0;  // network byte order; 0 lets the system pick
    std::vector<const AdapterInfo*> passed;  // each gets a "network interface" log line
};

// True when the description names a kind of interface that never carries the
// stream: radios, tunnels and loopback. Case-sensitive, as adapters name them.
bool IsExcludedAdapter(const std::string& description);

// The first adapter that is not excluded and has an address; adapters that
// pass without one leave their address text behind but are not chosen.
InterfaceChoice ChooseInterface(const std::vector<AdapterInfo>& adapters);
