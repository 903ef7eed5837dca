#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <vector>

#include "ingest/igmp.h"

// Each row: a report as built, then the reference datagram.
TEST(IgmpReport, MatchesTheReferenceDatagram) {
    const auto v2 = BuildIgmpReport(inet_addr("239.1.1.1"), 0);
    const auto v3 = BuildIgmpV3Report(inet_addr("232.1.1.1"), inet_addr("198.51.100.1"), 0);
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> rows[] = {
        {{v2.begin(), v2.end()},
         {0x45, 0x00, 0x00, 0x1c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0xc9, 0xde, 0x00, 0x00,
          0x00, 0x00, 0xef, 0x01, 0x01, 0x01, 0x16, 0x00, 0xf9, 0xfc, 0xef, 0x01, 0x01, 0x01}},
        // Precedence Internetwork Control, 44 bytes, TTL 1, IGMP, to 224.0.0.22, Router Alert;
        // a version 3 report with one record: MODE_IS_INCLUDE, one source, the group, the source.
        {{v3.begin(), v3.end()},
         {0x46, 0xc0, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x43, 0xf6, 0x00, 0x00, 0x00,
          0x00, 0xe0, 0x00, 0x00, 0x16, 0x94, 0x04, 0x00, 0x00, 0x22, 0x00, 0xc9, 0xc5, 0x00, 0x00,
          0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0xe8, 0x01, 0x01, 0x01, 0xc6, 0x33, 0x64, 0x01}},
    };
    for (const auto& [built, expected] : rows) EXPECT_EQ(built, expected);
}

// The sum is in memory order, so the expected bytes are the complement as stored. (Reports are
// whole 16-bit words, so an odd trailing byte never comes.)
TEST(InternetChecksum, FoldsEveryCarry) {
    const std::pair<std::vector<uint8_t>, std::vector<uint8_t>> rows[] = {
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, {0xff - 0xdd, 0xff - 0xf2}},  // RFC 1071's example
        {{0xff, 0xff, 0xff, 0xff, 0x01, 0x00}, {0xfe, 0xff}},  // 1ffff folds to 10000, which must fold again to 0001
    };
    for (const auto& [data, stored] : rows) {
        const uint16_t sum = InternetChecksum(data.data(), data.size());
        const auto* bytes = reinterpret_cast<const uint8_t*>(&sum);
        EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 2), stored) << testing::PrintToString(data);
    }
}
