#include "web/web_server.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "log/fault_log.h"
#include "log/log.h"
#include "web/protocol.h"
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
    LogFault(Fault::kWebServerMessage, "%s\n", Printable(message).c_str());
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

}  // namespace

// Every path no other handler takes. Returning 0 hands a safe file to the
// server's own static service (HEAD, ranges, ETags, MIME types); anything
// else is answered here, before the server opens, runs or lists it.
int WebServer::HandleStaticRequest(mg_connection* conn, void* server) {
    const char* uri = mg_get_request_info(conn)->local_uri;
    std::string target = uri ? uri : "";
    PathFacts facts = InspectPath(target);
    // A folder is answered with its index file (after a redirect to the slash).
    if (facts.directory && target.ends_with('/')) {
        target += kIndexFile;
        facts = InspectPath(target);
    }
    if (IsServable(target, facts, static_cast<WebServer*>(server)->workingFolder)) return 0;
    mg_send_http_error(conn, 404, "%s", kNotFoundText);
    return 1;
}

bool WebServer::Start(std::span<const WebRoute> routes, const WebSocketHandlers& control) {
    Log("Starting web server\n");
    char folder[PATH_MAX];
    if (!realpath(".", folder)) {
        Log("StartWebServer:: realpath of the working folder failed, %s\n", ErrorText(errno).c_str());
        return false;
    }
    workingFolder = folder;

    const std::string ports = std::to_string(kHttpPort) + "," + std::to_string(kAltHttpPort);
    const std::string workers = std::to_string(kWorkerThreads);
    const std::string timeoutMs = std::to_string(kRequestTimeoutMs);
    const char* options[] = {
        "document_root", ".",
        "listening_ports", ports.c_str(),
        "num_threads", workers.c_str(),
        "request_timeout_ms", timeoutMs.c_str(),
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
        return false;
    }
    for (const WebRoute& route : routes) mg_set_request_handler(context, route.pattern, route.handler, route.data);
    // Last: the server tries handlers in the order they were set.
    mg_set_request_handler(context, "**", HandleStaticRequest, this);
    subprotocolList[0] = kSubprotocol;
    subprotocols = {1, subprotocolList};
    mg_set_websocket_handler_with_subprotocols(context, "/", &subprotocols, control.connect, control.ready,
                                               control.data, control.close, control.handlerData);

    mg_server_port records[kMaxPortRecords]{};
    const int portCount = mg_get_server_ports(context, kMaxPortRecords, records);
    Log("Server has %i listening ports:\n", portCount);
    for (int i = 0; i < portCount && i < kMaxPortRecords; i++) {
        if (records[i].protocol & 1) {
            Log("Browse files at %s://%s:%i/\n", records[i].is_ssl ? "https" : "http", "127.0.0.1", records[i].port);
        }
    }
    return true;
}
