// Paced multicast sender for the benchmark: loops one transport-stream file
// to a group at a fixed bit rate, a whole number of 188-byte packets per
// datagram, for a bounded time.
//
//   mcast_blast FILE.ts GROUP PORT RATE_MBPS PACKETS_PER_DATAGRAM SECONDS [START_PACKET]
//
// START_PACKET is a position in the endless looped stream; the last line
// printed names where this run stopped, so the next run can carry on and a
// receiver sees one unbroken stream across several runs.
//
// Each pass over the file is rewritten so that the loop is seamless: every
// PID's continuity counters run on, and PCR, PTS and DTS move forward by the
// file's duration. A receiver that checks continuity or timestamps then sees
// no break at the seam, only genuine loss.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "netns_guard.h"

enum {
    kTsPacketBytes = 188,
    kPidCount = 8192,
    kNullPid = 0x1FFF,
    kMaxBatch = 64,
    // 3,948 bytes: the most that fits the relay's 4,096-byte buffer. The file
    // is padded to a multiple of it, and every run ends on such a multiple, so
    // runs with 7- and 21-packet datagrams can follow each other seamlessly.
    kMaxPacketsPerDatagram = 21,
};
static const double kMaxSeconds = 120.0;
static const double kMaxRateMbps = 40000.0;
// A batch spans at least this long, so sleeping stays cheap at high rates.
static const int64_t kMinBatchNs = 200000;
// Falling further behind than this is not made up in a burst: a sender that
// cannot keep the rate shows it in the achieved figure instead.
static const int64_t kMaxLagNs = 5000000;
static const int64_t kMaxOverrunNs = 1000000000;
static const uint64_t kTimestampWrap = 1ULL << 33;

struct Stream {
    uint8_t* data;
    size_t packets;
    uint8_t counterStep[kPidCount];  // payload packets per PID per pass, mod 16
    uint64_t durationPcr;            // one pass, in 27 MHz ticks, a multiple of 300
    uint64_t pass;                   // the pass the buffer is currently rewritten for
};

static int64_t NowNs(void) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static int Pid(const uint8_t* p) { return ((p[1] & 0x1F) << 8) | p[2]; }
static int HasAdaptation(const uint8_t* p) { return (p[3] & 0x20) != 0; }
static int HasPayload(const uint8_t* p) { return (p[3] & 0x10) != 0; }
static int HasPcr(const uint8_t* p) { return HasAdaptation(p) && p[4] >= 7 && (p[5] & 0x10); }

static uint64_t ReadPcr(const uint8_t* p) {
    const uint8_t* b = p + 6;
    uint64_t base = ((uint64_t)b[0] << 25) | ((uint64_t)b[1] << 17) | ((uint64_t)b[2] << 9) |
                    ((uint64_t)b[3] << 1) | (b[4] >> 7);
    return base * 300 + (((b[4] & 1) << 8) | b[5]);
}

static void WritePcr(uint8_t* p, uint64_t pcr) {
    uint64_t base = (pcr / 300) % kTimestampWrap;
    unsigned extension = (unsigned)(pcr % 300);
    uint8_t* b = p + 6;
    b[0] = (uint8_t)(base >> 25);
    b[1] = (uint8_t)(base >> 17);
    b[2] = (uint8_t)(base >> 9);
    b[3] = (uint8_t)(base >> 1);
    b[4] = (uint8_t)(((base & 1) << 7) | 0x7E | (extension >> 8));
    b[5] = (uint8_t)extension;
}

// A PTS or DTS field: 5 bytes with marker bits (ISO/IEC 13818-1, 2.4.3.7).
static void ShiftTimestamp(uint8_t* t, uint64_t shift) {
    uint64_t v = ((uint64_t)(t[0] & 0x0E) << 29) | ((uint64_t)t[1] << 22) | ((uint64_t)(t[2] & 0xFE) << 14) |
                 ((uint64_t)t[3] << 7) | (t[4] >> 1);
    v = (v + shift) % kTimestampWrap;
    t[0] = (uint8_t)((t[0] & 0xF1) | ((v >> 29) & 0x0E));
    t[1] = (uint8_t)(v >> 22);
    t[2] = (uint8_t)(((v >> 14) & 0xFE) | 1);
    t[3] = (uint8_t)(v >> 7);
    t[4] = (uint8_t)(((v << 1) & 0xFE) | 1);
}

// Stream ids whose PES header has no flags or timestamps (2.4.3.7, Table 2-21).
static int PesHasHeader(uint8_t streamId) {
    switch (streamId) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF:
        return 0;
    default:
        return 1;
    }
}

static void ShiftPesTimestamps(uint8_t* p, uint64_t shift90k) {
    size_t start = 4;
    if (HasAdaptation(p)) start += 1 + p[4];
    if (start + 19 > kTsPacketBytes) return;
    uint8_t* pes = p + start;
    if (pes[0] != 0 || pes[1] != 0 || pes[2] != 1 || !PesHasHeader(pes[3])) return;
    const int flags = pes[7] >> 6;
    if (flags & 2) ShiftTimestamp(pes + 9, shift90k);
    if (flags == 3) ShiftTimestamp(pes + 14, shift90k);
}

