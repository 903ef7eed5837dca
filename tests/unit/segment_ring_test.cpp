#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <thread>
#include <tuple>
#include <vector>

#include "hls/segment_ring.h"
#include "ts/ts_packet.h"

namespace {

constexpr int64_t k60Fps = kTimestampHz / 60, kMs = kTicksPerMs, kSizeCut = 12'000'000;

TEST(CutRule, ReasonAtAFrameStart) {
    using enum CutReason;
    const struct {
        int64_t elapsedTicks, periodTicks, segmentBytes; bool randomAccess, keyframesLately; CutReason reason;
        bool firstSegment = false;
    } rows[] = {
        {1800 * kMs, k60Fps, 0, true, true, kNone},  // exactly 1800 ms is not over it
        {109 * k60Fps, k60Fps, 0, true, true, kKeyframe},
        {2440 * kMs, 10 * kMs, 0, false, true, kNone},       // one more frame reaches 2450 ms, not past it
        {2441 * kMs, 10 * kMs, 0, false, true, kDuration},
        {1000 * kMs, k60Fps, kSizeCut, true, true, kNone},
        {1000 * kMs, k60Fps, kSizeCut + 1, true, false, kSize},
        {1900 * kMs, k60Fps, kSizeCut + 1, false, true, kSize},
        {1900 * kMs, k60Fps, kSizeCut + 1, true, true, kKeyframe},
        {100 * kMs, k60Fps, 0, true, true, kKeyframe, true},  // the first segment: its first keyframe
        {100 * kMs, k60Fps, 0, false, true, kNone, true},
    };
    for (const auto& r : rows) {
        const CutReason got = CutAtFrameStart(r.elapsedTicks, r.periodTicks, r.segmentBytes, kSizeCut, r.randomAccess,
                                              r.keyframesLately, r.firstSegment);
        EXPECT_EQ(got, r.reason) << r.elapsedTicks << " ticks, " << r.segmentBytes << " bytes";
    }
}

constexpr int kReaders = 64;
constexpr int kTestPoolBlocks = 200;
int64_t wallMs = 1000;  // the rings' wall clock here

class Ring : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset(int poolBlocks = kTestPoolBlocks) {
        ring = std::make_unique<SegmentRing>(counters, kReaders, [] { return wallMs; });
        ASSERT_TRUE(ring->Allocate(poolBlocks));
        Frame(0, 0, false);  // the first frame start: the segment's clock starts
    }
    // As the receive loop calls it: the packets before a frame start, then the frame.
    AppendResult Frame(int32_t lengthBefore, int64_t ticks, bool randomAccess = true, int64_t periodTicks = k60Fps) {
        const FrameStart frame{ticks, periodTicks, randomAccess};
        return ring->Append(bytes.data(), lengthBefore, &frame);
    }
    void CutNow() { Frame(0, 3 * kTimestampHz); }
    static std::string Name(int number) { return "hlsMcast_" + std::to_string(number) + ".ts"; }
    static std::vector<uint8_t> Joined(const SegmentLease& lease) {
        std::vector<uint8_t> joined;
        for (const auto& [data, size] : lease.spans) joined.insert(joined.end(), data, data + size);
        return joined;
    }

    RelayCounters counters;
    std::unique_ptr<SegmentRing> ring;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4 * kTsPacketBytes);
};

TEST_F(Ring, DurationsFromTheFramesTicks) {
    const struct { int64_t frameTicks; int keyframeEvery; std::vector<int32_t> durationsMs; } rows[] = {
        {kTimestampHz / 25, 50, {2000, 2000, 2000}},
        // Keyframes 5 s apart: after two segments without, cut as soon as due until one comes.
        {k60Fps, 300, {2450, 2450, 1816, 2450, 2450}},
    };
    for (const auto& row : rows) {
        Reset();
        for (int frame = 1; ring->Snapshot().segmentsClosed < static_cast<int>(row.durationsMs.size()); frame++) {
            Frame(kTsPacketBytes, row.frameTicks, frame % row.keyframeEvery == 0);
        }
        const RingSnapshot snapshot = ring->Snapshot();
        for (size_t i = 0; i < row.durationsMs.size(); i++) {
            EXPECT_EQ(snapshot.listed[i].durationMs, row.durationsMs[i]) << row.frameTicks << " ticks, segment " << i;
        }
    }
}

