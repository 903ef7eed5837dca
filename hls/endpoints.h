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
// continuity counters in what a response sends.
void CheckSentContinuity(const uint8_t* data, int32_t size, int videoPid);
