#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "hls/segment_ring.h"
#include "ingest/ts_scan.h"
#include "relay/quillbrook.h"

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

class SegmentRing : public testing::Test {
protected:
    void SetUp() override {
        static std::array<uint8_t*, kBufferCount> buffers;  // every relay here uses these
        if (!buffers[0]) for (uint8_t*& buffer : buffers) buffer = new uint8_t[kSlotBytes];
        ring = std::make_unique<Quillbrook>();
        ring->UseSegmentBuffers(buffers);
        Frame(0, 0, false);  // the first frame start: the segment's clock starts
    }
    // As the receive loop calls it: the packets before a frame start, then the frame.
    void Frame(int32_t lengthBefore, int64_t ticks, bool randomAccess = true, int64_t periodTicks = k60Fps) {
        const FrameStart frame{ticks, periodTicks, randomAccess};
        ring->AppendSegmentData(bytes.data(), lengthBefore, &frame);
    }
    void CutNow() { Frame(0, 3 * kTimestampHz); }

    std::unique_ptr<Quillbrook> ring;
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4 * kTsPacketBytes);
};

TEST_F(SegmentRing, DurationsFromTheFramesTicks) {
    const struct { int64_t frameTicks; int keyframeEvery; std::vector<double> durationsMs; } rows[] = {
        {kTimestampHz / 25, 50, {2000, 2000, 2000}},
        // Keyframes 5 s apart: after two segments without, cut as soon as due until one comes.
        {k60Fps, 300, {2450, 2450, 1816, 2450, 2450}},
    };
    for (const auto& row : rows) {
        SetUp();
        for (int frame = 1; ring->segmentCounter < static_cast<int>(row.durationsMs.size()); frame++) {
            Frame(kTsPacketBytes, row.frameTicks, frame % row.keyframeEvery == 0);
        }
        for (size_t i = 0; i < row.durationsMs.size(); i++) {
            EXPECT_EQ(ring->segmentRing[i].durationMs, row.durationsMs[i]) << row.frameTicks << " ticks, segment " << i;
        }
    }
}

// Every byte that arrives reaches exactly one segment, in order: a chunk that
// would overflow the slot starts the next segment mid-frame.
TEST_F(SegmentRing, AChunkThatDoesNotFitStartsTheNextSegment) {
    constexpr int32_t kChunk = 21 * kTsPacketBytes;
    std::vector<uint8_t> stream((kSlotBytes / kChunk + 10) * kChunk);
    std::iota(stream.begin(), stream.end(), uint8_t{0});
    const FrameStart frame{3600, 3600, false};  // one 25/s frame into the segment, then one huge frame
    for (size_t sent = 0; sent < stream.size(); sent += kChunk) {
        ring->AppendSegmentData(stream.data() + sent, kChunk, sent ? nullptr : &frame);
    }
    ASSERT_EQ(ring->segmentCounter, 1);
    const SegmentSlot& closed = ring->segmentRing[0];
    EXPECT_EQ(closed.size, kSlotBytes / kChunk * kChunk);
    EXPECT_EQ(closed.durationMs, 80) << "its one whole frame and the one it ends in";
    EXPECT_EQ(closed.size + ring->segmentBytes, static_cast<int32_t>(stream.size()));
    EXPECT_TRUE(std::equal(closed.data, closed.data + closed.size, stream.begin()));
    EXPECT_TRUE(std::equal(stream.begin() + closed.size, stream.end(), ring->segmentRing[1].data));
    Frame(0, 3600, true, 3600);
    CutNow();
    EXPECT_EQ(ring->segmentRing[1].durationMs, 3000) << "timed from its first frame start";
}

TEST_F(SegmentRing, StalledReadersNeverShareABufferWithTheRing) {
    std::vector<SegmentLease> leases;
    for (int reader = 0; reader < kWorkerThreads; reader++) {
        CutNow();
        leases.push_back(ring->LeaseSegment("hlsMcast_" + std::to_string(reader) + ".ts"));
    }
    for (int cut = 0; cut < 3 * kSlotCount; cut++) {
        CutNow();
        // No two slots may ever fill or serve one buffer, and no leased buffer may be refilled.
        std::set<const uint8_t*> used;
        for (const SegmentSlot& slot : ring->segmentRing) EXPECT_TRUE(used.insert(slot.data).second);
        for (const SegmentLease& lease : leases) EXPECT_NE(ring->segmentRing[ring->currentSlot].data, lease.data);
        // Readers come and go: a released spare must be usable again without doubling up.
        if (cut % 5 == 4) {
            ring->ReleaseSegment(leases.front());
            leases.erase(leases.begin());
            leases.push_back(ring->LeaseSegment(ring->segmentRing[(ring->currentSlot + 1) % kSlotCount].name));
        }
    }
    for (const SegmentLease& lease : leases) ring->ReleaseSegment(lease);
}

// Senders lease while the receive thread cuts; under TSan any look-up made
// without the ring's lock is a reported race, and torn reads show as changed bytes.
TEST_F(SegmentRing, LeasesRaceSafelyWithCuts) {
    std::atomic<bool> done{false};
    std::atomic<int> leased{0}, torn{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kWorkerThreads; sender++) {
        senders.emplace_back([&] {
            while (!done) {
                const std::string newest = "hlsMcast_" + std::to_string(ring->segmentCounter - 1) + ".ts";
                const SegmentLease lease = ring->LeaseSegment(newest);
                if (lease.buffer < 0) continue;
                // Every byte of segment n is n, whatever the ring does meanwhile.
                torn += std::any_of(lease.data, lease.data + lease.size, [&](uint8_t b) { return b != lease.data[0]; });
                ring->ReleaseSegment(lease);
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
    for (int readers : ring->bufferReaders) EXPECT_EQ(readers, 0);
}

}  // namespace
