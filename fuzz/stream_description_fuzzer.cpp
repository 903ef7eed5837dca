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
    FUZZ_CHECK((d.kind == DescriptionKind::NotADescription) == (fields.size() < 2));
    if (d.kind == DescriptionKind::Stream) {
        in_addr group{};
        FUZZ_CHECK(inet_pton(AF_INET, d.groupText.c_str(), &group) == 1 && group.s_addr == d.group);
        FUZZ_CHECK(d.port >= 1 && d.port <= 65535 && d.vidPid >= 0 && d.vidPid <= kMaxVideoPid);
        // What the client sends for it (DescribeStream) reads back the same.
        char again[64];
        snprintf(again, sizeof again, d.pidPassedIn ? "%s:%d:%x" : "%s:%d", d.groupText.c_str(), d.port, d.vidPid);
        const StreamDescription round = ParseStreamDescription(again, strlen(again));
        FUZZ_CHECK(round.kind == d.kind && round.group == d.group && round.port == d.port);
        FUZZ_CHECK(round.vidPid == d.vidPid && round.pidPassedIn == d.pidPassedIn);
    }
    return 0;
}
