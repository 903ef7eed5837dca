// The live playlist's text, from a snapshot of the ring.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "hls/segment_ring.h"

inline constexpr char kPlaylistContentType[] = "application/vnd.apple.mpegurl";
// Players need two segments to start from; with one they stall at once.
inline constexpr int32_t kSegmentsBeforePlaylist = 2;

// The listed segments, each named by an absolute URL on port 8154 of hostAddr.
void WritePlaylist(std::ostream& out, const RingSnapshot& ring, const std::string& hostAddr);

// "1.81600," for 1816 ms: the seconds in general notation, then "00,".
void WriteExtinfDuration(std::ostream& out, double durationMs);
