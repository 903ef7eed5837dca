#include "ingest/ts_packet.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"

namespace {
constexpr char kSegmentContentType[] = "video/MP2T";
}

int Quillbrook::HandleRelayReadyRequest(mg_connection* conn) {
    mg_send_http_error(conn, 404, "%s", kNotFoundText);
    return 1;
}

int Quillbrook::HandleSegmentRequest(mg_connection* conn) {
    const char* uri = mg_get_request_info(conn)->local_uri;
    const std::string name = uri && uri[0] ? uri + 1 : "";
    const SegmentLease segment = LeaseSegment(name);
    if (firstTsReadPending.exchange(0)) Log("Initial TS read\n");
    if (segment.buffer < 0) {
        metrics.CountRequest(Endpoint::Segment, 404, 0);
        mg_send_http_error(conn, 404, "%s", kNotFoundText);
        LogFault(Fault::SegmentNotFound, "Requested TS file not found %s\n", Printable(name).c_str());
        return 1;
    }
    if (segment.size % kTsPacketBytes != 0) Log("TS-read: Not even ts pkts!\n");
    CheckSentContinuity(segment.data, segment.size);
    mg_send_http_ok(conn, kSegmentContentType, segment.size);
    const int written = mg_write(conn, segment.data, segment.size);
    metrics.CountRequest(Endpoint::Segment, 200, written > 0 ? written : 0);
    if (written != segment.size) LogFault(Fault::SendError, "TS pkt send error %d\n", written);
    ReleaseSegment(segment);
    return 1;
}

// Mirrors the receive-side check on what actually goes out. Each response is
// walked on its own from its first video packet: players fetch segments in
// their own order, so state carried between requests would blame one
// player's fetch on another's.
void Quillbrook::CheckSentContinuity(const uint8_t* data, int32_t size) {
    int expected = -1;
    int good = 0;
    const int videoPid = vidPid;
    for (int32_t offset = 0; offset + kTsPacketBytes <= size; offset += kTsPacketBytes) {
        const TsPacket packet{data + offset};
        if (!packet.hasSyncByte()) LogFault(Fault::SentNoStartCode, "Ts pkt no start code\n");
        if (!packet.hasPayload() || packet.pid() != videoPid) continue;
        if (expected < 0) expected = packet.continuityCounter();
        const int wanted = expected;
        if (TrackContinuity(expected, packet.continuityCounter())) {
            good++;
        } else {
            LogFault(Fault::SentDiscontinuity, "TS pkt discontunuityTS, contCount=%d, good %d\n", wanted, good);
            good = 0;
        }
    }
}
