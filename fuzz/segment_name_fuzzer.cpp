// The segment endpoint's look-up: a requested name against the ring's slot
// names, with leases held across cuts the way slow senders hold them, and the
// log line a miss produces.
//
// Input: operations, one byte each plus their operands:
//   op % 4 == 0  cut: close a segment of (next byte % 8 + 1) packets
//   op % 4 == 1  lease a raw name: a length byte (% 32), then that many bytes
//   op % 4 == 2  lease "hlsMcast_N.ts", N = last segment number - (next byte % 10)
//   op % 4 == 3  release the held lease (next byte) % held
// At most kWorkerThreads leases are held at once, as there are no more senders.

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hls/segment_ring.h"
#include "ingest/ts_packet.h"
#include "log/log.h"
#include "relay/quillbrook.h"

namespace {

constexpr int kFetchableSegments = kSlotCount - 1;  // the slot being filled has no name
constexpr int kMaxSegmentPackets = 8;

Quillbrook* ring;
std::string scratchFolder;

struct Reader {
    const uint8_t* data;
    size_t size;
    bool empty() const { return size == 0; }
    uint8_t Byte() {
        if (size == 0) return 0;
        size--;
        return *data++;
    }
    std::string Bytes(size_t count) {
        count = std::min(count, size);
        std::string bytes(reinterpret_cast<const char*>(data), count);
        data += count;
        size -= count;
        return bytes;
    }
};

// Every segment's bytes follow from its number, so a lease can be checked
// against what was closed long after the ring moved on.
uint8_t SegmentByte(int32_t segment, size_t offset) {
    if (offset % kTsPacketBytes == 0) return kTsSyncByte;
    return static_cast<uint8_t>(segment * 31 + offset * 7);
}

struct Lease {
    SegmentLease lease;
    int32_t segment;
};

struct Session {
    std::vector<int32_t> segmentBytes;  // per segment number, as closed
    std::vector<Lease> held;

    int32_t closedCount() const { return static_cast<int32_t>(segmentBytes.size()); }

    bool Fetchable(int32_t segment) const {
        return segment >= 0 && segment < closedCount() && segment >= closedCount() - kFetchableSegments;
    }

    void Cut(int packets) {
        const int32_t segment = closedCount();
        const size_t bytes = static_cast<size_t>(packets) * kTsPacketBytes;
        std::vector<uint8_t> content(bytes + kTsPacketBytes);
        for (size_t i = 0; i < bytes; i++) content[i] = SegmentByte(segment, i);
        ring->AppendSegmentData(content.data(), static_cast<int32_t>(bytes), 0);
        // Past the cut duration, so the next frame start closes the segment.
        ring->frameCount = kFramesPerSecond * 2;
        ring->AppendSegmentData(content.data() + bytes, 0, 1);
        FUZZ_CHECK(ring->segmentCounter == segment + 1);
        segmentBytes.push_back(static_cast<int32_t>(bytes));
    }

    void CheckBytes(const Lease& held) const {
        FUZZ_CHECK(held.lease.size == segmentBytes[held.segment]);
        for (int32_t i = 0; i < held.lease.size; i++) {
            FUZZ_CHECK(held.lease.data[i] == SegmentByte(held.segment, i));
        }
    }

    // expected: the segment number the name belongs to, or -1 for none.
    void Request(const std::string& name, int32_t expected, bool keep) {
        const SegmentLease lease = ring->LeaseSegment(name);
        if (expected < 0 || !Fetchable(expected)) {
            FUZZ_CHECK(lease.buffer < 0 && lease.data == nullptr);
            Log("Requested TS file not found %s\n", Printable(name).c_str());
            return;
        }
        FUZZ_CHECK(lease.buffer >= 0 && lease.buffer < kBufferCount);
        FUZZ_CHECK(lease.data == ring->segmentBuffers[lease.buffer]);
        const Lease taken{lease, expected};
        CheckBytes(taken);
        if (keep && held.size() < static_cast<size_t>(kWorkerThreads)) {
            held.push_back(taken);
        } else {
            ring->ReleaseSegment(lease);
        }
    }

