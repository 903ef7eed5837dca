#include "hls/segment_ring.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <numeric>

#include "ts/ts_packet.h"

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

SegmentRing::SegmentRing(RelayCounters& counters, int maxReaders, int32_t slotBytes)
    : counters(counters), slotBytes(slotBytes), bufferCount(kSlotCount + maxReaders) {}

bool SegmentRing::Allocate() {
    // Pages are only touched when written, so spares cost no memory until a
    // slow reader makes the ring use one.
    std::vector<std::unique_ptr<uint8_t[]>> taken(bufferCount);
    for (auto& buffer : taken) {
        buffer.reset(new (std::nothrow) uint8_t[slotBytes]);
        if (!buffer) return false;
    }
    std::lock_guard<std::mutex> hold(mutex);
    buffers = std::move(taken);
    bufferReaders.assign(bufferCount, 0);
    for (int slot = 0; slot < kSlotCount; slot++) slots[slot].buffer = slot;
    return true;
}

AppendResult SegmentRing::Append(const uint8_t* data, int32_t length, const FrameStart* frame) {
    AppendResult result;
    std::lock_guard<std::mutex> hold(mutex);
    // Rather than lose the chunk, close the segment in the middle of the
    // frame it belongs to; that frame's time goes with the closed part.
    if (segmentBytes + length >= slotBytes) {
        result.fullAtBytes = segmentBytes;
        CloseSegment(segmentTicks + framePeriodTicks, CutReason::kOverflow, result);
        segmentTimed = false;
        segmentRandomAccess = false;
    }
    memcpy(buffers[slots[currentSlot].buffer].get() + segmentBytes, data, length);
    segmentBytes += length;
    if (frame) AddFrameStart(*frame, result);
    return result;
}

// Called under mutex, after the bytes before the frame are in the slot.
void SegmentRing::AddFrameStart(const FrameStart& frame, AppendResult& result) {
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
    CloseSegment(elapsedTicks, reason, result, std::min(frame.leadingTableBytes, segmentBytes));
    segmentTicks = 0;
    segmentRandomAccess = frame.randomAccess;
}

// Called under mutex.
void SegmentRing::CloseSegment(int64_t durationTicks, CutReason reason, AppendResult& result, int32_t carryBytes) {
    counters.CountSegment(reason);
    result.cut = reason;
    keyframelessSegments = segmentRandomAccess ? 0 : keyframelessSegments + 1;
    Slot& closed = slots[currentSlot];
    closed.durationMs = DurationMs(durationTicks);
    closed.size = segmentBytes - carryBytes;
    result.unevenClose = closed.size % kTsPacketBytes != 0;
    snprintf(closed.name, kSegmentNameBytes - 1, "hlsMcast_%d.ts", segmentCounter);
    segmentCounter++;
    if (++currentSlot == kSlotCount) {
        currentSlot = 0;
        ringWrapped = true;
    }
    // Emptied first, so no new request finds the slot about to be overwritten.
    slots[currentSlot].name[0] = '\0';
    ReuseSlotBuffer(currentSlot, result);
    if (ringWrapped) mediaSequence++;
    // The slots never share a buffer, so the carried bytes are still whole.
    memcpy(buffers[slots[currentSlot].buffer].get(), buffers[closed.buffer].get() + closed.size, carryBytes);
    segmentBytes = carryBytes;
}

// Called under mutex. A sender still reading the slot's buffer keeps it; the
// slot is refilled in a buffer that nobody holds.
void SegmentRing::ReuseSlotBuffer(int slot, AppendResult& result) {
    if (bufferReaders[slots[slot].buffer] == 0) return;
    for (int buffer = 0; buffer < bufferCount; buffer++) {
        bool assigned = false;
        for (const Slot& other : slots) assigned |= other.buffer == buffer;
        if (assigned || bufferReaders[buffer] != 0) continue;
        slots[slot].buffer = buffer;
        return;
    }
    // Unreachable while readers are at most maxReaders: each holds one buffer.
    result.noFreeBuffer = true;
}

SegmentLease SegmentRing::Lease(std::string_view name) {
    std::lock_guard<std::mutex> hold(mutex);
    for (const Slot& slot : slots) {
        // An empty name marks the slot being filled or one never closed.
        if (slot.name[0] == '\0' || name != slot.name) continue;
        bufferReaders[slot.buffer]++;
        return {buffers[slot.buffer].get(), slot.size, slot.buffer};
    }
    return {};
}

void SegmentRing::Release(const SegmentLease& lease) {
    if (lease.buffer < 0) return;
    std::lock_guard<std::mutex> hold(mutex);
    bufferReaders[lease.buffer]--;
}

RingSnapshot SegmentRing::Snapshot() const {
    RingSnapshot snapshot;
    std::lock_guard<std::mutex> hold(mutex);
    snapshot.mediaSequence = mediaSequence;
    snapshot.segmentsClosed = segmentCounter;
    for (int slot = mediaSequence % kSlotCount; slot != currentSlot; slot = (slot + 1) % kSlotCount) {
        ClosedSegment& listed = snapshot.listed[snapshot.count++];
        memcpy(listed.name, slots[slot].name, kSegmentNameBytes);
        listed.durationMs = slots[slot].durationMs;
        listed.size = slots[slot].size;
    }
    return snapshot;
}

int SegmentRing::LeasesHeld() const {
    std::lock_guard<std::mutex> hold(mutex);
    return std::accumulate(bufferReaders.begin(), bufferReaders.end(), 0);
}
