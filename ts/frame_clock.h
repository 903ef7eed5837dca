// Time between video frame starts, from the frames' own decoding times, as
// far as the source's clock can be believed.
#pragma once

#include <cstdint>
#include <optional>

#include "ts/pes_header.h"

inline constexpr int64_t kTicksPerMs = kTimestampHz / 1000;
// Until a stream shows its own: the rate of the relay's own test stream.
inline constexpr int64_t kDefaultFramePeriodTicks = kTimestampHz / 60;
// Frame rates down to 10/s; a longer step is frames lost, not the period.
inline constexpr int64_t kLongestFramePeriodTicks = kTimestampHz / 10;
// Past this a step forward is a source restarting or looping, not time passing.
inline constexpr int64_t kLongestFrameStepTicks = 3 * kTimestampHz;

// What the ring needs to know at a video frame start.
struct FrameStart {
    int64_t ticks;        // 90 kHz since the previous frame start
    int64_t periodTicks;  // the stream's frame period, as last measured
    bool randomAccess;
    // Bytes of tables (PAT, PMT) right before the frame, which a segment cut
    // here begins with: a player starting there needs them first.
    int32_t leadingTableBytes = 0;
    // The frame's time broke from the last one's: the source restarted or looped.
    bool clockBreak = false;
};

struct FrameClock {
    bool started = false;
    bool broke = false;  // the last frame's time jumped: a step back, or forward past kLongestFrameStepTicks
    std::optional<int64_t> previousTicks;  // the previous frame's decoding time, when known
    int64_t periodTicks = kDefaultFramePeriodTicks;
};

// Ticks from the previous frame start to this one: 0 for the first; the step
// in decoding time (33-bit wrap included) when it is forward and at most
// kLongestFrameStepTicks; otherwise, as when the time is missing, one period.
int64_t AdvanceFrameClock(FrameClock& clock, std::optional<int64_t> decodeTicks);
