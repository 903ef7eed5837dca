// Sends an MPEG-2 transport stream file to a multicast group the way an IPTV
// head-end does: whole 188-byte packets, seven to a datagram, paced at a
// steady rate. The one sender of the tests, the demo, the channels and the
// bench.
//
//   mcast_send FILE.ts GROUP PORT [--rate-mbps R | --realtime] [--loop] [--rtp]
//              [--max-seconds S] [--max-datagrams N] [--packets-per-datagram 7]
//              [--ttl 1] [--source ADDR] [--start-packet N]
//   mcast_send FILE.ts --output OUT.ts --passes N
//
// Without --rate-mbps the stream goes out at its own rate (--realtime): from
// its PCRs, or with --loop one pass's bytes over its duration, so that each
// pass takes exactly as long as it plays; the rate between the first and last
// PCR would miss the packets beyond them, and a player would drift out of its
// buffer a little every pass. --loop makes the seam invisible (ts_loop.h).
// Every run is bounded: it stops at the end of the file (never, with --loop),
// after --max-seconds (default one hour), after --max-datagrams, or at SIGINT
// or SIGTERM, exits 0 in each case and says on standard error what it sent.
//
// --rtp puts a 12-byte RTP header before each datagram, as many IPTV networks
// send transport streams; the rate and the counts are of the payloads.
// --start-packet starts at that packet of the endless looped stream and names,
// at the end, where the run stopped, so the next run can carry on and a
// receiver sees one unbroken stream across runs. --source sends from one of
// this host's addresses. --output writes N seamless passes to a file instead.
// It sends only from a network namespace of its own unless --lan says to.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <cstring>
#include <limits>
#include <string>

#include "ts_loop.h"

namespace {

constexpr int kDefaultPacketsPerDatagram = 7;  // 1,316 bytes: the largest run that fits a 1,500-byte Ethernet MTU
constexpr int kMaxPacketsPerDatagram = 21;     // 3,948 bytes: the most that fits the relay's 4,096-byte buffer
constexpr double kDefaultMaxSeconds = 3600;
constexpr int kMaxBatch = 64;
// A batch of datagrams spans at least this long, so sleeping stays cheap at high rates.
constexpr double kMinBatchNs = 200'000;
// Falling further behind than this, or than a whole batch if that is longer,
// is not made up in a burst that would overflow a receiver's socket buffer:
// a sender that cannot keep the rate shows it in the rate achieved instead.
constexpr double kMaxLagNs = 5'000'000;
constexpr int kSendBufferBytes = 4 << 20;
constexpr size_t kRtpHeaderBytes = 12;
constexpr uint8_t kRtpVersion2 = 0x80;  // no padding, no extension, no CSRC list
constexpr uint8_t kRtpPayloadTypeMp2t = 33;
constexpr int64_t kRtpClockHz = 90'000;
constexpr int64_t kNsPerSecond = 1'000'000'000;

volatile sig_atomic_t stopRequested = 0;
// Sets the flag and nothing else: a handler that took a lock the sender might
// hold at that moment could wait for ever.
void OnStopSignal(int) { stopRequested = 1; }

struct Options {
    std::string file, group, source, output;
    int port = 0, packetsPerDatagram = kDefaultPacketsPerDatagram, ttl = 1;
    double rateMbps = 0, maxSeconds = kDefaultMaxSeconds;  // rate 0: the stream's own
    bool realtime = false, loop = false, rtp = false, carryOn = false, lan = false;
    uint64_t maxDatagrams = 0, passes = 0, startPacket = 0;  // no limit, no file, the stream's start
};

struct Totals {
    uint64_t datagrams = 0, bytes = 0, position = 0;
};

// The RFC 3550 header as RFC 2250 carries transport packets: payload type 33,
// sequence numbers stepping by one, a 90 kHz timestamp of the send time, one
// source. Sequence number and timestamp start at random, as they should.
struct Rtp {
    uint16_t sequence;
    uint32_t firstTimestamp, ssrc;

