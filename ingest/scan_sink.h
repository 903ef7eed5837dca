// Hands what the scan of each datagram finds to the segment ring, the
// counters and the log (the sink of ScanDatagram, ts/ts_scan.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "counters/counters.h"
#include "hls/segment_ring.h"
#include "log/fault_log.h"
#include "log/log.h"

class ScanSink {
public:
    ScanSink(SegmentRing& ring, RelayCounters& counters) : ring(ring), counters(counters) {}

    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        const AppendResult result = ring.Append(data, length, frame);
        if (result.fullAtBytes) {
            LogFault(Fault::kSegmentOverflow,
                     "AppendSegmentData:: slot full at %d bytes; next segment starts mid-frame\n", result.fullAtBytes);
        }
        if (result.unevenClose) Log("File-complete: Not even ts pkts!\n");
        if (result.noFreeBuffer) Log("AppendSegmentData:: no free segment buffer, a sender may see new bytes\n");
    }
    void MissingSyncByte() {
        RelayCounters::Add(counters.syncErrors);
        LogFault(Fault::kNoStartCode, "No start code!\n");
    }
    void PartialPacket(size_t leftOverBytes) {
        RelayCounters::Add(counters.unevenDatagrams);
        RelayCounters::Add(counters.droppedBytes, leftOverBytes);
        LogFault(Fault::kUnevenDatagram, "Not even ts pkts!\n");
    }
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        RelayCounters::Add(counters.continuityErrors);
        LogFault(Fault::kDiscontinuity, "discontunuity, index = %d, pktCC = %x, expectedCC = %x; prior good udp %d\n",
                 offset, counter, expected, priorGood);
    }
    void RtpWrapped() {
        counters.rtpInput = 1;
        Log("Stream is RTP-wrapped; reading the transport packets inside\n");
    }
    void RtpSequenceGap(int sequence, int expected) {
        RelayCounters::Add(counters.rtpSequenceErrors);
        LogFault(Fault::kRtpSequenceGap, "RTP sequence discontinuity, seq = %d, expectedSeq = %d\n", sequence,
                 expected);
    }

private:
    SegmentRing& ring;
    RelayCounters& counters;
};
