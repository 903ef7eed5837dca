// The rules that cut the stream into segments, apart from the ring's state.
#pragma once

#include <cstdint>

#include "ingest/frame_clock.h"

inline constexpr int32_t kCutDurationMs = 1800;
// A segment that waits this long for a keyframe closes without one: its
// EXTINF, rounded to whole seconds, must not pass the target duration
// (RFC 8216, 4.3.3.1).
inline constexpr int32_t kLongestSegmentMs = 2450;
inline constexpr int kTargetDurationSeconds = (kLongestSegmentMs + 500) / 1000;
inline constexpr int32_t kCutSegmentBytes = 2'000'000;
// Closed segments in a row without a random-access frame, after which the
// stream is taken to have none the relay can see, and segments are cut as soon
// as they are due rather than held to kLongestSegmentMs.
inline constexpr int32_t kKeyframelessSegments = 2;

// Why a segment closed: CutAtFrameStart gives the first four; kOverflow is the
// ring's own, when a chunk does not fit the slot being filled.
enum class CutReason { kNone, kDuration, kKeyframe, kSize, kOverflow };

// Whole milliseconds, as EXTINF gives them: 109 frames at 60/s are 1816.
inline int32_t DurationMs(int64_t ticks) { return static_cast<int32_t>(ticks / kTicksPerMs); }

// At a video frame start, with elapsedTicks from the segment's first frame
// start to this one: once the segment is due (over kCutDurationMs) it closes
// at a random-access frame, or without one where one more frame would take it
// past kLongestSegmentMs, or at once when keyframes have not been seen lately;
// and, due or not, once the slot holds more than kCutSegmentBytes.
CutReason CutAtFrameStart(int64_t elapsedTicks, int64_t periodTicks, int32_t segmentBytes, bool randomAccess,
                          bool keyframesLately);
