#include "ts/frame_clock.h"

int64_t AdvanceFrameClock(FrameClock& clock, std::optional<int64_t> decodeTicks) {
    clock.broke = false;
    if (!clock.started) {
        clock.started = true;
        clock.previousTicks = decodeTicks;
        return 0;
    }
    if (decodeTicks && clock.previousTicks) {
        const int64_t stepTicks = (*decodeTicks - *clock.previousTicks) & (kTimestampWrap - 1);
        if (stepTicks > 0 && stepTicks <= kLongestFrameStepTicks) {
            if (stepTicks <= kLongestFramePeriodTicks) clock.periodTicks = stepTicks;
            clock.previousTicks = decodeTicks;
            return stepTicks;
        }
        // The same time twice is a muxer's slip; any other step is the source starting over.
        clock.broke = stepTicks != 0;
    }
    // A jump starts the clock again from this frame; a frame without a time is
    // placed one period on, so the next one's step is not counted twice.
    if (decodeTicks) {
        clock.previousTicks = decodeTicks;
    } else if (clock.previousTicks) {
        clock.previousTicks = (*clock.previousTicks + clock.periodTicks) & (kTimestampWrap - 1);
    }
    return clock.periodTicks;
}
