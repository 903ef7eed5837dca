#include "hls/playlist.h"

#include <sstream>

#include "hls/segment_ring.h"
#include "relay/quillbrook.h"

void WriteExtinfDuration(std::ostream& out, double durationMs) {
    std::ostringstream seconds;
    seconds << durationMs / 1000.0;
    const std::string text = seconds.str();
    // Players read the digits after the point, so whole seconds need one.
    out << text << (text.find('.') == std::string::npos ? ".00," : "00,");
}

void WritePlaylist(std::ostream& out, const SegmentSlot* ring, int32_t mediaSequence, int32_t currentSlot,
                   const std::string& hostAddr) {
    out << "#EXTM3U\r\n"
        << "#EXT-X-TARGETDURATION:" << kTargetDurationSeconds << "\r\n"
        << "#EXT-X-DISCONTINUITY\r\n"
        << "#EXT-X-MEDIA-SEQUENCE:" << mediaSequence << "\r\n";
    for (int slot = mediaSequence % kSlotCount; slot != currentSlot; slot = (slot + 1) % kSlotCount) {
        out << "#EXTINF:";
        WriteExtinfDuration(out, ring[slot].durationMs);
        out << "\nhttp://" << hostAddr << ":" << kHttpPort << "/" << ring[slot].name << "\n";
    }
}

int Quillbrook::HandlePlaylistRequest(mg_connection* conn) {
    if (segmentCounter <= 1) {
        metrics.CountRequest(Endpoint::Playlist, 404, 0);
        mg_send_http_error(conn, 404, "%s", kNotFoundText);
        return 1;
    }
    std::string body;
    {
        std::lock_guard<std::mutex> hold(stateMutex);
        playlistText.str("");
        playlistText.clear();
        WritePlaylist(playlistText, segmentRing, mediaSequence, currentSlot, hostAddr);
        // Copied before unlocking: the next request refills playlistText at once.
        body = playlistText.str();
    }
    mg_send_http_ok(conn, kPlaylistContentType, static_cast<long long>(body.size()));
    mg_write(conn, body.data(), body.size());
    metrics.CountRequest(Endpoint::Playlist, 200, body.size());
    return 1;
}
