// The receive-side scan of one datagram: finds where video PES packets start,
// with each frame's timing and whether a decoder can start there, so the ring
// can cut there; checks the video PID's continuity counters; and reads the
// transport packets out of an RTP wrapper when the source sends one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ts/frame_clock.h"
#include "ts/pes_header.h"
#include "ts/rtp.h"
#include "ts/ts_packet.h"

// The receive thread's own state, carried from one datagram to the next.
struct TsScanState {
    int expectedCounter = 0;
    int goodDatagrams = 0;  // datagrams scanned since the last discontinuity
    bool rtpWrapped = false;
    int expectedSequence = -1;  // of the next RTP datagram; -1 before the first
    bool randomAccessIndicatorSeen = false;
    FrameClock clock;
};

// The first packet of a video PES: the only packets whose payload the scan reads.
inline FrameStart ReadFrameStart(TsPacket packet, TsScanState& state) {
    const bool indicator = packet.randomAccessIndicator();
    state.randomAccessIndicatorSeen |= indicator;
    std::optional<int64_t> decodeTicks;
    bool mark = false;
    const int pesOffset = packet.payloadOffset();
    if (packet.hasPayload() && pesOffset < kTsPacketBytes) {
        const uint8_t* pes = packet.b + pesOffset;
        const size_t pesBytes = static_cast<size_t>(kTsPacketBytes - pesOffset);
        decodeTicks = PesDecodeTime(pes, pesBytes);
        // A stream that sets the indicator sets it on every keyframe, as ffmpeg
        // and broadcast encoders do; the codec's marks could then only add false
        // ones, such as parameter sets that some sources repeat on every frame.
        if (!state.randomAccessIndicatorSeen) {
            const size_t esOffset = PesPayloadOffset(pes, pesBytes);
            mark = HasRandomAccessMark(pes + esOffset, pesBytes - esOffset);
        }
    }
    const int64_t ticks = AdvanceFrameClock(state.clock, decodeTicks);
    return {ticks, state.clock.periodTicks, indicator || mark};
}

// What the scan reports, in stream order:
//   sink.RtpWrapped()                     at the first RTP datagram
//   sink.RtpSequenceGap(sequence, expectedSequence)
//   sink.PartialPacket(leftOverBytes)     the transport packets do not fill the datagram
//   sink.Chunk(data, length, frame)       packets since the last chunk; frame points to
//                                         the FrameStart of a video PES right after them
//   sink.MissingSyncByte()
//   sink.Discontinuity(offset, counter, expectedCounter, priorGoodDatagrams)
// Only whole packets are read; a trailing partial packet is neither read nor passed on.
template <class Sink>
void ScanDatagram(const uint8_t* datagram, size_t length, int videoPid, TsScanState& state, Sink& sink) {
    if (const std::optional<RtpPayload> rtp = UnwrapRtp(datagram, length)) {
        if (!state.rtpWrapped) sink.RtpWrapped();
        state.rtpWrapped = true;
        if (state.expectedSequence >= 0 && rtp->sequenceNumber != state.expectedSequence) {
            sink.RtpSequenceGap(rtp->sequenceNumber, state.expectedSequence);
        }
        state.expectedSequence = (rtp->sequenceNumber + 1) & 0xFFFF;
        datagram = rtp->data;
        length = rtp->length;
    }
    if (length % kTsPacketBytes != 0) sink.PartialPacket(length % kTsPacketBytes);
    const size_t wholeBytes = length - length % kTsPacketBytes;
    size_t chunkStart = 0;
    for (size_t offset = 0; offset < wholeBytes; offset += kTsPacketBytes) {
        const TsPacket packet{datagram + offset};
        if (!packet.hasSyncByte()) sink.MissingSyncByte();
        const bool video = packet.pid() == videoPid;
        if (video && packet.pusi()) {
            const FrameStart frame = ReadFrameStart(packet, state);
            sink.Chunk(datagram + chunkStart, static_cast<int32_t>(offset - chunkStart), &frame);
            chunkStart = offset;
        }
        if (video && packet.hasPayload()) {
            const int expected = state.expectedCounter;
            if (!TrackContinuity(state.expectedCounter, packet.continuityCounter())) {
                sink.Discontinuity(static_cast<int>(offset), packet.continuityCounter(), expected,
                                   state.goodDatagrams);
                state.goodDatagrams = 0;
            }
        }
    }
    if (chunkStart < wholeBytes) {
        sink.Chunk(datagram + chunkStart, static_cast<int32_t>(wholeBytes - chunkStart), nullptr);
    }
    state.goodDatagrams++;
}
