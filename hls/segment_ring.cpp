#include "hls/segment_ring.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <ctime>
#include <string>

namespace {
constexpr int64_t kBitsPerByte = 8;
}  // namespace

int PoolBlocks(int maxMbits) {
    const int64_t segmentBytes = int64_t{maxMbits} * 1'000'000 / kBitsPerByte * kLongestSegmentMs / 1000;
    const int64_t segmentBlocks = (segmentBytes + kBlockBytes - 1) / kBlockBytes + 1;
    return static_cast<int>(kPoolSegments * segmentBlocks);
}

int64_t SizeCutBytes(int poolBlocks) { return int64_t{poolBlocks / kPoolSegments - 1} * kBlockBytes; }

CutReason CutAtFrameStart(int64_t elapsedTicks, int64_t periodTicks, int64_t segmentBytes, int64_t sizeCutBytes,
                          bool randomAccess, bool keyframesLately, bool firstSegment) {
    if (firstSegment && randomAccess) return CutReason::kKeyframe;
    if (elapsedTicks > kCutDurationMs * kTicksPerMs) {
        if (randomAccess) return CutReason::kKeyframe;
        const bool oneMoreFramePassesLongest = elapsedTicks + periodTicks > kLongestSegmentMs * kTicksPerMs;
        if (!keyframesLately || oneMoreFramePassesLongest) return CutReason::kDuration;
    }
    if (segmentBytes > sizeCutBytes) return CutReason::kSize;
    return CutReason::kNone;
}

bool PartEndsAtFrameStart(int64_t partTicks, int64_t periodTicks, bool randomAccess) {
    const int64_t targetTicks = kPartTargetMs * kTicksPerMs;
    return partTicks + periodTicks > targetTicks || (randomAccess && 2 * partTicks >= targetTicks);
}

namespace {

// A number as the ring writes it: digits only, no leading zero.
std::optional<int32_t> ParseNumber(std::string_view digits) {
    int32_t number = 0;
    const auto [stop, error] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || error != std::errc() || stop != digits.data() + digits.size() || digits[0] == '-' ||
        (digits[0] == '0' && digits.size() > 1)) {
        return std::nullopt;
    }
    return number;
}

}  // namespace

std::optional<SegmentName> ParseSegmentName(std::string_view name) {
    if (!name.starts_with(kSegmentNamePrefix) || !name.ends_with(kSegmentNameSuffix)) return std::nullopt;
    name.remove_prefix(kSegmentNamePrefix.size());
    name.remove_suffix(kSegmentNameSuffix.size());
    const size_t dot = name.find('.');
    const std::optional<int32_t> number = ParseNumber(name.substr(0, dot));
    if (!number) return std::nullopt;
    if (dot == std::string_view::npos) return SegmentName{*number};
    const std::optional<int32_t> part = ParseNumber(name.substr(dot + 1));
    if (!part || *part >= kMaxParts) return std::nullopt;
    return SegmentName{*number, *part};
}

int64_t SegmentRing::SystemWallClockMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

bool SegmentRing::Allocate(int poolBlocks) {
    // Pages are only touched when written: a quieter stream never costs the whole pool.
    std::unique_ptr<uint8_t[]> taken(new (std::nothrow) uint8_t[int64_t{poolBlocks} * kBlockBytes]);
    if (!taken) return false;
    std::lock_guard<std::mutex> hold(mutex);
    pool = std::move(taken);
    sizeCutBytes = SizeCutBytes(poolBlocks);
    nextBlock.assign(poolBlocks, -1);
    freeBlocks.resize(poolBlocks);
    for (int block = 0; block < poolBlocks; block++) freeBlocks[block] = poolBlocks - 1 - block;
    // Each reader holds at most one segment that has left the ring.
    records.assign(kSlotCount + maxReaders, Segment{});
    freeRecords.clear();
    for (int record = static_cast<int>(records.size()) - 1; record >= 0; record--) freeRecords.push_back(record);
    filling = NewRecord();
    return true;
}

