#include "client/control_socket.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <random>

#include "web/protocol.h"

namespace {

constexpr int kOpcodeText = 0x1;
constexpr int kOpcodeClose = 0x8;
constexpr uint8_t kFinalFrame = 0x80;
constexpr uint8_t kMasked = 0x80;
constexpr size_t kKeyBytes = 16;
constexpr size_t kMaxAnswerBytes = 8192;
// The relay sends its version and nothing else; a bigger frame is not the relay.
constexpr uint64_t kMaxFrameBytes = 65536;
constexpr char kCloseNormal[] = "\x03\xe8";  // status 1000, big-endian

std::string Base64(const uint8_t* bytes, size_t length) {
    static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    for (size_t i = 0; i < length; i += 3) {
        const size_t left = length - i;
        const uint32_t group = bytes[i] << 16 | (left > 1 ? bytes[i + 1] << 8 : 0) | (left > 2 ? bytes[i + 2] : 0);
        for (size_t digit = 0; digit < 4; digit++) {
            text += digit <= left ? kDigits[group >> (18 - 6 * digit) & 0x3F] : '=';
        }
    }
    return text;
}

}  // namespace

ControlSocket::~ControlSocket() {
    if (fd >= 0) close(fd);
}

bool ControlSocket::Connect(const std::string& host, int port, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); status != 0) {
        error = gai_strerror(status);
        return false;
    }
    fd = socket(AF_INET, SOCK_STREAM, 0);
    const bool connected = fd >= 0 && connect(fd, found->ai_addr, found->ai_addrlen) == 0;
    if (!connected) error = std::strerror(errno);
    freeaddrinfo(found);
    return connected;
}

int ControlSocket::Upgrade(const std::string& host, int port) {
    uint8_t nonce[kKeyBytes];
    std::random_device random;
    for (uint8_t& byte : nonce) byte = static_cast<uint8_t>(random());
    const std::string request = "GET / HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                                "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " +
                                Base64(nonce, kKeyBytes) + "\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: " +
                                kSubprotocol + "\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) return 0;
    size_t headersEnd;
    while ((headersEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        char chunk[1024];
        const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0 || pending.size() > kMaxAnswerBytes) return 0;
        pending.append(chunk, got);
    }
    // "HTTP/1.1 101 Switching Protocols"
    const size_t space = pending.find(' ');
    const int status = space < headersEnd ? std::atoi(pending.c_str() + space + 1) : 0;
    pending.erase(0, headersEnd + 4);
    return status;
}

bool ControlSocket::SendText(std::string_view text) { return Send(kOpcodeText, text); }

bool ControlSocket::SendClose() { return Send(kOpcodeClose, {kCloseNormal, sizeof kCloseNormal - 1}); }

// A client masks every frame it sends (RFC 6455, 5.3).
bool ControlSocket::Send(int opcode, std::string_view payload) {
    std::string frame(1, static_cast<char>(kFinalFrame | opcode));
    if (payload.size() < 126) {
        frame += static_cast<char>(kMasked | payload.size());
    } else {
        frame += static_cast<char>(kMasked | 126);
        frame += static_cast<char>(payload.size() >> 8);
        frame += static_cast<char>(payload.size());
    }
    std::random_device random;
    const uint32_t key = random();
    const char mask[4] = {static_cast<char>(key >> 24), static_cast<char>(key >> 16), static_cast<char>(key >> 8),
                          static_cast<char>(key)};
    frame.append(mask, 4);
    for (size_t i = 0; i < payload.size(); i++) frame += static_cast<char>(payload[i] ^ mask[i % 4]);
    return send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(frame.size());
}

bool ControlSocket::ReadExactly(void* buffer, size_t length) {
    auto* at = static_cast<char*>(buffer);
    const size_t buffered = std::min(length, pending.size());
    memcpy(at, pending.data(), buffered);
    pending.erase(0, buffered);
    for (size_t done = buffered; done < length;) {
        const ssize_t got = recv(fd, at + done, length - done, 0);
        if (got <= 0) return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

// A server never masks its frames (RFC 6455, 5.1).
bool ControlSocket::ReadText(std::string& text) {
    for (;;) {
        uint8_t head[2];
        if (!ReadExactly(head, sizeof head)) return false;
        uint64_t length = head[1] & 0x7F;
        if (length >= 126) {
            uint8_t extended[8];
            const size_t bytes = length == 126 ? 2 : 8;
            if (!ReadExactly(extended, bytes)) return false;
            length = 0;
            for (size_t i = 0; i < bytes; i++) length = length << 8 | extended[i];
        }
        if (length > kMaxFrameBytes || head[1] & kMasked) return false;
        std::string payload(length, '\0');
        if (!ReadExactly(payload.data(), payload.size())) return false;
        const int opcode = head[0] & 0x0F;
        if (opcode == kOpcodeClose) return false;
        if (opcode == kOpcodeText) {
            text = std::move(payload);
            return true;
        }
    }
}

void ControlSocket::Shutdown() {
    if (fd >= 0) shutdown(fd, SHUT_RDWR);
}
