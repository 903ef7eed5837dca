#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"
#include "web/static_path.h"

namespace {

constexpr int kMaxPortRecords = 32;
constexpr char kBindFailure[] = "cannot bind to";
constexpr char kIndexFile[] = "index.html";

int LogWebServerMessage(const mg_connection*, const char* message) {
    // A relay that cannot own its ports is useless; the server would only
    // report the failure and carry on without them.
    if (strncmp(message, kBindFailure, strlen(kBindFailure)) == 0) {
        Log("%s\n", Printable(message).c_str());
        FlushLogAndExit(0);
    }
    // A client can make the library complain once per request, with its URL.
    LogFault(Fault::WebServerMessage, "%s\n", Printable(message).c_str());
    return 1;
}

// The file the server would send for a request path, as stat and realpath see it.
PathFacts InspectPath(const std::string& uri) {
    const std::string path = "." + uri;
    PathFacts facts;
    struct stat status;
    char real[PATH_MAX];
    if (stat(path.c_str(), &status) != 0 || !realpath(path.c_str(), real)) return facts;
    facts.found = true;
    facts.regular = S_ISREG(status.st_mode);
    facts.directory = S_ISDIR(status.st_mode);
    facts.realPath = real;
    return facts;
}

int OnPlaylistRequest(mg_connection* conn, void*) { return relay.HandlePlaylistRequest(conn); }
int OnSegmentRequest(mg_connection* conn, void*) { return relay.HandleSegmentRequest(conn); }
int OnRelayReadyRequest(mg_connection* conn, void*) { return relay.HandleRelayReadyRequest(conn); }
int OnStaticRequest(mg_connection* conn, void*) { return relay.HandleStaticRequest(conn); }
int OnMetricsRequest(mg_connection* conn, void*) { return relay.HandleMetricsRequest(conn); }
int OnWebsocketConnect(const mg_connection* conn, void*) { return relay.WebsocketConnect(conn); }
void OnWebsocketReady(mg_connection* conn, void*) { relay.WebsocketReady(conn); }
int OnWebsocketData(mg_connection* conn, int bits, char* data, size_t length, void*) {
    return relay.WebsocketData(conn, bits, data, length);
}
void OnWebsocketClose(const mg_connection* conn, void*) { relay.WebsocketClose(conn); }

}  // namespace

// Every path no other handler takes. Returning 0 hands a safe file to the
// server's own static service (HEAD, ranges, ETags, MIME types); anything
// else is answered here, before the server opens, runs or lists it.
int Quillbrook::HandleStaticRequest(mg_connection* conn) {
    const char* uri = mg_get_request_info(conn)->local_uri;
    std::string target = uri ? uri : "";
    PathFacts facts = InspectPath(target);
    // A folder is answered with its index file (after a redirect to the slash).
    if (facts.directory && target.ends_with('/')) {
        target += kIndexFile;
        facts = InspectPath(target);
    }
    if (IsServable(target, facts, workingFolder)) return 0;
    mg_send_http_error(conn, 404, "%s", kNotFoundText);
    return 1;
}

int Quillbrook::StartWebServer() {
    Log("Starting web server\n");
    wsConn = nullptr;
    dumpRequested = 0;
    char folder[PATH_MAX];
    if (!realpath(".", folder)) {
        Log("StartWebServer:: realpath of the working folder failed, %s\n", ErrorText(errno).c_str());
        return 1;
    }
    workingFolder = folder;

    const std::string workers = std::to_string(kWorkerThreads);
    const char* options[] = {
        "document_root", ".",
        "listening_ports", "8154,8155",
        "num_threads", workers.c_str(),
        "request_timeout_ms", "10000",
        "enable_auth_domain_check", "no",
        "enable_directory_listing", "no",
        // CivetWeb 1.15 matches no file against an empty pattern: nothing runs.
        "cgi_pattern", "",
        "ssi_pattern", "",
        "index_files", kIndexFile,
        "additional_header", "Access-Control-Allow-Origin: *",
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.log_message = LogWebServerMessage;
    mg_context* context = mg_start(&callbacks, nullptr, options);
    if (!context) {
        Log("Cannot start CivetWeb - mg_start failed.\n");
        return 1;
    }
    mg_set_request_handler(context, "/hlsMcast.m3u8$", OnPlaylistRequest, nullptr);
    mg_set_request_handler(context, "/*.ts$", OnSegmentRequest, nullptr);
    mg_set_request_handler(context, "/relayReady$", OnRelayReadyRequest, nullptr);
    mg_set_request_handler(context, "/metrics$", OnMetricsRequest, nullptr);
    // Last: the server tries handlers in the order they were set.
    mg_set_request_handler(context, "**", OnStaticRequest, nullptr);
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
