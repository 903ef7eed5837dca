// The client's one message: "GROUP:PORT[:PID]", PID in hexadecimal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum class DescriptionKind {
    NotADescription,  // fewer than two fields
    BadGroup,         // the group field is not dotted-quad IPv4 text
    Stream,
};

struct StreamDescription {
    DescriptionKind kind = DescriptionKind::NotADescription;
    std::string groupText;  // as received
    uint32_t group = 0;     // network byte order
    int32_t port = 0;
    int32_t vidPid = 0;
    bool pidPassedIn = false;
};

// payload: a text frame's bytes; the text ends at the first NUL, if any.
StreamDescription ParseStreamDescription(const char* payload, size_t length);

// atoi-like: white space, a sign, then decimal digits up to the first other character.
int32_t ParsePortField(const std::string& field);
// Hexadecimal with an optional 0x, clamped to the 32-bit signed range.
int32_t ParsePidField(const std::string& field);
