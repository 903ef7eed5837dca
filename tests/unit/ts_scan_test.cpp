#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "hls/segment_ring.h"
#include "ingest/scan_sink.h"
#include "ts/ts_scan.h"
#include "web/metrics.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int kVideo = 0x100, kAudio = 0x101;

struct Packet {
    int pid = kAudio;
    bool pusi = false;
    int counter = 0;
    bool payload = true, sync = true, randomAccessIndicator = false;
    Bytes pes = {};  // the payload's first bytes
};

Packet Video(int counter, bool pusi = false, Bytes pes = {}, bool randomAccessIndicator = false) {
    return {kVideo, pusi, counter, true, true, randomAccessIndicator, std::move(pes)};
}

Bytes Datagram(const std::vector<Packet>& packets, Bytes head = {}, const Bytes& tail = {}) {
    for (const Packet& p : packets) {
        Bytes packet = {p.sync ? kTsSyncByte : uint8_t{0}, uint8_t(p.pusi << 6 | p.pid >> 8), uint8_t(p.pid),
                        uint8_t((p.payload ? 0x10 : 0x20) | (p.randomAccessIndicator ? 0x20 : 0) | p.counter)};
        if (p.randomAccessIndicator) packet.insert(packet.end(), {1, 0x40});  // an adaptation field: the indicator
        packet.insert(packet.end(), p.pes.begin(), p.pes.end());
        packet.resize(kTsPacketBytes);
        head.insert(head.end(), packet.begin(), packet.end());
    }
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// A video PES header with flags 2 (PTS) or 3 (PTS, DTS), each field written as muxers do, then es.
Bytes Pes(int flags, int64_t pts, int64_t dts = 0, const Bytes& es = {}) {
    Bytes pes = {0, 0, 1, 0xE0, 0, 0, 0x80, uint8_t(flags << 6), uint8_t(5 * (flags - 1))};
    for (int field = 0; field < flags - 1; field++) {
        const int64_t t = field ? dts : pts;
        pes.insert(pes.end(), {uint8_t((flags == 3 ? 3 - 2 * field : 2) << 4 | (t >> 29 & 0x0E) | 1), uint8_t(t >> 22),
                               uint8_t(t >> 14 | 1), uint8_t(t >> 7), uint8_t(t << 1 | 1)});
    }
    pes.insert(pes.end(), es.begin(), es.end());
    return pes;
}

// An RTP header: version 2 and, in `first`, the padding, extension and CSRC count; then those.
Bytes Rtp(uint16_t sequence, uint8_t first = 0x80, const Bytes& more = {}) {
    Bytes head = {first, 33, uint8_t(sequence >> 8), uint8_t(sequence), 0, 0, 0, 0, 0, 0, 0, 0};
    head.insert(head.end(), more.begin(), more.end());
    return head;
}

// What the scan reports, one event after another: "OFFSET+LENGTH" for a chunk, with " tTICKS" and " ra" when a
// frame starts right after it; "cc COUNTER/EXPECTED @OFFSET good N" for a continuity break.
struct Recorder {
    const uint8_t* base;
    std::ostringstream events;
    std::ostream& Next() { return events << (events.tellp() > 0 ? ", " : ""); }
    void Chunk(const uint8_t* data, int32_t length, const FrameStart* f) {
        Next() << data - base << "+" << length;
        if (f) events << " t" << f->ticks << (f->randomAccess ? " ra" : "");
        if (f && f->leadingTableBytes) events << " tables " << f->leadingTableBytes;
    }
    void MissingSyncByte() { Next() << "no sync"; }
    void PartialPacket(size_t leftOverBytes) { Next() << "partial " << leftOverBytes; }
    void Discontinuity(int at, int cc, int want, int good) {
        Next() << "cc " << cc << "/" << want << " @" << at << " good " << good;
    }
    void RtpWrapped() { Next() << "rtp"; }
    void RtpSequenceGap(int sequence, int expected) { Next() << "seq " << sequence << "/" << expected; }
    void TablePacket(TsPacket packet, TsScanState&) { Next() << "table " << packet.pid(); }
    void OwnTables() { Next() << "own tables"; }
    void NoFrameStarts() { Next() << "no frames"; }
};

// Rows run in order on one scan state, as datagrams arrive on one socket.
struct Row { Bytes datagram; std::string expected; int videoPid = kVideo; int64_t arrivalTicks = 0; };

TsScanState ScanRows(const std::vector<Row>& rows, TsScanState state = {}) {
    for (size_t i = 0; i < rows.size(); i++) {
        Recorder recorder{rows[i].datagram.data(), {}};
        state.cutPid = rows[i].videoPid;
        ScanDatagram(rows[i].datagram.data(), rows[i].datagram.size(), rows[i].arrivalTicks, state, recorder);
        EXPECT_EQ(recorder.events.str(), rows[i].expected) << "row " << i;
    }
    return state;
}

// Where frames start and what they carry is checked over the fuzz corpus
// (fuzz/ts_scan_fuzzer.cpp); here, what it cannot see.
TEST(TsScan, VideoPidAndContinuity) {
    const TsScanState state = ScanRows({
        {Datagram({{kVideo | 0x1000, true}, {0x1ABC, true}}), "0+188 t0, 188+188", 0x1ABC},  // all 13 PID bits
        {Datagram({Video(1), Video(13), Video(14)}), "cc 13/2 @188 good 1, 0+564"},  // a lost run: one break
        {Datagram({Video(15), {kVideo, false, 7, false}, Video(0)}), "0+564"},  // 15 wraps; no payload: no count
    });  // other PIDs checked, the end-to-end runs log breaks; a missing sync byte: the counters test
    EXPECT_EQ(state.goodDatagrams, 2);  // scanned since the break
    EXPECT_EQ(state.expectedCounter, 1);
}

const Bytes kSps = {0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x67};    // H.264 AUD, SPS
const Bytes kSlice = {0, 0, 1, 0x09, 0x30, 0, 0, 1, 0x41};  // H.264 AUD, P-slice

TEST(TsScan, RandomAccessFromTheIndicatorElseTheCodecsMarks) {
    ScanRows({
        {Datagram({Video(0, true, Pes(2, 90'000, 0, kSps)), Video(1, true, Pes(2, 93'600, 0, kSlice))}),
         "0+0 t0 ra, 0+188 t3600, 188+188"},
        {Datagram({Video(2, true, Pes(2, 99'000, 0, kSlice), true)}), "0+0 t5400 ra, 0+188"},  // PES past the field
        {Datagram({Video(3, true, Pes(2, 100'800, 0, kSps))}), "0+0 t1800, 0+188"},  // indicators seen: no marks
    });
}

// Table PIDs are read before the rest; a PID left out splits the chunks; the
// relay's tables go in where a section starts on a PID it replaces; a cut's
// leading tables are the table packets right before the frame, across
// datagrams too; and a second without frame starts brings arrival times in.
TEST(TsScan, WhatTheTablesDecide) {
    constexpr int kPat = 0, kPmt = 0x1000, kLeftOut = 0x200, kReplaced = 0x10;
    TsScanState state;
    state.pidFlags[kPat] = kPidRead | kPidTableRun;
    state.pidFlags[kPmt] = kPidTableRun;
    state.pidFlags[kLeftOut] = kPidDrop;
    state.pidFlags[kReplaced] = kPidRead | kPidDrop | kPidOwnTables;
    constexpr int64_t kSecond = kTimestampHz;
    ScanRows({
        {Datagram({{kPat, true}, {kPmt}, Video(0, true, Pes(2, 0))}), "table 0, 0+376 t0 tables 376, 376+188"},
        {Datagram({{kPat, true}}), "table 0, 0+188"},
        {Datagram({{kPmt}, {kLeftOut}, Video(1, true, Pes(2, 3600))}), "0+188, 376+0 t3600 tables 376, 376+188"},
        {Datagram({{kReplaced, true}, {}}), "table 16, own tables, 188+188"},
        {Datagram({{}}), "no frames, 0+0 t90001, 0+188", kVideo, kSecond + 1},
        {Datagram({{}}), "0+188", kVideo, kSecond + kArrivalFrameTicks},
        {Datagram({{}}), "0+0 t9000, 0+188", kVideo, kSecond + 1 + kArrivalFrameTicks},
    }, state);
}

TEST(TsScan, RtpWrappedDatagrams) {
    ScanRows({
        {Datagram({{}}, Rtp(65'535)), "rtp, 12+188"},
        {Datagram({{}}, Rtp(0)), "12+188"},
        {Datagram({{}}, Rtp(1, 0x82, Bytes(8, 1))), "20+188"},                        // two CSRCs
        {Datagram({{}}, Rtp(2, 0x90, {0xBE, 0xDE, 0, 1, 9, 9, 9, 9})), "20+188"},     // an extension of one word
        {Datagram({{}}, Rtp(3, 0xA0), {0, 0, 3}), "12+188"},                          // padding
        {Datagram({{}}, Rtp(5)), "seq 5/4, 12+188"},
        {Datagram({}, Rtp(6), Bytes(kTsPacketBytes, 0)), "partial 12, no sync, 0+188"},  // no sync byte inside
        {Datagram({{}}, Rtp(7, 0xA0), {0xFF}), "partial 13, no sync, 0+188"},  // padding past the payload
    });
}

TEST(PesHeader, DecodeTimeAndPayloadOffset) {
    const Bytes both = Pes(3, 5000, kTimestampWrap - 1, {0});
    // The payload's offset is the bytes' length when it does not start within them.
    const struct { const char* what; Bytes pes; std::optional<int64_t> decodeTicks; size_t payloadOffset; } rows[] = {
        {"PTS only", Pes(2, 123'456'789, 0, {0}), 123'456'789, 14},
        {"PTS and DTS: the DTS, all 33 bits", both, kTimestampWrap - 1, 19},
        {"cut off inside the DTS", Bytes(both.begin(), both.end() - 2), std::nullopt, 18},
        {"neither", Pes(1, 0), std::nullopt, 9},
        {"header data shorter than its fields", [&] { Bytes p = both; p[8] = 9; return p; }(), std::nullopt, 18},
        {"no start code", [&] { Bytes p = both; p[2] = 2; return p; }(), std::nullopt, 20},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(PesDecodeTime(row.pes.data(), row.pes.size()), row.decodeTicks) << row.what;
        EXPECT_EQ(PesPayloadOffset(row.pes.data(), row.pes.size()), row.payloadOffset) << row.what;
    }
}

TEST(PesHeader, CodecMarks) {
    const std::pair<Bytes, bool> rows[] = {
        {{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x64}, true},  // H.264 AUD, SPS
        {{0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x65, 0x88}, true},        // H.264 AUD, IDR
        {{0, 0, 1, 0x09, 0x30, 0, 0, 1, 0x41, 0x9A}, false},       // H.264 AUD, P-slice: an HEVC VPS header byte
        {{0, 0, 1, 0x46, 0x01, 0x10, 0, 0, 1, 0x40, 0x01}, true},  // HEVC AUD, VPS
        {{0, 0, 1, 0x46, 0x01, 0x10, 0, 0, 1, 0x4E, 0x01, 5, 0, 0, 1, 0x26, 0x01}, true},  // HEVC AUD, SEI, IDR
        {{0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 1, 0x67, 1}, false},    // HEVC AUD, trailing picture: an H.264 SPS byte
        {{0, 0, 1, 0xB3, 0x2D}, true},                             // MPEG-2 sequence header
        {{0, 0, 1, 0x00, 0x01, 0, 0, 1, 0xB8, 0x00}, true},        // MPEG-2 picture, then GOP header
        {{0, 0, 1, 0x00, 0x01, 0, 0, 1, 0x05, 0x00}, false},       // MPEG-2 picture, slice 5
    };
    for (const auto& [es, mark] : rows) {
        EXPECT_EQ(HasRandomAccessMark(es.data(), es.size()), mark) << testing::PrintToString(es);
    }
}

// Rows run in order on one clock: a decoding time (or none), then the ticks and period it must give.
TEST(FrameClock, RidesOutJumpsAndGaps) {
    const std::optional<int64_t> kNone;
    // broke: the source started over, which a low-latency playlist marks.
    const struct {
        const char* what; std::optional<int64_t> decodeTicks; int64_t ticks, periodTicks; bool broke = false;
    } rows[] = {
        {"the first frame", 90'000, 0, 1500},
        {"a step: elapsed, and the period", 93'600, 3600, 3600},
        {"frames lost: elapsed, but not the period", 129'600, 36'000, 3600},
        {"no time: one period, and the next step counts from there", kNone, 3600, 3600},
        {"", 136'800, 3600, 3600},
        {"a step back: one period", 50'000, 3600, 3600, true},
        {"and the clock carries on from there", 53'003, 3003, 3003},
        {"over three seconds forward: one period", 323'004, 3003, 3003, true},
        {"up to three seconds forward is time passing", 593'004, 270'000, 3003},
        {"near the top: a jump", kTimestampWrap - 1000, 3003, 3003, true},
        {"across the 33-bit wrap", 500, 1500, 1500},
        {"the same time twice: one period", 500, 1500, 1500},
    };
    FrameClock clock;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(AdvanceFrameClock(clock, row.decodeTicks), row.ticks);
        EXPECT_EQ(std::make_pair(clock.periodTicks, clock.broke), std::make_pair(row.periodTicks, row.broke));
    }
}

}  // namespace

// Each event moves its own counters in /metrics by exactly this much, and no
// other: a counter that counted the wrong event would pass every other test.
TEST(Counters, EachMovesOnItsOwnEventOnly) {
    RelayCounters counters;
    SegmentRing ring(counters, 1);
    ASSERT_TRUE(ring.Allocate(kPoolSegments));  // one block a segment
    ProgramTables tables(std::nullopt);
    StreamInfoBoard board;
    ScanSink sink(ring, counters, tables, board);
    TsScanState state;
    tables.Start(state, kVideo);
    const auto scan = [&](const Bytes& d) { ScanDatagram(d.data(), d.size(), 0, state, sink); };
    const auto metrics = [&] {  // "quillbrook_NAME_total{LABELS} VALUE" as {"NAME{LABELS}", VALUE}
        std::map<std::string, uint64_t> all;
        std::istringstream lines(FormatMetrics(counters.Snapshot(), {}));
        for (std::string name, value; lines >> name >> value;) {
            if (name[0] == '#') std::getline(lines, value);
            else all[std::regex_replace(name, std::regex("^quillbrook_|_total"), "")] = std::stoull(value);
        }
        return all;
    };
    const struct { const char* what; std::function<void()> event; std::map<std::string, uint64_t> moves; } rows[] = {
        {"whole good packets", [&] { scan(Datagram({{}, {kVideo, true, 0, true, true, false, Pes(2, 0)}})); }, {}},
        {"a packet without its sync byte", [&] { scan(Datagram({{kAudio, false, 0, true, false}})); },
         {{"sync_errors", 1}}},
        {"bytes past the last whole packet", [&] { scan(Datagram({{}}, {}, Bytes(100))); },
         {{"uneven_datagrams", 1}, {"dropped_bytes", 100}}},
        {"a video packet out of sequence", [&] { scan(Datagram({Video(5)})); }, {{"continuity_errors", 1}}},
        {"the first RTP datagram", [&] { scan(Datagram({{}}, Rtp(1))); }, {{"rtp_input", 1}}},
        {"a gap in its sequence numbers", [&] { scan(Datagram({{}}, Rtp(3))); }, {{"rtp_sequence_errors", 1}}},
        {"a keyframe once the segment is due",
         [&] { scan(Datagram({Video(6, true, Pes(2, 2 * kTimestampHz), true)})); },
         {{"segments{reason=\"keyframe\"}", 1}}},
        {"more than the pool holds, no frame start",
         [&] { for (int i = 0; i < 200; i++) scan(Datagram(std::vector<Packet>(21))); },
         {{"segments{reason=\"overflow\"}", 1}}},
        {"a PAT whose CRC-32 fails", [&] {
             Bytes section = {0, 0, 0xB0, 0x0D, 0, 1, 0xC1, 0, 0, 0, 1, 0xF0, 0, 1, 2, 3, 4};
             section.resize(kTsPacketBytes - 4, 0xFF);  // stuffing
             scan(Datagram({{0, true, 0, true, true, false, section}}));
         }, {{"table_errors", 1}}},
        {"a segment not found", [&] { counters.CountRequest(Endpoint::kSegment, 404, 0); },
         {{"http_requests{endpoint=\"segment\",code=\"404\"}", 1}}},
        {"a playlist answered 503", [&] { counters.CountRequest(Endpoint::kPlaylist, 503, 20); },
         {{"http_requests{endpoint=\"playlist\",code=\"other\"}", 1}, {"served_bytes{endpoint=\"playlist\"}", 20}}},
    };
    for (const auto& row : rows) {
        const auto before = metrics();
        row.event();
        std::map<std::string, uint64_t> moved;
        for (const auto& [name, value] : metrics()) {
            if (value != before.at(name)) moved[name] = value - before.at(name);
        }
        EXPECT_EQ(moved, row.moves) << row.what;
    }
}