    void PutHeader(uint8_t* h, int64_t sinceStartNs) {
        const uint32_t timestamp = firstTimestamp + uint32_t(sinceStartNs * kRtpClockHz / kNsPerSecond);
        const uint8_t fixed[kRtpHeaderBytes] = {
            kRtpVersion2, kRtpPayloadTypeMp2t, uint8_t(sequence >> 8), uint8_t(sequence),
            uint8_t(timestamp >> 24), uint8_t(timestamp >> 16), uint8_t(timestamp >> 8), uint8_t(timestamp),
            uint8_t(ssrc >> 24), uint8_t(ssrc >> 16), uint8_t(ssrc >> 8), uint8_t(ssrc)};
        std::memcpy(h, fixed, kRtpHeaderBytes);
        sequence++;
    }
};

const char kUsage[] =
    "usage: mcast_send FILE.ts GROUP PORT [--rate-mbps R | --realtime] [--loop] [--rtp]\n"
    "                  [--max-seconds S] [--max-datagrams N] [--packets-per-datagram 1-21]\n"
    "                  [--ttl 0-255] [--source ADDR] [--start-packet N] [--lan]\n"
    "       mcast_send FILE.ts --output OUT.ts --passes N\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "mcast_send: %s\n%s", why.c_str(), kUsage);
    return 2;
}

// A number within [low, high]; whole when asked for. Anything else, trailing text included, is not one.
bool ParseNumber(const char* text, double low, double high, bool whole, double& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && value >= low && value <= high &&
           (!whole || value == std::floor(value));
}

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * kNsPerSecond + now.tv_nsec;
}

// A signal ends the sleep early; the caller then sees the flag.
void SleepUntil(int64_t ns) {
    const timespec until = {time_t(ns / kNsPerSecond), long(ns % kNsPerSecond)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

// Returns an exit status, 0 when the options hold, leaving them in `o`.
int ParseOptions(int argc, char** argv, Options& o) {
    const option kOptions[] = {
        {"rate-mbps", required_argument, nullptr, 'r'}, {"realtime", no_argument, nullptr, 'R'},
        {"loop", no_argument, nullptr, 'l'}, {"rtp", no_argument, nullptr, 'T'},
        {"max-seconds", required_argument, nullptr, 's'}, {"max-datagrams", required_argument, nullptr, 'd'},
        {"packets-per-datagram", required_argument, nullptr, 'p'}, {"ttl", required_argument, nullptr, 't'},
        {"source", required_argument, nullptr, 'S'}, {"start-packet", required_argument, nullptr, 'k'},
        {"output", required_argument, nullptr, 'o'}, {"passes", required_argument, nullptr, 'n'},
        {"lan", no_argument, nullptr, 'L'}, {"help", no_argument, nullptr, 'h'}, {nullptr, 0, nullptr, 0}};
    constexpr double kAny = std::numeric_limits<double>::max(), kPositive = std::numeric_limits<double>::min();
    constexpr double kMaxCount = 1e15;  // exact in a double
    opterr = 0;
    int index = 0;
    for (int c; (c = getopt_long(argc, argv, "", kOptions, &index)) != -1;) {
        bool ok = true;
        const auto number = [&ok](double low, double high, bool whole) {
            double value = 0;
            ok = ParseNumber(optarg, low, high, whole, value);
            return value;
        };
        switch (c) {
        case 'r': o.rateMbps = number(kPositive, kAny, false); break;
        case 'R': o.realtime = true; break;
        case 'l': o.loop = true; break;
        case 'T': o.rtp = true; break;
        case 's': o.maxSeconds = number(kPositive, kAny, false); break;
        case 'd': o.maxDatagrams = uint64_t(number(1, kMaxCount, true)); break;
        case 'p': o.packetsPerDatagram = int(number(1, kMaxPacketsPerDatagram, true)); break;
        case 't': o.ttl = int(number(0, 255, true)); break;
        case 'S': o.source = optarg; break;
        case 'k':
            o.startPacket = uint64_t(number(0, kMaxCount, true));
            o.carryOn = true;
            break;
        case 'o': o.output = optarg; break;
        case 'n': o.passes = uint64_t(number(1, kMaxCount, true)); break;
        case 'L': o.lan = true; break;
        case 'h': std::fputs(kUsage, stdout); std::exit(0);
        default: return Usage(std::string("unknown option or missing value: ") + argv[optind - 1]);
        }
        if (!ok) return Usage(std::string("--") + kOptions[index].name + ": out of range or not a number: " + optarg);
    }
    const int positional = argc - optind;
    if (!o.output.empty() || o.passes > 0) {
        if (o.output.empty() || o.passes == 0 || positional != 1) return Usage("--output needs --passes and FILE only");
        o.file = argv[optind];
        return 0;
    }
    if (positional != 3) return Usage("FILE GROUP PORT expected");
    if (o.realtime && o.rateMbps > 0) return Usage("--rate-mbps and --realtime exclude each other");
    o.file = argv[optind];
    o.group = argv[optind + 1];
    double port;
    if (!ParseNumber(argv[optind + 2], 1, 65535, true, port)) return Usage(std::string("bad port: ") + argv[optind + 2]);
    o.port = int(port);
    in_addr group;
    // TTL and loopback govern multicast only: a unicast address would be
    // routed off this host like any other traffic.
    if (inet_pton(AF_INET, o.group.c_str(), &group) != 1 || !IN_MULTICAST(ntohl(group.s_addr))) {
        return Usage("not an IPv4 multicast group (224.0.0.0/4): " + o.group);
    }
    if (!o.source.empty() && inet_pton(AF_INET, o.source.c_str(), &group) != 1) {
        return Usage("not an IPv4 address: " + o.source);
    }
    return 0;
}

// Whether this network namespace routes anywhere but loopback, the multicast
// range and TEST-NET-2 (198.51.100.0/24), as the host's own network does and
// the namespaces of the tests, demo and bench (scripts/netns.sh) never do: one
// slip of a command line must not put a test stream on a real LAN. A routing
// table that cannot be read counts as such a network.
bool RoutesBeyondTestNets() {
    constexpr uint32_t kTestNet2 = 0xC6336400, kTestNet2Mask = 0xFFFFFF00;
    std::ifstream table("/proc/net/route");
    std::string line;
    if (!std::getline(table, line)) return true;  // the header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string device;
        uint32_t destination = 0, gateway = 0, flags = 0, references = 0, use = 0, metric = 0, mask = 0;
        fields >> device >> std::hex >> destination >> gateway >> flags >> references >> use >> metric >> mask;
        // The table prints each address as the number its bytes make on this host.
        destination = ntohl(destination);
        mask = ntohl(mask);
        if (device == "lo" || (IN_MULTICAST(destination) && mask >= 0xF0000000)) continue;
        if ((destination & kTestNet2Mask) == kTestNet2 && (mask & kTestNet2Mask) == kTestNet2Mask) continue;
        return true;
    }
    return false;
}

// Says which call failed and why; returns the exit status of a failed run.
int Fail(const std::string& what) {
    std::fprintf(stderr, "mcast_send: %s: %s\n", what.c_str(), std::strerror(errno));
    return 1;
}

int OpenSocket(const Options& o) {
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return -Fail("socket");
    // TTL 1 keeps the stream on the local link, 0 on this host; loopback lets
    // a relay on this host (or in this network namespace) receive it.
    const int ttl = o.ttl, loop = 1;
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) < 0) return -Fail("setsockopt IP_MULTICAST_TTL");
    if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) < 0) {
        return -Fail("setsockopt IP_MULTICAST_LOOP");
    }
    if (!o.source.empty()) {
        // Linux then also sends the group out of the interface that holds the address.
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, o.source.c_str(), &local.sin_addr);
        if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) return -Fail("bind " + o.source);
    }
    // Room for whole batches at high rates; past wmem_max where we may.
    const int bufferBytes = kSendBufferBytes;
    if (setsockopt(sock, SOL_SOCKET, SO_SNDBUFFORCE, &bufferBytes, sizeof bufferBytes) < 0) {
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bufferBytes, sizeof bufferBytes);
    }
    return sock;
}

