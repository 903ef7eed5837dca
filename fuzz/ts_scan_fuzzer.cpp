// The receive-side scan over a run of datagrams on one scan state, each in a
// buffer exactly as long as what was received, so any read past it is an ASan
// report. Input: the video PID (2 bytes, big-endian), then datagrams, each a
// 2-byte big-endian length and that many bytes (fewer if the input ends).
#include <algorithm>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "ingest/ts_scan.h"

namespace {

// The chunks must tile the datagram's whole packets in order, each marked
// chunk ending right before a video PES start and only the last one unmarked.
struct CheckingSink {
    const uint8_t* datagram;
    size_t wholeBytes;
    int videoPid;
    size_t nextChunk = 0;
    size_t marks = 0;
    bool ended = false;

    void Chunk(const uint8_t* data, int32_t length, bool frameStart) {
        FUZZ_CHECK(!ended && data == datagram + nextChunk && length >= 0 && length % kTsPacketBytes == 0);
        nextChunk += static_cast<size_t>(length);
        FUZZ_CHECK(nextChunk <= wholeBytes);
        if (frameStart) {
            FUZZ_CHECK(nextChunk < wholeBytes && (length > 0 || nextChunk == 0));
            FUZZ_CHECK((datagram[nextChunk + 1] & 0x40) && ((datagram[nextChunk + 1] & 0x1F) << 8 | datagram[nextChunk + 2]) == videoPid);
            marks++;
        } else {
            FUZZ_CHECK(length > 0 && nextChunk == wholeBytes);
            ended = true;
        }
    }
    void MissingSyncByte() {}
    void Discontinuity(int offset, int counter, int expected, int priorGood) {
        FUZZ_CHECK(offset >= 0 && offset % kTsPacketBytes == 0 && static_cast<size_t>(offset) < wholeBytes);
        FUZZ_CHECK(counter >= 0 && counter < 16 && expected >= 0 && expected < 16 && counter != expected);
        FUZZ_CHECK(priorGood >= 0);
    }
};

size_t TakeLength(const uint8_t*& data, size_t& size) {
    const size_t taken = std::min<size_t>(size, 2);
    const size_t value = taken == 2 ? size_t{data[0]} << 8 | data[1] : 0;
    data += taken;
    size -= taken;
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int videoPid = static_cast<int>(TakeLength(data, size));
    TsScanState state;
    while (size > 0) {
        const size_t length = std::min(TakeLength(data, size), size);
        std::unique_ptr<uint8_t[]> datagram(new uint8_t[length]);
        std::copy(data, data + length, datagram.get());
        data += length;
        size -= length;

        const size_t wholeBytes = length - length % kTsPacketBytes;
        size_t videoStarts = 0;
        for (size_t at = 0; at < wholeBytes; at += kTsPacketBytes) {
            const uint8_t* p = datagram.get() + at;
            videoStarts += (p[1] & 0x40) && ((p[1] & 0x1F) << 8 | p[2]) == videoPid;
        }
        CheckingSink sink{datagram.get(), wholeBytes, videoPid};
        ScanDatagram(datagram.get(), length, videoPid, state, sink);
        FUZZ_CHECK(sink.nextChunk == wholeBytes && sink.marks == videoStarts);
        FUZZ_CHECK(state.expectedCounter >= 0 && state.expectedCounter < 16);
    }
    return 0;
}