// Rewrites the buffer in place from its current pass to `pass`.
static void RewriteForPass(struct Stream* s, uint64_t pass) {
    if (pass == s->pass) return;
    const uint64_t passes = pass - s->pass;
    const uint64_t pcrShift = passes * s->durationPcr;
    for (size_t i = 0; i < s->packets; i++) {
        uint8_t* p = s->data + i * kTsPacketBytes;
        const int pid = Pid(p);
        if (pid == kNullPid) continue;
        const unsigned counter = (unsigned)((p[3] & 0x0F) + passes * s->counterStep[pid]) & 0x0F;
        p[3] = (uint8_t)((p[3] & 0xF0) | counter);
        if (HasPcr(p)) WritePcr(p, ReadPcr(p) + pcrShift);
        if ((p[1] & 0x40) && HasPayload(p)) ShiftPesTimestamps(p, pcrShift / 300);
    }
    s->pass = pass;
}

static int LoadStream(const char* path, struct Stream* s) {
    FILE* file = fopen(path, "rb");
    if (!file) {
        fprintf(stderr, "mcast_blast: open %s: %s\n", path, strerror(errno));
        return 0;
    }
    struct stat info;
    if (fstat(fileno(file), &info) != 0 || info.st_size < kTsPacketBytes) {
        fprintf(stderr, "mcast_blast: %s is not a transport stream\n", path);
        fclose(file);
        return 0;
    }
    size_t packets = (size_t)info.st_size / kTsPacketBytes;
    // Null packets pad the file to whole datagrams, so no datagram straddles
    // the seam between two passes.
    const size_t padded = (packets + kMaxPacketsPerDatagram - 1) / kMaxPacketsPerDatagram * kMaxPacketsPerDatagram;
    memset(s, 0, sizeof *s);
    s->data = malloc(padded * kTsPacketBytes);
    if (!s->data || fread(s->data, kTsPacketBytes, packets, file) != packets) {
        fprintf(stderr, "mcast_blast: read %s failed\n", path);
        fclose(file);
        return 0;
    }
    fclose(file);
    for (size_t i = packets; i < padded; i++) {
        uint8_t* p = s->data + i * kTsPacketBytes;
        memset(p, 0xFF, kTsPacketBytes);
        p[0] = 0x47;
        p[1] = kNullPid >> 8;
        p[2] = kNullPid & 0xFF;
        p[3] = 0x10;
    }
    s->packets = padded;

    size_t firstPcrAt = 0, lastPcrAt = 0;
    uint64_t firstPcr = 0, lastPcr = 0;
    int pcrPid = -1;
    unsigned payloadPackets[kPidCount] = {0};
    for (size_t i = 0; i < packets; i++) {
        const uint8_t* p = s->data + i * kTsPacketBytes;
        if (p[0] != 0x47) {
            fprintf(stderr, "mcast_blast: packet %zu has no sync byte\n", i);
            return 0;
        }
        const int pid = Pid(p);
        if (HasPayload(p)) payloadPackets[pid]++;
        if (!HasPcr(p) || (pcrPid >= 0 && pid != pcrPid)) continue;
        if (pcrPid < 0) {
            pcrPid = pid;
            firstPcrAt = i;
            firstPcr = ReadPcr(p);
        }
        lastPcrAt = i;
        lastPcr = ReadPcr(p);
    }
    if (pcrPid < 0 || lastPcrAt == firstPcrAt || lastPcr <= firstPcr) {
        fprintf(stderr, "mcast_blast: %s needs two PCRs to time its loop\n", path);
        return 0;
    }
    for (int pid = 0; pid < kPidCount; pid++) s->counterStep[pid] = payloadPackets[pid] & 0x0F;
    // The file's own packet rate, extended to its whole length (padding included).
    const double ticksPerPacket = (double)(lastPcr - firstPcr) / (double)(lastPcrAt - firstPcrAt);
    s->durationPcr = (uint64_t)(ticksPerPacket * (double)padded / 300.0 + 0.5) * 300;
    return 1;
}

static int OpenSender(const char* group, int port, struct sockaddr_in* to) {
    memset(to, 0, sizeof *to);
    to->sin_family = AF_INET;
    to->sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, group, &to->sin_addr) != 1 || !IN_MULTICAST(ntohl(to->sin_addr.s_addr))) {
        fprintf(stderr, "mcast_blast: %s is not a multicast group\n", group);
        return -1;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        perror("mcast_blast: socket");
        return -1;
    }
    // TTL 0: the kernel delivers the datagrams to this host's members and
    // transmits nothing, whatever the routes say.
    const unsigned char ttl = 0, loop = 1;
    const int sendBufferBytes = 4 << 20;
    struct in_addr loopback = {htonl(INADDR_LOOPBACK)};
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0 ||
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0 ||
        setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback) < 0) {
        perror("mcast_blast: setsockopt multicast");
        return -1;
    }
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &sendBufferBytes, sizeof sendBufferBytes) < 0)
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
    return sock;
}

static void SleepUntil(int64_t deadlineNs) {
    struct timespec t = {deadlineNs / 1000000000, deadlineNs % 1000000000};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) {
    }
}

