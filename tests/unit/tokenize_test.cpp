#include <arpa/inet.h>
#include <gtest/gtest.h>

#include "web/stream_description.h"
#include "web/tokenize.h"

using Tokens = std::vector<std::string>;

TEST(Tokenize, QuotesAndEmptyStretches) {
    const std::pair<std::string, Tokens> rows[] = {
        {"a:\"b:c\"d:e", {"a", "b:c", "d", "e"}},  // a quoted token ends at its closing quote
        {"abc:\"", {"abc", ""}},
        {"\"abc", {"abc"}},
        {"a\"b:c", {"a\"b", "c"}},
        {"::a::b::", {"a", "b"}},
        {std::string("a\0b:c", 5), {"a", "b", "c"}},  // NUL delimits whatever the set
    };
    for (auto [text, expected] : rows) {
        Tokens tokens{"kept"};  // appends, never clears
        Tokenize(tokens, text, ":");
        expected.insert(expected.begin(), "kept");
        EXPECT_EQ(tokens, expected) << text;
    }
}

TEST(StreamDescription, Fields) {
    struct Row {
        std::string text;
        DescriptionKind kind;
        int32_t port = 0, videoPid = 0;
        bool pidNamed = false;
        uint32_t source = 0;
    };
    using enum DescriptionKind;
    const Row rows[] = {
        {"239.1.1.1:05000", kStream, 5000, 0x100},  // decimal, never octal
        {"239.1.1.1:65535:1e1", kStream, 65535, 0x1E1, true},
        {"239.1.1.1:1:0X1FFE", kStream, 1, 0x1FFE, true},
        {"239.1.1.1:5000:0x0", kStream, 5000, 0, true},
        {"198.51.100.1@239.1.1.1:5000:1e1", kStream, 5000, 0x1E1, true, htonl(0xC6336401)},
        {"239.1.1.1:5000:zz:9", kStream, 5000, 0x100},  // only exactly three fields pass a PID
        {std::string("239.1.1.1:5000\0:1e1", 19), kStream, 5000, 0x100},  // the text ends at the NUL
        {"239.1.1.1", kNotADescription},
        {"239.1.1:5000", kBadGroup},
        {"239.1.1.1 :5000", kBadGroup},
    };
    const auto parse = [](const std::string& text) { return ParseStreamDescription(text.data(), text.size()); };
    for (const Row& row : rows) {
        const StreamDescription d = parse(row.text);
        SCOPED_TRACE(row.text);
        ASSERT_EQ(d.kind, row.kind);
        if (row.kind != kStream) continue;
        EXPECT_EQ(d.stream.group, htonl(0xEF010101));
        EXPECT_EQ(d.groupText, "239.1.1.1");
        EXPECT_EQ(std::make_tuple(d.stream.port, d.stream.videoPid, d.stream.pidNamed, d.stream.source),
                  std::make_tuple(row.port, row.videoPid, row.pidNamed, row.source));
    }
    // A source must be a host that can send: not "any", multicast or reserved.
    for (const std::string source : {"0.0.0.0", "224.0.0.1", "240.0.0.1", "198.51.100", ""}) {
        const StreamDescription d = parse(source + "@239.1.1.1:5000");
        EXPECT_EQ(std::make_pair(d.kind, d.sourceText), std::make_pair(kBadSource, source));
    }
    // Refused with the field as received, for the log line.
    for (const std::string port : {"0x1388", "+5000", " 5000", "5000x", "70000", "0", "-1", "4294972296"}) {
        const StreamDescription d = parse("239.1.1.1:" + port + ":1e1");
        EXPECT_EQ(std::make_pair(d.kind, d.portText), std::make_pair(kBadPort, port));
    }
    for (const std::string pid : {"1fff", "0x2000", "-1", "0x", "1e1x", " 1e1", "+1e1", "ffffffff1e1"}) {
        const StreamDescription d = parse("239.1.1.1:5000:" + pid);
        EXPECT_EQ(std::make_pair(d.kind, d.pidText), std::make_pair(kBadPid, pid));
    }
}
