// Fault lines that a bad source or a hostile client can repeat thousands of
// times a second. The first of a kind is written as it is; the rest are
// counted, and at most one line a second per kind says how many more there
// were, so a flood cannot rotate the log's history away.
#pragma once

#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdint>

#include "log/log.h"

enum class Fault {
    kNoStartCode,        // a received packet without its sync byte
    kUnevenDatagram,     // a received datagram that is not whole packets
    kDiscontinuity,      // a break in the received video continuity counters
    kRtpSequenceGap,     // a gap in a received RTP stream's sequence numbers
    kSegmentOverflow,    // the segment pool full: a segment cut early, or bytes lost
    kPoolGivenBack,      // the segment pool full: the oldest segment given back early
    kSentNoStartCode,    // the same checks on what a response sends
    kSentDiscontinuity,
    kSendError,
    kSegmentNotFound,
    kWebServerMessage,   // whatever the web library reports
    kSecondController,   // a WebSocket that would take over a running stream
    kForeignController,  // a WebSocket from an address not allowed to control
    kBadSection,        // a table section whose CRC-32 fails
    kNoFrameStarts,     // the cut PID has gone a second without a frame start
    kCount,
};

inline constexpr int64_t kFaultSummaryIntervalMs = 1000;

// One kind's count, lock-free: the receive thread never waits to count.
class FaultCount {
public:
    struct Line {
        bool due = false;    // write a line now
        uint32_t more = 0;   // 0: the fault's own text; else a summary of this many
        int64_t sinceMs = 0;  // since the last line of the kind
    };
    Line Count(int64_t nowMs);  // at each fault
    Line Flush(int64_t nowMs);  // once a second, so a burst's tail is written

private:
    std::atomic<int64_t> lineAtMs{INT64_MIN / 2};
    std::atomic<uint32_t> pending{0};
};

// The counts of every kind, written to one log.
class FaultLog {
public:
    explicit FaultLog(LogFile& log) : log(log) {}
    void Report(Fault kind, int64_t nowMs, const char* format, va_list args);
    void Flush(int64_t nowMs);

private:
    void WriteSummary(Fault kind, const FaultCount::Line& line);

    LogFile& log;
    std::array<FaultCount, static_cast<size_t>(Fault::kCount)> counts;
};

// The process log's fault lines, timed by the coarse monotonic clock: neither
// allocates nor locks unless a line is written.
void LogFault(Fault kind, const char* format, ...) __attribute__((format(printf, 2, 3)));
void FlushFaultLog();
