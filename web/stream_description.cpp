#include "web/stream_description.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <vector>

#include "web/tokenize.h"

namespace {

constexpr int32_t kMaxPort = 65535;

// from_chars would take a minus sign for a signed type; unsigned takes digits only.
std::optional<int32_t> ParseUnsigned(std::string_view text, int base, int32_t low, int32_t high) {
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end || value < static_cast<uint32_t>(low) ||
        value > static_cast<uint32_t>(high)) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

// A source-specific join names the one host that sends. 0.0.0.0 would read as
// "any source", and no datagram ever comes from a multicast (224/4) or
// reserved (240/4, the broadcast address among them) address.
std::optional<uint32_t> ParseSourceField(const std::string& field) {
    in_addr source{};
    if (inet_pton(AF_INET, field.c_str(), &source) != 1) return std::nullopt;
    const uint32_t host = ntohl(source.s_addr);
    if (host == INADDR_ANY || IN_MULTICAST(host) || IN_BADCLASS(host)) return std::nullopt;
    return source.s_addr;
}

}  // namespace

std::optional<int32_t> ParsePortField(std::string_view field) { return ParseUnsigned(field, 10, 1, kMaxPort); }

std::optional<int32_t> ParsePidField(std::string_view field) {
    if (field.starts_with("0x") || field.starts_with("0X")) field.remove_prefix(2);
    return ParseUnsigned(field, 16, 0, kMaxVideoPid);
}

StreamDescription ParseStreamDescription(const char* payload, size_t length) {
    const std::string text(payload, payload ? strnlen(payload, length) : 0);
    std::vector<std::string> fields;
    Tokenize(fields, text, ":");
    StreamDescription description;
    description.fieldCount = fields.size();
    if (fields.size() < 2) return description;
    const size_t at = fields[0].find('@');
    description.groupText = fields[0].substr(at == std::string::npos ? 0 : at + 1);
    description.portText = fields[1];
    description.stream.pidNamed = fields.size() == 3;
    if (description.stream.pidNamed) description.pidText = fields[2];

    if (at != std::string::npos) {
        description.sourceText = fields[0].substr(0, at);
        const std::optional<uint32_t> source = ParseSourceField(description.sourceText);
        if (!source) {
            description.kind = DescriptionKind::kBadSource;
            return description;
        }
        description.stream.source = *source;
    }
    in_addr group{};
    if (inet_pton(AF_INET, description.groupText.c_str(), &group) != 1) {
        description.kind = DescriptionKind::kBadGroup;
        return description;
    }
    description.stream.group = group.s_addr;
    const std::optional<int32_t> port = ParsePortField(description.portText);
    if (!port) {
        description.kind = DescriptionKind::kBadPort;
        return description;
    }
    const std::optional<int32_t> pid =
        description.stream.pidNamed ? ParsePidField(description.pidText) : std::optional<int32_t>(kDefaultVideoPid);
    if (!pid) {
        description.kind = DescriptionKind::kBadPid;
        return description;
    }
    description.kind = DescriptionKind::kStream;
    description.stream.port = *port;
    description.stream.videoPid = *pid;
    return description;
}
