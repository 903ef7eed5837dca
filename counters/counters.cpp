#include "counters/counters.h"

void RelayCounters::CountRequest(Endpoint endpoint, int status, uint64_t bytes) {
    const HttpStatus code = status == 200   ? HttpStatus::kOk
                            : status == 404 ? HttpStatus::kNotFound
                                            : HttpStatus::kOther;
    Add(requests[static_cast<size_t>(endpoint)][static_cast<size_t>(code)]);
    Add(servedBytes[static_cast<size_t>(endpoint)], bytes);
}

CounterSnapshot RelayCounters::Snapshot() const {
    const auto load = [](const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); };
    CounterSnapshot s;
    s.datagramsReceived = load(datagramsReceived);
    s.receivedBytes = load(receivedBytes);
    s.droppedBytes = load(droppedBytes);
    s.receiveCalls = load(receiveCalls);
    s.continuityErrors = load(continuityErrors);
    s.syncErrors = load(syncErrors);
    s.unevenDatagrams = load(unevenDatagrams);
    s.rtpSequenceErrors = load(rtpSequenceErrors);
    s.tableErrors = load(tableErrors);
    s.rtpInput = load(rtpInput);
    for (size_t i = 0; i < segments.size(); i++) s.segments[i] = load(segments[i]);
    for (size_t e = 0; e < requests.size(); e++) {
        s.servedBytes[e] = load(servedBytes[e]);
        for (size_t c = 0; c < requests[e].size(); c++) s.requests[e][c] = load(requests[e][c]);
    }
    return s;
}
