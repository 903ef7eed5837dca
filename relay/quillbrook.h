// The relay: the one object that holds the parts and wires them together,
// and keeps what is the relay's own: its host interface, its life cycle and
// the housekeeping thread. Each part owns its state and says what guards it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "counters/counters.h"
#include "hls/endpoints.h"
#include "hls/segment_ring.h"
#include "ingest/ingest.h"
#include "web/control_channel.h"
#include "web/metrics.h"
#include "web/web_server.h"

class Quillbrook {
public:
    // Start-up, then the lifetime loop; returns only when start-up fails.
    int Run();

private:
    void StartStream(const MulticastStream& stream);
    void HousekeepingLoop();
    void BreakHook();

    // The chosen interface: set by Run before any other thread starts, then read-only.
    std::string hostAddr;
    uint32_t hostIp = 0;  // network byte order; 0: the kernel's choice
    int poolBlocks = 0;   // the segment pool's size, from QUILLBROOK_MAX_MBITS

    RelayCounters counters;
    SegmentRing ring{counters, kWorkerThreads};
    Ingest ingest{ring, counters};
    HlsEndpoints hls{ring, counters, hostAddr};
    MetricsSource metrics{counters,
                          [this] { return StreamState{ingest.SocketDrops(), control->Connected(), ingest.Info()}; }};
    std::optional<ControlChannel> control;  // made once the access list is read
    WebServer webServer;
};
