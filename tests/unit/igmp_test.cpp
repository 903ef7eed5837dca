#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "ingest/igmp.h"

TEST(IgmpReport, MatchesTheReferenceDatagramAndBothChecksumsVerify) {
    const std::vector<uint8_t> expected = {0x45, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02,
                                           0xc9, 0xde, 0x00, 0x00, 0x00, 0x00, 0xef, 0x01, 0x01, 0x01,
                                           0x16, 0x00, 0xf9, 0xfc, 0xef, 0x01, 0x01, 0x01};
    const auto packet = BuildIgmpReport(inet_addr("239.1.1.1"), 0);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.end()), expected);
    // A correct checksum makes the checksum over the whole header zero.
    const auto other = BuildIgmpReport(inet_addr("239.255.255.250"), inet_addr("198.51.100.7"));
    EXPECT_EQ(InternetChecksum(other.data(), kIpHeaderBytes), 0);
    EXPECT_EQ(InternetChecksum(other.data() + kIpHeaderBytes, kIgmpReportBytes - kIpHeaderBytes), 0);
}

// The sum is in memory order, so the expected bytes are the complement as stored.
TEST(InternetChecksum, FoldsEveryCarryAndPadsAnOddByte) {
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> rows[] = {
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, {0xff - 0xdd, 0xff - 0xf2}},  // RFC 1071's example
        {{0xff, 0xff, 0xff, 0xff, 0x01, 0x00}, {0xfe, 0xff}},  // 1ffff folds to 10000, which must fold again to 0001
        {{0x12, 0x34, 0x56}, {0xff - 0x68, 0xff - 0x34}},       // 1234 + 5600
        {{}, {0xff, 0xff}},
    };
    for (const auto& [data, stored] : rows) {
        const uint16_t sum = InternetChecksum(data.data(), data.size());
        const auto* bytes = reinterpret_cast<const uint8_t*>(&sum);
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 2), stored) << testing::PrintToString(data);
    }
}
