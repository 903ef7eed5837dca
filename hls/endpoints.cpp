#include "hls/endpoints.h"

#include <civetweb.h>

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>

#include "hls/playlist.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "ts/ts_packet.h"
#include "web/protocol.h"

namespace {

constexpr char kSegmentContentType[] = "video/MP2T";

std::optional<int32_t> QueryNumber(const char* query, const char* name) {
    char text[16];
    if (!query || mg_get_var(query, strlen(query), name, text, sizeof text) <= 0) return std::nullopt;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*end || value < 0 || value > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(value);
}

enum class Waited { kArrived, kTimedOut, kTooMany };

// Holds the request until the part or segment exists, if a worker may wait.
Waited WaitFor(HlsEndpoints& hls, int32_t msn, int part) {
    if (hls.waiting.fetch_add(1) >= kMaxWaitingRequests) {
        hls.waiting--;
        return Waited::kTooMany;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kLongestWaitMs);
    const bool arrived = hls.ring.WaitFor(msn, part, deadline);
    hls.waiting--;
    return arrived ? Waited::kArrived : Waited::kTimedOut;
}

void Refuse(mg_connection* conn, HlsEndpoints& hls, Endpoint endpoint, int status, const char* text) {
    hls.counters.CountRequest(endpoint, status, 0);
    mg_send_http_error(conn, status, "%s", text);
}

void SendPlaylist(mg_connection* conn, HlsEndpoints& hls, Endpoint endpoint, const std::ostringstream& text) {
    const std::string body = text.str();
    mg_send_http_ok(conn, kPlaylistContentType, static_cast<long long>(body.size()));
    mg_write(conn, body.data(), body.size());
    hls.counters.CountRequest(endpoint, 200, body.size());
}

}  // namespace

BlockingRequest ReadBlockingRequest(const char* query) {
    const std::optional<int32_t> msn = QueryNumber(query, "_HLS_msn");
    const std::optional<int32_t> part = QueryNumber(query, "_HLS_part");
    const bool msnGiven = query && strstr(query, "_HLS_msn=");
    const bool partGiven = query && strstr(query, "_HLS_part=");
    if ((msnGiven && !msn) || (partGiven && (!part || !msn))) return {BlockingRequest::Kind::kBad};
    if (!msn) return {};
    return {BlockingRequest::Kind::kHold, *msn, part ? *part : -1};
}

Hold JudgeBlockingRequest(const BlockingRequest& request, const RingSnapshot& ring) {
    const int32_t filling = ring.segmentsClosed;
    if (request.msn > filling + 2) return Hold::kTooFar;
    if (request.msn < filling) return Hold::kNow;
    const int newestPart = request.msn == filling ? ring.filling.parts.count - 1 : -1;
    if (request.part > newestPart + kAdvancePartLimit) return Hold::kTooFar;
    return request.part >= 0 && request.part <= newestPart ? Hold::kNow : Hold::kWait;
}

int HandlePlaylistRequest(mg_connection* conn, void* data) {
    HlsEndpoints& hls = *static_cast<HlsEndpoints*>(data);
    const RingSnapshot ring = hls.ring.Snapshot();
    if (!PlaylistReady(ring)) {
        Refuse(conn, hls, Endpoint::kPlaylist, 404, kNotFoundText);
        return 1;
    }
    std::ostringstream text;
    WritePlaylist(text, ring, hls.hostAddr);
    SendPlaylist(conn, hls, Endpoint::kPlaylist, text);
    return 1;
}

int HandleLowLatencyPlaylistRequest(mg_connection* conn, void* data) {
    HlsEndpoints& hls = *static_cast<HlsEndpoints*>(data);
    const BlockingRequest request = ReadBlockingRequest(mg_get_request_info(conn)->query_string);
    if (request.kind == BlockingRequest::Kind::kBad) {
        Refuse(conn, hls, Endpoint::kLowLatencyPlaylist, 400, "Error: _HLS_msn and _HLS_part take numbers");
        return 1;
    }
    if (request.kind == BlockingRequest::Kind::kHold) {
        const Hold hold = JudgeBlockingRequest(request, hls.ring.Snapshot());
        if (hold == Hold::kTooFar) {
            Refuse(conn, hls, Endpoint::kLowLatencyPlaylist, 400, "Error: _HLS_msn or _HLS_part too far ahead");
            return 1;
        }
        if (hold == Hold::kWait && WaitFor(hls, request.msn, request.part) == Waited::kTimedOut) {
            Refuse(conn, hls, Endpoint::kLowLatencyPlaylist, 503, "Error: the stream has not come that far");
            return 1;
        }
    }
    const RingSnapshot ring = hls.ring.Snapshot();
    if (!LowLatencyPlaylistReady(ring)) {
        Refuse(conn, hls, Endpoint::kLowLatencyPlaylist, 404, kNotFoundText);
        return 1;
    }
    std::ostringstream text;
    WriteLowLatencyPlaylist(text, ring);
    SendPlaylist(conn, hls, Endpoint::kLowLatencyPlaylist, text);
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
    const std::optional<SegmentName> wanted = ParseSegmentName(name);
    const Endpoint endpoint = wanted && wanted->part >= 0 ? Endpoint::kPart : Endpoint::kSegment;
    SegmentLease segment = hls.ring.Lease(name);
    if (hls.firstTsReadPending.exchange(false)) Log("Initial TS read\n");
    // A part a low-latency player asks for before it exists (the playlist's
    // hint) is held until it does.
    if (segment.record < 0 && endpoint == Endpoint::kPart) {
        const BlockingRequest request{BlockingRequest::Kind::kHold, wanted->number, wanted->part};
        if (JudgeBlockingRequest(request, hls.ring.Snapshot()) == Hold::kWait) {
            const Waited waited = WaitFor(hls, wanted->number, wanted->part);
            if (waited != Waited::kArrived) {
                Refuse(conn, hls, endpoint, 503, "Error: the part has not come yet");
                return 1;
            }
            segment = hls.ring.Lease(name);
        }
    }
    if (segment.record < 0) {
        Refuse(conn, hls, endpoint, 404, kNotFoundText);
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
    hls.counters.CountRequest(endpoint, 200, sent);
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
