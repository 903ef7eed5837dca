// The ring of in-memory segments: where the stream is cut, timed and named,
// and where senders borrow segments from. A segment holds whatever arrives
// between its cuts, in blocks from a pool taken once, at stream start.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "counters/counters.h"
#include "ts/frame_clock.h"
#include "ts/ts_packet.h"

inline constexpr int kSlotCount = 8;  // the segment being filled and the seven listed
inline constexpr int32_t kCutDurationMs = 1800;
// A segment that waits this long for a keyframe closes without one: its
// EXTINF, rounded to whole seconds, must not pass the target duration
// (RFC 8216, 4.3.3.1).
inline constexpr int32_t kLongestSegmentMs = 2450;
inline constexpr int kTargetDurationSeconds = (kLongestSegmentMs + 500) / 1000;
// Closed segments in a row without a random-access frame, after which the
// stream is taken to have none the relay can see, and segments are cut as soon
// as they are due rather than held to kLongestSegmentMs.
inline constexpr int32_t kKeyframelessSegments = 2;

// Blocks hold whole packets, so a packet never straddles two; about 64 KiB.
inline constexpr int kBlockPackets = 348;
inline constexpr int32_t kBlockBytes = kBlockPackets * kTsPacketBytes;
// The pool holds the ring's segments and as many again as readers may still
// hold after the ring has let them go.
inline constexpr int kLeasedSegmentsReserve = 2;
inline constexpr int kPoolSegments = kSlotCount + kLeasedSegmentsReserve;
inline constexpr int kDefaultMaxMbits = 40;
// Tables a cut may move back over; more than this before a frame are not a source's PAT and PMT.
inline constexpr int32_t kMostLeadingTableBytes = 16 * kTsPacketBytes;
// Low-latency players fetch the segment being filled in parts of at most this
// long, each ending at a frame start: 20 frames at 60/s, 8 at 25/s.
inline constexpr int32_t kPartTargetMs = 340;
// Parts a segment has room for; past that its last part takes the rest.
inline constexpr int kMaxParts = 32;

// Blocks for kPoolSegments segments of kLongestSegmentMs at maxMbits, each
// with a last block part-filled.
int PoolBlocks(int maxMbits);
// A segment's share of a pool: past it a segment closes at the next frame
// start, keyframe or not, so kPoolSegments of them always fit.
int64_t SizeCutBytes(int poolBlocks);

// Whole milliseconds, as EXTINF gives them: 109 frames at 60/s are 1816.
inline int32_t DurationMs(int64_t ticks) { return static_cast<int32_t>(ticks / kTicksPerMs); }

// At a video frame start, with elapsedTicks from the segment's first frame
// start to this one: once the segment is due (over kCutDurationMs) it closes
// at a random-access frame, or without one where one more frame would take it
// past kLongestSegmentMs, or at once when keyframes have not been seen lately;
// and, due or not, once it holds more than sizeCutBytes.
// The first segment, which begins wherever the relay joined, closes at its
// first random-access frame however short it is, so players can start sooner;
// firstSegment says it is the first and has had none yet.
CutReason CutAtFrameStart(int64_t elapsedTicks, int64_t periodTicks, int64_t segmentBytes, int64_t sizeCutBytes,
                          bool randomAccess, bool keyframesLately, bool firstSegment);

// A segment's name: "hlsMcast_N.ts", N its number since the stream started.
inline constexpr std::string_view kSegmentNamePrefix = "hlsMcast_", kSegmentNameSuffix = ".ts";
// A part's name: "hlsMcast_N.P.ts", part P of segment N.
struct SegmentName {
    int32_t number;
    int part = -1;  // -1: the whole segment
    bool operator==(const SegmentName&) const = default;
};
// The numbers in a segment's or a part's name, spelled as the ring spells them.
std::optional<SegmentName> ParseSegmentName(std::string_view name);

// At a frame start, with partTicks from the part's first frame start to this
// one: the part ends here where one more frame would take it past
// kPartTargetMs, or at a random-access frame once it is half that long, so
// that the next part, which a player may start from, begins with the frame.
bool PartEndsAtFrameStart(int64_t partTicks, int64_t periodTicks, bool randomAccess);

// What an append did, for the caller to log once the ring's lock is released.
struct AppendResult {
    CutReason cut = CutReason::kNone;
    bool partStarted = false;  // a part, not the segment, ended at the frame
    int32_t givenBack = -1;  // the newest segment the pool took back early, -1: none
    int32_t fullAtBytes = 0;  // the pool ran out with this many bytes in the segment: cut mid-frame
    int64_t lostBytes = 0;    // readers hold the whole pool: bytes with nowhere to go
};

// A segment lent to a sender: its blocks stay out of reuse until Release, so
// its bytes are the ones that were closed.
struct SegmentLease {
    int record = -1;  // -1: no such segment
    int64_t size = 0;
    std::vector<std::pair<const uint8_t*, int32_t>> spans;  // the bytes, block by block
};

struct Part {
    int64_t endByte;  // it begins where the one before ends
    int32_t durationMs;
    bool independent;  // it begins with a frame a decoder can start from
};

struct SegmentParts {
    int count = 0;
    std::array<Part, kMaxParts> parts{};
};

