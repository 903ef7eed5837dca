// Membership reports, sent as whole IPv4 datagrams that the relay builds
// itself, for switches that snoop IGMP: IGMPv2 (RFC 2236) for a group taken
// from any source, IGMPv3 (RFC 3376) for a group taken from one source, which
// only version 3 can name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr size_t kIpHeaderBytes = 20;
inline constexpr size_t kIgmpReportBytes = 28;
// RFC 2113: type, length and a two-byte value.
inline constexpr size_t kRouterAlertBytes = 4;
// The report's own 8 bytes, then one group record: 8 bytes and one source.
inline constexpr size_t kIgmpV3MessageBytes = 8 + 8 + 4;
inline constexpr size_t kIgmpV3ReportBytes = kIpHeaderBytes + kRouterAlertBytes + kIgmpV3MessageBytes;

// RFC 1071, summed in memory order so the result is stored as it comes back.
uint16_t InternetChecksum(const void* data, size_t length);

// Addresses in network byte order; sender is the datagram's IP source, 0 for
// the kernel to fill in as it sends.
std::array<uint8_t, kIgmpReportBytes> BuildIgmpReport(uint32_t group, uint32_t sender);
// One current-state record, MODE_IS_INCLUDE with source alone, for group.
std::array<uint8_t, kIgmpV3ReportBytes> BuildIgmpV3Report(uint32_t group, uint32_t source, uint32_t sender);

// Sends one report for group, IGMPv3 naming source when it is not 0, on a raw
// IPv4 socket that takes whole datagrams (IPPROTO_RAW); false, logged, when
// the send fails.
bool SendIgmpReport(int sock, uint32_t group, uint32_t source);
