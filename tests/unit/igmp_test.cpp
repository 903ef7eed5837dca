#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "ingest/igmp.h"

namespace {

uint32_t Address(const char* text) {
    in_addr address{};
    inet_pton(AF_INET, text, &address);
    return address.s_addr;
}

TEST(IgmpReport, MatchesTheReferenceDatagramByteForByte) {
    const std::vector<uint8_t> expected = {0x45, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02,
                                           0xc9, 0xde, 0x00, 0x00, 0x00, 0x00, 0xef, 0x01, 0x01, 0x01,
                                           0x16, 0x00, 0xf9, 0xfc, 0xef, 0x01, 0x01, 0x01};
    const auto packet = BuildIgmpReport(Address("239.1.1.1"), 0);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.end()), expected);
}

TEST(IgmpReport, BothChecksumsVerifyAndFollowTheAddresses) {
    for (const char* group : {"239.1.1.1", "224.0.0.251", "239.255.255.250", "0.0.0.0"}) {
        const auto packet = BuildIgmpReport(Address(group), Address("198.51.100.7"));
        // A correct checksum makes the checksum over the whole header zero.
        EXPECT_EQ(InternetChecksum(packet.data(), kIpHeaderBytes), 0) << group;
        EXPECT_EQ(InternetChecksum(packet.data() + kIpHeaderBytes, kIgmpReportBytes - kIpHeaderBytes), 0) << group;
    }
    const auto a = BuildIgmpReport(Address("239.1.1.1"), 0);
    const auto b = BuildIgmpReport(Address("239.1.1.2"), 0);
    EXPECT_NE(a[10] << 8 | a[11], b[10] << 8 | b[11]);
    EXPECT_NE(a[22] << 8 | a[23], b[22] << 8 | b[23]);
}

TEST(InternetChecksum, FoldsCarriesAndPadsAnOddByte) {
    // RFC 1071's worked example: 00 01 f2 03 f4 f5 f6 f7 sums to ddf2.
    const uint8_t rfc[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    const uint16_t sum = InternetChecksum(rfc, sizeof rfc);
    const uint8_t* stored = reinterpret_cast<const uint8_t*>(&sum);
    EXPECT_EQ(stored[0], 0xff - 0xdd);
    EXPECT_EQ(stored[1], 0xff - 0xf2);
    const uint8_t odd[] = {0x12, 0x34, 0x56};  // 1234 + 5600 = 6834
    const uint16_t oddSum = InternetChecksum(odd, sizeof odd);
    const uint8_t* oddStored = reinterpret_cast<const uint8_t*>(&oddSum);
    EXPECT_EQ(oddStored[0], 0xff - 0x68);
    EXPECT_EQ(oddStored[1], 0xff - 0x34);
    EXPECT_EQ(InternetChecksum(nullptr, 0), 0xFFFF);
}

}  // namespace
