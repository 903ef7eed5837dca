#include "ingest/igmp.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "log/log.h"

namespace {

constexpr uint8_t kIgmpV2MembershipReport = 0x16;
constexpr uint8_t kIpProtocolIgmp = 2;

void FillIpHeader(uint8_t* header) {
    const uint16_t totalLength = htons(kIgmpReportBytes);
    header[0] = 0x45;  // version 4, five 32-bit words
    header[1] = 0;
    memcpy(header + 2, &totalLength, 2);
    memset(header + 4, 0, 4);  // identification, flags, fragment offset
    header[8] = 1;             // time to live: reports never leave the link
    header[9] = kIpProtocolIgmp;
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

std::array<uint8_t, kIgmpReportBytes> BuildIgmpReport(uint32_t group, uint32_t source) {
    std::array<uint8_t, kIgmpReportBytes> packet{};
    uint8_t* header = packet.data();
    uint8_t* message = header + kIpHeaderBytes;
    FillIpHeader(header);
    memcpy(header + 12, &source, 4);
    memcpy(header + 16, &group, 4);
    const uint16_t headerSum = InternetChecksum(header, kIpHeaderBytes);
    memcpy(header + 10, &headerSum, 2);
    message[0] = kIgmpV2MembershipReport;
    memcpy(message + 4, &group, 4);
    const uint16_t messageSum = InternetChecksum(message, kIgmpReportBytes - kIpHeaderBytes);
    memcpy(message + 2, &messageSum, 2);
    return packet;
}

bool SendIgmpReport(int sock, uint32_t group) {
    // The kernel fills in a source of 0.0.0.0 with the outgoing interface's address.
    const auto packet = BuildIgmpReport(group, 0);
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_addr.s_addr = group;
    if (sendto(sock, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
               sizeof destination) < 0) {
        Log("SendIgmpReport -- error, sendto() error, %s \n", ErrorText(errno).c_str());
        return false;
    }
    return true;
}
