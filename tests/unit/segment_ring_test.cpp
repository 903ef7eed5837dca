#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <set>
#include <thread>
#include <vector>

#include "hls/segment_ring.h"
#include "ingest/ts_packet.h"
#include "relay/quillbrook.h"

namespace {

class SegmentRing : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ring->AllocateSegmentBuffers());
        std::iota(bytes.begin(), bytes.end(), 0);
    }
    void TearDown() override {
        for (uint8_t* buffer : ring->segmentBuffers) delete[] buffer;
    }

    // As the receive loop calls it: the packets before a frame start, marked, then the frame counted.
    void FrameStart(int32_t lengthBefore = 0) {
        ring->AppendSegmentData(bytes.data(), lengthBefore, 1);
        ring->frameCount++;
    }
    void Data(int32_t length) { ring->AppendSegmentData(bytes.data(), length, 0); }
    void CutNow() {
        ring->frameCount = 2 * kFramesPerSecond;
        FrameStart();
    }
    std::unique_ptr<Quillbrook> ring = std::make_unique<Quillbrook>();
    std::vector<uint8_t> bytes = std::vector<uint8_t>(4096);
};

// Each row: the slot's state at a frame start, the bytes that call brings, and what must follow.
TEST_F(SegmentRing, CutRules) {
    struct Row {
        int32_t frames, slotBytes, length;
        bool cut;
        int32_t durationMs, size;
    };
    const Row rows[] = {
        {108, 0, 0, false, 0, 0},                    // exactly 1800 ms is not over it
        {109, 0, kTsPacketBytes, true, 1816, kTsPacketBytes},
        {60, 10'638 * kTsPacketBytes, 0, false, 0, 0},  // 1,999,944 bytes
        {60, 10'638 * kTsPacketBytes, kTsPacketBytes, true, 1000, 10'639 * kTsPacketBytes},
        {1, kSlotBytes - 101, 100, true, 16, kSlotBytes - 1},   // fits exactly below capacity
        {1, kSlotBytes - 100, 100, true, 16, kSlotBytes - 100},  // dropped whole, slot still closed
        {0, 0, 0, false, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.frames << " frames, " << row.slotBytes << "+" << row.length);
        TearDown();
        ring = std::make_unique<Quillbrook>();
        SetUp();
        ring->frameCount = row.frames;
        ring->segmentBytes = row.slotBytes;
        ring->AppendSegmentData(bytes.data(), row.length, 0);  // an unmarked call never cuts
        EXPECT_EQ(ring->segmentCounter, 0);
        ring->segmentBytes = row.slotBytes;
        FrameStart(row.length);
        ASSERT_EQ(ring->segmentCounter, row.cut ? 1 : 0);
        if (!row.cut) continue;
        EXPECT_EQ(ring->segmentRing[0].durationMs, row.durationMs);
        EXPECT_EQ(ring->segmentRing[0].size, row.size);
        EXPECT_STREQ(ring->segmentRing[0].name, "hlsMcast_0.ts");
        EXPECT_EQ(ring->frameCount, 1);  // the frame that made the cut opens the next segment
        EXPECT_EQ(ring->segmentBytes, 0);
    }
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