AppendResult SegmentRing::Append(const uint8_t* data, int32_t length, const FrameStart* frame) {
    AppendResult result;
    {
        std::lock_guard<std::mutex> hold(mutex);
        Write(data, length, result);
        if (frame) AddFrameStart(*frame, result);
    }
    // Requests held for a part or a segment look again.
    if (result.cut != CutReason::kNone || result.partStarted) changed.notify_all();
    return result;
}

// Called under mutex, after the bytes before the frame are in the segment. A
// cut here, of the segment or of a part, falls before the tables that come
// right before the frame.
void SegmentRing::AddFrameStart(const FrameStart& frame, AppendResult& result) {
    framePeriodTicks = frame.periodTicks;
    const int64_t size = records[filling].size;
    const int32_t carry = static_cast<int32_t>(
        std::min<int64_t>(frame.leadingTableBytes <= kMostLeadingTableBytes ? frame.leadingTableBytes : 0, size));
    // A segment's time runs from its first frame start.
    if (!segmentTimed) {
        segmentTimed = true;
        segmentTicks = partTicks = 0;
        segmentRandomAccess = frame.randomAccess;
        partIndependent = frame.randomAccess && size == carry;
        return;
    }
    const int64_t elapsedTicks = segmentTicks + frame.ticks, partElapsedTicks = partTicks + frame.ticks;
    const CutReason reason =
        frame.clockBreak ? CutReason::kBreak
                         : CutAtFrameStart(elapsedTicks, frame.periodTicks, size, sizeCutBytes, frame.randomAccess,
                                           keyframelessSegments < kKeyframelessSegments,
                                           segmentCounter == 0 && !segmentRandomAccess);
    if (reason != CutReason::kNone) {
        leadIn |= segmentCounter == 0 && !segmentRandomAccess && frame.randomAccess;
        ClosePart(size - carry, partElapsedTicks);
        CloseSegment(elapsedTicks, reason, result, carry);
        if (frame.clockBreak) {
            records[filling].discontinuity = true;
            records[filling].wallMs = wallClockMs();
        }
        segmentTicks = partTicks = 0;
        segmentRandomAccess = partIndependent = frame.randomAccess;
        return;
    }
    segmentTicks = elapsedTicks;
    segmentRandomAccess |= frame.randomAccess;
    if (PartEndsAtFrameStart(partElapsedTicks, frame.periodTicks, frame.randomAccess) &&
        records[filling].parts.count < kMaxParts - 1) {
        ClosePart(size - carry, partElapsedTicks);
        result.partStarted = true;
        partTicks = 0;
        partIndependent = frame.randomAccess;
    } else {
        partTicks = partElapsedTicks;
    }
}

// Called under mutex: the part being filled ends at endByte of the segment.
void SegmentRing::ClosePart(int64_t endByte, int64_t ticks) {
    SegmentParts& parts = records[filling].parts;
    const int64_t startByte = parts.count ? parts.parts[parts.count - 1].endByte : 0;
    if (endByte <= startByte || parts.count == kMaxParts) return;
    parts.parts[parts.count++] = {endByte, DurationMs(ticks), partIndependent};
}

// Called under mutex. The closed segment's last carryBytes begin the next one.
void SegmentRing::CloseSegment(int64_t durationTicks, CutReason reason, AppendResult& result, int32_t carryBytes) {
    counters.CountSegment(reason);
    result.cut = reason;
    keyframelessSegments = segmentRandomAccess ? 0 : keyframelessSegments + 1;
    Segment& closed = records[filling];
    uint8_t carried[kMostLeadingTableBytes];
    if (carryBytes) {
        CopyOut(closed, closed.size - carryBytes, carryBytes, carried);
        Truncate(closed, closed.size - carryBytes);
    }
    closed.durationMs = DurationMs(durationTicks);
    closed.number = segmentCounter++;
    if (listedCount == kSlotCount - 1) GiveBackOldest(result, false);
    listed[listedCount++] = filling;
    filling = NewRecord();
    // A segment begins when the last one ends, by the stream's clock: a
    // program date-time taken afresh from each arrival would jitter against
    // the durations, and players then see holes and overlaps in the timeline.
    // Only a break in the stream's clock (the caller's) starts from the wall clock again.
    records[filling].wallMs = closed.wallMs + closed.durationMs;
    if (carryBytes) Write(carried, carryBytes, result);
}

