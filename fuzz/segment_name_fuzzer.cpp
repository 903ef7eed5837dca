// The segment endpoint's look-up: names requested of the ring while it cuts, leases held across cuts as
// slow senders hold them. Input: operations, a byte each plus operands: op % 4 == 0 cuts a segment of (next
// byte % 8 + 1) packets; 1 leases a raw name, a length byte (% 32) and that many bytes; 2 leases
// "hlsMcast_N.ts", N the newest segment - (next byte % 10); 3 releases held lease (next byte) % held; bit
// 0x80 of a lease op keeps the lease, one per web worker at most. Only the ring's own spelling of one of the
// seven newest segments, or of its one part (each ends at its only frame start), is served, and a lease
// keeps the bytes its segment closed with however far the ring moves.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hls/segment_ring.h"

namespace {

constexpr int kReaders = 64;  // one lease per web worker

// Each segment's bytes follow from its number, so a lease can be checked long after.
uint8_t SegmentByte(size_t segment, size_t offset) { return static_cast<uint8_t>(segment * 31 + offset * 7); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RelayCounters counters;
    auto ring = std::make_unique<SegmentRing>(counters, kReaders);
    FUZZ_CHECK(ring->Allocate(kSlotCount + kReaders));  // a block a segment: the pool never runs dry
    std::vector<int64_t> closedBytes;                   // by segment number
    std::vector<std::pair<SegmentLease, int>> held;     // with its segment number
    const auto release = [&](size_t index) {
        const auto [lease, segment] = held[index];
        int64_t at = 0;
        for (const auto& [bytes, length] : lease.spans) {
            for (int32_t i = 0; i < length; i++, at++) FUZZ_CHECK(bytes[i] == SegmentByte(segment, at));
        }
        FUZZ_CHECK(at == lease.size && lease.size == closedBytes[segment]);
        ring->Release(lease);
        held.erase(held.begin() + static_cast<long>(index));
    };
    const auto request = [&](const std::string& name, bool keep) {
        const int closed = static_cast<int>(closedBytes.size());
        int segment = -1;
        for (int n = std::max(0, closed - (kSlotCount - 1)); n < closed; n++) {
            const std::string stem = "hlsMcast_" + std::to_string(n);
            if (name == stem + ".ts" || name == stem + ".0.ts") segment = n;
        }
        const SegmentLease lease = ring->Lease(name);
        FUZZ_CHECK((lease.record >= 0) == (segment >= 0));
        if (segment < 0) return;
        held.emplace_back(lease, segment);
        if (!keep || held.size() > static_cast<size_t>(kReaders)) release(held.size() - 1);
    };
    FrameStart frame{0, kDefaultFramePeriodTicks, true};  // the first frame start starts the clock
    const uint8_t noBytes = 0;
    ring->Append(&noBytes, 0, &frame);
    frame.ticks = 2 * kTimestampHz;  // then each cut's keyframe comes past the cut duration

    const uint8_t* end = data + size;
    const auto next = [&] { return data < end ? *data++ : uint8_t{0}; };
    while (data < end) {
        const uint8_t op = next();
        if (op % 4 == 0) {
            std::vector<uint8_t> content((next() % 8 + 1) * kTsPacketBytes);
            for (size_t i = 0; i < content.size(); i++) content[i] = SegmentByte(closedBytes.size(), i);
            ring->Append(content.data(), static_cast<int32_t>(content.size()), &frame);
            closedBytes.push_back(static_cast<int64_t>(content.size()));
        } else if (op % 4 == 1) {
            const size_t length = std::min<size_t>(next() % 32, end - data);
            request(std::string(reinterpret_cast<const char*>(data), length), op & 0x80);
            data += length;
        } else if (op % 4 == 2) {
            request("hlsMcast_" + std::to_string(static_cast<int>(closedBytes.size()) - 1 - next() % 10) + ".ts",
                    op & 0x80);
        } else if (!held.empty()) {
            release(next() % held.size());
        }
    }
    while (!held.empty()) release(held.size() - 1);
    FUZZ_CHECK(ring->LeasesHeld() == 0);
    return 0;
}