int main(int argc, char** argv) {
    if (argc < 7 || argc > 8) {
        fprintf(stderr, "usage: %s FILE.ts GROUP PORT RATE_MBPS PACKETS_PER_DATAGRAM SECONDS [START_PACKET]\n",
                argv[0]);
        return 2;
    }
    const int port = atoi(argv[3]);
    const double rateMbps = atof(argv[4]);
    const int packetsPerDatagram = atoi(argv[5]);
    const double seconds = atof(argv[6]);
    uint64_t position = argc == 8 ? strtoull(argv[7], NULL, 10) : 0;
    if (port <= 0 || port > 65535 || rateMbps <= 0 || rateMbps > kMaxRateMbps || packetsPerDatagram < 1 ||
        kMaxPacketsPerDatagram % packetsPerDatagram != 0 || seconds <= 0 || seconds > kMaxSeconds) {
        fprintf(stderr, "mcast_blast: bad arguments (rate 0-%.0f Mbit/s, packets a divisor of %d, 0-%.0f s)\n",
                kMaxRateMbps, kMaxPacketsPerDatagram, kMaxSeconds);
        return 2;
    }
    if (position % kMaxPacketsPerDatagram != 0) {
        fprintf(stderr, "mcast_blast: START_PACKET must be a multiple of %d\n", kMaxPacketsPerDatagram);
        return 2;
    }
    if (!RequirePrivateNetns("mcast_blast")) return 1;

    struct Stream stream;
    if (!LoadStream(argv[1], &stream)) return 1;
    struct sockaddr_in to;
    const int sock = OpenSender(argv[2], port, &to);
    if (sock < 0) return 1;
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);

    const size_t datagramBytes = (size_t)packetsPerDatagram * kTsPacketBytes;
    const double intervalNs = datagramBytes * 8.0 * 1e3 / rateMbps;
    int batch = (int)(kMinBatchNs / intervalNs) + 1;
    if (batch > kMaxBatch) batch = kMaxBatch;
    const uint64_t maxDatagrams = (uint64_t)(seconds * 1e9 / intervalNs) + 1;

    RewriteForPass(&stream, position / stream.packets);

    struct mmsghdr messages[kMaxBatch];
    struct iovec vectors[kMaxBatch];
    memset(messages, 0, sizeof messages);
    for (int i = 0; i < kMaxBatch; i++) {
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        vectors[i].iov_len = datagramBytes;
    }

    const int64_t startNs = NowNs();
    const int64_t endNs = startNs + (int64_t)(seconds * 1e9);
    double dueNs = (double)startNs;
    uint64_t sent = 0, resyncs = 0;
    int64_t maxLagNs = 0;
    for (;;) {
        const int64_t now = NowNs();
        int count = batch;
        if (sent >= maxDatagrams || now >= endNs) {
            // Finish on a whole number of the largest datagrams (see above).
            count = (int)((kMaxPacketsPerDatagram - position % kMaxPacketsPerDatagram) % kMaxPacketsPerDatagram /
                          packetsPerDatagram);
            if (count == 0) break;
        } else if ((uint64_t)count > maxDatagrams - sent) {
            count = (int)(maxDatagrams - sent);
        }
        if (now < (int64_t)dueNs) {
            SleepUntil((int64_t)dueNs);
        } else if (now - (int64_t)dueNs > maxLagNs) {
            maxLagNs = now - (int64_t)dueNs;
        }
        if (now - (int64_t)dueNs > kMaxLagNs) {
            dueNs = (double)now;
            resyncs++;
        }
        for (int i = 0; i < count; i++) {
            const size_t offset = position % stream.packets;
            if (offset == 0) RewriteForPass(&stream, position / stream.packets);
            vectors[i].iov_base = stream.data + offset * kTsPacketBytes;
            position += packetsPerDatagram;
            // The next datagram starts a new pass: the buffer can be rewritten
            // only once this batch has gone.
            if (position % stream.packets == 0) {
                count = i + 1;
                break;
            }
        }
        for (int done = 0; done < count;) {
            const int n = sendmmsg(sock, messages + done, (unsigned)(count - done), 0);
            if (n < 0 && errno != EINTR && errno != ENOBUFS) {
                perror("mcast_blast: sendmmsg");
                return 1;
            }
            if (n > 0) done += n;
            if (NowNs() > endNs + kMaxOverrunNs) {
                fprintf(stderr, "mcast_blast: sends kept failing, giving up\n");
                return 1;
            }
        }
        sent += (uint64_t)count;
        dueNs += count * intervalNs;
    }
    const double elapsed = (NowNs() - startNs) / 1e9;
    const uint64_t bytes = sent * datagramBytes;
    printf("datagrams=%" PRIu64 " bytes=%" PRIu64 " elapsed_s=%.6f achieved_mbps=%.3f max_lag_us=%" PRId64
           " resyncs=%" PRIu64 " batch=%d end_packet=%" PRIu64 "\n",
           sent, bytes, elapsed, bytes * 8.0 / elapsed / 1e6, maxLagNs / 1000, resyncs, batch, position);
    return 0;
}
