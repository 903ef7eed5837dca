#include <gtest/gtest.h>

#include <sstream>

#include "hls/playlist.h"
#include "relay/quillbrook.h"

namespace {

SegmentSlot Closed(int number, double durationMs) {
    SegmentSlot slot{};
    slot.durationMs = durationMs;
    snprintf(slot.name, sizeof slot.name, "hlsMcast_%d.ts", number);
    return slot;
}

const char kHead[] = "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:";

TEST(Playlist, DurationsKeepTheirTrailingDigits) {
    const std::pair<double, const char*> rows[] = {
        {1816, "1.81600,"}, {1800, "1.800,"}, {1783, "1.78300,"}, {16, "0.01600,"}, {1000, "1.00,"}, {0, "0.00,"},
    };
    for (const auto& [durationMs, text] : rows) {
        std::ostringstream out;
        WriteExtinfDuration(out, durationMs);
        EXPECT_EQ(out.str(), text);
    }
}

TEST(Playlist, WorkedExampleByteForByte) {
    SegmentSlot ring[kSlotCount] = {Closed(0, 1816), Closed(1, 1816), Closed(2, 1800)};
    std::ostringstream out;
    WritePlaylist(out, ring, 0, 3, "192.0.2.10");
    EXPECT_EQ(out.str(), std::string(kHead) + "0\r\n"
                             "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_0.ts\n"
                             "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_1.ts\n"
                             "#EXTINF:1.800,\nhttp://192.0.2.10:8154/hlsMcast_2.ts\n");
    EXPECT_EQ(out.str().size(), 241u);
}

}  // namespace
