// Inputs the fuzz targets in fuzz/ found, kept as the scenario each one broke.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "hls/segment_ring.h"
#include "ingest/ts_packet.h"
#include "relay/quillbrook.h"

namespace {

class FuzzRegressions : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ring->AllocateSegmentBuffers()); }
    void TearDown() override {
        for (uint8_t* buffer : ring->segmentBuffers) delete[] buffer;
    }

    void Cut() {
        ring->AppendSegmentData(packet.data(), kTsPacketBytes, 0);
        ring->frameCount = 2 * kFramesPerSecond;
        ring->AppendSegmentData(packet.data(), 0, 1);
    }

    std::unique_ptr<Quillbrook> ring = std::make_unique<Quillbrook>();
    std::vector<uint8_t> packet = std::vector<uint8_t>(kTsPacketBytes, kTsSyncByte);
};

// segment_name_fuzzer, input 0a 0a 21 5f: an empty requested name equalled the
// empty name of the slot being filled and leased it, bytes still being written.
TEST_F(FuzzRegressions, EmptyNameLeasesNoSlot) {
    EXPECT_EQ(ring->LeaseSegment("").buffer, -1);  // before any cut: every slot unnamed
    Cut();
    Cut();
    EXPECT_EQ(ring->LeaseSegment("").buffer, -1);  // slot 2 is being filled
    const SegmentLease closed = ring->LeaseSegment("hlsMcast_1.ts");
    EXPECT_EQ(closed.size, kTsPacketBytes);
    ring->ReleaseSegment(closed);
}

}  // namespace
