// The segment endpoint's look-up: requested names against the ring, with
// leases held across cuts the way slow senders hold them. Input: operations,
// one byte each plus operands:
//   op % 4 == 0  cut: close a segment of (next byte % 8 + 1) packets
//   op % 4 == 1  lease a raw name: a length byte (% 32), then that many bytes
//   op % 4 == 2  lease "hlsMcast_N.ts", N = newest segment - (next byte % 10)
//   op % 4 == 3  release held lease number (next byte) % held
// Bit 0x80 of a lease op keeps the lease; at most one per web worker is held.
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ingest/ts_scan.h"
#include "log/log.h"
#include "relay/quillbrook.h"

namespace {

// Each segment's bytes follow from its number, so a lease can be checked long after.
uint8_t SegmentByte(int32_t segment, int32_t offset) { return static_cast<uint8_t>(segment * 31 + offset * 7); }

struct Session {
    Quillbrook& ring;
    std::vector<int32_t> closedBytes;  // per segment number
    std::vector<std::pair<SegmentLease, int32_t>> held;

    void Cut(int packets) {
        std::vector<uint8_t> content(static_cast<size_t>(packets) * kTsPacketBytes);
        for (size_t i = 0; i < content.size(); i++) content[i] = SegmentByte(closedBytes.size(), i);
        // A keyframe past the cut duration closes the segment: its clock started at the one before.
        const FrameStart frame{2 * kTimestampHz, kDefaultFramePeriodTicks, true};
        ring.AppendSegmentData(content.data(), static_cast<int32_t>(content.size()), &frame);
        closedBytes.push_back(static_cast<int32_t>(content.size()));
    }
    void CheckBytes(const SegmentLease& lease, int32_t segment) {
        FUZZ_CHECK(lease.size == closedBytes[segment]);
        for (int32_t i = 0; i < lease.size; i++) FUZZ_CHECK(lease.data[i] == SegmentByte(segment, i));
    }
    void Request(const std::string& name, bool keep) {
        // Only the ring's own spelling of one of the seven newest numbers is served.
        int32_t segment = -1;
        const int32_t newest = static_cast<int32_t>(closedBytes.size()) - 1;
        for (int32_t n = std::max(0, newest - (kSlotCount - 2)); n <= newest; n++) {
            if (name == "hlsMcast_" + std::to_string(n) + ".ts") segment = n;
        }
        const SegmentLease lease = ring.LeaseSegment(name);
        FUZZ_CHECK((lease.buffer >= 0) == (segment >= 0));
        if (segment < 0) return;
        CheckBytes(lease, segment);
        if (keep && held.size() < static_cast<size_t>(kWorkerThreads)) {
            held.emplace_back(lease, segment);
        } else {
            ring.ReleaseSegment(lease);
        }
    }
    void Release(size_t index) {
        CheckBytes(held[index].first, held[index].second);  // unchanged however far the ring moved
        ring.ReleaseSegment(held[index].first);
        held.erase(held.begin() + static_cast<long>(index));
    }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Whatever the ring logs goes to a scratch file, never into the user's data folder.
    ProcessLog().redirected = true;
    ProcessLog().stream = tmpfile();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A fresh relay per input; its buffers are untouched pages until written.
    auto relay = std::make_unique<Quillbrook>();
    FUZZ_CHECK(relay->AllocateSegmentBuffers());
    Session session{*relay, {}, {}};
    const FrameStart first{0, kDefaultFramePeriodTicks, true};
    const uint8_t kNoBytes = 0;
    relay->AppendSegmentData(&kNoBytes, 0, &first);
    const uint8_t* end = data + size;
    const auto next = [&] { return data < end ? *data++ : uint8_t{0}; };
    while (data < end) {
        const uint8_t op = next();
        const bool keep = op & 0x80;
        if (op % 4 == 0) session.Cut(next() % 8 + 1);
        if (op % 4 == 1) {
            const size_t length = std::min<size_t>(next() % 32, static_cast<size_t>(end - data));
            session.Request(std::string(reinterpret_cast<const char*>(data), length), keep);
            data += length;
        }
        const auto newest = static_cast<int>(session.closedBytes.size()) - 1;
        if (op % 4 == 2) session.Request("hlsMcast_" + std::to_string(newest - next() % 10) + ".ts", keep);
        if (op % 4 == 3 && !session.held.empty()) session.Release(next() % session.held.size());
    }
    while (!session.held.empty()) session.Release(session.held.size() - 1);
    for (int readers : relay->bufferReaders) FUZZ_CHECK(readers == 0);
    for (uint8_t* buffer : relay->segmentBuffers) delete[] buffer;
    return 0;
}
