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
// A classic player starts at the oldest, and a lead-in segment holds no
// keyframe to start from (hls.js fails on it until it leaves the playlist):
// this playlist lists and counts the segments from the first keyframe on.
bool PlaylistReady(const RingSnapshot& ring);
void WritePlaylist(std::ostream& out, const RingSnapshot& ring, const std::string& hostAddr);

// "1.81600," for 1816 ms: the seconds in general notation, then "00,".
void WriteExtinfDuration(std::ostream& out, double durationMs);

// The playlist for low-latency players: the listed segments, the parts of the
// newest ones and of the segment being filled, a hint at the next part, and
// when each segment's first packet arrived. URIs are relative, so a caching
// tier serves it under its own paths. Players ignore a playlist of parts
// alone: the first appears once the first segment has closed at a keyframe
// and the next holds as many parts as a player stays behind the live edge.
inline constexpr char kLowLatencyPlaylistPath[] = "/hlsMcast_ll.m3u8";
// RFC 8216bis asks for at least three part targets behind the live edge; a
// fourth leaves hls.js room to fetch each part as it is hinted, where three
// keep it speeding up and dropping frames to reach a target it cannot hold.
inline constexpr int32_t kPartHoldBackMs = 4 * kPartTargetMs;
// Segments before the one being filled whose parts are listed too.
inline constexpr int kSegmentsWithParts = 2;
bool LowLatencyPlaylistReady(const RingSnapshot& ring);
void WriteLowLatencyPlaylist(std::ostream& out, const RingSnapshot& ring);
