// The stream description as WebsocketData receives it, a frame payload of any
// bytes without a terminator, and the tokenizer and log text under it.
// Input: the payload itself, so a seed is the message text.
#include <arpa/inet.h>

#include <cstring>
#include <memory>

#include "fuzz/fuzz_check.h"
#include "log/log.h"
#include "web/stream_description.h"
#include "web/tokenize.h"

namespace {

std::vector<std::string> Fields(const std::string& text) {
    std::vector<std::string> fields;
    Tokenize(fields, text, ":");
    return fields;
}

std::string Join(const std::vector<std::string>& tokens, bool quoted) {
    std::string text;
    for (const std::string& token : tokens) text += (text.empty() ? "" : ":") + (quoted ? '"' + token + '"' : token);
    return text;
}

void CheckTokens(const std::string& text) {
    const std::vector<std::string> tokens = Fields(text);
    size_t tokenBytes = 0;
    bool quotable = true, plain = true;
    for (const std::string& token : tokens) {
        FUZZ_CHECK(text.find(token) != std::string::npos);
        tokenBytes += token.size();
        quotable &= token.find_first_of(std::string("\"\0", 2)) == std::string::npos;
        plain &= !token.empty() && token.find_first_of(std::string(":\"\0", 3)) == std::string::npos;
    }
    FUZZ_CHECK(tokenBytes <= text.size());
    // Quoting keeps any token whole; plain tokens survive a plain join.
    if (quotable) FUZZ_CHECK(Fields(Join(tokens, true)) == tokens);
    if (plain) FUZZ_CHECK(Fields(Join(tokens, false)) == tokens);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the payload, no terminator: a read past it is an ASan report.
    std::unique_ptr<char[]> payload(new char[size]);
    memcpy(payload.get(), data, size);
    const StreamDescription d = ParseStreamDescription(payload.get(), size);
    const std::string text(payload.get(), strnlen(payload.get(), size));
    FUZZ_CHECK((d.kind == DescriptionKind::NotADescription) == (Fields(text).size() < 2));
    if (d.kind == DescriptionKind::Stream) {
        in_addr group{};
        FUZZ_CHECK(inet_pton(AF_INET, d.groupText.c_str(), &group) == 1 && group.s_addr == d.group);
        FUZZ_CHECK(d.port >= 1 && d.port <= 65535 && d.vidPid >= 0 && d.vidPid <= kMaxVideoPid);
        char again[64];
        snprintf(again, sizeof again, d.pidPassedIn ? "%s:%d:%x" : "%s:%d", d.groupText.c_str(), d.port, d.vidPid);
        const StreamDescription round = ParseStreamDescription(again, strlen(again));
        FUZZ_CHECK(round.kind == d.kind && round.group == d.group && round.port == d.port);
        FUZZ_CHECK(round.vidPid == d.vidPid && round.pidPassedIn == d.pidPassedIn);
    }
    CheckTokens(std::string(reinterpret_cast<const char*>(data), size));

    const std::string shown = Printable(text);
    FUZZ_CHECK(shown.size() == (text.size() > 128 ? 131 : text.size()));
    for (char c : shown) FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f);
    return 0;
}
