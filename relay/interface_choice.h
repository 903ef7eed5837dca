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
    std::string overrideProblem;  // why the named interface was not taken; empty if it was or none was named
};

enum class AdapterTier { Wired, Wireless, Never };

// Radios serve when nothing wired does; tunnels, Bluetooth, loopback and
// software devices without a wired port never carry the stream.
// Case-sensitive, as adapters name their kinds.
AdapterTier TierOf(const std::string& description);

// The adapter named overrideName, when it has an IPv4 address; else the first
// wired adapter with one, else the first wireless one with one. An adapter
// without an address is never chosen: players cannot reach 0.0.0.0.
InterfaceChoice ChooseInterface(const std::vector<AdapterInfo>& adapters, const std::string& overrideName = "");
