#include <pthread.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>

#include "ingest/ingest.h"
#include "ingest/program_tables.h"
#include "ingest/scan_sink.h"
#include "log/log.h"
#include "ts/ts_scan.h"

namespace {

constexpr size_t kDatagramBytes = 4096;
// A busy stream is read a batch per system call; a quiet one still gets each
// datagram at once, since the call waits for the first only.
constexpr int kBatchDatagrams = 32;
constexpr int kReceiveBufferBytes = 1'048'576;

// Where one recvmmsg puts its datagrams; taken once, before the loop.
struct Batch {
    Batch() {
        for (int i = 0; i < kBatchDatagrams; i++) {
            slots[i] = {data[i], kDatagramBytes};
            headers[i].msg_hdr.msg_iov = &slots[i];
            headers[i].msg_hdr.msg_iovlen = 1;
        }
    }
    uint8_t data[kBatchDatagrams][kDatagramBytes];
    iovec slots[kBatchDatagrams];
    mmsghdr headers[kBatchDatagrams]{};
};

// The coarse clock is read without a system call; its few milliseconds are
// fine for timing segments where the stream's own clock fails.
int64_t ArrivalTicks() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return int64_t{now.tv_sec} * kTimestampHz + now.tv_nsec / (1'000'000'000 / kTimestampHz);
}

}  // namespace

void Ingest::ReceiveLoop(int sock, MulticastStream stream) {
    // Started from a web server worker, it would go by the worker's name in top and ps.
    pthread_setname_np(pthread_self(), "qb-receive");
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

    const auto batch = std::make_unique<Batch>();
    // Until the tables say which program to serve, the described PID cuts and every packet passes.
    TsScanState scan;
    ProgramTables tables(stream.pidNamed ? std::optional<int>(stream.videoPid) : std::nullopt);
    tables.Start(scan, stream.videoPid);
    ScanSink sink(ring, counters, tables, board);
    for (;;) {
        // MSG_TRUNC reports a longer datagram's real length; Linux keeps its
        // first 4,096 bytes, and only the whole packets among them are used.
        const int count = recvmmsg(sock, batch->headers, kBatchDatagrams, MSG_WAITFORONE | MSG_TRUNC, nullptr);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            Log("ThreadMcastRcv:: receive failed, %s\n", ErrorText(errno).c_str());
            return;
        }
        if (firstPacketPending.exchange(false)) Log("Initial mcast pkt received\n");
        RelayCounters::Add(counters.receiveCalls);
        RelayCounters::Add(counters.datagramsReceived, count);
        const int64_t arrivalTicks = ArrivalTicks();
        for (int i = 0; i < count; i++) {
            const size_t received = batch->headers[i].msg_len;
            RelayCounters::Add(counters.receivedBytes, received);
            const size_t length = std::min(received, kDatagramBytes);
            // Bytes past the 4,096 read, or the whole datagram while dumping.
            if (const size_t droppedBytes = dumpRequested ? received : received - length) {
                RelayCounters::Add(counters.droppedBytes, droppedBytes);
            }
            if (!dumpRequested) ScanDatagram(batch->data[i], length, arrivalTicks, scan, sink);
        }
    }
}
