// The receive-side scan of datagrams, as the receive thread runs it: a run of
// datagrams on one scan state, each in a buffer exactly as long as what was
// received, so any read past the received length is an ASan report.
//
// Input: video PID (2 bytes, big-endian; values past 13 bits never match),
// then datagrams, each a 2-byte big-endian length and that many bytes (fewer
// if the input ends first).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ingest/ts_scan.h"

namespace {

enum class Kind { Chunk, MissingSync, Discontinuity };
using Event = std::tuple<Kind, long, long, long, long>;

// The algorithm again, written straight from the header layout of
// ISO/IEC 13818-1 with nothing shared with the scan, so both must agree.
struct ReferenceScan {
    int expectedCounter = 0;
    int goodDatagrams = 0;

    void Scan(const uint8_t* datagram, size_t length, int videoPid, std::vector<Event>& out) {
        const size_t packetCount = length / kTsPacketBytes;
        size_t chunkStart = 0;
        size_t chunkPackets = 0;
        for (size_t index = 0; index < packetCount; index++) {
            const uint8_t* p = datagram + index * kTsPacketBytes;
            const uint32_t header = uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
            const int pid = static_cast<int>((header >> 8) & 0x1FFF);
            if ((header >> 24) != 0x47) out.emplace_back(Kind::MissingSync, 0, 0, 0, 0);
            if ((header & 0x400000) && pid == videoPid) {
                out.emplace_back(Kind::Chunk, chunkStart, chunkPackets * kTsPacketBytes, 1, 0);
                chunkStart += chunkPackets * kTsPacketBytes;
                chunkPackets = 0;
            }
            chunkPackets++;
            if ((header & 0x10) && pid == videoPid) {
                const int counter = static_cast<int>(header & 0x0F);
                if (counter != expectedCounter) {
                    out.emplace_back(Kind::Discontinuity, index * kTsPacketBytes, counter, expectedCounter,
                                     goodDatagrams);
                    expectedCounter = counter;
                    goodDatagrams = 0;
                }
                expectedCounter = (expectedCounter + 1) % 16;
            }
        }
        if (chunkPackets != 0) out.emplace_back(Kind::Chunk, chunkStart, chunkPackets * kTsPacketBytes, 0, 0);
        goodDatagrams++;
    }
};

// Checks each chunk as the ring would receive it: contiguous from the start of
// the datagram, whole packets only, never past the received bytes, a marked
// chunk ending right before a video PES start, an unmarked one only last.
struct CheckingSink {
    CheckingSink(const uint8_t* datagram, size_t wholeBytes, int videoPid)
        : datagram(datagram), wholeBytes(wholeBytes), videoPid(videoPid) {}

    const uint8_t* datagram;
    size_t wholeBytes;
    int videoPid;
    size_t nextChunk = 0;
    bool finalChunkSeen = false;
    std::vector<Event> events;

    void Chunk(const uint8_t* data, int32_t length, bool frameStart) {
        FUZZ_CHECK(!finalChunkSeen);
        FUZZ_CHECK(data == datagram + nextChunk);
        FUZZ_CHECK(length >= 0 && length % kTsPacketBytes == 0);
        const size_t end = nextChunk + static_cast<size_t>(length);
        FUZZ_CHECK(end <= wholeBytes);
        if (frameStart) {
            // Only a PES start in the very first packet leaves nothing before it.
            FUZZ_CHECK(length > 0 || nextChunk == 0);
            FUZZ_CHECK(end < wholeBytes);
            const TsPacket next{datagram + end};
            FUZZ_CHECK(next.pusi() && next.pid() == videoPid);
        } else {
            FUZZ_CHECK(length > 0 && end == wholeBytes);
            finalChunkSeen = true;
        }
        events.emplace_back(Kind::Chunk, nextChunk, length, frameStart ? 1 : 0, 0);
        nextChunk = end;
    }
    void MissingSyncByte() { events.emplace_back(Kind::MissingSync, 0, 0, 0, 0); }
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        FUZZ_CHECK(offset >= 0 && offset % kTsPacketBytes == 0 && static_cast<size_t>(offset) < wholeBytes);
        FUZZ_CHECK(counter >= 0 && counter < 16 && expected >= 0 && expected < 16 && counter != expected);
        FUZZ_CHECK(priorGood >= 0);
        events.emplace_back(Kind::Discontinuity, offset, counter, expected, priorGood);
    }
};

size_t TakeLength(const uint8_t*& data, size_t& size) {
    if (size < 2) {
        data += size;
        size = 0;
        return 0;
    }
    const size_t value = size_t{data[0]} << 8 | data[1];
    data += 2;
    size -= 2;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int videoPid = static_cast<int>(TakeLength(data, size));
    TsScanState state;
    ReferenceScan reference;
    while (size > 0) {
        const size_t length = std::min(TakeLength(data, size), size);
        // Exactly the received bytes, no slack behind them for a stray read to hit.
        std::unique_ptr<uint8_t[]> datagram(new uint8_t[length]);
        std::copy(data, data + length, datagram.get());
        data += length;
        size -= length;

        CheckingSink sink{datagram.get(), length - length % kTsPacketBytes, videoPid};
        ScanDatagram(datagram.get(), length, videoPid, state, sink);
        FUZZ_CHECK(sink.nextChunk == sink.wholeBytes);
        FUZZ_CHECK(state.expectedCounter >= 0 && state.expectedCounter < 16);

        std::vector<Event> expected;
        reference.Scan(datagram.get(), length, videoPid, expected);
        FUZZ_CHECK(sink.events == expected);
        FUZZ_CHECK(state.expectedCounter == reference.expectedCounter);
        FUZZ_CHECK(state.goodDatagrams == reference.goodDatagrams);
    }
    return 0;
}
