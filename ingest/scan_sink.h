// Hands what the scan of each datagram finds (ts/ts_scan.h) to the program
// tables, the segment ring, the counters and the log.
#pragma once

#include <cstddef>
#include <cstdint>

#include "counters/counters.h"
#include "hls/segment_ring.h"
#include "ingest/program_tables.h"
#include "log/fault_log.h"
#include "log/log.h"

class ScanSink {
public:
    ScanSink(SegmentRing& ring, RelayCounters& counters, ProgramTables& tables, StreamInfoBoard& board)
        : ring(ring), counters(counters), tables(tables), board(board) {}

    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        const AppendResult result = ring.Append(data, length, frame);
        if (result.givenBack >= 0) {
            LogFault(Fault::kPoolGivenBack, "AppendSegmentData:: segment pool full; hlsMcast_%d.ts given back early "
                     "(readers hold %d segments)\n", result.givenBack, ring.LeasesHeld());
        }
        if (result.fullAtBytes) {
            LogFault(Fault::kSegmentOverflow,
                     "AppendSegmentData:: segment pool full at %d bytes; next segment starts mid-frame\n",
                     result.fullAtBytes);
        }
        if (result.lostBytes) {
            RelayCounters::Add(counters.droppedBytes, result.lostBytes);
            LogFault(Fault::kSegmentOverflow, "AppendSegmentData:: readers hold the whole segment pool; %lld bytes lost\n",
                     static_cast<long long>(result.lostBytes));
        }
        // A player may start at any segment: where the relay writes the tables, each segment begins with them.
        if (result.cut != CutReason::kNone) OwnTables();
    }
    void TablePacket(TsPacket packet, TsScanState& scan) {
        const uint64_t badBefore = tables.BadSections();
        if (tables.Feed(packet, scan)) {
            Log("%s\n", tables.Describe().c_str());
            board.Publish(tables.Info());
            ring.cutPid = scan.cutPid;
        }
        if (const uint64_t bad = tables.BadSections() - badBefore) {
            RelayCounters::Add(counters.tableErrors, bad);
            LogFault(Fault::kBadSection, "Table section with a bad CRC-32 on PID 0x%x ignored\n", packet.pid());
        }
    }
    void OwnTables() {
        uint8_t packets[kMaxOwnTableBytes];
        if (const int bytes = tables.WriteOwnTables(packets)) ring.Append(packets, bytes, nullptr);
    }
    void NoFrameStarts() {
        LogFault(Fault::kNoFrameStarts, "No frame starts on PID 0x%x for a second; segments timed by arrival. %s\n",
                 ring.cutPid.load(), tables.DescribeAll().c_str());
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
    ProgramTables& tables;
    StreamInfoBoard& board;
};
