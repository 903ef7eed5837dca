#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "ingest/igmp.h"

namespace {

uint32_t Address(const char* text) { return inet_addr(text); }

TEST(IgmpReport, MatchesTheReferenceDatagramAndBothChecksumsVerify) {
    const std::vector<uint8_t> expected = {0x45, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02,
                                           0xc9, 0xde, 0x00, 0x00, 0x00, 0x00, 0xef, 0x01, 0x01, 0x01,
                                           0x16, 0x00, 0xf9, 0xfc, 0xef, 0x01, 0x01, 0x01};
    const auto packet = BuildIgmpReport(Address("239.1.1.1"), 0);
    EXPECT_EQ(std::vector<uint8_t>(packet.begin(), packet.end()), expected);
    for (const char* group : {"239.255.255.250", "224.0.0.251", "0.0.0.0"}) {
        const auto other = BuildIgmpReport(Address(group), Address("198.51.100.7"));
        // A correct checksum makes the checksum over the whole header zero.
        EXPECT_EQ(InternetChecksum(other.data(), kIpHeaderBytes), 0) << group;
        EXPECT_EQ(InternetChecksum(other.data() + kIpHeaderBytes, kIgmpReportBytes - kIpHeaderBytes), 0) << group;
    }
}

// The sum is in memory order, so the expected bytes are the complement as stored.
TEST(InternetChecksum, FoldsEveryCarryAndPadsAnOddByte) {
    struct Row {
        std::vector<uint8_t> data;
        uint8_t first, second;
    };
    const Row rows[] = {
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0xff - 0xdd, 0xff - 0xf2},  // RFC 1071's example
        {{0xff, 0xff, 0xff, 0xff, 0x01, 0x00}, 0xfe, 0xff},  // 1ffff folds to 10000, which must fold again to 0001
        {{0x12, 0x34, 0x56}, 0xff - 0x68, 0xff - 0x34},       // 1234 + 5600
        {{}, 0xff, 0xff},
    };
    for (const Row& row : rows) {
        const uint16_t sum = InternetChecksum(row.data.data(), row.data.size());
        const auto* stored = reinterpret_cast<const uint8_t*>(&sum);
        EXPECT_EQ(stored[0], row.first) << testing::PrintToString(row.data);
        EXPECT_EQ(stored[1], row.second) << testing::PrintToString(row.data);
    }
}

}  // namespace
