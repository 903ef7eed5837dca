#include "web/control_channel.h"

#include <cstring>

#include "log/fault_log.h"
#include "log/log.h"
#include "web/protocol.h"

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

ControlChannel& ChannelOf(void* data) { return *static_cast<ControlChannel*>(data); }

// The handshake is refused with a status of its own, so the client can say
// which refusal it met. The server sends nothing for a refused handshake and
// calls no further handler; its error reply would come without a status line
// here, since it takes the upgrade as under way, so the answer is written out.
void Refuse(const mg_connection* conn, int status, const char* statusText, const char* reason) {
    mg_printf(const_cast<mg_connection*>(conn),
              "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %zu\r\n"
              "Access-Control-Allow-Origin: *\r\nConnection: close\r\n\r\n%s",
              status, statusText, strlen(reason), reason);
}

}  // namespace

WebSocketHandlers ControlChannel::Handlers() {
    return {
        [](const mg_connection* conn, void* data) { return ChannelOf(data).Connect(conn); },
        [](mg_connection* conn, void* data) { ChannelOf(data).Ready(conn); },
        [](mg_connection*, int bits, char* payload, size_t length, void* data) {
            return ChannelOf(data).Data(bits, payload, length);
        },
        [](const mg_connection*, void* data) { ChannelOf(data).Close(); },
        this,
    };
}

int ControlChannel::Connect(const mg_connection* conn) {
    // Refused before anything is touched: the server calls no close handler
    // for a refused handshake, so the relay and its stream carry on. Any host
    // may ask as often as it likes, so refusals are counted, not each logged.
    const mg_request_info* request = mg_get_request_info(conn);
    const char* peer = request ? request->remote_addr : "";
    if (controlFrom && !AddressAllowed(*controlFrom, peer)) {
        LogFault(Fault::kForeignController, "ERROR: Websocket connection from %s refused: not in %s\n", peer,
                 kControlFromVariable);
        Refuse(conn, kControlForbiddenStatus, "Forbidden", "This host may not control the relay");
        return 1;
    }
    if (streamDescribed) {
        LogFault(Fault::kSecondController, "ERROR: Websocket connection received, but one already exists\n");
        Refuse(conn, kControlTakenStatus, "Conflict", "The relay already serves a stream for another client");
        return 1;
    }
    wsConn = const_cast<mg_connection*>(conn);
    Log("Websocket connection received\n");
    return 0;
}

void ControlChannel::Ready(mg_connection* conn) {
    mg_websocket_write(conn, MG_WEBSOCKET_OPCODE_TEXT, kRelayVersion, strlen(kRelayVersion));
    Log("Websocket sent version string %s\n", kRelayVersion);
}

int ControlChannel::Data(int bits, const char* data, size_t length) {
    const int opcode = bits & 0x0F;
    if (opcode == MG_WEBSOCKET_OPCODE_TEXT) {
        const StreamDescription description = ParseStreamDescription(data, length);
        if (description.kind == DescriptionKind::kBadSource) {
            Log("Websocket received bad source address %s; nothing started\n",
                Printable(description.sourceText).c_str());
        } else if (description.kind == DescriptionKind::kBadGroup) {
            Log("Websocket received bad mcast group address %s; nothing started\n",
                Printable(description.groupText).c_str());
        } else if (description.kind == DescriptionKind::kBadPort) {
            Log("Websocket received bad port %s; nothing started\n", Printable(description.portText).c_str());
        } else if (description.kind == DescriptionKind::kBadPid) {
            Log("Websocket received bad video PID %s; nothing started\n", Printable(description.pidText).c_str());
        } else if (description.kind == DescriptionKind::kStream && streamDescribed.exchange(true)) {
            // One ring, one receive thread: a running stream is never replaced.
            Log("Websocket ignored mcast stream info for %s: a stream is already running\n",
                Printable(description.groupText).c_str());
        } else if (description.kind == DescriptionKind::kStream) {
            const MulticastStream& stream = description.stream;
            Log("Websocket received mcast stream info: mcastAddr=%s, port=%d, vidPid(%s)=%x\n",
                Printable(description.groupText).c_str(), stream.port, stream.pidNamed ? "passed-in" : "default",
                stream.videoPid);
            if (stream.source != 0) {
                Log("Websocket received source-specific stream: source=%s\n",
                    Printable(description.sourceText).c_str());
            }
            startStream(stream);
        }
    }
    Log("Websocket got %lu bytes of %s\n", length, OpcodeName(opcode));
    return 1;
}

void ControlChannel::Close() {
    Log("Websocket exited, so are we\n");
    FlushLogAndExit(0);
}
