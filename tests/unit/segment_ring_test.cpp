#include <gtest/gtest.h>

#include <memory>
#include <numeric>
#include <vector>

#include "hls/segment_ring.h"
#include "ingest/ts_packet.h"
#include "relay/quillbrook.h"
#include "tests/unit/test_log.h"

namespace {

int Count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

class SegmentRing : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(ring->AllocateSegmentBuffers());
        bytes.resize(4096);
        std::iota(bytes.begin(), bytes.end(), 0);
    }
    void TearDown() override {
        for (uint8_t* buffer : ring->segmentBuffers) delete[] buffer;
    }

    // As the receive loop calls it: the packets before a frame start, marked,
    // then the frame counted.
    void FrameStart(int32_t lengthBefore = 0) {
        ring->AppendSegmentData(bytes.data(), lengthBefore, 1);
        ring->frameCount++;
    }
    void Data(int32_t length) { ring->AppendSegmentData(bytes.data(), length, 0); }
    void CutNow() {
        ring->frameCount = 109;
        FrameStart();
    }

    std::unique_ptr<Quillbrook> ring = std::make_unique<Quillbrook>();
    std::vector<uint8_t> bytes;
};

TEST_F(SegmentRing, DurationRuleCutsAtTheHundredAndTenthFrameStart) {
    Data(kTsPacketBytes);  // lead-in before the first frame
    for (int frame = 0; frame < 109; frame++) FrameStart(kTsPacketBytes);
    EXPECT_EQ(ring->segmentCounter, 0);  // 108 frames measure exactly 1800 ms: no cut
    FrameStart(kTsPacketBytes);
    ASSERT_EQ(ring->segmentCounter, 1);
    EXPECT_EQ(ring->segmentRing[0].durationMs, 1816);
    EXPECT_EQ(ring->segmentRing[0].size, 111 * kTsPacketBytes);
    EXPECT_STREQ(ring->segmentRing[0].name, "hlsMcast_0.ts");
    EXPECT_EQ(ring->frameCount, 1);  // the frame that triggered the cut opens the next segment
    EXPECT_EQ(ring->segmentBytes, 0);
}

TEST_F(SegmentRing, UnmarkedCallsNeverCut) {
    ring->frameCount = 500;
    Data(kTsPacketBytes);
    ring->segmentBytes = 2'100'000;
    Data(kTsPacketBytes);
    EXPECT_EQ(ring->segmentCounter, 0);
}

TEST_F(SegmentRing, SizeRuleCutsAboveTwoMillionBytes) {
    ring->frameCount = 60;
    ring->segmentBytes = 10'638 * kTsPacketBytes;
    FrameStart();
    EXPECT_EQ(ring->segmentCounter, 0);
    ring->frameCount = 60;
    FrameStart(kTsPacketBytes);  // now 10,639 packets
    ASSERT_EQ(ring->segmentCounter, 1);
    EXPECT_EQ(ring->segmentRing[0].size, 2'000'132);
    EXPECT_EQ(ring->segmentRing[0].durationMs, 1000);
}

TEST_F(SegmentRing, CallsThatWouldFillTheSlotAreDroppedWhole) {
    const int before = Count(ReadTestLog(), "ERROR -- File exceeded; dropping frame data\n");
    ring->segmentBytes = kSlotBytes - 1 - 100;
    Data(100);
    EXPECT_EQ(ring->segmentBytes, kSlotBytes - 1);
    Data(1);
    EXPECT_EQ(ring->segmentBytes, kSlotBytes - 1);
    EXPECT_EQ(Count(ReadTestLog(), "ERROR -- File exceeded; dropping frame data\n"), before + 1);
    // A dropped marked call still closes the overfull slot, with what it held.
    ring->frameCount = 1;
    FrameStart(kTsPacketBytes);
    ASSERT_EQ(ring->segmentCounter, 1);
    EXPECT_EQ(ring->segmentRing[0].size, kSlotBytes - 1);
    EXPECT_EQ(ring->segmentRing[0].durationMs, 16);
    EXPECT_GT(Count(ReadTestLog(), "File-complete: Not even ts pkts!\n"), 0);
}

