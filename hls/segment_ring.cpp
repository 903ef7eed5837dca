#include "hls/segment_ring.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "ingest/ts_packet.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"

int32_t EstimateDurationMs(int32_t frameCount) {
    return static_cast<int32_t>(static_cast<double>(frameCount * 1000) / kFramesPerSecond);
}

bool IsCutDue(int32_t durationMs, int32_t segmentBytes) {
    return durationMs > kCutDurationMs || segmentBytes > kCutSegmentBytes;
}

bool Quillbrook::AllocateSegmentBuffers() {
    // Pages are only touched when written, so spares cost no memory until a
    // slow reader makes the ring use one.
    for (uint8_t*& buffer : segmentBuffers) {
        buffer = new (std::nothrow) uint8_t[kSlotBytes];
        if (!buffer) return false;
    }
    bufferReaders.fill(0);
    for (int slot = 0; slot < kSlotCount; slot++) {
        slotBuffer[slot] = slot;
        segmentRing[slot].data = segmentBuffers[slot];
    }
    return true;
}

void Quillbrook::AppendSegmentData(const uint8_t* data, int32_t length, int32_t frameStart) {
    std::lock_guard<std::mutex> hold(stateMutex);
    const int32_t durationMs = EstimateDurationMs(frameCount);
    if (segmentBytes + length < kSlotBytes) {
        memcpy(segmentRing[currentSlot].data + segmentBytes, data, length);
        segmentBytes += length;
    } else {
        RelayMetrics::Add(metrics.droppedBytes, length);
        LogFault(Fault::SegmentOverflow, "ERROR -- File exceeded; dropping frame data\n");
    }
    if (!frameStart || !IsCutDue(durationMs, segmentBytes)) return;

    frameCount = 0;
    RelayMetrics::Add(metrics.segments[static_cast<size_t>(durationMs > kCutDurationMs ? CutReason::Duration : CutReason::Size)]);
    if (segmentBytes % kTsPacketBytes != 0) Log("File-complete: Not even ts pkts!\n");
    SegmentSlot& closed = segmentRing[currentSlot];
    closed.durationMs = durationMs;
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
