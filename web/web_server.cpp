#include <cstring>

#include "log/log.h"
#include "relay/quillbrook.h"

namespace {

constexpr int kMaxPortRecords = 32;
constexpr char kBindFailure[] = "cannot bind to";

const char* const kServerOptions[] = {
    "document_root", ".",
    "listening_ports", "8154,8155",
    "num_threads", "4",
    "request_timeout_ms", "10000",
    "error_log_file", "error.log",
    "enable_auth_domain_check", "no",
    "enable_directory_listing", "no",
    "additional_header", "Access-Control-Allow-Origin: *",
    nullptr,
};
static_assert(kWorkerThreads == 4, "num_threads above must match kWorkerThreads");

int LogWebServerMessage(const mg_connection*, const char* message) {
    WriteLogText(ProcessLog(), std::string(message) + "\n");
    // A relay that cannot own its ports is useless; the server would only
    // report the failure and carry on without them.
    if (strncmp(message, kBindFailure, strlen(kBindFailure)) == 0) FlushLogAndExit(0);
    return 1;
}

int OnPlaylistRequest(mg_connection* conn, void*) { return relay.HandlePlaylistRequest(conn); }
int OnSegmentRequest(mg_connection* conn, void*) { return relay.HandleSegmentRequest(conn); }
int OnRelayReadyRequest(mg_connection* conn, void*) { return relay.HandleRelayReadyRequest(conn); }
int OnMetricsRequest(mg_connection* conn, void*) { return relay.HandleMetricsRequest(conn); }
int OnWebsocketConnect(const mg_connection* conn, void*) { return relay.WebsocketConnect(conn); }
void OnWebsocketReady(mg_connection* conn, void*) { relay.WebsocketReady(conn); }
int OnWebsocketData(mg_connection* conn, int bits, char* data, size_t length, void*) {
    return relay.WebsocketData(conn, bits, data, length);
}
void OnWebsocketClose(const mg_connection* conn, void*) { relay.WebsocketClose(conn); }

}  // namespace

int Quillbrook::StartWebServer() {
    Log("Starting web server\n");
    wsConn = nullptr;
    dumpRequested = 0;
    sendContCount = 0;
    sendGoodCount = 0;

    mg_callbacks callbacks{};
    callbacks.log_message = LogWebServerMessage;
    mg_context* context = mg_start(&callbacks, nullptr, const_cast<const char**>(kServerOptions));
    if (!context) {
        Log("Cannot start CivetWeb - mg_start failed.\n");
        return 1;
    }
    mg_set_request_handler(context, "/hlsMcast.m3u8$", OnPlaylistRequest, nullptr);
    mg_set_request_handler(context, "/*.ts$", OnSegmentRequest, nullptr);
    mg_set_request_handler(context, "/relayReady$", OnRelayReadyRequest, nullptr);
    mg_set_request_handler(context, "/metrics$", OnMetricsRequest, nullptr);
    // The server keeps a pointer to this record, so it lives in the relay.
    wsSubprotocols.nb_subprotocols = 1;
    wsSubprotocols.subprotocols = new const char*[1]{kSubprotocol};
    mg_set_websocket_handler_with_subprotocols(context, "/", &wsSubprotocols, OnWebsocketConnect,
                                               OnWebsocketReady, OnWebsocketData, OnWebsocketClose, nullptr);

    mg_server_port ports[kMaxPortRecords]{};
    const int portCount = mg_get_server_ports(context, kMaxPortRecords, ports);
    Log("Server has %i listening ports:\n", portCount);
    for (int i = 0; i < portCount && i < kMaxPortRecords; i++) {
        if (ports[i].protocol & 1) {
            Log("Browse files at %s://%s:%i/\n", ports[i].is_ssl ? "https" : "http", "127.0.0.1", ports[i].port);
        }
    }
    return 1;
}