TEST_F(SegmentRing, SegmentsHoldTheBytesInOrderAndStartAtTheFrame) {
    Data(3 * kTsPacketBytes);
    ring->frameCount = 109;
    ring->AppendSegmentData(bytes.data() + 4 * kTsPacketBytes, kTsPacketBytes, 1);
    ring->frameCount++;
    Data(2 * kTsPacketBytes);
    EXPECT_EQ(ring->segmentRing[0].size, 4 * kTsPacketBytes);
    EXPECT_EQ(0, memcmp(ring->segmentRing[0].data, bytes.data(), 3 * kTsPacketBytes));
    EXPECT_EQ(0, memcmp(ring->segmentRing[0].data + 3 * kTsPacketBytes, bytes.data() + 4 * kTsPacketBytes,
                        kTsPacketBytes));
    EXPECT_EQ(0, memcmp(ring->segmentRing[1].data, bytes.data(), 2 * kTsPacketBytes));
}

TEST_F(SegmentRing, EighthAndNinthCutsWrapAndAdvanceTheMediaSequence) {
    for (int cut = 1; cut <= 7; cut++) CutNow();
    EXPECT_EQ(ring->mediaSequence, 0);
    EXPECT_EQ(ring->ringWrapped, 0);
    CutNow();
    EXPECT_EQ(ring->segmentCounter, 8);
    EXPECT_EQ(ring->currentSlot, 0);
    EXPECT_EQ(ring->ringWrapped, 1);
    EXPECT_EQ(ring->mediaSequence, 1);
    EXPECT_STREQ(ring->segmentRing[0].name, "");
    for (int slot = 1; slot < kSlotCount; slot++) {
        EXPECT_EQ(ring->segmentRing[slot].name, "hlsMcast_" + std::to_string(slot) + ".ts");
    }
    CutNow();
    EXPECT_STREQ(ring->segmentRing[0].name, "hlsMcast_8.ts");
    EXPECT_STREQ(ring->segmentRing[1].name, "");
    EXPECT_EQ(ring->mediaSequence, 2);
    EXPECT_EQ(ring->currentSlot, 1);
}

TEST_F(SegmentRing, LeasedSegmentSurvivesTheReuseOfItsSlot) {
    Data(2 * kTsPacketBytes);
    CutNow();
    const SegmentLease lease = ring->LeaseSegment("hlsMcast_0.ts");
    ASSERT_EQ(lease.size, 2 * kTsPacketBytes);
    const std::vector<uint8_t> closed(lease.data, lease.data + lease.size);
    for (int cut = 0; cut < 7; cut++) CutNow();  // slot 0 is being filled again
    std::fill(bytes.begin(), bytes.end(), 0xEE);
    Data(2 * kTsPacketBytes);
    EXPECT_EQ(std::vector<uint8_t>(lease.data, lease.data + lease.size), closed);
    EXPECT_NE(ring->segmentRing[0].data, lease.data);
    EXPECT_EQ(ring->LeaseSegment("hlsMcast_0.ts").buffer, -1);
    ring->ReleaseSegment(lease);
}

TEST_F(SegmentRing, AsManyStalledReadersAsWorkersNeverShareABuffer) {
    std::vector<SegmentLease> leases;
    for (int reader = 0; reader < kWorkerThreads; reader++) {
        CutNow();
        leases.push_back(ring->LeaseSegment("hlsMcast_" + std::to_string(reader) + ".ts"));
    }
    for (int cut = 0; cut < 3 * kSlotCount; cut++) {
        CutNow();
        for (const SegmentLease& lease : leases) EXPECT_NE(ring->segmentRing[ring->currentSlot].data, lease.data);
    }
    for (const SegmentLease& lease : leases) ring->ReleaseSegment(lease);
}

TEST(SegmentCutRules, Boundaries) {
    EXPECT_EQ(EstimateDurationMs(108), 1800);
    EXPECT_EQ(EstimateDurationMs(109), 1816);
    EXPECT_EQ(EstimateDurationMs(107), 1783);
    EXPECT_EQ(EstimateDurationMs(1), 16);
    EXPECT_FALSE(IsCutDue(1800, 2'000'000));
    EXPECT_TRUE(IsCutDue(1801, 0));
    EXPECT_TRUE(IsCutDue(0, 2'000'001));
}

}  // namespace
