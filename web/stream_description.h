// The client's one message: "[SOURCE@]GROUP:PORT[:PID]", PID in hexadecimal.
// The relay and quillbrook-client both read it here, so they never disagree
// about what a valid source, port or PID is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

inline constexpr int kDefaultVideoPid = 0x100;
// 0x1FFF carries null packets, never a program's video.
inline constexpr int kMaxVideoPid = 0x1FFE;

enum class DescriptionKind {
    kNotADescription,  // fewer than two fields
    kBadSource,        // text before an '@' that is not a unicast IPv4 address
    kBadGroup,         // the group field is not dotted-quad IPv4 text
    kBadPort,          // the port is not decimal 1 to 65535
    kBadPid,           // a third field that is not hexadecimal 0 to 1ffe
    kStream,
};

// The stream a client asks for, as the ingest takes it.
struct MulticastStream {
    uint32_t group = 0;  // network byte order
    uint32_t source = 0;  // network byte order; 0: any source
    int32_t port = 0;
    int32_t videoPid = kDefaultVideoPid;
    bool pidNamed = false;  // false: the default applies
};

struct StreamDescription {
    DescriptionKind kind = DescriptionKind::kNotADescription;
    size_t fieldCount = 0;
    std::string sourceText;  // the fields as received; the first splits at its first '@'
    std::string groupText;
    std::string portText;
    std::string pidText;
    MulticastStream stream;  // whole when kind is kStream; source and group set from kBadPort on
};

// payload: a text frame's bytes; the text ends at the first NUL, if any.
// Only exactly three fields pass a PID; with four the default applies. A first
// field with an '@' names the one source to take the group from; the source
// is checked first, so a bad one starts nothing whatever follows.
StreamDescription ParseStreamDescription(const char* payload, size_t length);

// Decimal digits only; leading zeros are still decimal ("05000" is 5000).
std::optional<int32_t> ParsePortField(std::string_view field);
// Hexadecimal digits after an optional 0x or 0X.
std::optional<int32_t> ParsePidField(std::string_view field);
