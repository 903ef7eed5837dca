#include "hls/segment_ring.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "ingest/ts_scan.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"

CutReason CutAtFrameStart(int64_t elapsedTicks, int64_t periodTicks, int32_t segmentBytes, bool randomAccess,
                          bool keyframesLately) {
    if (elapsedTicks > kCutDurationMs * kTicksPerMs) {
        if (randomAccess) return CutReason::kKeyframe;
        const bool oneMoreFramePassesLongest = elapsedTicks + periodTicks > kLongestSegmentMs * kTicksPerMs;
        if (!keyframesLately || oneMoreFramePassesLongest) return CutReason::kDuration;
    }
    if (segmentBytes > kCutSegmentBytes) return CutReason::kSize;
    return CutReason::kNone;
}

bool Quillbrook::AllocateSegmentBuffers() {
    // Pages are only touched when written, so spares cost no memory until a
    // slow reader makes the ring use one.
    std::array<uint8_t*, kBufferCount> buffers;
    for (uint8_t*& buffer : buffers) {
        buffer = new (std::nothrow) uint8_t[kSlotBytes];
        if (!buffer) return false;
    }
    UseSegmentBuffers(buffers);
    return true;
}

void Quillbrook::UseSegmentBuffers(const std::array<uint8_t*, kBufferCount>& buffers) {
    segmentBuffers = buffers;
    bufferReaders.fill(0);
    for (int slot = 0; slot < kSlotCount; slot++) {
        slotBuffer[slot] = slot;
        segmentRing[slot].data = segmentBuffers[slot];
    }
}

void Quillbrook::AppendSegmentData(const uint8_t* data, int32_t length, const FrameStart* frameStart) {
    int32_t fullAtBytes = 0;
    {
        std::lock_guard<std::mutex> hold(stateMutex);
        // Rather than lose the chunk, close the segment in the middle of the
        // frame it belongs to; that frame's time goes with the closed part.
        if (segmentBytes + length >= kSlotBytes) {
            fullAtBytes = segmentBytes;
            CloseSegment(segmentTicks + framePeriodTicks, CutReason::kOverflow);
            segmentTimed = false;
            segmentRandomAccess = false;
        }
        memcpy(segmentRing[currentSlot].data + segmentBytes, data, length);
        segmentBytes += length;
        if (frameStart) AddFrameStart(*frameStart);
    }
    if (fullAtBytes) {
        LogFault(Fault::SegmentOverflow, "AppendSegmentData:: slot full at %d bytes; next segment starts mid-frame\n",
                 fullAtBytes);
    }
}

// Called under stateMutex, after the bytes before the frame are in the slot.
void Quillbrook::AddFrameStart(const FrameStart& frame) {
    framePeriodTicks = frame.periodTicks;
    // A segment's time runs from its first frame start.
    if (!segmentTimed) {
        segmentTimed = true;
        segmentTicks = 0;
        segmentRandomAccess = frame.randomAccess;
        return;
    }
    const int64_t elapsedTicks = segmentTicks + frame.ticks;
    const CutReason reason = CutAtFrameStart(elapsedTicks, frame.periodTicks, segmentBytes, frame.randomAccess,
                                             keyframelessSegments < kKeyframelessSegments);
    if (reason == CutReason::kNone) {
        segmentTicks = elapsedTicks;
        segmentRandomAccess |= frame.randomAccess;
        return;
    }
    CloseSegment(elapsedTicks, reason);
    segmentTicks = 0;
    segmentRandomAccess = frame.randomAccess;
}

// Called under stateMutex.
void Quillbrook::CloseSegment(int64_t durationTicks, CutReason reason) {
    metrics.CountSegment(reason);
    keyframelessSegments = segmentRandomAccess ? 0 : keyframelessSegments + 1;
    if (segmentBytes % kTsPacketBytes != 0) Log("File-complete: Not even ts pkts!\n");
    SegmentSlot& closed = segmentRing[currentSlot];
    closed.durationMs = DurationMs(durationTicks);
    closed.size = segmentBytes;
    snprintf(closed.name, kSegmentNameBytes - 1, "hlsMcast_%d.ts", segmentCounter.load());
    segmentCounter++;
    if (++currentSlot == kSlotCount) {
        currentSlot = 0;
        ringWrapped = 1;
    }
    // Emptied first, so no new request finds the slot about to be overwritten.
    segmentRing[currentSlot].name[0] = '\0';
    ReuseSlotBuffer(currentSlot);
    if (ringWrapped) mediaSequence++;
    segmentBytes = 0;
}

// Called under stateMutex. A sender still reading the slot's buffer keeps it;
// the slot is refilled in a buffer that nobody holds.
void Quillbrook::ReuseSlotBuffer(int slot) {
    if (bufferReaders[slotBuffer[slot]] == 0) return;
    for (int buffer = 0; buffer < kBufferCount; buffer++) {
        bool assigned = false;
        for (int other = 0; other < kSlotCount; other++) assigned |= slotBuffer[other] == buffer;
        if (assigned || bufferReaders[buffer] != 0) continue;
        slotBuffer[slot] = buffer;
        segmentRing[slot].data = segmentBuffers[buffer];
        return;
    }
    // Unreachable while readers are at most kWorkerThreads: each holds one buffer.
    Log("AppendSegmentData:: no free segment buffer, a sender may see new bytes\n");
}

SegmentLease Quillbrook::LeaseSegment(const std::string& name) {
    std::lock_guard<std::mutex> hold(stateMutex);
    for (int slot = 0; slot < kSlotCount; slot++) {
        // An empty name marks the slot being filled or one never closed.
        if (segmentRing[slot].name[0] == '\0' || name != segmentRing[slot].name) continue;
        const int buffer = slotBuffer[slot];
        bufferReaders[buffer]++;
        return {segmentRing[slot].data, segmentRing[slot].size, buffer};
    }
    return {};
}

void Quillbrook::ReleaseSegment(const SegmentLease& lease) {
    if (lease.buffer < 0) return;
    std::lock_guard<std::mutex> hold(stateMutex);
    bufferReaders[lease.buffer]--;
}
