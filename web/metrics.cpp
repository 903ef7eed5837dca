#include "web/metrics.h"

#include <civetweb.h>

#include <cinttypes>
#include <cstdio>
#include <iterator>

namespace {

const char* const kEndpointNames[] = {"playlist", "ll_playlist", "segment", "part", "metrics"};
const char* const kStatusCodes[] = {"200", "404", "other"};
const char* const kCutReasonNames[] = {"duration", "keyframe", "size", "break", "overflow"};
static_assert(std::size(kCutReasonNames) == kCutReasons);

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, uint64_t value) {
    char number[24];
    snprintf(number, sizeof number, " %" PRIu64 "\n", value);
    out += name;
    if (!labels.empty()) out += "{" + labels + "}";
    out += number;
}

// Label values escaped as the exposition format wants them.
std::string Label(const char* name, const std::string& value) {
    std::string text = std::string(name) + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"') text += '\\';
        text += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return text + "\"";
}

std::string PidLabel(int pid) {
    char text[16] = "";
    if (pid >= 0) snprintf(text, sizeof text, "0x%x", pid);
    return text;
}

std::string StreamLabels(const StreamInfo& info) {
    return Label("program", std::to_string(info.program)) + "," + Label("service", info.serviceName) + "," +
           Label("video_pid", PidLabel(info.videoPid)) + "," + Label("video_codec", info.videoCodec) + "," +
           Label("audio_pid", PidLabel(info.audioPid)) + "," + Label("audio_codec", info.audioCodec);
}

void Counter(std::string& out, const char* name, const char* help, uint64_t value) {
    Family(out, name, "counter", help);
    Sample(out, name, "", value);
}

}  // namespace

std::string FormatMetrics(const CounterSnapshot& m, const StreamState& state) {
    std::string out;
    Counter(out, "quillbrook_datagrams_received_total", "Datagrams read from the multicast socket.",
            m.datagramsReceived);
    Counter(out, "quillbrook_received_bytes_total", "Bytes of the datagrams read.", m.receivedBytes);
    Counter(out, "quillbrook_receive_calls_total",
            "System calls that read datagrams; datagrams received over calls is the mean batch.", m.receiveCalls);
    Counter(out, "quillbrook_socket_dropped_datagrams_total",
            "Datagrams the kernel dropped because the socket's receive buffer was full.", state.socketDrops);
    Counter(out, "quillbrook_dropped_bytes_total",
            "Received bytes that reached no segment: partial packets, oversized datagrams, dumped input.",
            m.droppedBytes);
    Counter(out, "quillbrook_continuity_errors_total", "Breaks in the video PID's continuity counter.",
            m.continuityErrors);
    Counter(out, "quillbrook_rtp_sequence_errors_total", "Gaps in RTP sequence numbers.", m.rtpSequenceErrors);
    Counter(out, "quillbrook_table_errors_total", "Program table sections ignored for a bad CRC-32.", m.tableErrors);
    Counter(out, "quillbrook_sync_errors_total", "Transport packets without the 0x47 sync byte.", m.syncErrors);
    Counter(out, "quillbrook_uneven_datagrams_total", "Datagrams that were not whole transport packets.",
            m.unevenDatagrams);
    Family(out, "quillbrook_rtp_input", "gauge", "1 when the stream arrives RTP-wrapped, 0 when plain.");
    Sample(out, "quillbrook_rtp_input", "", m.rtpInput);
    Family(out, "quillbrook_segments_total", "counter", "Segments closed, by what closed them.");
    for (size_t i = 0; i < m.segments.size(); i++) {
        Sample(out, "quillbrook_segments_total", std::string("reason=\"") + kCutReasonNames[i] + "\"", m.segments[i]);
    }
    Family(out, "quillbrook_http_requests_total", "counter", "Requests answered, by endpoint and status code.");
    for (size_t e = 0; e < m.requests.size(); e++) {
        for (size_t c = 0; c < m.requests[e].size(); c++) {
            Sample(out, "quillbrook_http_requests_total",
                   std::string("endpoint=\"") + kEndpointNames[e] + "\",code=\"" + kStatusCodes[c] + "\"",
                   m.requests[e][c]);
        }
    }
    Family(out, "quillbrook_served_bytes_total", "counter", "Response body bytes sent, by endpoint.");
    for (size_t e = 0; e < m.servedBytes.size(); e++) {
        Sample(out, "quillbrook_served_bytes_total", std::string("endpoint=\"") + kEndpointNames[e] + "\"",
               m.servedBytes[e]);
    }
    Family(out, "quillbrook_controller_connected", "gauge", "1 while a control client holds the relay.");
    Sample(out, "quillbrook_controller_connected", "", state.controllerConnected);
    if (state.info.program) {
        Family(out, "quillbrook_stream_info", "gauge", "The program served, as the stream's tables give it.");
        Sample(out, "quillbrook_stream_info", StreamLabels(state.info), 1);
    }
    return out;
}

int HandleMetricsRequest(mg_connection* conn, void* data) {
    const MetricsSource& source = *static_cast<const MetricsSource*>(data);
    const std::string body = FormatMetrics(source.counters.Snapshot(), source.streamState());
    mg_send_http_ok(conn, kMetricsContentType, static_cast<long long>(body.size()));
    mg_write(conn, body.data(), body.size());
    source.counters.CountRequest(Endpoint::kMetrics, 200, body.size());
    return 1;
}
