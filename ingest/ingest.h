// The multicast ingest: one socket joined to the described group, and the
// receive thread that scans its datagrams into the segment ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "counters/counters.h"
#include "hls/segment_ring.h"
#include "web/stream_description.h"

// Opens a UDP socket for the stream's port and joins its group (from its one
// source, when it names one) on the interface hostIp (0: the kernel's
// choice). -1, after logging the step that failed, when the socket cannot be had.
int OpenMcastSocket(const MulticastStream& stream, uint32_t hostIp);

class Ingest {
public:
    Ingest(SegmentRing& ring, RelayCounters& counters) : ring(ring), counters(counters) {}

    // Joins the stream's group and starts the receive thread; false, logged,
    // when the socket cannot be had. Called once.
    bool Start(const MulticastStream& stream, uint32_t hostIp);
    // From now on every datagram is received and dropped.
    void Dump() { dumpRequested = true; }
    // The group joined, network byte order; 0 before Start.
    uint32_t Group() const { return group; }
    // The one source the group is taken from, network byte order; 0: any, or before Start.
    uint32_t Source() const { return source; }
    // Datagrams the kernel dropped for a full receive buffer.
    uint64_t SocketDrops() const;
    // What the tables say of the program served.
    StreamInfo Info() const { return board.Read(); }

private:
    void ReceiveLoop(int sock, MulticastStream stream);

    SegmentRing& ring;
    RelayCounters& counters;
    // Each written once by Start, before the receive thread runs.
    std::atomic<uint32_t> group{0};
    std::atomic<uint32_t> source{0};
    std::atomic<int> socket{-1};
    // Set by the housekeeping thread, read per datagram by the receive thread.
    std::atomic<bool> dumpRequested{false};
    std::atomic<bool> firstPacketPending{true};
    StreamInfoBoard board;
};