// Called under mutex: span(data, bytes) for the segment's bytes from start to end, a block at a time.
template <class Span>
void SegmentRing::ForEachSpan(const Segment& segment, int64_t start, int64_t end, Span span) {
    int block = segment.firstBlock;
    for (int64_t skipped = start / kBlockBytes; skipped > 0; skipped--) block = nextBlock[block];
    for (int64_t at = start; at < end; block = nextBlock[block]) {
        const int32_t offset = static_cast<int32_t>(at % kBlockBytes);
        const int32_t bytes = static_cast<int32_t>(std::min<int64_t>(end - at, kBlockBytes - offset));
        span(Block(block) + offset, bytes);
        at += bytes;
    }
}

// Called under mutex: bytes of the segment from offset on.
void SegmentRing::CopyOut(const Segment& segment, int64_t offset, int32_t bytes, uint8_t* out) {
    ForEachSpan(segment, offset, offset + bytes, [&out](const uint8_t* data, int32_t length) {
        memcpy(out, data, length);
        out += length;
    });
}

// Called under mutex: the segment ends at size, and blocks past it go back to the pool.
void SegmentRing::Truncate(Segment& segment, int64_t size) {
    segment.size = size;
    const int64_t keptBlocks = (size + kBlockBytes - 1) / kBlockBytes;
    int last = -1, spare = segment.firstBlock;
    for (int64_t kept = 0; kept < keptBlocks; kept++) last = spare, spare = nextBlock[spare];
    for (int block = spare; block >= 0; block = nextBlock[block]) freeBlocks.push_back(block);
    if (last >= 0) nextBlock[last] = -1;
    segment.lastBlock = last;
    if (last < 0) segment.firstBlock = -1;
}

// Called under mutex.
void SegmentRing::Write(const uint8_t* data, int32_t length, AppendResult& result) {
    // The stream's first packet dates it, not the moment the ring was made ready for it.
    if (records[filling].wallMs == 0 && length > 0) records[filling].wallMs = wallClockMs();
    while (length > 0) {
        Segment& segment = records[filling];
        int32_t used = static_cast<int32_t>(segment.size % kBlockBytes);
        if (segment.lastBlock < 0 || (used == 0 && segment.size > 0)) {
            const int block = TakeBlock(result);
            if (block < 0) {
                result.lostBytes += length;
                return;
            }
            Segment& grown = records[filling];  // TakeBlock may have closed the segment
            if (grown.lastBlock < 0) {
                grown.firstBlock = block;
            } else {
                nextBlock[grown.lastBlock] = block;
            }
            grown.lastBlock = block;
            used = 0;
        }
        Segment& target = records[filling];
        const int32_t bytes = std::min(length, kBlockBytes - used);
        memcpy(Block(target.lastBlock) + used, data, bytes);
        target.size += bytes;
        data += bytes;
        length -= bytes;
    }
}

// Called under mutex. When the pool is empty the oldest segments go first,
// before the ring would let them go; readers still hold them to the end.
int SegmentRing::TakeBlock(AppendResult& result) {
    while (freeBlocks.empty() && listedCount > 0) GiveBackOldest(result, true);
    if (freeBlocks.empty() && records[filling].size > 0) {
        // Readers hold every block the ring has let go: close the segment here,
        // mid-frame, and give it back in turn.
        result.fullAtBytes = static_cast<int32_t>(std::min<int64_t>(records[filling].size, INT32_MAX));
        ClosePart(records[filling].size, partTicks + framePeriodTicks);
        CloseSegment(segmentTicks + framePeriodTicks, CutReason::kOverflow, result);
        segmentTimed = false;
        segmentRandomAccess = partIndependent = false;
        while (freeBlocks.empty() && listedCount > 0) GiveBackOldest(result, true);
    }
    if (freeBlocks.empty()) return -1;
    const int block = freeBlocks.back();
    freeBlocks.pop_back();
    nextBlock[block] = -1;
    return block;
}

