#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "hls/segment_ring.h"
#include "ts/ts_packet.h"

namespace {

constexpr int64_t k60Fps = kTimestampHz / 60, kMs = kTicksPerMs;

TEST(CutRule, ReasonAtAFrameStart) {
    using enum CutReason;
    const struct {
        int64_t elapsedTicks, periodTicks; int32_t segmentBytes; bool randomAccess, keyframesLately; CutReason reason;
    } rows[] = {
        {1800 * kMs, k60Fps, 0, true, true, kNone},  // exactly 1800 ms is not over it
        {109 * k60Fps, k60Fps, 0, true, true, kKeyframe},
        {109 * k60Fps, k60Fps, 0, false, true, kNone},       // due: waits for a keyframe
        {2440 * kMs, 10 * kMs, 0, false, true, kNone},       // one more frame reaches 2450 ms, not past it
        {2441 * kMs, 10 * kMs, 0, false, true, kDuration},
        {109 * k60Fps, k60Fps, 0, false, false, kDuration},  // no keyframes lately: as soon as due
        {1000 * kMs, k60Fps, kCutSegmentBytes, true, true, kNone},
        {1000 * kMs, k60Fps, kCutSegmentBytes + 1, true, false, kSize},
        {1900 * kMs, k60Fps, kCutSegmentBytes + 1, false, true, kSize},
        {1900 * kMs, k60Fps, kCutSegmentBytes + 1, true, true, kKeyframe},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(CutAtFrameStart(r.elapsedTicks, r.periodTicks, r.segmentBytes, r.randomAccess, r.keyframesLately),
                  r.reason)
            << r.elapsedTicks << " ticks, " << r.segmentBytes << " bytes";
    }
}

constexpr int kReaders = 64;
constexpr int32_t kTestSlotBytes = 1024 * kTsPacketBytes;

class Ring : public testing::Test {
protected:
    void SetUp() override { Reset(); }
    void Reset(int32_t slotBytes = kTestSlotBytes) {
        ring = std::make_unique<SegmentRing>(counters, kReaders, slotBytes);
        ASSERT_TRUE(ring->Allocate());
        Frame(0, 0, false);  // the first frame start: the segment's clock starts
    }
    // As the receive loop calls it: the packets before a frame start, then the frame.
    void Frame(int32_t lengthBefore, int64_t ticks, bool randomAccess = true, int64_t periodTicks = k60Fps) {
        const FrameStart frame{ticks, periodTicks, randomAccess};
        ring->Append(bytes.data(), lengthBefore, &frame);
    }
    void CutNow() { Frame(0, 3 * kTimestampHz); }
    int32_t Closed() const { return ring->Snapshot().segmentsClosed; }
    static std::string Name(int number) { return "hlsMcast_" + std::to_string(number) + ".ts"; }
    std::vector<uint8_t> Bytes(int number) {
        const SegmentLease lease = ring->Lease(Name(number));
        std::vector<uint8_t> copy(lease.data, lease.data + lease.size);
        ring->Release(lease);
        return copy;
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
        for (int frame = 1; Closed() < static_cast<int>(row.durationsMs.size()); frame++) {
            Frame(kTsPacketBytes, row.frameTicks, frame % row.keyframeEvery == 0);
        }
        const RingSnapshot snapshot = ring->Snapshot();
        for (size_t i = 0; i < row.durationsMs.size(); i++) {
            EXPECT_EQ(snapshot.listed[i].durationMs, row.durationsMs[i]) << row.frameTicks << " ticks, segment " << i;
        }
    }
}

// Every byte that arrives reaches exactly one segment, in order: a chunk that
// would overflow the slot starts the next segment mid-frame.
TEST_F(Ring, AChunkThatDoesNotFitStartsTheNextSegment) {
    constexpr int32_t kChunk = 21 * kTsPacketBytes, kSlot = 40 * kChunk + 100;
    Reset(kSlot);
    std::vector<uint8_t> stream((kSlot / kChunk + 10) * kChunk);
    std::iota(stream.begin(), stream.end(), uint8_t{0});
    const FrameStart frame{3600, 3600, false};  // one 25/s frame into the segment, then one huge frame
    for (size_t sent = 0; sent < stream.size(); sent += kChunk) {
        ring->Append(stream.data() + sent, kChunk, sent ? nullptr : &frame);
    }
    ASSERT_EQ(Closed(), 1);
    EXPECT_EQ(Bytes(0).size(), kSlot / kChunk * kChunk);
    EXPECT_EQ(ring->Snapshot().listed[0].durationMs, 80) << "its one whole frame and the one it ends in";
    Frame(0, 3600, true, 3600);
    CutNow();
    EXPECT_EQ(ring->Snapshot().listed[1].durationMs, 3000) << "timed from its first frame start";
    std::vector<uint8_t> joined = Bytes(0);
    const std::vector<uint8_t> next = Bytes(1);
    joined.insert(joined.end(), next.begin(), next.end());
    EXPECT_EQ(joined, stream);
}

// A cut moves back over the tables right before its frame, so the segment
// begins with them; no byte is lost or doubled.
TEST_F(Ring, ACutBeginsWithTheTablesBeforeItsFrame) {
    std::iota(bytes.begin(), bytes.end(), uint8_t{0});
    FrameStart frame{3 * kTimestampHz, k60Fps, true, 2 * kTsPacketBytes};
    ring->Append(bytes.data(), static_cast<int32_t>(bytes.size()), &frame);
    CutNow();
    const std::vector<uint8_t> tables(bytes.end() - 2 * kTsPacketBytes, bytes.end());
    EXPECT_EQ(Bytes(0), std::vector<uint8_t>(bytes.begin(), bytes.end() - 2 * kTsPacketBytes));
    EXPECT_EQ(Bytes(1), tables);
}

// Slow readers hold segments while the ring comes round many times: a held
// segment, and every listed one, keeps the bytes it was closed with.
TEST_F(Ring, StalledReadersNeverShareABufferWithTheRing) {
    // Segment n holds bytes of value n.
    const auto closeSegment = [&](int number) {
        std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(number));
        Frame(static_cast<int32_t>(bytes.size()), 3 * kTimestampHz);
    };
    const auto holds = [&](const uint8_t* data, int32_t size, int number) {
        return size == static_cast<int32_t>(bytes.size()) &&
               std::all_of(data, data + size, [&](uint8_t b) { return b == static_cast<uint8_t>(number); });
    };
    std::vector<std::pair<SegmentLease, int>> leases;
    int number = 0;
    for (; number < kReaders; number++) {
        closeSegment(number);
        leases.emplace_back(ring->Lease(Name(number)), number);
    }
    for (int cut = 0; cut < 3 * kSlotCount; cut++, number++) {
        closeSegment(number);
        const RingSnapshot snapshot = ring->Snapshot();
        for (int listed = snapshot.segmentsClosed - snapshot.count; listed < snapshot.segmentsClosed; listed++) {
            const std::vector<uint8_t> held = Bytes(listed);
            EXPECT_TRUE(holds(held.data(), static_cast<int32_t>(held.size()), listed)) << "segment " << listed;
        }
        // Readers come and go: a released spare must be usable again without doubling up.
        if (cut % 5 == 4) {
            ring->Release(leases.front().first);
            leases.erase(leases.begin());
            leases.emplace_back(ring->Lease(Name(number)), number);
        }
    }
    for (const auto& [lease, segment] : leases) {
        EXPECT_TRUE(holds(lease.data, lease.size, segment)) << "held segment " << segment;
        ring->Release(lease);
    }
    EXPECT_EQ(ring->LeasesHeld(), 0);
}

// Senders lease while the receive thread cuts; under TSan any look-up made
// without the ring's lock is a reported race, and torn reads show as changed bytes.
TEST_F(Ring, LeasesRaceSafelyWithCuts) {
    std::atomic<bool> done{false};
    std::atomic<int> leased{0}, torn{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kReaders; sender++) {
        senders.emplace_back([&] {
            while (!done) {
                const SegmentLease lease = ring->Lease(Name(ring->Snapshot().segmentsClosed - 1));
                if (lease.buffer < 0) continue;
                // Every byte of segment n is n, whatever the ring does meanwhile.
                torn += std::any_of(lease.data, lease.data + lease.size, [&](uint8_t b) { return b != lease.data[0]; });
                ring->Release(lease);
                leased++;
            }
        });
    }
    for (int segment = 0; segment < 400 || (leased < 100 && segment < 100'000); segment++) {
        std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(segment));
        Frame(static_cast<int32_t>(bytes.size()), 3 * kTimestampHz);
    }
    done = true;
    for (std::thread& sender : senders) sender.join();
    EXPECT_GE(leased, 100);
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(ring->LeasesHeld(), 0);
}

}  // namespace
