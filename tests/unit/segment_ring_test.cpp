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
#include "ingest/ts_packet.h"
#include "relay/quillbrook.h"

namespace {

constexpr int64_t k60Fps = kTimestampHz / 60;

TEST(CutRule, ReasonAtAFrameStart) {
    constexpr int64_t kMs = kTicksPerMs;
    const struct {
        int64_t elapsedTicks, periodTicks;
        int32_t segmentBytes;
        bool randomAccess, keyframesLately;
        CutReason reason;
    } rows[] = {
        {1800 * kMs, k60Fps, 0, true, true, CutReason::kNone},  // exactly 1800 ms is not over it
        {109 * k60Fps, k60Fps, 0, true, true, CutReason::kKeyframe},
        {109 * k60Fps, k60Fps, 0, false, true, CutReason::kNone},  // due: waits for a keyframe
        {2440 * kMs, 10 * kMs, 0, false, true, CutReason::kNone},  // one more frame reaches 2450 ms, not past it
        {2441 * kMs, 10 * kMs, 0, false, true, CutReason::kDuration},
        {109 * k60Fps, k60Fps, 0, false, false, CutReason::kDuration},  // no keyframes lately: as soon as due
        {1000 * kMs, k60Fps, kCutSegmentBytes, true, true, CutReason::kNone},
        {1000 * kMs, k60Fps, kCutSegmentBytes + 1, true, false, CutReason::kSize},
        {1900 * kMs, k60Fps, kCutSegmentBytes + 1, false, true, CutReason::kSize},
        {1900 * kMs, k60Fps, kCutSegmentBytes + 1, true, true, CutReason::kKeyframe},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(CutAtFrameStart(row.elapsedTicks, row.periodTicks, row.segmentBytes, row.randomAccess,
                                  row.keyframesLately),
                  row.reason)
            << row.elapsedTicks << " ticks, " << row.segmentBytes << " bytes";
    }
}

class SegmentRing : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ring->AllocateSegmentBuffers());
        std::iota(bytes.begin(), bytes.end(), 0);
        Frame(0, 0, false);  // the first frame start: the segment's clock starts
    }
    void TearDown() override {
        for (uint8_t* buffer : ring->segmentBuffers) delete[] buffer;
    }

    // As the receive loop calls it: the packets before a frame start, then the frame.
    void Frame(int32_t lengthBefore, int64_t ticks, bool randomAccess = true, int64_t periodTicks = k60Fps) {
        const FrameStart frame{ticks, periodTicks, randomAccess};
        ring->AppendSegmentData(bytes.data(), lengthBefore, &frame);
    }
    void Data(int32_t length) { ring->AppendSegmentData(bytes.data(), length, nullptr); }
    void CutNow() { Frame(0, 3 * kTimestampHz); }
    std::vector<int32_t> ClosedDurationsMs() {
        std::vector<int32_t> durations;
        for (int slot = 0; slot < ring->segmentCounter; slot++) durations.push_back(ring->segmentRing[slot].durationMs);
        return durations;
    }
    std::unique_ptr<Quillbrook> ring = std::make_unique<Quillbrook>();
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4096);
};

TEST_F(SegmentRing, DurationsFromTheFramesTicks) {
    const struct {
        const char* what;
        int64_t frameTicks;
        int keyframeEvery;  // frames; 0: none
        std::vector<int32_t> durationsMs;
    } rows[] = {
        {"60/s, every frame a keyframe: 109 frames, as ever", k60Fps, 1, {1816, 1816, 1816}},
        {"25/s, a keyframe every 2 s", kTimestampHz / 25, 50, {2000, 2000, 2000}},
        {"keyframes 5 s apart: after two segments without, cut as soon as due until one comes", k60Fps, 300,
         {2450, 2450, 1816, 2450, 2450}},
    };
    for (const auto& row : rows) {
        TearDown();
        ring = std::make_unique<Quillbrook>();
        SetUp();
        for (int frame = 1; ring->segmentCounter < static_cast<int>(row.durationsMs.size()); frame++) {
            Frame(kTsPacketBytes, row.frameTicks, row.keyframeEvery && frame % row.keyframeEvery == 0);
        }
        EXPECT_EQ(ClosedDurationsMs(), row.durationsMs) << row.what;
    }
}

// Every byte that arrives reaches exactly one segment, in order: a chunk that
// would overflow the slot starts the next segment mid-frame.
TEST_F(SegmentRing, AChunkThatDoesNotFitStartsTheNextSegment) {
    constexpr int32_t kChunk = 21 * kTsPacketBytes;
    std::vector<uint8_t> stream(kSlotBytes + 10 * kChunk);
    for (size_t i = 0; i < stream.size(); i++) stream[i] = static_cast<uint8_t>(i % 251);
    bytes.assign(stream.begin(), stream.begin() + kChunk);
    Frame(kChunk, 3600, false, 3600);  // one 25/s frame into the segment, then one huge frame
    int32_t sent = kChunk;
    for (; sent + kChunk <= static_cast<int32_t>(stream.size()); sent += kChunk) {
        ring->AppendSegmentData(stream.data() + sent, kChunk, nullptr);
    }
    ASSERT_EQ(ring->segmentCounter, 1);
    const SegmentSlot& closed = ring->segmentRing[0];
    EXPECT_EQ(closed.size, kSlotBytes / kChunk * kChunk);
    EXPECT_EQ(closed.durationMs, 80) << "its one whole frame and the one it ends in";
    EXPECT_EQ(closed.size + ring->segmentBytes, sent);
    EXPECT_TRUE(std::equal(closed.data, closed.data + closed.size, stream.begin()));
    EXPECT_TRUE(std::equal(ring->segmentRing[1].data, ring->segmentRing[1].data + ring->segmentBytes,
                           stream.begin() + closed.size));
    Frame(0, 3600, true, 3600);
    Frame(0, 3 * kTimestampHz);
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
    std::atomic<int> leased{0};
    std::atomic<int> torn{0};
    std::vector<std::thread> senders;
    for (int sender = 0; sender < kWorkerThreads; sender++) {
        senders.emplace_back([&] {
            while (!done) {
                const int32_t newest = ring->segmentCounter - 1;
                const SegmentLease lease = ring->LeaseSegment("hlsMcast_" + std::to_string(newest) + ".ts");
                if (lease.buffer < 0) continue;
                // Every byte of segment n is n, whatever the ring does meanwhile.
                if (std::any_of(lease.data, lease.data + lease.size, [&](uint8_t b) { return b != lease.data[0]; })) {
                    torn++;
                }
                ring->ReleaseSegment(lease);
                leased++;
            }
        });
    }
    for (int segment = 0; segment < 400 || (leased < 100 && segment < 100'000); segment++) {
        std::fill(bytes.begin(), bytes.end(), static_cast<uint8_t>(segment));
        Data(4 * kTsPacketBytes);
        CutNow();
    }
    done = true;
    for (std::thread& sender : senders) sender.join();
    EXPECT_GE(leased, 100);
    EXPECT_EQ(torn, 0);
    for (int readers : ring->bufferReaders) EXPECT_EQ(readers, 0);
}

}  // namespace