// Called under mutex.
void SegmentRing::GiveBackOldest(AppendResult& result, bool early) {
    const int oldest = listed[0];
    std::copy(listed.begin() + 1, listed.begin() + listedCount, listed.begin());
    listedCount--;
    if (early) result.givenBack = records[oldest].number;
    discontinuitySequence += records[oldest].discontinuity;
    records[oldest].inRing = false;
    if (records[oldest].readers == 0) Forget(oldest);
}

// Called under mutex: the segment's blocks and its record are free again.
void SegmentRing::Forget(int record) {
    for (int block = records[record].firstBlock; block >= 0; block = nextBlock[block]) freeBlocks.push_back(block);
    records[record] = Segment{};
    freeRecords.push_back(record);
}

// Called under mutex. The ring holds kSlotCount records and each reader at
// most one more, so one is always free.
int SegmentRing::NewRecord() {
    const int record = freeRecords.back();
    freeRecords.pop_back();
    records[record] = Segment{};
    records[record].inRing = true;
    return record;
}

// The bytes a part holds were written before it closed and are never written
// again, so a part of the segment being filled is read while it grows.
SegmentLease SegmentRing::Lease(std::string_view name) {
    const std::optional<SegmentName> wanted = ParseSegmentName(name);
    if (!wanted) return {};
    std::lock_guard<std::mutex> hold(mutex);
    int record = -1;
    for (int i = 0; i < listedCount; i++) {
        if (records[listed[i]].number == wanted->number) record = listed[i];
    }
    // The segment being filled has parts only.
    if (filling >= 0 && wanted->number == segmentCounter && wanted->part >= 0) record = filling;
    if (record < 0) return {};
    Segment& segment = records[record];
    int64_t start = 0, end = segment.size;
    if (wanted->part >= 0) {
        if (wanted->part >= segment.parts.count) return {};
        start = wanted->part ? segment.parts.parts[wanted->part - 1].endByte : 0;
        end = segment.parts.parts[wanted->part].endByte;
    }
    segment.readers++;
    SegmentLease lease{record, end - start, {}};
    ForEachSpan(segment, start, end,
                [&lease](const uint8_t* data, int32_t bytes) { lease.spans.emplace_back(data, bytes); });
    return lease;
}

// Called under mutex.
bool SegmentRing::Available(int32_t msn, int part) const {
    if (msn < segmentCounter) return true;
    return filling >= 0 && msn == segmentCounter && part >= 0 && part < records[filling].parts.count;
}

bool SegmentRing::WaitFor(int32_t msn, int part, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> hold(mutex);
    return changed.wait_until(hold, deadline, [&] { return Available(msn, part); });
}

void SegmentRing::Release(const SegmentLease& lease) {
    if (lease.record < 0) return;
    std::lock_guard<std::mutex> hold(mutex);
    Segment& segment = records[lease.record];
    if (--segment.readers == 0 && !segment.inRing) Forget(lease.record);
}

RingSnapshot SegmentRing::Snapshot() const {
    RingSnapshot snapshot;
    std::lock_guard<std::mutex> hold(mutex);
    snapshot.segmentsClosed = segmentCounter;
    snapshot.mediaSequence = listedCount ? records[listed[0]].number : segmentCounter;
    snapshot.discontinuitySequence = discontinuitySequence;
    snapshot.leadIn = leadIn;
    const auto copy = [](const Segment& segment) {
        return ClosedSegment{segment.number, segment.durationMs, segment.size, segment.wallMs, segment.discontinuity,
                             segment.parts};
    };
    for (int i = 0; i < listedCount; i++) snapshot.listed[snapshot.count++] = copy(records[listed[i]]);
    if (filling >= 0) {
        snapshot.filling = copy(records[filling]);
        snapshot.filling.number = segmentCounter;
    }
    return snapshot;
}

int SegmentRing::LeasesHeld() const {
    std::lock_guard<std::mutex> hold(mutex);
    int readers = 0;
    for (const Segment& segment : records) readers += segment.readers;
    return readers;
}
