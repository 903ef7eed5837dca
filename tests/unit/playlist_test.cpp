#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "hls/playlist.h"
#include "relay/quillbrook.h"

namespace {

std::string Extinf(double durationMs) {
    std::ostringstream out;
    WriteExtinfDuration(out, durationMs);
    return out.str();
}

SegmentSlot Closed(int number, double durationMs) {
    SegmentSlot slot{};
    slot.durationMs = durationMs;
    snprintf(slot.name, sizeof slot.name, "hlsMcast_%d.ts", number);
    return slot;
}

TEST(Playlist, DurationsKeepTheirTrailingDigits) {
    EXPECT_EQ(Extinf(1816), "1.81600,");
    EXPECT_EQ(Extinf(1800), "1.800,");
    EXPECT_EQ(Extinf(1783), "1.78300,");
    EXPECT_EQ(Extinf(16), "0.01600,");
    EXPECT_EQ(Extinf(1000), "1.00,");
    EXPECT_EQ(Extinf(0), "0.00,");
}

TEST(Playlist, WorkedExampleByteForByte) {
    SegmentSlot ring[kSlotCount] = {Closed(0, 1816), Closed(1, 1816), Closed(2, 1800)};
    std::ostringstream out;
    WritePlaylist(out, ring, 0, 3, "192.0.2.10");
    const std::string expected =
        "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n"
        "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_0.ts\n"
        "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_1.ts\n"
        "#EXTINF:1.800,\nhttp://192.0.2.10:8154/hlsMcast_2.ts\n";
    EXPECT_EQ(out.str(), expected);
    EXPECT_EQ(out.str().size(), 241u);
}

TEST(Playlist, AfterAWrapListsTheSevenSlotsAfterTheCurrentOne) {
    // Nine cuts: slot 0 holds segment 8, slot 1 is being filled.
    SegmentSlot ring[kSlotCount];
    for (int n = 1; n <= 8; n++) ring[n % kSlotCount] = Closed(n, 1816);
    ring[1].name[0] = '\0';
    std::ostringstream out;
    WritePlaylist(out, ring, 2, 1, "127.0.0.1");
    std::string expected = "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:2\r\n";
    for (int n = 2; n <= 8; n++) {
        expected += "#EXTINF:1.81600,\nhttp://127.0.0.1:8154/hlsMcast_" + std::to_string(n) + ".ts\n";
    }
    EXPECT_EQ(out.str(), expected);
}

}  // namespace
