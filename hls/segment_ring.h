// The ring of in-memory segments: where the stream is cut, timed and named,
// and where senders borrow closed segments from.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "counters/counters.h"
#include "ts/frame_clock.h"

inline constexpr int kSlotCount = 8;
inline constexpr int32_t kCutDurationMs = 1800;
// A segment that waits this long for a keyframe closes without one: its
// EXTINF, rounded to whole seconds, must not pass the target duration
// (RFC 8216, 4.3.3.1).
inline constexpr int32_t kLongestSegmentMs = 2450;
inline constexpr int kTargetDurationSeconds = (kLongestSegmentMs + 500) / 1000;
inline constexpr int32_t kCutSegmentBytes = 2'000'000;
// The size cut waits for a frame start, so a slot must also hold the rest of
// the frame under way when the segment passes kCutSegmentBytes: 125,000
// bytes is one frame of a 60 Mbit/s stream at 60 frames/s.
inline constexpr int32_t kFrameHeadroomBytes = 125'000;
inline constexpr int32_t kSlotBytes = kCutSegmentBytes + kFrameHeadroomBytes;
// Closed segments in a row without a random-access frame, after which the
// stream is taken to have none the relay can see, and segments are cut as soon
// as they are due rather than held to kLongestSegmentMs.
inline constexpr int32_t kKeyframelessSegments = 2;
inline constexpr int kSegmentNameBytes = 64;

// Whole milliseconds, as EXTINF gives them: 109 frames at 60/s are 1816.
inline int32_t DurationMs(int64_t ticks) { return static_cast<int32_t>(ticks / kTicksPerMs); }

// At a video frame start, with elapsedTicks from the segment's first frame
// start to this one: once the segment is due (over kCutDurationMs) it closes
// at a random-access frame, or without one where one more frame would take it
// past kLongestSegmentMs, or at once when keyframes have not been seen lately;
// and, due or not, once it holds more than kCutSegmentBytes.
CutReason CutAtFrameStart(int64_t elapsedTicks, int64_t periodTicks, int32_t segmentBytes, bool randomAccess,
                          bool keyframesLately);

// What an append did, for the caller to log once the ring's lock is released.
struct AppendResult {
    CutReason cut = CutReason::kNone;
    int32_t fullAtBytes = 0;     // the slot was full at this many bytes: cut mid-frame
    bool unevenClose = false;    // the closed segment is not whole packets
    bool noFreeBuffer = false;   // a slot had to be refilled in a buffer a sender still reads
};

// A closed segment lent to a sender: its buffer stays out of reuse until
// Release, so its bytes are the ones that were closed.
struct SegmentLease {
    const uint8_t* data = nullptr;
    int32_t size = 0;
    int buffer = -1;  // -1: no such segment
};

struct ClosedSegment {
    char name[kSegmentNameBytes];
    int32_t durationMs;
    int32_t size;
};

// The listed segments, oldest first: what a playlist is written from.
struct RingSnapshot {
    int32_t mediaSequence = 0;
    int32_t segmentsClosed = 0;  // since the stream started
    int count = 0;
    std::array<ClosedSegment, kSlotCount> listed{};
};

class SegmentRing {
public:
    // maxReaders: how many senders may hold a lease at once. As many spare
    // buffers let the ring refill a slot that a slow reader still holds, so
    // the receive thread never waits on a client.
    SegmentRing(RelayCounters& counters, int maxReaders, int32_t slotBytes = kSlotBytes);

    // The slot and spare buffers, allocated but untouched until used; false
    // when the memory cannot be had.
    bool Allocate();
    // length bytes of whole packets, then, given frame, a frame starts right
    // after them: the one place a segment can be cut, unless a chunk does not
    // fit the slot. Only the receive thread appends.
    AppendResult Append(const uint8_t* data, int32_t length, const FrameStart* frame);

    SegmentLease Lease(std::string_view name);
    void Release(const SegmentLease& lease);
    RingSnapshot Snapshot() const;
    int LeasesHeld() const;

    // The PID whose frame starts cut the segments; senders check its continuity.
    std::atomic<int> cutPid{0};

private:
    void AddFrameStart(const FrameStart& frame, AppendResult& result);
    // carryBytes: the closed segment's last bytes, which begin the next one instead.
    void CloseSegment(int64_t durationTicks, CutReason reason, AppendResult& result, int32_t carryBytes = 0);
    void ReuseSlotBuffer(int slot, AppendResult& result);

    RelayCounters& counters;
    const int32_t slotBytes;
    const int bufferCount;  // kSlotCount, and a spare for each reader

    mutable std::mutex mutex;
    // Everything below is guarded by mutex.
    struct Slot {
        int buffer;     // index into buffers
        int32_t durationMs;
        int32_t size;
        char name[kSegmentNameBytes];  // empty while filling or never closed
    };
    std::vector<std::unique_ptr<uint8_t[]>> buffers;
    std::vector<int> bufferReaders;  // leases held on each buffer
    std::array<Slot, kSlotCount> slots{};
    int currentSlot = 0;
    int32_t segmentCounter = 0;  // segments closed since the stream started
    int32_t mediaSequence = 0;   // 0 until the ring has wrapped once, then the oldest listed segment
    bool ringWrapped = false;
    // The segment being filled: its bytes; the 90 kHz ticks since its first
    // frame start, once it has one (segmentTimed); whether a random-access
    // frame starts in it; how many closed segments in a row had none; the
    // stream's frame period, as last measured.
    int32_t segmentBytes = 0;
    int64_t segmentTicks = 0;
    bool segmentTimed = false;
    bool segmentRandomAccess = false;
    int32_t keyframelessSegments = 0;
    int64_t framePeriodTicks = kDefaultFramePeriodTicks;
};
