#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ingest/ts_scan.h"

namespace {

constexpr int kVideo = 0x100;
constexpr int kHighVideo = 0x1ABC;  // uses all 13 PID bits
constexpr int kAudio = 0x101;

using Bytes = std::vector<uint8_t>;

struct Packet {
    int pid = kAudio;
    bool pusi = false;
    int counter = 0;
    bool payload = true;
    bool sync = true;
    bool randomAccessIndicator = false;
    Bytes pes = {};  // the payload's first bytes
};

Bytes Datagram(const std::vector<Packet>& packets, Bytes head = {}) {
    for (const Packet& p : packets) {
        uint8_t packet[kTsPacketBytes] = {};
        packet[0] = p.sync ? kTsSyncByte : 0x00;
        packet[1] = static_cast<uint8_t>((p.pusi ? 0x40 : 0) | (p.pid >> 8));
        packet[2] = static_cast<uint8_t>(p.pid & 0xFF);
        packet[3] = static_cast<uint8_t>((p.payload ? 0x10 : 0x20) | p.counter);
        int at = 4;
        if (p.randomAccessIndicator) {
            packet[3] |= 0x20;
            packet[4] = 1;
            packet[5] = 0x40;
            at = 6;
        }
        std::copy(p.pes.begin(), p.pes.end(), packet + at);
        head.insert(head.end(), packet, packet + kTsPacketBytes);
    }
    return head;
}

// A video PES header with a PTS, then elementary-stream bytes.
Bytes Pes(int64_t pts, const Bytes& es) {
    Bytes pes = {0, 0, 1, 0xE0, 0, 0, 0x80, 0x80, 5, static_cast<uint8_t>(0x21 | (pts >> 29 & 0x0E)),
                 static_cast<uint8_t>(pts >> 22), static_cast<uint8_t>(pts >> 14 | 1), static_cast<uint8_t>(pts >> 7),
                 static_cast<uint8_t>(pts << 1 | 1)};
    pes.insert(pes.end(), es.begin(), es.end());
    return pes;
}
const Bytes kSps = {0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x67};    // H.264 AUD, SPS
const Bytes kSlice = {0, 0, 1, 0x09, 0x30, 0, 0, 1, 0x41};  // H.264 AUD, P-slice

// An RTP header: version 2 and, in `first`, the padding, extension and CSRC count.
Bytes Rtp(uint16_t sequence, uint8_t first = 0x80) {
    return {first, 33, static_cast<uint8_t>(sequence >> 8), static_cast<uint8_t>(sequence), 0, 0, 0, 0, 0, 0, 0, 0};
}

// Records what the scan reports, one line per event.
struct Recorder {
    const uint8_t* base = nullptr;
    std::vector<std::string> events;
    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        events.push_back("chunk @" + std::to_string(data - base) + " " + std::to_string(length) +
                         (frame ? " start " + std::to_string(frame->ticks) + (frame->randomAccess ? " ra" : "") : ""));
    }
    void MissingSyncByte() { events.push_back("no sync"); }
    void PartialPacket(size_t leftOverBytes) { events.push_back("partial " + std::to_string(leftOverBytes)); }
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        events.push_back("break @" + std::to_string(offset) + " cc " + std::to_string(counter) + " want " +
                         std::to_string(expected) + " good " + std::to_string(priorGood));
    }
    void RtpWrapped() { events.push_back("rtp"); }
    void RtpSequenceGap(int sequence, int expected) {
        events.push_back("seq " + std::to_string(sequence) + " want " + std::to_string(expected));
    }
};

using Events = std::vector<std::string>;

