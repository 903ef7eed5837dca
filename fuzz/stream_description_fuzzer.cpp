// The client's stream description as WebsocketData receives it: a frame
// payload of any bytes, not NUL-terminated, parsed into group, port and PID;
// and the tokenizer under it, with a few delimiter sets.
//
// Input: the payload itself, so a seed is the message text.

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "log/log.h"
#include "relay/quillbrook.h"
#include "web/stream_description.h"
#include "web/tokenize.h"

namespace {

// The tokenizer's steps spelled out one by one, to hold Tokenize to them.
std::vector<std::string> ReferenceTokens(const std::string& text, const std::string& delimiters) {
    const auto delimiter = [&](char c) { return c == '\0' || delimiters.find(c) != std::string::npos; };
    std::vector<std::string> tokens;
    const size_t n = text.size();
    size_t pos = 0;
    while (pos < n) {
        while (pos < n && delimiter(text[pos])) pos++;
        if (pos == n) break;
        size_t end = pos + 1;
        if (text[pos] == '"') {
            pos++;
            while (end < n && text[end] != '"' && text[end] != '\0') end++;
        } else {
            while (end < n && !delimiter(text[end])) end++;
        }
        tokens.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return tokens;
}

std::string Join(const std::vector<std::string>& tokens, char delimiter, bool quoted) {
    std::string text;
    for (const std::string& token : tokens) {
        if (!text.empty()) text += delimiter;
        text += quoted ? '"' + token + '"' : token;
    }
    return text;
}

bool Contains(const std::string& token, const std::string& characters) {
    return token.find_first_of(characters) != std::string::npos;
}

void CheckTokenize(const std::string& text, const std::string& delimiters) {
    std::vector<std::string> tokens{"kept"};  // Tokenize appends; it must not clear
    Tokenize(tokens, text, delimiters);
    FUZZ_CHECK(!tokens.empty() && tokens.front() == "kept");
    tokens.erase(tokens.begin());
    FUZZ_CHECK(tokens == ReferenceTokens(text, delimiters));
    // Each token uses up at least one character of the text.
    FUZZ_CHECK(tokens.size() <= text.size());
    size_t tokenBytes = 0;
    for (const std::string& token : tokens) tokenBytes += token.size();
    FUZZ_CHECK(tokenBytes <= text.size());

    if (delimiters.empty() || delimiters[0] == '"') return;
    const char delimiter = delimiters[0];
    const std::string quoteAndNul("\"\0", 2);
    bool quotable = true;
    bool plain = true;
    for (const std::string& token : tokens) {
        quotable &= !Contains(token, quoteAndNul);
        plain &= !token.empty() && !Contains(token, quoteAndNul + delimiters);
    }
    // Quoting keeps a token whole, delimiters and all.
    if (quotable) {
        std::vector<std::string> again;
        Tokenize(again, Join(tokens, delimiter, true), delimiters);
        FUZZ_CHECK(again == tokens);
    }
    if (plain) {
        std::vector<std::string> again;
        Tokenize(again, Join(tokens, delimiter, false), delimiters);
        FUZZ_CHECK(again == tokens);
    }
}

// What strtoll reads: white space, a sign, an optional 0x in base 16, digits.
struct Digits {
    bool negative = false;
    unsigned long long value = 0;
    bool overflow = false;
};

Digits ReadDigits(const std::string& field, int base) {
    Digits digits;
    size_t i = 0;
    while (i < field.size() && isspace(static_cast<unsigned char>(field[i]))) i++;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) digits.negative = field[i++] == '-';
    // "0x" counts as a prefix only with a hexadecimal digit after it.
    if (base == 16 && i + 2 < field.size() && field[i] == '0' && tolower(field[i + 1]) == 'x' &&
        isxdigit(static_cast<unsigned char>(field[i + 2]))) {
        i += 2;
    }
    for (; i < field.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        int digit;
        if (isdigit(c)) {
            digit = c - '0';
        } else if (base == 16 && isxdigit(c)) {
            digit = tolower(c) - 'a' + 10;
        } else {
            break;
        }
        if (digits.value > (ULLONG_MAX - digit) / base) digits.overflow = true;
        if (!digits.overflow) digits.value = digits.value * base + digit;
    }
    return digits;
}

int32_t ExpectedPort(const std::string& field) {
    const Digits digits = ReadDigits(field, 10);
    // strtoll saturates; the field then keeps only the low 32 bits.
    long long value;
    if (digits.negative) {
        value = digits.overflow || digits.value >= 1ULL << 63 ? LLONG_MIN : -static_cast<long long>(digits.value);
    } else {
        value = digits.overflow || digits.value > LLONG_MAX ? LLONG_MAX : static_cast<long long>(digits.value);
    }
    return static_cast<int32_t>(value);
}

int32_t ExpectedPid(const std::string& field) {
    const Digits digits = ReadDigits(field, 16);
    if (digits.overflow || digits.value > INT32_MAX) return digits.negative ? INT32_MIN : INT32_MAX;
    const long long value = digits.negative ? -static_cast<long long>(digits.value) : digits.value;
    return static_cast<int32_t>(std::max<long long>(value, INT32_MIN));
}

void CheckPrintable(const std::string& text) {
    const std::string shown = Printable(text);
    FUZZ_CHECK(shown.size() == text.size());
    for (size_t i = 0; i < shown.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(shown[i] == (c < 0x20 || c == 0x7f ? '?' : text[i]));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Exactly the payload, no terminator: strlen would run into ASan's redzone.
    std::unique_ptr<char[]> payload(new char[size]);
    std::memcpy(payload.get(), data, size);
    const StreamDescription description = ParseStreamDescription(payload.get(), size);

    const std::string text(payload.get(), strnlen(payload.get(), size));
    const std::vector<std::string> fields = ReferenceTokens(text, ":");
    if (fields.size() < 2) {
        FUZZ_CHECK(description.kind == DescriptionKind::NotADescription);
        FUZZ_CHECK(description.groupText.empty() && description.port == 0 && description.vidPid == 0);
    } else {
        FUZZ_CHECK(description.groupText == fields[0]);
        CheckPrintable(description.groupText);
        in_addr group{};
        const bool converts = inet_pton(AF_INET, fields[0].c_str(), &group) == 1;
        FUZZ_CHECK(description.kind == (converts ? DescriptionKind::Stream : DescriptionKind::BadGroup));
        if (converts) {
            FUZZ_CHECK(description.group == group.s_addr);
            FUZZ_CHECK(description.port == ExpectedPort(fields[1]));
            FUZZ_CHECK(description.pidPassedIn == (fields.size() == 3));
            FUZZ_CHECK(description.vidPid == (fields.size() == 3 ? ExpectedPid(fields[2]) : kDefaultVideoPid));
        }
    }

    const std::string whole(reinterpret_cast<const char*>(data), size);
    for (const char* delimiters : {":", ": \t", "\"", ""}) CheckTokenize(whole, delimiters);
    CheckTokenize(whole, std::string("\0:", 2));
    return 0;
}
