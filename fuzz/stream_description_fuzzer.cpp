// The stream description as WebsocketData receives it: a frame payload of any
// bytes, without a terminator, so a read past it is an ASan report.
// Input: the payload itself, so a seed is the message text.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "client/client_logic.h"
#include "fuzz/fuzz_check.h"
#include "web/stream_description.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<char[]> payload(new char[size]);
    memcpy(payload.get(), data, size);
    const StreamDescription d = ParseStreamDescription(payload.get(), size);
    if (d.kind != DescriptionKind::kStream) return 0;
    const MulticastStream& s = d.stream;
    in_addr group{};
    FUZZ_CHECK(inet_pton(AF_INET, d.groupText.c_str(), &group) == 1 && group.s_addr == s.group);
    FUZZ_CHECK(s.port >= 1 && s.port <= 65535 && s.videoPid >= 0 && s.videoPid <= kMaxVideoPid);
    // A named source is a host that can send: below 224.0.0.0, where
    // multicast and the reserved block begin, and not "any".
    FUZZ_CHECK(d.sourceText.empty() == (s.source == 0) && ntohl(s.source) < 0xE0000000);
    // What the client sends for it reads back the same.
    const std::optional<int> pid = s.pidNamed ? std::optional<int>(s.videoPid) : std::nullopt;
    const std::string again = DescribeStream(StreamTarget{d.sourceText, d.groupText, s.port, pid});
    const StreamDescription r = ParseStreamDescription(again.data(), again.size());
    FUZZ_CHECK(r.kind == d.kind && r.stream.group == s.group && r.stream.port == s.port && r.stream.source == s.source);
    FUZZ_CHECK(r.stream.videoPid == s.videoPid && r.stream.pidNamed == s.pidNamed);
    return 0;
}
