#include "log/fault_log.h"

#include <time.h>

#include <iterator>
#include <type_traits>

namespace {

// How a summary names its kind: the fixed words of the kind's own line, so a
// reader searching the log for one finds the other.
constexpr const char* kFaultNames[] = {
    "No start code!",
    "Not even ts pkts!",
    "discontunuity",
    "RTP sequence discontinuity",
    "AppendSegmentData:: segment pool full",
    "AppendSegmentData:: segment pool full; given back early",
    "Ts pkt no start code",
    "TS pkt discontunuityTS",
    "TS pkt send error",
    "Requested TS file not found",
    "Web server message",
    "ERROR: Websocket connection received, but one already exists",
    "ERROR: Websocket connection refused: not in QUILLBROOK_CONTROL_FROM",
    "Table section with a bad CRC-32",
    "No frame starts",
};
static_assert(std::size(kFaultNames) == static_cast<size_t>(Fault::kCount));

// A few milliseconds' resolution is plenty for once a second, and the coarse
// clock is read from the vDSO without a system call.
int64_t CoarseNowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// Trivially destructible, so no exit-time destructor races a late fault.
static_assert(std::is_trivially_destructible_v<FaultLog>);

FaultLog& ProcessFaultLog() {
    static FaultLog faults(ProcessLog());
    return faults;
}

}  // namespace

FaultCount::Line FaultCount::Count(int64_t nowMs) {
    int64_t lastMs = lineAtMs.load(std::memory_order_relaxed);
    // Of threads that find a line due, exactly one moves lineAtMs and writes it.
    if (nowMs - lastMs < kFaultSummaryIntervalMs || !lineAtMs.compare_exchange_strong(lastMs, nowMs)) {
        pending.fetch_add(1, std::memory_order_relaxed);
        return {};
    }
    const uint32_t counted = pending.exchange(0);
    return {true, counted == 0 ? 0 : counted + 1, nowMs - lastMs};
}

FaultCount::Line FaultCount::Flush(int64_t nowMs) {
    int64_t lastMs = lineAtMs.load(std::memory_order_relaxed);
    if (pending.load(std::memory_order_relaxed) == 0 || nowMs - lastMs < kFaultSummaryIntervalMs ||
        !lineAtMs.compare_exchange_strong(lastMs, nowMs)) {
        return {};
    }
    const uint32_t counted = pending.exchange(0);
    return {counted != 0, counted, nowMs - lastMs};
}

void FaultLog::Report(Fault kind, int64_t nowMs, const char* format, va_list args) {
    const FaultCount::Line line = counts[static_cast<size_t>(kind)].Count(nowMs);
    if (!line.due) return;
    if (line.more == 0) {
        WriteLogEntry(log, format, args);
    } else {
        WriteSummary(kind, line);
    }
}

void FaultLog::Flush(int64_t nowMs) {
    for (size_t kind = 0; kind < counts.size(); kind++) {
        const FaultCount::Line line = counts[kind].Flush(nowMs);
        if (line.due) WriteSummary(static_cast<Fault>(kind), line);
    }
}

void FaultLog::WriteSummary(Fault kind, const FaultCount::Line& line) {
    const long long seconds = (line.sinceMs + kFaultSummaryIntervalMs / 2) / 1000;
    LogTo(log, "%s (%u more in the last %lld s)\n", kFaultNames[static_cast<size_t>(kind)], line.more, seconds);
}

void LogFault(Fault kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    ProcessFaultLog().Report(kind, CoarseNowMs(), format, args);
    va_end(args);
}

void FlushFaultLog() { ProcessFaultLog().Flush(CoarseNowMs()); }