// Readers hold segments the ring has let go until the pool runs dry: the
// oldest listed segments are given back first; only when none is left is the
// segment being filled cut early, mid-frame, and given back in turn. A
// leased segment keeps its bytes throughout.
TEST_F(Ring, APoolHeldByReadersGivesBackTheOldestThenCutsEarly) {
    Reset(3 * kPoolSegments);  // three blocks a segment, a cut past two
    std::vector<uint8_t> block(kBlockBytes);
    const auto fill = [&](int number) { std::fill(block.begin(), block.end(), static_cast<uint8_t>(number)); };
    std::vector<SegmentLease> held;
    for (int number = 0; number < 14; number++) {  // 7 held by readers, then 7 listed: 14 blocks of 30
        fill(number);
        ring->Append(block.data(), kBlockBytes, nullptr);
        CutNow();
        if (number < 7) held.push_back(ring->Lease(Name(number)));
    }
    // The ring lists 7 (hlsMcast_7 to 13) in 7 blocks; 7 more are held; 16 are free.
    fill(99);
    AppendResult result;
    for (int i = 0; i < 17 && result.givenBack < 0; i++) result = ring->Append(block.data(), kBlockBytes, nullptr);
    EXPECT_EQ(result.givenBack, 7) << "the oldest listed segment goes first";
    EXPECT_EQ(ring->Snapshot().mediaSequence, 8);
    for (int i = 0; i < 7 && !result.fullAtBytes; i++) result = ring->Append(block.data(), kBlockBytes, nullptr);
    EXPECT_EQ(result.cut, CutReason::kOverflow);
    EXPECT_EQ(result.fullAtBytes, 23 * kBlockBytes) << "every block not held by a reader";
    for (int number = 0; number < 7; number++) {
        EXPECT_EQ(Joined(held[number]), std::vector<uint8_t>(kBlockBytes, static_cast<uint8_t>(number)));
        ring->Release(held[number]);
    }
    EXPECT_EQ(ring->LeasesHeld(), 0);
}

TEST(Parts, EndAtAFrameStartBeforeTheTarget) {
    const struct { int64_t partTicks, periodTicks; bool randomAccess, ends; } rows[] = {
        {19 * k60Fps, k60Fps, false, false},    // one more frame makes 333 ms, within 340
        {20 * k60Fps, k60Fps, false, true},
        {170 * kMs, k60Fps, true, true},        // a keyframe half way: the next part begins with it
        {169 * kMs, k60Fps, true, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(PartEndsAtFrameStart(r.partTicks, r.periodTicks, r.randomAccess), r.ends) << r.partTicks;
    }
}

// Parts end at frame starts, before the tables right before one; a part of
// the segment being filled is served while it grows, and a request held for
// a part is answered when it comes, or at its deadline.
TEST_F(Ring, PartsOfTheSegmentBeingFilled) {
    const auto now = [] { return std::chrono::steady_clock::now(); };
    wallMs = 7000;  // the stream's first packet comes late
    ring->Append(bytes.data(), kTsPacketBytes, nullptr);
    CutNow();  // the first segment, closed at its first keyframe
    std::vector<uint8_t> stream(30 * kTsPacketBytes);
    for (size_t i = 0; i < stream.size(); i++) stream[i] = static_cast<uint8_t>(i / kTsPacketBytes);
    EXPECT_FALSE(ring->WaitFor(1, 0, now())) << "no part yet";
    for (int frame = 0; frame < 30; frame++) {  // a packet a frame at 25/s; a keyframe after a table packet
        const FrameStart start{3600, 3600, frame == 20, frame == 20 ? kTsPacketBytes : 0};
        ring->Append(stream.data() + frame * kTsPacketBytes, kTsPacketBytes, &start);
    }
    const SegmentParts parts = ring->Snapshot().filling.parts;
    std::vector<std::tuple<int64_t, int32_t, bool>> ends;  // in packets
    for (const Part& p : std::span(parts.parts.data(), parts.count)) {
        ends.emplace_back(p.endByte / kTsPacketBytes, p.durationMs, p.independent);
    }
    // Eight frames a part; the keyframe's part begins with its tables.
    EXPECT_EQ(ends, (decltype(ends){{8, 320, true}, {16, 320, false}, {20, 200, false}, {29, 320, true}}));
    EXPECT_EQ(ring->Lease(Name(1)).record, -1) << "the segment itself is not served before it closes";
    const SegmentLease part = ring->Lease("hlsMcast_1.2.ts");
    EXPECT_EQ(Joined(part), std::vector<uint8_t>(stream.begin() + 16 * kTsPacketBytes,
                                                 stream.begin() + 20 * kTsPacketBytes));
    ring->Release(part);
    EXPECT_TRUE(ring->WaitFor(1, 3, now())) << "there already";
    EXPECT_FALSE(ring->WaitFor(1, 4, now() + std::chrono::milliseconds(20))) << "not by its deadline";
    std::thread appender([&] { CutNow(); });
    EXPECT_TRUE(ring->WaitFor(1, -1, now() + std::chrono::seconds(10))) << "held until segment 1 closed";
    appender.join();
    const RingSnapshot closed = ring->Snapshot();
    EXPECT_EQ(closed.listed[1].parts.count, 5) << "its last part ends at the cut";
    EXPECT_TRUE(closed.leadIn) << "segment 0 ran up to the first keyframe";
    EXPECT_EQ(closed.listed[0].wallMs, 7000) << "dated by its first packet";
    EXPECT_EQ(closed.listed[1].wallMs, 7000 + closed.listed[0].durationMs) << "by the stream's clock";
}

}  // namespace