// Rows run in order on one scan state, as datagrams arrive on one socket.
TEST(TsScan, EventsPerDatagram) {
    struct Row {
        const char* what;
        std::vector<Packet> packets;
        Events expected;
        int received = -1;  // bytes received, when less than the packets
        int videoPid = kVideo;
        Bytes head = {};  // before the packets
    };
    const Row rows[] = {
        {"PES start in the third packet: packets 1-2 marked, 3-7 unmarked; the first frame has no time before it",
         {{}, {}, {kVideo, true}, {}, {}, {}, {}}, {"chunk @0 376 start 0", "chunk @376 940"}},
        {"PES start first: an empty marked call, then the whole datagram; no time: one period",
         {{kVideo, true, 1}, {}, {}}, {"chunk @0 0 start 1500", "chunk @0 564"}},
        {"PES starts in the second and fifth packets",
         {{}, {kVideo, true, 2}, {}, {}, {kVideo, true, 3}, {}},
         {"chunk @0 188 start 1500", "chunk @188 564 start 1500", "chunk @752 376"}},
        {"PUSI on other PIDs does not cut", {{kAudio, true}, {0x0, true}, {0x1FFF, true}}, {"chunk @0 564"}},
        {"a PID with the top bits set is matched on all 13 bits",
         {{kVideo | 0x1000, true}, {kHighVideo, true, 4}}, {"chunk @0 188 start 1500", "chunk @188 188"}, -1, kHighVideo},
        {"a skipped counter breaks once, at its offset, with the good count",
         {{kVideo, false, 5}, {kVideo, false, 9}, {kVideo, false, 10}}, {"break @188 cc 9 want 6 good 5", "chunk @0 564"}},
        {"15 wraps to 0; packets without payload are neither checked nor counted",
         {{kVideo, false, 11}, {kVideo, false, 12}, {kVideo, false, 13}, {kVideo, false, 14}, {kVideo, false, 15},
          {kVideo, false, 7, false}, {kVideo, false, 0}},
         {"chunk @0 1316"}},
        {"a repeated packet is a break too", {{kVideo, false, 1}, {kVideo, false, 1}},
         {"break @188 cc 1 want 2 good 2", "chunk @0 376"}},
        {"other PIDs' counters are not checked", {{kAudio, false, 9}, {kAudio, false, 3}}, {"chunk @0 376"}},
        {"a missing sync byte is reported and the packet passed on",
         {{}, {kAudio, false, 0, true, false}}, {"no sync", "chunk @0 376"}},
        {"an empty datagram reports nothing", {}, {}},
        {"a partial packet's PUSI does not count, nor its bytes",
         {{}, {}, {kVideo, true, 2}}, {"partial 100", "chunk @0 376"}, 2 * kTsPacketBytes + 100},
        {"less than one packet: nothing but that", {{kVideo, true, 2}}, {"partial 3"}, 3},
        {"the time between decoding times; before any indicator, an SPS marks random access",
         {{.pid = kVideo, .pusi = true, .counter = 2, .pes = Pes(90'000, kSps)},
          {.pid = kVideo, .pusi = true, .counter = 3, .pes = Pes(93'600, kSlice)}},
         {"chunk @0 0 start 1500 ra", "chunk @0 188 start 3600", "chunk @188 188"}},
        {"the indicator marks random access; from then on codec marks do not",
         {{.pid = kVideo, .pusi = true, .counter = 4, .randomAccessIndicator = true, .pes = Pes(97'200, kSlice)},
          {.pid = kVideo, .pusi = true, .counter = 5, .pes = Pes(100'800, kSps)}},
         {"chunk @0 0 start 3600 ra", "chunk @0 188 start 3600", "chunk @188 188"}},
        {"RTP: the packets inside are scanned, the wrapping said once",
         {{}, {.pid = kVideo, .pusi = true, .counter = 6}}, {"rtp", "chunk @12 188 start 3600", "chunk @200 188"},
         -1, kVideo, Rtp(65'535)},
        {"a gap in the sequence numbers, which wrap", {{}}, {"seq 1 want 0", "chunk @12 188"}, -1, kVideo, Rtp(1)},
    };
    TsScanState state;
    for (const Row& row : rows) {
        const Bytes datagram = Datagram(row.packets, row.head);
        Recorder recorder{datagram.data(), {}};
        const size_t received = row.received < 0 ? datagram.size() : static_cast<size_t>(row.received);
        ScanDatagram(datagram.data(), received, row.videoPid, state, recorder);
        EXPECT_EQ(recorder.events, row.expected) << row.what;
    }
    EXPECT_EQ(state.goodDatagrams, 10);  // datagrams scanned since the repeated packet
    EXPECT_EQ(state.expectedCounter, 7);
}

TEST(TsScan, RtpHeaders) {
    const Bytes packet = Datagram({{}});
    const auto wrapped = [&](Bytes head, Bytes tail = {}) {
        head.insert(head.end(), packet.begin(), packet.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Bytes extension = {0x90, 33, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0xBE, 0xDE, 0, 1, 9, 9, 9, 9};
    const struct {
        const char* what;
        Bytes datagram;
        int offset;  // of the payload, a transport packet; -1: not RTP-wrapped transport packets
    } rows[] = {
        {"the fixed header", wrapped(Rtp(0x1234)), 12},
        {"two CSRCs", wrapped({0x82, 33, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}), 20},
        {"an extension of one word", wrapped(extension), 20},
        {"padding", wrapped(Rtp(1, 0xA0), {0, 0, 3}), 12},
        {"a bare transport packet", packet, -1},
        {"a payload that is not transport packets", [&] { Bytes d = wrapped(Rtp(1)); d[12] = 0; return d; }(), -1},
        {"an extension past the end", Bytes(extension.begin(), extension.begin() + 14), -1},
        {"padding longer than the payload", wrapped(Rtp(1, 0xA0), {0xFF}), -1},
    };
    for (const auto& row : rows) {
        const std::optional<RtpPayload> rtp = UnwrapRtp(row.datagram.data(), row.datagram.size());
        ASSERT_EQ(rtp.has_value(), row.offset >= 0) << row.what;
        if (!rtp) continue;
        EXPECT_EQ(rtp->data - row.datagram.data(), row.offset) << row.what;
        EXPECT_EQ(rtp->length, static_cast<size_t>(kTsPacketBytes)) << row.what;
    }
    EXPECT_EQ(UnwrapRtp(rows[0].datagram.data(), rows[0].datagram.size())->sequenceNumber, 0x1234);
}

}  // namespace