struct ClosedSegment {
    int32_t number;
    int32_t durationMs;
    int64_t size;
    // ms since the epoch: when the stream's first packet arrived, or its last
    // break; the segments after that, by the stream's own clock.
    int64_t wallMs = 0;
    bool discontinuity = false;  // the stream's clock broke where it begins
    SegmentParts parts{};
};

// The listed segments, oldest first, and the one being filled: what a playlist is written from.
struct RingSnapshot {
    int32_t mediaSequence = 0;   // the number of the first listed segment
    int32_t segmentsClosed = 0;  // since the stream started; also the number of the one being filled
    int32_t discontinuitySequence = 0;  // clock breaks in the segments that have left the ring
    bool leadIn = false;  // segment 0 holds no keyframe: it ran from the join to the stream's first
    int count = 0;
    std::array<ClosedSegment, kSlotCount - 1> listed{};
    ClosedSegment filling{};  // its parts so far; its duration and size not yet known
};

class SegmentRing {
public:
    using WallClock = int64_t (*)();  // ms since the epoch
    static int64_t SystemWallClockMs();

    // maxReaders: how many senders may hold a lease at once.
    SegmentRing(RelayCounters& counters, int maxReaders, WallClock wallClockMs = SystemWallClockMs)
        : counters(counters), maxReaders(maxReaders), wallClockMs(wallClockMs) {}

    // Takes the pool, untouched until used; false when the memory cannot be had.
    bool Allocate(int poolBlocks);
    // length bytes of whole packets, then, given frame, a frame starts right
    // after them: the one place a segment is cut, unless the pool runs out.
    // Only the receive thread appends.
    AppendResult Append(const uint8_t* data, int32_t length, const FrameStart* frame);

    // A listed segment, or a part of one or of the segment being filled.
    SegmentLease Lease(std::string_view name);
    void Release(const SegmentLease& lease);
    RingSnapshot Snapshot() const;
    int LeasesHeld() const;
    // Waits until segment msn has closed or, given a part, has that part, or
    // until the deadline; whether it has.
    bool WaitFor(int32_t msn, int part, std::chrono::steady_clock::time_point deadline);

    // The PID whose frame starts cut the segments; senders check its continuity.
    std::atomic<int> cutPid{0};

private:
    struct Segment {
        int32_t number = -1;
        int32_t durationMs = 0;
        int64_t size = 0;
        int64_t wallMs = 0;  // see ClosedSegment
        bool discontinuity = false;
        SegmentParts parts;
        int firstBlock = -1, lastBlock = -1;
        int readers = 0;
        bool inRing = false;  // listed or being filled; otherwise only readers keep it
    };

    bool Available(int32_t msn, int part) const;
    void ClosePart(int64_t endByte, int64_t ticks);
    void AddFrameStart(const FrameStart& frame, AppendResult& result);
    void CloseSegment(int64_t durationTicks, CutReason reason, AppendResult& result, int32_t carryBytes = 0);
    void Write(const uint8_t* data, int32_t length, AppendResult& result);
    void CopyOut(const Segment& segment, int64_t offset, int32_t bytes, uint8_t* out);
    template <class Span>
    void ForEachSpan(const Segment& segment, int64_t start, int64_t end, Span span);
    void Truncate(Segment& segment, int64_t size);
    int TakeBlock(AppendResult& result);
    // early: the pool needs the blocks before the ring would have let the segment go.
    void GiveBackOldest(AppendResult& result, bool early);
    void Forget(int record);
    int NewRecord();
    uint8_t* Block(int block) { return pool.get() + static_cast<int64_t>(block) * kBlockBytes; }

    RelayCounters& counters;
    const int maxReaders;
    const WallClock wallClockMs;

    mutable std::mutex mutex;
    std::condition_variable changed;  // a part or a segment has closed
    // Everything below is guarded by mutex. A block's bytes are written only
    // while it belongs to the segment being filled, and read by senders under
    // a lease, after the lock is released.
    std::unique_ptr<uint8_t[]> pool;
    int64_t sizeCutBytes = 0;
    std::vector<int> nextBlock;   // the chain of a segment's blocks; -1 ends it
    std::vector<int> freeBlocks;  // last freed first: its pages are the ones already touched
    std::vector<Segment> records;  // the segments in the ring, and those only readers still hold
    std::vector<int> freeRecords;
    int filling = -1;              // the record being filled
    std::array<int, kSlotCount - 1> listed{};  // records, oldest first
    int listedCount = 0;
    int32_t segmentCounter = 0;  // segments closed since the stream started
    int32_t discontinuitySequence = 0;
    bool leadIn = false;  // segment 0 ran from the join to the stream's first keyframe
    // The segment being filled: the 90 kHz ticks since its first frame start,
    // once it has one (segmentTimed); whether a random-access frame starts in
    // it; how many closed segments in a row had none; the stream's frame
    // period, as last measured.
    int64_t segmentTicks = 0;
    int64_t partTicks = 0;  // since the first frame start of the part being filled
    bool partIndependent = false;
    bool segmentTimed = false;
    bool segmentRandomAccess = false;
    int32_t keyframelessSegments = 0;
    int64_t framePeriodTicks = kDefaultFramePeriodTicks;
};
