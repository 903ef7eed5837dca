// Who may open the control channel: the addresses and CIDR blocks of
// QUILLBROOK_CONTROL_FROM, read once at start-up. Without the variable anyone
// may; a service whose client runs beside it sets the loopback address.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr char kControlFromVariable[] = "QUILLBROOK_CONTROL_FROM";

struct AddressBlock {
    uint32_t network;  // host byte order, host bits cleared
    int prefixBits;
};

// Items separated by commas or blanks, each "A.B.C.D" or "A.B.C.D/BITS".
// Absent, with error set, when any item is malformed or none is given: a
// list meant to restrict must never end up allowing everyone.
std::optional<std::vector<AddressBlock>> ParseAddressBlocks(std::string_view text, std::string& error);

// The peer's address as the web server gives it; anything but dotted IPv4
// is outside every block.
bool AddressAllowed(const std::vector<AddressBlock>& blocks, const char* address);

// "127.0.0.1/32, 198.51.100.0/24", for the start-up log.
std::string FormatAddressBlocks(const std::vector<AddressBlock>& blocks);