// Returns an exit status.
int SendAll(int sock, mmsghdr* messages, int count) {
    for (int done = 0; done < count;) {
        const int sent = sendmmsg(sock, messages + done, unsigned(count - done), 0);
        if (sent < 0 && errno != EINTR) return Fail("sendmmsg");
        done += std::max(sent, 0);
    }
    return 0;
}

// Sends from packet t.position on, in batches paced against the start rather
// than the last batch, so that sleep overruns are caught up, not added up.
// Returns an exit status.
int Send(TsLoop& loop, const Options& o, double rateBps, int sock, Totals& t) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(o.port));
    inet_pton(AF_INET, o.group.c_str(), &to.sin_addr);
    Rtp rtp;
    if (o.rtp && getrandom(&rtp, sizeof rtp, 0) != ssize_t(sizeof rtp)) return Fail("getrandom");
    mmsghdr messages[kMaxBatch] = {};
    iovec vectors[kMaxBatch][2];
    uint8_t headers[kMaxBatch][kRtpHeaderBytes];
    for (int i = 0; i < kMaxBatch; i++) {
        vectors[i][0] = {headers[i], kRtpHeaderBytes};
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = o.rtp ? vectors[i] : vectors[i] + 1;
        messages[i].msg_hdr.msg_iovlen = o.rtp ? 2 : 1;
    }
    const size_t packets = loop.packetCount(), perDatagram = size_t(o.packetsPerDatagram);
    const uint64_t end = o.loop ? std::numeric_limits<uint64_t>::max() : packets;
    const double nsPerByte = 8e9 / rateBps, datagramNs = double(perDatagram * kTsPacketBytes) * nsPerByte;
    const int batch = int(std::min<double>(kMinBatchNs / datagramNs + 1, kMaxBatch));
    const double maxLagNs = std::max(kMaxLagNs, kMaxBatch * datagramNs);
    const int64_t startNs = NowNs(), endNs = startNs + int64_t(std::min(o.maxSeconds, 1e9) * 1e9);
    double dueNs = double(startNs);
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);  // sleeps that end when asked, for even pacing
    while (!stopRequested && t.position < end && (o.maxDatagrams == 0 || t.datagrams < o.maxDatagrams)) {
        const int64_t now = NowNs();
        if (now >= endNs) break;
        if (now < dueNs) {
            SleepUntil(std::min(int64_t(dueNs), endNs));
            continue;
        }
        dueNs = std::max(dueNs, now - maxLagNs);
        int count = 0;
        uint64_t bytes = 0;
        while (count < batch && t.position < end && (o.maxDatagrams == 0 || t.datagrams + count < o.maxDatagrams)) {
            // Rewritten only at a batch's start: a batch ends with its pass.
            loop.RewriteFor(t.position / packets);
            const size_t offset = t.position % packets, n = std::min(perDatagram, packets - offset);
            vectors[count][1] = {const_cast<uint8_t*>(loop.packet(offset)), n * kTsPacketBytes};
            if (o.rtp) rtp.PutHeader(headers[count], now - startNs);
            t.position += n;
            bytes += n * kTsPacketBytes;
            count++;
            if (t.position % packets == 0) break;
        }
        if (const int status = SendAll(sock, messages, count)) return status;
        t.datagrams += uint64_t(count);
        t.bytes += bytes;
        dueNs += double(bytes) * nsPerByte;
    }
    return 0;
}

