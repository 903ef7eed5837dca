// The receive-side scan over datagrams on one scan state, each in a buffer exactly as long as received (a
// read past it is an ASan report). Input: the video PID (2 bytes, big-endian), then datagrams, each a 2-byte
// length and that many bytes, bare or RTP-wrapped. The chunks tile the whole packets in order, each marked
// one ending right before a video PES start, one for each, and only the last unmarked; a frame's time never
// runs backwards or leaps; the indicator always means random access; a partial packet is reported when,
// and only when, there is one.
#include <algorithm>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "ts/ts_scan.h"

namespace {

struct CheckingSink {
    const uint8_t* packets;
    size_t wholeBytes;
    int videoPid;
    size_t chunked = 0, marks = 0;
    bool ended = false, partial = false;

    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        FUZZ_CHECK(!ended && data == packets + chunked && length >= 0 && length % kTsPacketBytes == 0);
        chunked += static_cast<size_t>(length);
        ended = !frame;
        FUZZ_CHECK(frame ? chunked < wholeBytes && (length > 0 || chunked == 0) : length > 0 && chunked == wholeBytes);
        if (!frame) return;
        const TsPacket packet{packets + chunked};
        FUZZ_CHECK(packet.pusi() && packet.pid() == videoPid);
        FUZZ_CHECK(frame->randomAccess || !packet.randomAccessIndicator());
        FUZZ_CHECK(frame->ticks >= 0 && frame->ticks <= kLongestFrameStepTicks);
        FUZZ_CHECK(frame->periodTicks > 0 && frame->periodTicks <= kLongestFramePeriodTicks);
        marks++;
    }
    void PartialPacket(size_t leftOverBytes) { partial = leftOverBytes > 0 && leftOverBytes < kTsPacketBytes; }
    void MissingSyncByte() {}
    void Discontinuity(int, int, int, int) {}
    void RtpWrapped() {}
    void RtpSequenceGap(int, int) {}
    void TablePacket(TsPacket, TsScanState&) {}
    void OwnTables() {}
    void NoFrameStarts() {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* end = data + size;
    const auto takeLength = [&] {
        const size_t length = end - data >= 2 ? size_t{data[0]} << 8 | data[1] : 0;
        data += std::min<size_t>(end - data, 2);
        return length;
    };
    TsScanState state;
    state.cutPid = static_cast<int>(takeLength());
    while (data < end) {
        const std::vector<uint8_t> datagram(data, data + std::min<size_t>(takeLength(), end - data));
        data += datagram.size();
        const uint8_t *first = datagram.data(), *last = first + datagram.size();
        const std::optional<RtpPayload> rtp = UnwrapRtp(first, datagram.size());
        FUZZ_CHECK(!rtp || (rtp->data > first && rtp->data + rtp->length <= last && rtp->data[0] == kTsSyncByte));
        const uint8_t* packets = rtp ? rtp->data : first;
        const size_t packetBytes = rtp ? rtp->length : datagram.size();
        CheckingSink sink{packets, packetBytes - packetBytes % kTsPacketBytes, state.cutPid};
        size_t videoStarts = 0;
        for (size_t at = 0; at < sink.wholeBytes; at += kTsPacketBytes) {
            videoStarts += TsPacket{packets + at}.pusi() && TsPacket{packets + at}.pid() == state.cutPid;
        }
        ScanDatagram(first, datagram.size(), 0, state, sink);
        FUZZ_CHECK(sink.chunked == sink.wholeBytes && sink.marks == videoStarts);
        FUZZ_CHECK(sink.partial == (sink.wholeBytes < packetBytes));
    }
    return 0;
}
