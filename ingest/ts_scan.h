// The receive-side scan of one datagram: finds where video PES packets start,
// so the ring can cut there, and checks the video PID's continuity counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ingest/ts_packet.h"

// The receive thread's own state, carried from one datagram to the next.
struct TsScanState {
    int expectedCounter = 0;
    int goodDatagrams = 0;  // datagrams scanned since the last discontinuity
};

// What the scan reports, in stream order:
//   sink.Chunk(data, length, frameStart)  packets since the last chunk; frameStart
//                                         when a video PES starts right after them
//   sink.MissingSyncByte()
//   sink.Discontinuity(offset, counter, expectedCounter, priorGoodDatagrams)
// Only whole packets are read; a trailing partial packet is neither read nor passed on.
template <class Sink>
void ScanDatagram(const uint8_t* datagram, size_t length, int videoPid, TsScanState& state, Sink& sink) {
    const size_t wholeBytes = length - length % kTsPacketBytes;
    size_t chunkStart = 0;
    for (size_t offset = 0; offset < wholeBytes; offset += kTsPacketBytes) {
        const TsPacket packet{datagram + offset};
        if (!packet.hasSyncByte()) sink.MissingSyncByte();
        const bool video = packet.pid() == videoPid;
        if (video && packet.pusi()) {
            sink.Chunk(datagram + chunkStart, static_cast<int32_t>(offset - chunkStart), true);
            chunkStart = offset;
        }
        if (video && packet.hasPayload()) {
            const int expected = state.expectedCounter;
            if (!TrackContinuity(state.expectedCounter, packet.continuityCounter())) {
                sink.Discontinuity(static_cast<int>(offset), packet.continuityCounter(), expected,
                                   state.goodDatagrams);
                state.goodDatagrams = 0;
            }
        }
    }
    if (chunkStart < wholeBytes) {
        sink.Chunk(datagram + chunkStart, static_cast<int32_t>(wholeBytes - chunkStart), false);
    }
    state.goodDatagrams++;
}
