// The HTTP side of the ring: the playlist, the segments and /relayReady,
// registered with the web server with an HlsEndpoints as callback data.
#pragma once

#include <atomic>
#include <string>

#include "counters/counters.h"
#include "hls/segment_ring.h"

struct mg_connection;

// Requests held for a part that does not exist yet each hold a web server
// worker; at most this many wait at once, so the classic playlist and the
// segments are always answered. A playlist request beyond gets the playlist
// as it stands, a part request 503.
inline constexpr int kMaxWaitingRequests = 32;
// RFC 8216bis: a held request is answered within three target durations.
inline constexpr int kLongestWaitMs = 3 * kTargetDurationSeconds * 1000;
// How far past the newest part a request may ask (RFC 8216bis, the Advance Part Limit).
inline constexpr int kAdvancePartLimit = 3;

struct HlsEndpoints {
    SegmentRing& ring;
    RelayCounters& counters;
    const std::string& hostAddr;  // named in every segment URL; set before the server starts
    std::atomic<bool> firstTsReadPending{true};
    std::atomic<int> waiting{0};  // requests held for a part or a segment
};

// What a low-latency playlist request asks to be held for (RFC 8216bis,
// 6.2.5.2): _HLS_msn, the segment, and _HLS_part, a part of it.
struct BlockingRequest {
    enum class Kind { kNone, kHold, kBad } kind = Kind::kNone;
    int32_t msn = 0;
    int part = -1;  // -1: the whole segment
};
BlockingRequest ReadBlockingRequest(const char* query);
enum class Hold { kNow, kWait, kTooFar };
// kTooFar (400) past the segment being filled plus two, or more than
// kAdvancePartLimit past its newest part.
Hold JudgeBlockingRequest(const BlockingRequest& request, const RingSnapshot& ring);

int HandlePlaylistRequest(mg_connection* conn, void* endpoints);
int HandleLowLatencyPlaylistRequest(mg_connection* conn, void* endpoints);
int HandleSegmentRequest(mg_connection* conn, void* endpoints);
int HandleRelayReadyRequest(mg_connection* conn, void* endpoints);

// Logs packets without their sync byte and breaks in the video PID's
// continuity counters in what one response sends, span after span.
class SentContinuity {
public:
    explicit SentContinuity(int videoPid) : videoPid(videoPid) {}
    void Walk(const uint8_t* data, int32_t size);

private:
    const int videoPid;
    int expected = -1;  // none before the response's first video packet
    int good = 0;
};
