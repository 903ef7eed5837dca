#include "hls/playlist.h"

#include <cstdio>
#include <ctime>
#include <sstream>

#include "web/protocol.h"

void WriteExtinfDuration(std::ostream& out, double durationMs) {
    std::ostringstream seconds;
    seconds << durationMs / 1000.0;
    const std::string text = seconds.str();
    // Players read the digits after the point, so whole seconds need one.
    out << text << (text.find('.') == std::string::npos ? ".00," : "00,");
}

namespace {

// Seconds with five decimals: "0.33300".
std::string Seconds(int64_t ms) {
    char text[32];
    snprintf(text, sizeof text, "%lld.%03lld00", static_cast<long long>(ms / 1000), static_cast<long long>(ms % 1000));
    return text;
}

// ISO 8601 in UTC to the millisecond, as EXT-X-PROGRAM-DATE-TIME wants it.
std::string DateTime(int64_t wallMs) {
    const time_t seconds = static_cast<time_t>(wallMs / 1000);
    tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const size_t length = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, sizeof text - length, ".%03lldZ", static_cast<long long>(wallMs % 1000));
    return text;
}

// Written by snprintf: GCC 12 at -O3 warns falsely (-Wrestrict) about joined strings.
std::string Name(int32_t number, int part = -1) {
    char name[64];
    const std::string_view prefix = kSegmentNamePrefix, suffix = kSegmentNameSuffix;
    if (part < 0) {
        snprintf(name, sizeof name, "%.*s%d%.*s", int(prefix.size()), prefix.data(), number, int(suffix.size()),
                 suffix.data());
    } else {
        snprintf(name, sizeof name, "%.*s%d.%d%.*s", int(prefix.size()), prefix.data(), number, part,
                 int(suffix.size()), suffix.data());
    }
    return name;
}

void WriteParts(std::ostream& out, const ClosedSegment& segment) {
    for (int i = 0; i < segment.parts.count; i++) {
        const Part& part = segment.parts.parts[i];
        out << "#EXT-X-PART:DURATION=" << Seconds(part.durationMs) << ",URI=\"" << Name(segment.number, i) << "\""
            << (part.independent ? ",INDEPENDENT=YES" : "") << "\n";
    }
}

void WriteSegmentHead(std::ostream& out, const ClosedSegment& segment) {
    if (segment.discontinuity) out << "#EXT-X-DISCONTINUITY\n";
    out << "#EXT-X-PROGRAM-DATE-TIME:" << DateTime(segment.wallMs) << "\n";
}

}  // namespace

bool LowLatencyPlaylistReady(const RingSnapshot& ring) {
    // Right after a cut the segment being filled has no part yet, only the hint at one.
    if (ring.count > 1) return true;
    if (ring.count == 0) return false;
    // A player starts PART-HOLD-BACK behind the live edge: not in the first
    // segment, which holds no keyframe, but at the keyframe that begins the next.
    int64_t partsMs = 0;
    for (int i = 0; i < ring.filling.parts.count; i++) partsMs += ring.filling.parts.parts[i].durationMs;
    return partsMs >= kPartHoldBackMs;
}

void WriteLowLatencyPlaylist(std::ostream& out, const RingSnapshot& ring) {
    out << "#EXTM3U\n"
        << "#EXT-X-VERSION:6\n"
        << "#EXT-X-TARGETDURATION:" << kTargetDurationSeconds << "\n"
        << "#EXT-X-PART-INF:PART-TARGET=" << Seconds(kPartTargetMs) << "\n"
        << "#EXT-X-SERVER-CONTROL:CAN-BLOCK-RELOAD=YES,PART-HOLD-BACK=" << Seconds(kPartHoldBackMs) << "\n"
        << "#EXT-X-MEDIA-SEQUENCE:" << ring.mediaSequence << "\n"
        << "#EXT-X-DISCONTINUITY-SEQUENCE:" << ring.discontinuitySequence << "\n";
    for (int i = 0; i < ring.count; i++) {
        const ClosedSegment& segment = ring.listed[i];
        WriteSegmentHead(out, segment);
        if (i >= ring.count - kSegmentsWithParts) WriteParts(out, segment);
        out << "#EXTINF:" << Seconds(segment.durationMs) << ",\n" << Name(segment.number) << "\n";
    }
    WriteSegmentHead(out, ring.filling);
    WriteParts(out, ring.filling);
    out << "#EXT-X-PRELOAD-HINT:TYPE=PART,URI=\"" << Name(ring.filling.number, ring.filling.parts.count) << "\"\n";
}

bool PlaylistReady(const RingSnapshot& ring) {
    return ring.segmentsClosed - ring.leadIn >= kSegmentsBeforePlaylist;
}

void WritePlaylist(std::ostream& out, const RingSnapshot& ring, const std::string& hostAddr) {
    const int first = ring.leadIn && ring.count && ring.listed[0].number == 0;
    out << "#EXTM3U\r\n"
        << "#EXT-X-TARGETDURATION:" << kTargetDurationSeconds << "\r\n"
        << "#EXT-X-DISCONTINUITY\r\n"
        << "#EXT-X-MEDIA-SEQUENCE:" << ring.mediaSequence + first << "\r\n";
    for (int i = first; i < ring.count; i++) {
        out << "#EXTINF:";
        WriteExtinfDuration(out, ring.listed[i].durationMs);
        out << "\nhttp://" << hostAddr << ":" << kHttpPort << "/" << kSegmentNamePrefix << ring.listed[i].number
            << kSegmentNameSuffix << "\n";
    }
}
