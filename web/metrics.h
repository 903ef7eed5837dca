// What the relay counts for a Prometheus server that scrapes "/metrics".
// Plain 64-bit atomics bumped with relaxed order: the receive path pays one
// uncontended add per count and never allocates; a scrape reads a snapshot.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "hls/segment_ring.h"

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

enum class Endpoint { Playlist, Segment, Metrics, Count };
enum class HttpStatus { Ok, NotFound, Other, Count };
// Segments are counted by every CutReason that closes one.
inline constexpr size_t kCutReasons = static_cast<size_t>(CutReason::kOverflow);

template <class T>
struct MetricValues {
    T datagramsReceived{}, receivedBytes{}, droppedBytes{};
    T continuityErrors{}, syncErrors{}, unevenDatagrams{}, rtpSequenceErrors{};
    T rtpInput{};  // 1 once the stream has come RTP-wrapped
    std::array<T, kCutReasons> segments{};  // by CutReason, kDuration first
    std::array<std::array<T, static_cast<size_t>(HttpStatus::Count)>, static_cast<size_t>(Endpoint::Count)> requests{};
    std::array<T, static_cast<size_t>(Endpoint::Count)> servedBytes{};
};

using MetricsSnapshot = MetricValues<uint64_t>;

struct RelayMetrics : MetricValues<std::atomic<uint64_t>> {
    static void Add(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
        counter.fetch_add(amount, std::memory_order_relaxed);
    }
    void CountRequest(Endpoint endpoint, int status, uint64_t bytes);
    void CountSegment(CutReason reason) { Add(segments[static_cast<size_t>(reason) - 1]); }
    MetricsSnapshot Snapshot() const;
};

// What a scrape sees besides the counters.
struct StreamState {
    uint64_t socketDrops = 0;  // datagrams the kernel dropped for a full receive buffer
    bool controllerConnected = false;
};

// The Prometheus text exposition format, version 0.0.4.
std::string FormatMetrics(const MetricsSnapshot& counters, const StreamState& state);
