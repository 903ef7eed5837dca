#include "hls/endpoints.h"

#include <civetweb.h>

#include <sstream>

#include "hls/playlist.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "ts/ts_packet.h"
#include "web/protocol.h"

namespace {
constexpr char kSegmentContentType[] = "video/MP2T";
}

int HandlePlaylistRequest(mg_connection* conn, void* data) {
    HlsEndpoints& hls = *static_cast<HlsEndpoints*>(data);
    const RingSnapshot ring = hls.ring.Snapshot();
    if (ring.segmentsClosed < kSegmentsBeforePlaylist) {
        hls.counters.CountRequest(Endpoint::kPlaylist, 404, 0);
        mg_send_http_error(conn, 404, "%s", kNotFoundText);
        return 1;
    }
    std::ostringstream text;
    WritePlaylist(text, ring, hls.hostAddr);
    const std::string body = text.str();
    mg_send_http_ok(conn, kPlaylistContentType, static_cast<long long>(body.size()));
    mg_write(conn, body.data(), body.size());
    hls.counters.CountRequest(Endpoint::kPlaylist, 200, body.size());
    return 1;
}

int HandleRelayReadyRequest(mg_connection* conn, void*) {
    mg_send_http_error(conn, 404, "%s", kNotFoundText);
    return 1;
}

int HandleSegmentRequest(mg_connection* conn, void* data) {
    HlsEndpoints& hls = *static_cast<HlsEndpoints*>(data);
    const char* uri = mg_get_request_info(conn)->local_uri;
    const std::string name = uri && uri[0] ? uri + 1 : "";
    const SegmentLease segment = hls.ring.Lease(name);
    if (hls.firstTsReadPending.exchange(false)) Log("Initial TS read\n");
    if (segment.record < 0) {
        hls.counters.CountRequest(Endpoint::kSegment, 404, 0);
        mg_send_http_error(conn, 404, "%s", kNotFoundText);
        LogFault(Fault::kSegmentNotFound, "Requested TS file not found %s\n", Printable(name).c_str());
        return 1;
    }
    if (segment.size % kTsPacketBytes != 0) Log("TS-read: Not even ts pkts!\n");
    mg_send_http_ok(conn, kSegmentContentType, segment.size);
    // Straight from the pool's blocks: the lease keeps them from being refilled meanwhile.
    SentContinuity check(hls.ring.cutPid);
    int64_t sent = 0;
    for (const auto& [data, bytes] : segment.spans) {
        check.Walk(data, bytes);
        const int written = mg_write(conn, data, bytes);
        if (written > 0) sent += written;
        if (written != bytes) break;
    }
    hls.counters.CountRequest(Endpoint::kSegment, 200, sent);
    if (sent != segment.size) LogFault(Fault::kSendError, "TS pkt send error %lld\n", static_cast<long long>(sent));
    hls.ring.Release(segment);
    return 1;
}

// Mirrors the receive-side check on what actually goes out. Each response is
// walked on its own from its first video packet: players fetch segments in
// their own order, so state carried between requests would blame one
// player's fetch on another's.
void SentContinuity::Walk(const uint8_t* data, int32_t size) {
    for (int32_t offset = 0; offset + kTsPacketBytes <= size; offset += kTsPacketBytes) {
        const TsPacket packet{data + offset};
        if (!packet.hasSyncByte()) LogFault(Fault::kSentNoStartCode, "Ts pkt no start code\n");
        if (!packet.hasPayload() || packet.pid() != videoPid) continue;
        if (expected < 0) expected = packet.continuityCounter();
        const int wanted = expected;
        if (TrackContinuity(expected, packet.continuityCounter())) {
            good++;
        } else {
            LogFault(Fault::kSentDiscontinuity, "TS pkt discontunuityTS, contCount=%d, good %d\n", wanted, good);
            good = 0;
        }
    }
}
