#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "hls/playlist.h"

// Players read the digits after the point: "1.81600," for 1816 ms, "1.00," for a whole second.
TEST(Playlist, ByteForByte) {
    RingSnapshot ring;
    const int32_t durationsMs[] = {1816, 1800, 1000, 16};
    for (int32_t durationMs : durationsMs) {
        ring.listed[ring.count] = {ring.count, durationMs, 0};
        ring.count++;
    }
    std::ostringstream out;
    WritePlaylist(out, ring, "192.0.2.10");
    EXPECT_EQ(out.str(), "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:0\r\n"
                         "#EXTINF:1.81600,\nhttp://192.0.2.10:8154/hlsMcast_0.ts\n"
                         "#EXTINF:1.800,\nhttp://192.0.2.10:8154/hlsMcast_1.ts\n"
                         "#EXTINF:1.00,\nhttp://192.0.2.10:8154/hlsMcast_2.ts\n"
                         "#EXTINF:0.01600,\nhttp://192.0.2.10:8154/hlsMcast_3.ts\n");
}
