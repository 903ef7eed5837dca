#pragma once

#include <cstdint>
#include <ostream>
#include <string>

struct SegmentSlot;

inline constexpr char kPlaylistContentType[] = "application/vnd.apple.mpegurl";

// The live playlist of the closed slots from mediaSequence's slot up to the
// one being filled, each named by an absolute URL on port 8154 of hostAddr.
void WritePlaylist(std::ostream& out, const SegmentSlot* ring, int32_t mediaSequence, int32_t currentSlot,
                   const std::string& hostAddr);

// "1.81600," for 1816 ms: the seconds in general notation, then "00,".
void WriteExtinfDuration(std::ostream& out, double durationMs);
