// The stream description as WebsocketData receives it: a frame payload of any
// bytes, without a terminator.
// Input: the payload itself, so a seed is the message text.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "web/stream_description.h"
#include "web/tokenize.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the payload, no terminator: a read past it is an ASan report.
    std::unique_ptr<char[]> payload(new char[size]);
    memcpy(payload.get(), data, size);
    const StreamDescription d = ParseStreamDescription(payload.get(), size);
    const std::string text(payload.get(), strnlen(payload.get(), size));
    std::vector<std::string> fields;
    Tokenize(fields, text, ":");
    FUZZ_CHECK((d.kind == DescriptionKind::kNotADescription) == (fields.size() < 2));
    if (d.kind == DescriptionKind::kStream) {
        in_addr group{};
        FUZZ_CHECK(inet_pton(AF_INET, d.groupText.c_str(), &group) == 1 && group.s_addr == d.stream.group);
        const MulticastStream& s = d.stream;
        FUZZ_CHECK(s.port >= 1 && s.port <= 65535 && s.videoPid >= 0 && s.videoPid <= kMaxVideoPid);
        // A named source is a host that can send: below 224.0.0.0, where
        // multicast and the reserved block begin, and not "any".
        FUZZ_CHECK(d.sourceText.empty() == (s.source == 0));
        FUZZ_CHECK(s.source == 0 || ntohl(s.source) < 0xE0000000);
        // What the client sends for it (DescribeStream) reads back the same.
        char again[80];
        const std::string at = d.sourceText.empty() ? "" : d.sourceText + "@";
        snprintf(again, sizeof again, d.stream.pidNamed ? "%s%s:%d:%x" : "%s%s:%d", at.c_str(), d.groupText.c_str(),
                 d.stream.port, d.stream.videoPid);
        const StreamDescription round = ParseStreamDescription(again, strlen(again));
        FUZZ_CHECK(round.kind == d.kind && round.stream.group == d.stream.group && round.stream.port == d.stream.port);
        FUZZ_CHECK(round.stream.videoPid == d.stream.videoPid && round.stream.pidNamed == d.stream.pidNamed);
        FUZZ_CHECK(round.stream.source == d.stream.source);
    }
    return 0;
}
