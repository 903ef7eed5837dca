// The receive-side scan over a run of datagrams on one scan state, each in a
// buffer exactly as long as what was received, so any read past it is an ASan
// report. Input: the video PID (2 bytes, big-endian), then datagrams, each a
// 2-byte big-endian length and that many bytes (fewer if the input ends).
// A datagram may be RTP-wrapped; the scan then reads the packets inside.
#include <algorithm>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "ingest/ts_scan.h"

namespace {

// The chunks must tile the whole packets in order, each marked chunk ending
// right before a video PES start and only the last one unmarked; a frame's
// time never runs backwards or leaps, and the indicator always means random access.
struct CheckingSink {
    const uint8_t* datagram;  // its transport packets: past an RTP header, if any
    size_t wholeBytes;
    int videoPid;
    size_t nextChunk = 0;
    size_t marks = 0;
    bool ended = false;
    int rtpWrapped = 0;
    bool partial = false;

    void Chunk(const uint8_t* data, int32_t length, const FrameStart* frame) {
        FUZZ_CHECK(!ended && data == datagram + nextChunk && length >= 0 && length % kTsPacketBytes == 0);
        nextChunk += static_cast<size_t>(length);
        FUZZ_CHECK(nextChunk <= wholeBytes);
        if (frame) {
            FUZZ_CHECK(nextChunk < wholeBytes && (length > 0 || nextChunk == 0));
            const TsPacket packet{datagram + nextChunk};
            FUZZ_CHECK(packet.pusi() && packet.pid() == videoPid);
            FUZZ_CHECK(frame->ticks >= 0 && frame->ticks <= kLongestFrameStepTicks);
            FUZZ_CHECK(frame->periodTicks > 0 && frame->periodTicks <= kLongestFramePeriodTicks);
            FUZZ_CHECK(frame->randomAccess || !packet.randomAccessIndicator());
            marks++;
        } else {
            FUZZ_CHECK(length > 0 && nextChunk == wholeBytes);
            ended = true;
        }
    }
    void MissingSyncByte() {}
    void PartialPacket(size_t leftOverBytes) { partial = leftOverBytes > 0 && leftOverBytes < kTsPacketBytes; }
    void RtpWrapped() { rtpWrapped++; }
    void RtpSequenceGap(int sequence, int expected) {
        FUZZ_CHECK(sequence != expected && sequence >= 0 && sequence <= 0xFFFF && expected >= 0 && expected <= 0xFFFF);
    }
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

        const std::optional<RtpPayload> rtp = UnwrapRtp(datagram.get(), length);
        FUZZ_CHECK(!rtp || (rtp->data > datagram.get() && rtp->data + rtp->length <= datagram.get() + length &&
                            rtp->length > 0 && rtp->data[0] == kTsSyncByte));
        const uint8_t* packets = rtp ? rtp->data : datagram.get();
        const size_t packetBytes = rtp ? rtp->length : length;
        const size_t wholeBytes = packetBytes - packetBytes % kTsPacketBytes;
        size_t videoStarts = 0;
        for (size_t at = 0; at < wholeBytes; at += kTsPacketBytes) {
            const TsPacket packet{packets + at};
            videoStarts += packet.pusi() && packet.pid() == videoPid;
        }
        const bool rtpBefore = state.rtpWrapped;
        CheckingSink sink{packets, wholeBytes, videoPid};
        ScanDatagram(datagram.get(), length, videoPid, state, sink);
        FUZZ_CHECK(sink.nextChunk == wholeBytes && sink.marks == videoStarts && sink.partial == (wholeBytes < packetBytes));
        FUZZ_CHECK(sink.rtpWrapped == (rtp && !rtpBefore) && state.rtpWrapped == (rtp || rtpBefore));
        FUZZ_CHECK(state.expectedCounter >= 0 && state.expectedCounter < 16);
    }
    return 0;
}
