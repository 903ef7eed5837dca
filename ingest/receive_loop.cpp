#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>

#include "ingest/ingest.h"
#include "ingest/program_tables.h"
#include "ingest/scan_sink.h"
#include "log/log.h"
#include "ts/ts_scan.h"

namespace {

constexpr size_t kDatagramBytes = 4096;
constexpr int kReceiveBufferBytes = 1'048'576;

// The coarse clock is read without a system call; its few milliseconds are
// fine for timing segments where the stream's own clock fails.
int64_t ArrivalTicks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t{now.tv_sec} * kTimestampHz + now.tv_nsec / (1'000'000'000 / kTimestampHz);
}

}  // namespace

void Ingest::ReceiveLoop(int sock, MulticastStream stream) {
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
    // Until the tables say which program to serve, the described PID cuts and every packet passes.
    TsScanState scan;
    ProgramTables tables(stream.pidNamed ? std::optional<int>(stream.videoPid) : std::nullopt);
    tables.Start(scan, stream.videoPid);
    ScanSink sink(ring, counters, tables, board);
    for (;;) {
        // MSG_TRUNC reports a longer datagram's real length; Linux keeps its
        // first 4,096 bytes, and only the whole packets among them are used.
        const ssize_t received = recvfrom(sock, datagram, sizeof datagram, MSG_TRUNC, nullptr, nullptr);
        if (received < 0) {
            Log("ThreadMcastRcv:: receive failed, %s\n", ErrorText(errno).c_str());
            return;
        }
        if (firstPacketPending.exchange(false)) Log("Initial mcast pkt received\n");
        RelayCounters::Add(counters.datagramsReceived);
        RelayCounters::Add(counters.receivedBytes, received);
        const size_t length = std::min(static_cast<size_t>(received), sizeof datagram);
        // Bytes past the 4,096 read, or the whole datagram while dumping.
        if (const size_t droppedBytes = dumpRequested ? received : received - length) {
            RelayCounters::Add(counters.droppedBytes, droppedBytes);
        }
        if (dumpRequested) continue;
        ScanDatagram(datagram, length, ArrivalTicks(), scan, sink);
    }
}
