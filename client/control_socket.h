// The client's end of the control channel: a WebSocket (RFC 6455) over one
// TCP connection. CivetWeb's own client hides the status of a refused
// handshake, and that status says why the relay refused: this host may not
// control it, or another client already does.
#pragma once

#include <string>
#include <string_view>

class ControlSocket {
public:
    ControlSocket() = default;
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;
    ~ControlSocket();

    // False, with the reason, when nothing accepts the connection.
    bool Connect(const std::string& host, int port, std::string& error);
    // Asks for the upgrade to the control protocol: the HTTP status of the
    // answer (101: accepted), or 0 when none could be read.
    int Upgrade(const std::string& host, int port);
    bool SendText(std::string_view text);
    bool SendClose();
    // The relay's next text frame; false once it has closed the connection.
    bool ReadText(std::string& text);
    // Ends the connection under a reader blocked in ReadText.
    void Shutdown();

private:
    bool Send(int opcode, std::string_view payload);
    bool ReadExactly(void* buffer, size_t length);

    int fd = -1;
    std::string pending;  // bytes that came after the upgrade's answer
};
