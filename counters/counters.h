// What the relay counts, for a Prometheus server that scrapes "/metrics".
// A leaf: the ingest, the ring and the web side all count here. Plain 64-bit
// atomics bumped with relaxed order: the receive path pays one uncontended
// add per count and never allocates; a scrape reads a snapshot.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// Why a segment closed: the ring decides at a frame start (the first four,
// kBreak where the stream's clock breaks), or when the pool runs dry (kOverflow).
enum class CutReason { kNone, kDuration, kKeyframe, kSize, kBreak, kOverflow };
inline constexpr size_t kCutReasons = static_cast<size_t>(CutReason::kOverflow);

enum class Endpoint { kPlaylist, kLowLatencyPlaylist, kSegment, kPart, kMetrics, kCount };
enum class HttpStatus { kOk, kNotFound, kOther, kCount };

template <class T>
struct CounterValues {
    T datagramsReceived{}, receivedBytes{}, droppedBytes{}, receiveCalls{};
    T continuityErrors{}, syncErrors{}, unevenDatagrams{}, rtpSequenceErrors{}, tableErrors{};
    T rtpInput{};  // 1 once the stream has come RTP-wrapped
    std::array<T, kCutReasons> segments{};  // by CutReason, kDuration first
    using ByStatus = std::array<T, static_cast<size_t>(HttpStatus::kCount)>;
    std::array<ByStatus, static_cast<size_t>(Endpoint::kCount)> requests{};
    std::array<T, static_cast<size_t>(Endpoint::kCount)> servedBytes{};
};

using CounterSnapshot = CounterValues<uint64_t>;

struct RelayCounters : CounterValues<std::atomic<uint64_t>> {
    static void Add(std::atomic<uint64_t>& counter, uint64_t amount = 1) {
        counter.fetch_add(amount, std::memory_order_relaxed);
    }
    // status: the HTTP status answered; bytes: the body bytes sent.
    void CountRequest(Endpoint endpoint, int status, uint64_t bytes);
    void CountSegment(CutReason reason) { Add(segments[static_cast<size_t>(reason) - 1]); }
    CounterSnapshot Snapshot() const;
};

// What the tables say of the program served, for /metrics and the player page.
struct StreamInfo {
    int program = 0;  // 0 while no program is chosen
    std::string serviceName;
    int videoPid = -1, audioPid = -1;
    std::string videoCodec, audioCodec;
};

// Written by the receive thread when the tables change, read by a scrape.
class StreamInfoBoard {
public:
    void Publish(StreamInfo next) {
        std::lock_guard<std::mutex> hold(mutex);
        info = std::move(next);
    }
    StreamInfo Read() const {
        std::lock_guard<std::mutex> hold(mutex);
        return info;
    }

private:
    mutable std::mutex mutex;
    StreamInfo info;  // guarded by mutex
};
