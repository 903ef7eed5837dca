#include <cstring>

#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"
#include "web/stream_description.h"

namespace {

const char* OpcodeName(int opcode) {
    switch (opcode) {
        case MG_WEBSOCKET_OPCODE_CONTINUATION: return "continuation";
        case MG_WEBSOCKET_OPCODE_TEXT: return "text";
        case MG_WEBSOCKET_OPCODE_BINARY: return "binary";
        case MG_WEBSOCKET_OPCODE_CONNECTION_CLOSE: return "close";
        case MG_WEBSOCKET_OPCODE_PING: return "ping";
        case MG_WEBSOCKET_OPCODE_PONG: return "pong";
        default: return "unknown";
    }
}

}  // namespace

int Quillbrook::WebsocketConnect(const mg_connection* conn) {
    // Refused before anything is touched: the server calls no close handler
    // for a refused handshake, so the relay and its stream carry on. Any host
    // may ask as often as it likes, so refusals are counted, not each logged.
    const mg_request_info* request = mg_get_request_info(conn);
    const char* peer = request ? request->remote_addr : "";
    if (controlFrom && !AddressAllowed(*controlFrom, peer)) {
        LogFault(Fault::ForeignController, "ERROR: Websocket connection from %s refused: not in %s\n", peer,
                 kControlFromVariable);
        return 1;
    }
    if (mcastAddr != 0) {
        LogFault(Fault::SecondController, "ERROR: Websocket connection received, but one already exists\n");
        return 1;
    }
    wsConn = const_cast<mg_connection*>(conn);
    Log("Websocket connection received\n");
    return 0;
}

void Quillbrook::WebsocketReady(mg_connection* conn) {
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, kRelayVersion, strlen(kRelayVersion));
    Log("Websocket sent version string %s\n", kRelayVersion);
}

int Quillbrook::WebsocketData(mg_connection*, int bits, const char* data, size_t length) {
    const int opcode = bits & 0x0F;
    if (opcode == MG_WEBSOCKET_OPCODE_TEXT) {
        const StreamDescription description = ParseStreamDescription(data, length);
        uint32_t noStream = 0;
        if (description.kind == DescriptionKind::BadGroup) {
            Log("Websocket received bad mcast group address %s; nothing started\n",
                Printable(description.groupText).c_str());
        } else if (description.kind == DescriptionKind::BadPort) {
            Log("Websocket received bad port %s; nothing started\n", Printable(description.portText).c_str());
        } else if (description.kind == DescriptionKind::BadPid) {
            Log("Websocket received bad video PID %s; nothing started\n", Printable(description.pidText).c_str());
        } else if (description.kind == DescriptionKind::Stream &&
                   !mcastAddr.compare_exchange_strong(noStream, description.group)) {
            // One ring, one receive thread: a running stream is never replaced.
            Log("Websocket ignored mcast stream info for %s: a stream is already running\n",
                Printable(description.groupText).c_str());
        } else if (description.kind == DescriptionKind::Stream) {
            port = description.port;
            vidPid = description.vidPid;
            Log("Websocket received mcast stream info: mcastAddr=%s, port=%d, vidPid(%s)=%x\n",
                Printable(description.groupText).c_str(), description.port,
                description.pidPassedIn ? "passed-in" : "default", description.vidPid);
            StartMcastReceive();
        }
    }
    Log("Websocket got %lu bytes of %s\n", length, OpcodeName(opcode));
    return 1;
}

void Quillbrook::WebsocketClose(const mg_connection*) {
    Log("Websocket exited, so are we\n");
    FlushLogAndExit(0);
}

void Quillbrook::WebsocketSend() {
    static constexpr char kNothingToSay[] = "nothing to say";
    Log("WebsocketSend\n");
    std::lock_guard<std::mutex> hold(stateMutex);
    if (mg_connection* conn = wsConn) {
        mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, kNothingToSay, strlen(kNothingToSay));
    }
}
