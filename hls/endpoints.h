// The HTTP side of the ring: the playlist, the segments and /relayReady,
// registered with the web server with an HlsEndpoints as callback data.
#pragma once

#include <atomic>
#include <string>

#include "counters/counters.h"
#include "hls/segment_ring.h"

struct mg_connection;

struct HlsEndpoints {
    SegmentRing& ring;
    RelayCounters& counters;
    const std::string& hostAddr;  // named in every segment URL; set before the server starts
    std::atomic<bool> firstTsReadPending{true};
};

int HandlePlaylistRequest(mg_connection* conn, void* endpoints);
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
