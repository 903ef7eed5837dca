#include "hls/playlist.h"

#include <sstream>

#include "web/protocol.h"

void WriteExtinfDuration(std::ostream& out, double durationMs) {
    std::ostringstream seconds;
    seconds << durationMs / 1000.0;
    const std::string text = seconds.str();
    // Players read the digits after the point, so whole seconds need one.
    out << text << (text.find('.') == std::string::npos ? ".00," : "00,");
}

void WritePlaylist(std::ostream& out, const RingSnapshot& ring, const std::string& hostAddr) {
    out << "#EXTM3U\r\n"
        << "#EXT-X-TARGETDURATION:" << kTargetDurationSeconds << "\r\n"
        << "#EXT-X-DISCONTINUITY\r\n"
        << "#EXT-X-MEDIA-SEQUENCE:" << ring.mediaSequence << "\r\n";
    for (int i = 0; i < ring.count; i++) {
        out << "#EXTINF:";
        WriteExtinfDuration(out, ring.listed[i].durationMs);
        out << "\nhttp://" << hostAddr << ":" << kHttpPort << "/" << kSegmentNamePrefix << ring.listed[i].number
            << kSegmentNameSuffix << "\n";
    }
}