// Returns an exit status.
int WritePasses(TsLoop& loop, const Options& o) {
    FILE* out = std::fopen(o.output.c_str(), "wb");
    if (!out) return Fail("open " + o.output);
    for (uint64_t pass = 0; pass < o.passes; pass++) {
        loop.RewriteFor(pass);
        if (std::fwrite(loop.packet(0), kTsPacketBytes, loop.packetCount(), out) != loop.packetCount()) {
            std::fclose(out);
            return Fail("write " + o.output);
        }
    }
    return std::fclose(out) == 0 ? 0 : Fail("close " + o.output);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const int status = ParseOptions(argc, argv, o)) return status;
    TsLoop loop;
    std::string error;
    if (!loop.Load(o.file, error)) {
        std::fprintf(stderr, "mcast_send: %s\n", error.c_str());
        return 1;
    }
    if ((o.loop || o.passes > 1) && loop.passDurationPcr() == 0) {
        std::fprintf(stderr, "mcast_send: %s carries too few timestamps to loop it seamlessly\n", o.file.c_str());
        return 1;
    }
    if (!o.output.empty()) return WritePasses(loop, o);
    const double passBits = double(loop.packetCount() * kTsPacketBytes * 8);
    double rateBps = o.rateMbps * 1e6;
    if (rateBps == 0) rateBps = o.loop ? passBits * double(kPcrHz) / double(loop.passDurationPcr()) : loop.pcrRateBps();
    if (rateBps <= 0) {
        std::fprintf(stderr, "mcast_send: %s carries too few PCRs to derive its rate\n", o.file.c_str());
        return 1;
    }
    // No SA_RESTART: a signal ends a sleep at once.
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    if (!o.lan && RoutesBeyondTestNets()) {
        std::fprintf(stderr, "mcast_send: this network routes beyond loopback and 198.51.100.0/24; run in a "
                             "private namespace (scripts/netns.sh), or pass --lan to feed a real LAN\n");
        return 2;
    }
    const int sock = OpenSocket(o);
    if (sock < 0) return 1;
    Totals t;
    t.position = o.startPacket;
    const int64_t startNs = NowNs();
    const int status = Send(loop, o, rateBps, sock, t);
    std::fprintf(stderr, "mcast_send: sent %" PRIu64 " datagrams, %" PRIu64 " bytes to %s:%d\n", t.datagrams, t.bytes,
                 o.group.c_str(), o.port);
    if (o.carryOn) {
        std::fprintf(stderr, "mcast_send: stopped at packet %" PRIu64 " after %.6f s\n", t.position,
                     double(NowNs() - startNs) / 1e9);
    }
    return status;
}
