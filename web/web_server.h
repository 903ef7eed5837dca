// The embedded web server: the relay's routes, the WebSocket control channel
// at any path, and the working folder's files where they are safe to send.
#pragma once

#include <civetweb.h>

#include <span>
#include <string>

// A web server worker serves one connection for its whole life, so idle and
// slow-header connections use workers up until the request time-out; reopened
// at once, they hold them for good. 64 keep viewers served while dozens are
// held.
inline constexpr int kWorkerThreads = 64;
inline constexpr int kRequestTimeoutMs = 10'000;

struct WebRoute {
    const char* pattern;  // the server's own pattern syntax, e.g. "/*.ts$"
    mg_request_handler handler;
    void* data;
};

struct WebSocketHandlers {
    mg_websocket_connect_handler connect;
    mg_websocket_ready_handler ready;
    mg_websocket_data_handler data;
    mg_websocket_close_handler close;
    void* handlerData;
};

class WebServer {
public:
    // Listens on kHttpPort and kAltHttpPort and logs them. Ends the process
    // when a port cannot be bound; false, logged, when the server does not
    // start for any other reason.
    bool Start(std::span<const WebRoute> routes, const WebSocketHandlers& control);

private:
    static int HandleStaticRequest(mg_connection* conn, void* server);

    // Written by Start before the server runs; read-only afterwards.
    std::string workingFolder;  // realpath of the folder served
    // The server keeps a pointer to these for its whole life.
    const char* subprotocolList[1] = {nullptr};
    mg_websocket_subprotocols subprotocols{};
};
