// The rules that cut the stream into segments, apart from the ring's state.
#pragma once

#include <cstdint>

inline constexpr int kFramesPerSecond = 60;
inline constexpr int32_t kCutDurationMs = 1800;
inline constexpr int32_t kCutSegmentBytes = 2'000'000;

// Frames wholly inside the slot at an assumed 60 per second, in whole ms.
int32_t EstimateDurationMs(int32_t frameCount);

// Cut at a frame start once the slot holds more than 1.8 s or 2,000,000 bytes.
bool IsCutDue(int32_t durationMs, int32_t segmentBytes);
