#include "web/stream_description.h"

#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "relay/quillbrook.h"
#include "web/tokenize.h"

int32_t ParsePortField(const std::string& field) {
    // Only the low 16 bits are ever used, so wrapping a huge value is harmless.
    return static_cast<int32_t>(strtoll(field.c_str(), nullptr, 10));
}

int32_t ParsePidField(const std::string& field) {
    const long long value = strtoll(field.c_str(), nullptr, 16);
    return static_cast<int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

StreamDescription ParseStreamDescription(const char* payload, size_t length) {
    const std::string text(payload, payload ? strnlen(payload, length) : 0);
    std::vector<std::string> fields;
    Tokenize(fields, text, ":");
    StreamDescription description;
    if (fields.size() < 2) return description;
    description.groupText = fields[0];
    in_addr group{};
    if (inet_pton(AF_INET, fields[0].c_str(), &group) != 1) {
        description.kind = DescriptionKind::BadGroup;
        return description;
    }
    description.kind = DescriptionKind::Stream;
    description.group = group.s_addr;
    description.port = ParsePortField(fields[1]);
    description.pidPassedIn = fields.size() == 3;
    description.vidPid = description.pidPassedIn ? ParsePidField(fields[2]) : kDefaultVideoPid;
    return description;
}
