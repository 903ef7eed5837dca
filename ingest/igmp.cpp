#include "ingest/igmp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <span>

#include "log/log.h"

namespace {

constexpr uint8_t kIgmpV2MembershipReport = 0x16;
constexpr uint8_t kIgmpV3MembershipReport = 0x22;
constexpr uint8_t kModeIsInclude = 1;
constexpr uint8_t kIpProtocolIgmp = 2;
// RFC 3376 section 4.2.14: version 3 reports go to all IGMPv3-capable routers.
constexpr uint32_t kAllIgmpV3RoutersHostOrder = 0xE0000016;  // 224.0.0.22
// RFC 3376 section 4: every IGMPv3 message is sent with IP precedence
// Internetwork Control and carries the Router Alert option (RFC 2113: type
// 148, copied into fragments, length 4; value 0, every router examines it).
constexpr uint8_t kInternetworkControl = 0xC0;
constexpr uint8_t kRouterAlert[kRouterAlertBytes] = {0x94, 0x04, 0x00, 0x00};

// bytes holds a zero checksum field at offset until now.
void StoreChecksum(std::span<uint8_t> bytes, size_t offset) {
    const uint16_t sum = InternetChecksum(bytes.data(), bytes.size());
    memcpy(&bytes[offset], &sum, 2);
}

// The fixed 20 bytes of header, in front of any options already in place after them.
void FillIpHeader(std::span<uint8_t> header, size_t totalBytes, uint8_t typeOfService, uint32_t sender,
                  uint32_t destination) {
    const uint16_t totalLength = htons(static_cast<uint16_t>(totalBytes));
    header[0] = 0x40 | static_cast<uint8_t>(header.size() / 4);  // version 4, length in 32-bit words
    header[1] = typeOfService;
    memcpy(&header[2], &totalLength, 2);
    memset(&header[4], 0, 4);  // identification, flags, fragment offset
    header[8] = 1;             // time to live: reports never leave the link
    header[9] = kIpProtocolIgmp;
    memcpy(&header[12], &sender, 4);
    memcpy(&header[16], &destination, 4);
    StoreChecksum(header, 10);
}

bool SendDatagram(int sock, std::span<const uint8_t> packet, uint32_t destination) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = destination;
    if (sendto(sock, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
        Log("SendIgmpReport -- error, sendto() error, %s \n", ErrorText(errno).c_str());
        return false;
    }
    return true;
}

}  // namespace

uint16_t InternetChecksum(const void* data, size_t length) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < length; i += 2) {
        uint16_t word;
        memcpy(&word, bytes + i, 2);
        sum += word;
    }
    if (length % 2) {
        const uint8_t last[2] = {bytes[length - 1], 0};
        uint16_t word;
        memcpy(&word, last, 2);
        sum += word;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += sum >> 16;
    return static_cast<uint16_t>(~sum);
}

std::array<uint8_t, kIgmpReportBytes> BuildIgmpReport(uint32_t group, uint32_t sender) {
    std::array<uint8_t, kIgmpReportBytes> packet{};
    const std::span<uint8_t> message = std::span(packet).subspan(kIpHeaderBytes);
    FillIpHeader(std::span(packet).first(kIpHeaderBytes), packet.size(), 0, sender, group);
    message[0] = kIgmpV2MembershipReport;
    memcpy(&message[4], &group, 4);
    StoreChecksum(message, 2);
    return packet;
}

std::array<uint8_t, kIgmpV3ReportBytes> BuildIgmpV3Report(uint32_t group, uint32_t source, uint32_t sender) {
    std::array<uint8_t, kIgmpV3ReportBytes> packet{};
    const std::span<uint8_t> header = std::span(packet).first(kIpHeaderBytes + kRouterAlertBytes);
    const std::span<uint8_t> message = std::span(packet).subspan(header.size());
    memcpy(&header[kIpHeaderBytes], kRouterAlert, kRouterAlertBytes);
    FillIpHeader(header, packet.size(), kInternetworkControl, sender, htonl(kAllIgmpV3RoutersHostOrder));
    const uint16_t one = htons(1);
    message[0] = kIgmpV3MembershipReport;
    memcpy(&message[6], &one, 2);  // group records
    // The record: its type, no auxiliary data, one source, the group, the source.
    message[8] = kModeIsInclude;
    memcpy(&message[10], &one, 2);
    memcpy(&message[12], &group, 4);
    memcpy(&message[16], &source, 4);
    StoreChecksum(message, 2);
    return packet;
}

bool SendIgmpReport(int sock, uint32_t group, uint32_t source) {
    // The kernel fills in a sender of 0.0.0.0 with the outgoing interface's address.
    if (source == 0) return SendDatagram(sock, BuildIgmpReport(group, 0), group);
    return SendDatagram(sock, BuildIgmpV3Report(group, source, 0), htonl(kAllIgmpV3RoutersHostOrder));
}