    void Release(size_t index) {
        // The bytes a sender holds never change under it, however far the ring moved.
        CheckBytes(held[index]);
        ring->ReleaseSegment(held[index].lease);
        held.erase(held.begin() + static_cast<long>(index));
    }
};

// Which segment a raw name asks for, if any: only the ring's own spelling
// of a number counts, so "hlsMcast_03.ts" asks for none.
int32_t SegmentOfName(const std::string& name) {
    static const std::string prefix = "hlsMcast_";
    static const std::string suffix = ".ts";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0) return -1;
    const char* first = name.data() + prefix.size();
    const char* last = name.data() + name.size() - suffix.size();
    int32_t segment = -1;
    const auto [end, error] = std::from_chars(first, last, segment);
    if (error != std::errc() || end != last || segment < 0) return -1;
    return name == prefix + std::to_string(segment) + suffix ? segment : -1;
}

// A fresh stream's ring on the buffers allocated once: what StartMcastReceive
// and the receive thread reset, and the names and buffer order a new relay has.
void ResetRing() {
    for (int reader : ring->bufferReaders) FUZZ_CHECK(reader == 0);
    ring->mediaSequence = 0;
    ring->segmentCounter = 0;
    ring->currentSlot = 0;
    ring->frameCount = 0;
    ring->segmentBytes = 0;
    ring->ringWrapped = 0;
    for (int slot = 0; slot < kSlotCount; slot++) {
        ring->segmentRing[slot].name[0] = '\0';
        ring->segmentRing[slot].size = 0;
        ring->slotBuffer[slot] = slot;
        ring->segmentRing[slot].data = ring->segmentBuffers[slot];
    }
}

void RemoveScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(scratchFolder, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Log moves standard output into a file under the user's data folder;
    // here that folder is a scratch one, never the real home.
    // A crash skips atexit, so scripts/fuzz.sh points TMPDIR at a folder it clears.
    const char* tmp = getenv("TMPDIR");
    std::string folder = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/qb-fuzz-XXXXXX";
    if (!mkdtemp(folder.data())) abort();
    scratchFolder = folder;
    setenv("XDG_DATA_HOME", folder.c_str(), 1);
    setenv("HOME", folder.c_str(), 1);
    atexit(RemoveScratchFolder);

    // Buffers once for the whole run; freed at exit, where LeakSanitizer looks.
    struct Relay {
        std::unique_ptr<Quillbrook> relay = std::make_unique<Quillbrook>();
        ~Relay() {
            for (uint8_t* buffer : relay->segmentBuffers) delete[] buffer;
        }
    };
    static Relay relay;
    if (!relay.relay->AllocateSegmentBuffers()) abort();
    ring = relay.relay.get();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ResetRing();
    Session session;
    Reader input{data, size};
    while (!input.empty()) {
        const uint8_t op = input.Byte();
        switch (op % 4) {
            case 0:
                session.Cut(input.Byte() % kMaxSegmentPackets + 1);
                break;
            case 1: {
                const std::string name = input.Bytes(input.Byte() % 32);
                session.Request(name, SegmentOfName(name), op & 0x80);
                break;
            }
            case 2: {
                const int32_t segment = session.closedCount() - 1 - input.Byte() % 10;
                session.Request("hlsMcast_" + std::to_string(segment) + ".ts", segment, op & 0x80);
                break;
            }
            case 3:
                if (!session.held.empty()) session.Release(input.Byte() % session.held.size());
                break;
        }
    }
    while (!session.held.empty()) session.Release(session.held.size() - 1);
    for (int reader : ring->bufferReaders) FUZZ_CHECK(reader == 0);
    return 0;
}
