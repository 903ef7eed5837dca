#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

#include "hls/endpoints.h"
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
    // Joined mid-GOP: segment 0 holds no keyframe, and a classic player would start in it.
    ring.leadIn = true;
    out.str("");
    WritePlaylist(out, ring, "192.0.2.10");
    const std::string head = "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n"
                             "#EXT-X-MEDIA-SEQUENCE:1\r\n#EXTINF:1.800,\nhttp://192.0.2.10:8154/hlsMcast_1.ts\n";
    EXPECT_EQ(out.str().substr(0, head.size()), head);
    ring.segmentsClosed = 2;
    EXPECT_FALSE(PlaylistReady(ring)) << "one segment to start from";
    ring.leadIn = false;
    EXPECT_TRUE(PlaylistReady(ring));
}

// Two listed segments, the newer after the source started over; the segment
// being filled with one part so far, then the hint at the next. Parts are
// listed for the segments nearest the live edge only.
TEST(LowLatencyPlaylist, ByteForByte) {
    RingSnapshot ring;
    ring.mediaSequence = 41;
    ring.segmentsClosed = 43;
    ring.discontinuitySequence = 2;
    ring.count = 2;
    ring.listed[0] = {41, 2000, 0, 1'796'000'000'123, false, {2, {{{1000, 333, true}, {2000, 333, false}}}}};
    ring.listed[1] = {42, 1360, 0, 1'796'000'002'123, true, {1, {{{1000, 1360, true}}}}};
    ring.filling = {43, 0, 0, 1'796'000'003'483, false, {1, {{{1000, 320, true}}}}};
    EXPECT_TRUE(LowLatencyPlaylistReady(ring));
    std::ostringstream out;
    WriteLowLatencyPlaylist(out, ring);
    EXPECT_EQ(out.str(), "#EXTM3U\n#EXT-X-VERSION:6\n#EXT-X-TARGETDURATION:2\n#EXT-X-PART-INF:PART-TARGET=0.34000\n"
                         "#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=1.36000\n"
                         "#EXT-X-MEDIA-SEQUENCE:41\n#EXT-X-DISCONTINUITY-SEQUENCE:2\n"
                         "#EXT-X-PROGRAM-DATE-TIME:2026-11-30T00:53:20.123Z\n"
                         "#EXT-X-PART:DURATION=0.33300,URI=\"hlsMcast_41.0.ts\",INDEPENDENT=YES\n"
                         "#EXT-X-PART:DURATION=0.33300,URI=\"hlsMcast_41.1.ts\"\n"
                         "#EXTINF:2.00000,\nhlsMcast_41.ts\n"
                         "#EXT-X-DISCONTINUITY\n#EXT-X-PROGRAM-DATE-TIME:2026-11-30T00:53:22.123Z\n"
                         "#EXT-X-PART:DURATION=1.36000,URI=\"hlsMcast_42.0.ts\",INDEPENDENT=YES\n"
                         "#EXTINF:1.36000,\nhlsMcast_42.ts\n"
                         "#EXT-X-PROGRAM-DATE-TIME:2026-11-30T00:53:23.483Z\n"
                         "#EXT-X-PART:DURATION=0.32000,URI=\"hlsMcast_43.0.ts\",INDEPENDENT=YES\n"
                         "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"hlsMcast_43.1.ts\"\n");
    ring.filling.parts.count = 0;
    EXPECT_TRUE(LowLatencyPlaylistReady(ring)) << "just after a cut: the hint at the first part";
    ring.count = 1;
    ring.filling.parts = {4, {{{1000, 340, true}, {2000, 340, false}, {3000, 340, false}, {4000, 339, false}}}};
    EXPECT_FALSE(LowLatencyPlaylistReady(ring)) << "a player would start in the first segment, before its keyframe";
    ring.filling.parts.parts[3].durationMs = 340;
    EXPECT_TRUE(LowLatencyPlaylistReady(ring));
    ring.count = 0;
    EXPECT_FALSE(LowLatencyPlaylistReady(ring)) << "parts alone: players would ignore it";
}

// What a request holds out for, with segment 43 being filled and its parts 0 and 1 there.
TEST(BlockingReload, WhatARequestWaitsFor) {
    RingSnapshot ring;
    ring.segmentsClosed = 43;
    ring.filling.parts.count = 2;
    using enum Hold;
    const std::pair<const char*, std::optional<Hold>> rows[] = {
        {nullptr, std::nullopt}, {"", std::nullopt},          // no query: the playlist as it stands
        {"_HLS_msn=42", kNow}, {"_HLS_msn=43&_HLS_part=1", kNow},
        {"_HLS_msn=43", kWait}, {"_HLS_msn=43&_HLS_part=2", kWait}, {"_HLS_msn=44&_HLS_part=2", kWait},
        {"_HLS_msn=43&_HLS_part=5", kTooFar}, {"_HLS_msn=44&_HLS_part=3", kTooFar}, {"_HLS_msn=46", kTooFar},
        {"_HLS_part=1", kTooFar}, {"_HLS_msn=x", kTooFar}, {"_HLS_msn=-1", kTooFar},  // 400, as too far
    };
    for (const auto& [query, hold] : rows) {
        const BlockingRequest request = ReadBlockingRequest(query);
        const std::optional<Hold> judged =
            request.kind == BlockingRequest::Kind::kNone ? std::nullopt
            : request.kind == BlockingRequest::Kind::kBad ? std::optional<Hold>(kTooFar)
                                                          : JudgeBlockingRequest(request, ring);
        EXPECT_EQ(judged, hold) << (query ? query : "(none)");
    }
}
