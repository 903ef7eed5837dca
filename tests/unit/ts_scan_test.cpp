#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ingest/ts_scan.h"

namespace {

constexpr int kVideo = 0x100;
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

// Records what the scan reports as one line per event.
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

Events Scan(const std::vector<uint8_t>& datagram, TsScanState& state, size_t length) {
    Recorder recorder;
    recorder.base = datagram.data();
    ScanDatagram(datagram.data(), length, kVideo, state, recorder);
    return recorder.events;
}

Events Scan(const std::vector<uint8_t>& datagram, TsScanState& state) {
    return Scan(datagram, state, datagram.size());
}

Events Scan(const std::vector<Packet>& packets) {
    TsScanState state;
    return Scan(Datagram(packets), state);
}

TEST(TsScan, CutsBeforeEachVideoPesStart) {
    //  1 2 [3=video PUSI] 4 5 6 7  ->  packets 1-2 marked, 3-7 unmarked
    EXPECT_EQ(Scan({{}, {}, {kVideo, true}, {}, {}, {}, {}}), (Events{"chunk @0 376 start", "chunk @376 940"}));
    //  video PUSI first: an empty marked call, then the whole datagram
    EXPECT_EQ(Scan({{kVideo, true}, {}, {}, {}, {}, {}, {}}), (Events{"chunk @0 0 start", "chunk @0 1316"}));
    //  PES starts in the second and fifth packets
    EXPECT_EQ(Scan({{}, {kVideo, true, 0}, {}, {}, {kVideo, true, 1}, {}, {}}),
              (Events{"chunk @0 188 start", "chunk @188 564 start", "chunk @752 564"}));
}

TEST(TsScan, PusiOnOtherPidsDoesNotCut) {
    EXPECT_EQ(Scan({{kAudio, true}, {0x0, true}, {0x1FFF, true}}), (Events{"chunk @0 564"}));
}

TEST(TsScan, ChecksVideoContinuityOnly) {
    TsScanState state;
    // First video packet carries 5: one break, then 6 is expected.
    EXPECT_EQ(Scan(Datagram({{kVideo, false, 5}, {kVideo, false, 6}, {kAudio, false, 9}}), state),
              (Events{"break @0 cc 5 want 0 good 0", "chunk @0 564"}));
    EXPECT_EQ(state.expectedCounter, 7);
    EXPECT_EQ(state.goodDatagrams, 1);
    // 15 wraps to 0; packets without payload are neither checked nor counted.
    state.expectedCounter = 15;
    EXPECT_EQ(Scan(Datagram({{kVideo, false, 15}, {kVideo, false, 9, false}, {kVideo, false, 0}}), state),
              (Events{"chunk @0 564"}));
    // A repeated packet breaks once, at its byte offset, with the good count so far.
    EXPECT_EQ(Scan(Datagram({{kVideo, false, 1}, {kVideo, false, 1}, {kVideo, false, 2}}), state),
              (Events{"break @188 cc 1 want 2 good 2", "chunk @0 564"}));
}

TEST(TsScan, MissingSyncByteIsReportedAndPassedOn) {
    EXPECT_EQ(Scan({{}, {kAudio, false, 0, true, false}}), (Events{"no sync", "chunk @0 376"}));
}

TEST(TsScan, EmptyDatagramCountsAsGood) {
    TsScanState state;
    EXPECT_EQ(Scan(Datagram({}), state), Events{});
    EXPECT_EQ(state.goodDatagrams, 1);
}

TEST(TsScan, TrailingPartialPacketIsNeitherReadNorPassedOn) {
    TsScanState state;
    std::vector<uint8_t> bytes = Datagram({{}, {}, {kVideo, true, 0}});
    // Cut inside the third packet: its PUSI header lies in the received
    // bytes but the packet is incomplete, so it must not start a segment.
    EXPECT_EQ(Scan(bytes, state, 2 * kTsPacketBytes + 100), (Events{"chunk @0 376"}));
    EXPECT_EQ(Scan(bytes, state, 3), Events{});
}

}  // namespace
