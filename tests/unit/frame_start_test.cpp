#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "ingest/frame_clock.h"
#include "ingest/pes_header.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A video PES header with flags 2 (PTS) or 3 (PTS, DTS), each field written as muxers do.
Bytes Pes(int flags, int64_t pts, int64_t dts = 0) {
    Bytes pes = {0, 0, 1, 0xE0, 0, 0, 0x80, static_cast<uint8_t>(flags << 6), static_cast<uint8_t>(5 * (flags - 1))};
    for (int field = 0; field < flags - 1; field++) {
        const int64_t t = field ? dts : pts;
        pes.insert(pes.end(), {static_cast<uint8_t>((flags == 3 ? 3 - 2 * field : 2) << 4 | (t >> 29 & 0x0E) | 1),
                               static_cast<uint8_t>(t >> 22), static_cast<uint8_t>(t >> 14 | 1),
                               static_cast<uint8_t>(t >> 7), static_cast<uint8_t>(t << 1 | 1)});
    }
    return pes;
}

TEST(FrameStart, DecodeTimes) {
    const int64_t kMax = kTimestampWrap - 1;
    const Bytes both = Pes(3, 5000, 1400);
    const struct {
        const char* what;
        Bytes pes;
        std::optional<int64_t> expected;
    } rows[] = {
        {"PTS only", Pes(2, 123'456'789), 123'456'789},
        {"PTS and DTS: the DTS", both, 1400},
        {"all 33 bits", Pes(3, 0, kMax), kMax},
        {"cut off inside the DTS", Bytes(both.begin(), both.end() - 1), std::nullopt},
        {"neither", Pes(1, 0), std::nullopt},
        {"header data shorter than its fields", [&] { Bytes p = both; p[8] = 9; return p; }(), std::nullopt},
        {"no start code", [&] { Bytes p = both; p[2] = 2; return p; }(), std::nullopt},
        {"too short for a header", Bytes{0, 0, 1, 0xE0}, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(PesDecodeTime(row.pes.data(), row.pes.size()), row.expected) << row.what;
    const Bytes withPayload = [&] { Bytes p = both; p.push_back(0); return p; }();
    EXPECT_EQ(PesPayloadOffset(withPayload.data(), withPayload.size()), both.size());
    EXPECT_EQ(PesPayloadOffset(both.data(), 12), 12u) << "a header past the bytes given";
}

TEST(FrameStart, CodecMarks) {
    const struct {
        const char* what;
        Bytes es;
        bool mark;
    } rows[] = {
        {"H.264 AUD, SPS", {0, 0, 0, 1, 0x09, 0xF0, 0, 0, 0, 1, 0x67, 0x64}, true},
        {"H.264 AUD, IDR", {0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x65, 0x88}, true},
        {"H.264 AUD, P-slice (an HEVC VPS header byte)", {0, 0, 1, 0x09, 0x30, 0, 0, 1, 0x41, 0x9A}, false},
        {"HEVC AUD, VPS", {0, 0, 1, 0x46, 0x01, 0x10, 0, 0, 1, 0x40, 0x01}, true},
        {"HEVC AUD, SEI, IDR", {0, 0, 1, 0x46, 0x01, 0x10, 0, 0, 1, 0x4E, 0x01, 5, 0, 0, 1, 0x26, 0x01}, true},
        {"HEVC AUD, CRA", {0, 0, 1, 0x46, 0x01, 0x10, 0, 0, 1, 0x2A, 0x01}, true},
        {"HEVC AUD, trailing picture (an H.264 SPS header byte)", {0, 0, 1, 0x46, 0x01, 0x50, 0, 0, 1, 0x67, 1}, false},
        {"MPEG-2 sequence header", {0, 0, 1, 0xB3, 0x2D}, true},
        {"MPEG-2 picture, then GOP header", {0, 0, 1, 0x00, 0x01, 0, 0, 1, 0xB8, 0x00}, true},
        {"MPEG-2 picture, slice 5", {0, 0, 1, 0x00, 0x01, 0, 0, 1, 0x05, 0x00}, false},
        {"no start code", {0x65, 0x67, 0xB3}, false},
    };
    for (const auto& row : rows) EXPECT_EQ(HasRandomAccessMark(row.es.data(), row.es.size()), row.mark) << row.what;
}

// Rows run in order on one clock: a decoding time (or none), then the ticks and period it must give.
TEST(FrameStart, ClockRidesOutJumpsAndGaps) {
    const std::optional<int64_t> kNone;
    const int64_t kTop = kTimestampWrap - 1000;
    const struct {
        const char* what;
        std::optional<int64_t> decodeTicks;
        int64_t ticks, periodTicks;
    } rows[] = {
        {"the first frame", 90'000, 0, 1500},
        {"a step: elapsed, and the period", 93'600, 3600, 3600},
        {"frames lost: elapsed, but not the period", 129'600, 36'000, 3600},
        {"no time: one period, and the next step counts from there", kNone, 3600, 3600},
        {"", 136'800, 3600, 3600},
        {"a step back: one period", 50'000, 3600, 3600},
        {"and the clock carries on from there", 53'003, 3003, 3003},
        {"over three seconds forward: one period", 323'004, 3003, 3003},
        {"up to three seconds forward is time passing", 593'004, 270'000, 3003},
        {"near the top: a jump", kTop, 3003, 3003},
        {"across the 33-bit wrap", 500, 1500, 1500},
        {"the same time twice: one period", 500, 1500, 1500},
    };
    FrameClock clock;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(AdvanceFrameClock(clock, row.decodeTicks), row.ticks);
        EXPECT_EQ(clock.periodTicks, row.periodTicks);
    }
}

}  // namespace
