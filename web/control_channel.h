// The WebSocket control channel: the relay's life is bound to its client,
// which describes the one stream the relay carries.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <vector>

#include "web/control_access.h"
#include "web/stream_description.h"
#include "web/web_server.h"

class ControlChannel {
public:
    using StreamStarter = std::function<void(const MulticastStream&)>;

    // controlFrom: who may connect (absent: anyone). startStream runs on the
    // web server worker that delivers the description, once per relay.
    ControlChannel(std::optional<std::vector<AddressBlock>> controlFrom, StreamStarter startStream)
        : controlFrom(std::move(controlFrom)), startStream(std::move(startStream)) {}

    // The callbacks to register, with this channel as their data.
    WebSocketHandlers Handlers();
    // Whether a client has been accepted; from then on the relay lives as long as it.
    bool Connected() const { return wsConn.load() != nullptr; }

private:
    int Connect(const mg_connection* conn);
    void Ready(mg_connection* conn);
    int Data(int bits, const char* data, size_t length);
    [[noreturn]] void Close();

    // Read-only after construction.
    const std::optional<std::vector<AddressBlock>> controlFrom;
    const StreamStarter startStream;
    // Written by whichever worker runs a callback.
    std::atomic<mg_connection*> wsConn{nullptr};  // the last accepted connection
    std::atomic<bool> streamDescribed{false};     // once set, new clients are refused
};
