// IGMPv2 membership report (RFC 2236), sent as a whole IPv4 datagram that the
// relay builds itself, for switches that snoop IGMP.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kIpHeaderBytes = 20;
inline constexpr size_t kIgmpReportBytes = 28;

// RFC 1071, summed in memory order so the result is stored as it comes back.
uint16_t InternetChecksum(const void* data, size_t length);

// group and source in network byte order.
std::array<uint8_t, kIgmpReportBytes> BuildIgmpReport(uint32_t group, uint32_t source);

// Sends one report for group on a raw IPv4 socket that takes whole datagrams
// (IPPROTO_RAW); false, logged, when the send fails.
bool SendIgmpReport(int sock, uint32_t group);
