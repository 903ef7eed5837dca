#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "ingest/ts_scan.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"

namespace {

constexpr size_t kDatagramBytes = 4096;
constexpr int kReceiveBufferBytes = 1'048'576;

// Hands the scan's findings to the ring and the log.
struct RingFeeder {
    Quillbrook& relay;

    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        relay.AppendSegmentData(data, length, frame);
    }
    void MissingSyncByte() {
        RelayMetrics::Add(relay.metrics.syncErrors);
        LogFault(Fault::NoStartCode, "No start code!\n");
    }
    void PartialPacket(size_t leftOverBytes) {
        RelayMetrics::Add(relay.metrics.unevenDatagrams);
        RelayMetrics::Add(relay.metrics.droppedBytes, leftOverBytes);
        LogFault(Fault::UnevenDatagram, "Not even ts pkts!\n");
    }
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        RelayMetrics::Add(relay.metrics.continuityErrors);
        LogFault(Fault::Discontinuity, "discontunuity, index = %d, pktCC = %x, expectedCC = %x; prior good udp %d\n",
                 offset, counter, expected, priorGood);
    }
    void RtpWrapped() {
        relay.metrics.rtpInput = 1;
        Log("Stream is RTP-wrapped; reading the transport packets inside\n");
    }
    void RtpSequenceGap(int sequence, int expected) {
        RelayMetrics::Add(relay.metrics.rtpSequenceErrors);
        LogFault(Fault::RtpSequenceGap, "RTP sequence discontinuity, seq = %d, expectedSeq = %d\n", sequence, expected);
    }
};

}  // namespace

void Quillbrook::ThreadMcastRcv(int sock) {
    segmentBytes = 0;
    ringWrapped = 0;
    Log("Starting mcast receive thread\n");
    // Linux caps SO_RCVBUF at net.core.rmem_max (208 KiB unless tuned), too
    // little to ride out a stalled thread at high rates; a privileged relay
    // forces the full size past that cap.
    const int receiveBufferBytes = kReceiveBufferBytes;
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) < 0 &&
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes) < 0) {
        perror(": setsockopt");
    }
    Log("Entering mcast receive loop\n");

    uint8_t datagram[kDatagramBytes];
    TsScanState scan;
    RingFeeder feeder{*this};
    for (;;) {
        // MSG_TRUNC reports a longer datagram's real length; Linux keeps its
        // first 4,096 bytes, and only the whole packets among them are used.
        const ssize_t received = recvfrom(sock, datagram, sizeof datagram, MSG_TRUNC, nullptr, nullptr);
        if (received < 0) {
            Log("ThreadMcastRcv:: receive failed, %s\n", ErrorText(errno).c_str());
            return;
        }
        if (firstPacketPending.exchange(0)) Log("Initial mcast pkt received\n");
        RelayMetrics::Add(metrics.datagramsReceived);
        RelayMetrics::Add(metrics.receivedBytes, received);
        const size_t length = std::min(static_cast<size_t>(received), sizeof datagram);
        // Bytes past the 4,096 read, or the whole datagram while dumping.
        if (const size_t droppedBytes = dumpRequested ? received : received - length) {
            RelayMetrics::Add(metrics.droppedBytes, droppedBytes);
        }
        if (dumpRequested) continue;
        ScanDatagram(datagram, length, vidPid, scan, feeder);
    }
}
