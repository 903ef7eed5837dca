// "/metrics" in the Prometheus text format: the relay's counters and what a
// scrape reads of the stream's state at that moment.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

struct mg_connection;

#include "counters/counters.h"

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// What a scrape sees besides the counters.
struct StreamState {
    uint64_t socketDrops = 0;  // datagrams the kernel dropped for a full receive buffer
    bool controllerConnected = false;
    StreamInfo info;
};

// The Prometheus text exposition format, version 0.0.4.
std::string FormatMetrics(const CounterSnapshot& counters, const StreamState& state);

struct MetricsSource {
    RelayCounters& counters;
    std::function<StreamState()> streamState;
};

// Registered with a MetricsSource as its data.
int HandleMetricsRequest(mg_connection* conn, void* source);
