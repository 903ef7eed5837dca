#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <climits>

#include "web/stream_description.h"
#include "web/tokenize.h"

namespace {

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> tokens;
    Tokenize(tokens, text, ":");
    return tokens;
}

StreamDescription Parse(const std::string& text) { return ParseStreamDescription(text.data(), text.size()); }

using Tokens = std::vector<std::string>;

TEST(Tokenize, QuotesHoldDelimitersAndEndTokens) {
    EXPECT_EQ(Split("a:\"b:c\":d"), (Tokens{"a", "b:c", "d"}));
    EXPECT_EQ(Split("\"ab\"cd:ef"), (Tokens{"ab", "cd", "ef"}));
    EXPECT_EQ(Split("abc:\""), (Tokens{"abc", ""}));
    EXPECT_EQ(Split("\"abc"), (Tokens{"abc"}));
    EXPECT_EQ(Split("\"\":x"), (Tokens{"", "x"}));
    EXPECT_EQ(Split("a\"b:c"), (Tokens{"a\"b", "c"}));
}

TEST(Tokenize, EmptyStretchesGiveNoTokens) {
    EXPECT_EQ(Split(""), Tokens{});
    EXPECT_EQ(Split(":::"), Tokens{});
    EXPECT_EQ(Split("::a::b::"), (Tokens{"a", "b"}));
}

TEST(Tokenize, AppendsWithoutClearing) {
    Tokens tokens{"kept"};
    Tokenize(tokens, "a b,c", " ,");
    EXPECT_EQ(tokens, (Tokens{"kept", "a", "b", "c"}));
}

TEST(StreamDescription, TwoFieldsTakeTheDefaultPid) {
    const StreamDescription d = Parse("239.1.1.1:5000");
    ASSERT_EQ(d.kind, DescriptionKind::Stream);
    EXPECT_EQ(d.groupText, "239.1.1.1");
    EXPECT_EQ(d.group, htonl(0xEF010101));
    EXPECT_EQ(d.port, 5000);
    EXPECT_EQ(d.vidPid, 0x100);
    EXPECT_FALSE(d.pidPassedIn);
}

TEST(StreamDescription, ExactlyThreeFieldsPassThePid) {
    for (const char* text : {"239.1.1.1:5000:1e1", "239.1.1.1:5000:0x1e1", "239.1.1.1:5000:0X1E1"}) {
        const StreamDescription d = Parse(text);
        EXPECT_EQ(d.vidPid, 0x1E1) << text;
        EXPECT_TRUE(d.pidPassedIn) << text;
    }
    const StreamDescription four = Parse("239.1.1.1:5000:1e1:9");
    EXPECT_EQ(four.vidPid, 0x100);
    EXPECT_FALSE(four.pidPassedIn);
}

TEST(StreamDescription, SpareColonsAndQuotesChangeNothing) {
    for (const char* text : {"239.1.1.1::5000", "239.1.1.1:5000:", "\"239.1.1.1\":5000"}) {
        const StreamDescription d = Parse(text);
        EXPECT_EQ(d.kind, DescriptionKind::Stream) << text;
        EXPECT_EQ(d.port, 5000) << text;
        EXPECT_FALSE(d.pidPassedIn) << text;
    }
}

TEST(StreamDescription, FewerThanTwoFieldsIsNotADescription) {
    for (const char* text : {"", "239.1.1.1", ":5000", ":::"}) {
        EXPECT_EQ(Parse(text).kind, DescriptionKind::NotADescription) << text;
    }
}

TEST(StreamDescription, GroupThatIsNotIpv4StartsNothing) {
    for (const char* text : {"239.1.1:5000", "nonsense:5000", "239.1.1.1 :5000", "bad\ngroup:5000"}) {
        EXPECT_EQ(Parse(text).kind, DescriptionKind::BadGroup) << text;
    }
}

TEST(StreamDescription, TextEndsAtTheFirstNul) {
    const std::string payload("239.1.1.1:5000\0:777", 19);
    const StreamDescription d = ParseStreamDescription(payload.data(), payload.size());
    EXPECT_EQ(d.port, 5000);
    EXPECT_FALSE(d.pidPassedIn);
}

TEST(StreamDescription, NumbersReadLikeTheCRuntime) {
    EXPECT_EQ(ParsePortField(" +5000x"), 5000);
    EXPECT_EQ(ParsePortField("x5000"), 0);
    EXPECT_EQ(ParsePortField("70000") & 0xFFFF, 4464);
    EXPECT_EQ(ParsePidField("zz"), 0);
    EXPECT_EQ(ParsePidField("1fffffffff"), INT32_MAX);
    EXPECT_EQ(ParsePidField("-1fffffffff"), INT32_MIN);
}

}  // namespace
