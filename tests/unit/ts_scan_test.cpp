#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ingest/ts_scan.h"

namespace {

constexpr int kVideo = 0x100;
constexpr int kHighVideo = 0x1ABC;  // uses all 13 PID bits
constexpr int kAudio = 0x101;

struct Packet {
    int pid = kAudio;
    bool pusi = false;
    int counter = 0;
    bool payload = true;
    bool sync = true;
};

std::vector<uint8_t> Datagram(const std::vector<Packet>& packets) {
    std::vector<uint8_t> bytes;
    for (const Packet& p : packets) {
        uint8_t packet[kTsPacketBytes] = {};
        packet[0] = p.sync ? kTsSyncByte : 0x00;
        packet[1] = static_cast<uint8_t>((p.pusi ? 0x40 : 0) | (p.pid >> 8));
        packet[2] = static_cast<uint8_t>(p.pid & 0xFF);
        packet[3] = static_cast<uint8_t>((p.payload ? 0x10 : 0x20) | p.counter);
        bytes.insert(bytes.end(), packet, packet + kTsPacketBytes);
    }
    return bytes;
}

// Records what the scan reports, one line per event.
struct Recorder {
    const uint8_t* base = nullptr;
    std::vector<std::string> events;
    void Chunk(const uint8_t* data, int32_t length, bool frameStart) {
        events.push_back("chunk @" + std::to_string(data - base) + " " + std::to_string(length) +
                         (frameStart ? " start" : ""));
    }
    void MissingSyncByte() { events.push_back("no sync"); }
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        events.push_back("break @" + std::to_string(offset) + " cc " + std::to_string(counter) + " want " +
                         std::to_string(expected) + " good " + std::to_string(priorGood));
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
    };
    const Row rows[] = {
        {"PES start in the third packet: packets 1-2 marked, 3-7 unmarked",
         {{}, {}, {kVideo, true}, {}, {}, {}, {}}, {"chunk @0 376 start", "chunk @376 940"}},
        {"PES start first: an empty marked call, then the whole datagram",
         {{kVideo, true, 1}, {}, {}}, {"chunk @0 0 start", "chunk @0 564"}},
        {"PES starts in the second and fifth packets",
         {{}, {kVideo, true, 2}, {}, {}, {kVideo, true, 3}, {}},
         {"chunk @0 188 start", "chunk @188 564 start", "chunk @752 376"}},
        {"PUSI on other PIDs does not cut", {{kAudio, true}, {0x0, true}, {0x1FFF, true}}, {"chunk @0 564"}},
        {"a PID with the top bits set is matched on all 13 bits",
         {{kVideo | 0x1000, true}, {kHighVideo, true, 4}}, {"chunk @0 188 start", "chunk @188 188"}, -1, kHighVideo},
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
         {{}, {}, {kVideo, true, 2}}, {"chunk @0 376"}, 2 * kTsPacketBytes + 100},
        {"less than one packet: nothing", {{kVideo, true, 2}}, {}, 3},
    };
    TsScanState state;
    for (const Row& row : rows) {
        const std::vector<uint8_t> datagram = Datagram(row.packets);
        Recorder recorder{datagram.data(), {}};
        const size_t received = row.received < 0 ? datagram.size() : static_cast<size_t>(row.received);
        ScanDatagram(datagram.data(), received, row.videoPid, state, recorder);
        EXPECT_EQ(recorder.events, row.expected) << row.what;
    }
    EXPECT_EQ(state.goodDatagrams, 6);  // datagrams scanned since the repeated packet
    EXPECT_EQ(state.expectedCounter, 2);
}

}  // namespace
