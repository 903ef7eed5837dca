#include <gtest/gtest.h>

#include <sstream>

#include "hls/playlist.h"
#include "relay/quillbrook.h"

// Players read the digits after the point: "1.81600," for 1816 ms, "1.00," for a whole second.
TEST(Playlist, ByteForByte) {
    SegmentSlot ring[kSlotCount] = {};
    const double durationsMs[] = {1816, 1800, 1000, 16};
    for (int slot = 0; slot < 4; slot++) {
        ring[slot].durationMs = durationsMs[slot];
        snprintf(ring[slot].name, sizeof ring[slot].name, "hlsMcast_%d.ts", slot);
    }
    std::ostringstream out;
    WritePlaylist(out, ring, 0, 4, "192.0.2.10");
    EXPECT_EQ(out.str(), "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n"
                         "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_0.ts\n"
                         "#EXTINF:1.800,\nhttp://192.0.2.10:8154/hlsMcast_1.ts\n"
                         "#EXTINF:1.00,\nhttp://192.0.2.10:8154/hlsMcast_2.ts\n"
                         "#EXTINF:0.01600,\nhttp://192.0.2.10:8154/hlsMcast_3.ts\n");
}
