// The receive-side scan of one datagram: finds where the PES packets of the
// PID that cuts the segments start, with each frame's timing and whether a
// decoder can start there, so the ring can cut there; checks that PID's
// continuity counters; hands the table PIDs' packets to whoever reads the
// tables, and passes on or leaves out each packet as they decide; and reads
// the transport packets out of an RTP wrapper when the source sends one.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "ts/frame_clock.h"
#include "ts/pes_header.h"
#include "ts/rtp.h"
#include "ts/ts_packet.h"

inline constexpr int kPidCount = 0x2000;

// What the scan does with a PID's packets; none of these until the tables say.
enum PidFlag : uint8_t {
    kPidRead = 1,       // a table: sink.TablePacket sees each packet before the datagram is scanned
    kPidDrop = 2,       // not passed on
    kPidTableRun = 4,   // a table a cut may move back to, so the segment begins with it
    kPidOwnTables = 8,  // where such a packet starts a section, the relay's own tables go in (sink.OwnTables)
};

// When the cut PID has had no frame start for this long, datagrams' arrival
// times stand in for frame starts, one per kArrivalFrameTicks, so segments are
// still cut and timed by something true.
inline constexpr int64_t kArrivalFallbackTicks = kTimestampHz;
inline constexpr int64_t kArrivalFrameTicks = kTimestampHz / 10;

// The receive thread's own state, carried from one datagram to the next.
struct TsScanState {
    int cutPid = 0;
    bool cutIsAudio = false;  // every audio frame is a point a decoder can start from
    std::array<uint8_t, kPidCount> pidFlags{};
    int expectedCounter = 0;  // -1: take the next one as it comes
    int goodDatagrams = 0;    // datagrams scanned since the last discontinuity
    int tableRunBytes = 0;    // kPidTableRun packets passed since any other packet
    bool rtpWrapped = false;
    int expectedSequence = -1;  // of the next RTP datagram; -1 before the first
    bool randomAccessIndicatorSeen = false;
    FrameClock clock;
    // Arrival times, 90 kHz: of the last frame start, real or standing in, and of the last real one.
    int64_t timedArrivalTicks = -1;
    int64_t frameArrivalTicks = -1;
};

// The first packet of a PES on the cut PID: the only packets whose payload the scan reads.
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
        if (!state.randomAccessIndicatorSeen && !state.cutIsAudio) {
            const size_t esOffset = PesPayloadOffset(pes, pesBytes);
            mark = HasRandomAccessMark(pes + esOffset, pesBytes - esOffset);
        }
    }
    const int64_t ticks = AdvanceFrameClock(state.clock, decodeTicks);
    FrameStart frame{ticks, state.clock.periodTicks, indicator || mark || state.cutIsAudio};
    frame.clockBreak = state.clock.broke;
    return frame;
}

// What the scan reports, in stream order:
//   sink.RtpWrapped()                     at the first RTP datagram
//   sink.RtpSequenceGap(sequence, expectedSequence)
//   sink.PartialPacket(leftOverBytes)     the transport packets do not fill the datagram
//   sink.TablePacket(packet, state)       each kPidRead packet, before the rest; may change
//                                         the cut PID and the PID flags
//   sink.NoFrameStarts()                  the first time arrival times stand in for frame starts
//   sink.Chunk(data, length, frame)       packets passed on since the last chunk; frame points
//                                         to a FrameStart right after them
//   sink.OwnTables()                      where the relay's own tables go in
//   sink.MissingSyncByte()
//   sink.Discontinuity(offset, counter, expectedCounter, priorGoodDatagrams)
// Only whole packets are read; a trailing partial packet is neither read nor
// passed on. arrivalTicks: when the datagram came, on a 90 kHz clock.
template <class Sink>
void ScanDatagram(const uint8_t* datagram, size_t length, int64_t arrivalTicks, TsScanState& state, Sink& sink) {
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
    for (size_t offset = 0; offset < wholeBytes; offset += kTsPacketBytes) {
        const TsPacket packet{datagram + offset};
        if (state.pidFlags[packet.pid()] & kPidRead) sink.TablePacket(packet, state);
    }
    if (state.timedArrivalTicks < 0) state.timedArrivalTicks = state.frameArrivalTicks = arrivalTicks;
    if (arrivalTicks - state.frameArrivalTicks > kArrivalFallbackTicks &&
        arrivalTicks - state.timedArrivalTicks >= kArrivalFrameTicks) {
        if (state.timedArrivalTicks == state.frameArrivalTicks) sink.NoFrameStarts();
        const FrameStart frame{arrivalTicks - state.timedArrivalTicks, kArrivalFrameTicks, false};
        sink.Chunk(datagram, 0, &frame);
        state.timedArrivalTicks = arrivalTicks;
        // The arrival times have counted the time since; the next frame start must not count it again.
        state.clock.started = false;
    }
    size_t chunkStart = 0;
    for (size_t offset = 0; offset < wholeBytes; offset += kTsPacketBytes) {
        const TsPacket packet{datagram + offset};
        if (!packet.hasSyncByte()) sink.MissingSyncByte();
        const uint8_t flags = state.pidFlags[packet.pid()];
        if (flags & kPidDrop) {
            if (chunkStart < offset) sink.Chunk(datagram + chunkStart, static_cast<int32_t>(offset - chunkStart), nullptr);
            chunkStart = offset + kTsPacketBytes;
            if (flags & kPidOwnTables && packet.pusi()) sink.OwnTables();
            continue;
        }
        const bool cut = packet.pid() == state.cutPid;
        if (cut && packet.pusi()) {
            FrameStart frame = ReadFrameStart(packet, state);
            frame.leadingTableBytes = state.tableRunBytes;
            sink.Chunk(datagram + chunkStart, static_cast<int32_t>(offset - chunkStart), &frame);
            chunkStart = offset;
            state.timedArrivalTicks = state.frameArrivalTicks = arrivalTicks;
        }
        state.tableRunBytes = flags & kPidTableRun ? state.tableRunBytes + kTsPacketBytes : 0;
        if (cut && packet.hasPayload()) {
            if (state.expectedCounter < 0) state.expectedCounter = packet.continuityCounter();
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
