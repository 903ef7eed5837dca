#include "client/client_logic.h"

#include <gtest/gtest.h>

namespace {

ParseResult Parse(std::vector<std::string> args) { return ParseArguments(args); }

TEST(ClientArguments, StreamWithDefaults) {
    const ParseResult result = Parse({"239.1.1.1:5000"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->host, "127.0.0.1");
    EXPECT_EQ(result.options->relayPort, 8154);
    EXPECT_EQ(DescribeStream(result.options->target), "239.1.1.1:5000");
}

TEST(ClientArguments, PidWithOrWithoutPrefixIsSentAsBareHex) {
    EXPECT_EQ(DescribeStream(Parse({"239.1.1.1:5000:0x1E1"}).options->target), "239.1.1.1:5000:1e1");
    EXPECT_EQ(DescribeStream(Parse({"239.1.1.1:5000:1e1"}).options->target), "239.1.1.1:5000:1e1");
}

TEST(ClientArguments, HostAndPortOverride) {
    const ParseResult result = Parse({"--host", "10.0.0.5", "239.1.1.1:5000", "--port", "8155", "--wait-for-relay", "3"});
    ASSERT_TRUE(result.options) << result.error;
    EXPECT_EQ(result.options->host, "10.0.0.5");
    EXPECT_EQ(result.options->relayPort, 8155);
    EXPECT_EQ(result.options->waitForRelaySeconds, 3);
}

TEST(ClientArguments, HelpWinsOverEverythingElse) {
    EXPECT_TRUE(Parse({"bogus", "--help"}).options->showHelp);
}

TEST(ClientArguments, RejectionsSayWhatIsWrong) {
    EXPECT_EQ(Parse({}).error, "no stream given");
    EXPECT_EQ(Parse({"239.1.1.1"}).error, "expected GROUP:PORT or GROUP:PORT:PID, got \"239.1.1.1\"");
    EXPECT_EQ(Parse({"10.1.1.1:5000"}).error,
              "\"10.1.1.1\" is not an IPv4 multicast group (224.0.0.0 to 239.255.255.255)");
    EXPECT_EQ(Parse({"239.1.1.1:70000"}).error, "\"70000\" is not a UDP port (1 to 65535)");
    EXPECT_EQ(Parse({"239.1.1.1:5000:2000"}).error, "\"2000\" is not a PID in hexadecimal (0 to 1fff)");
    EXPECT_EQ(Parse({"239.1.1.1:5000", "239.1.1.2:5000"}).error,
              "only one stream can be described, got \"239.1.1.1:5000\" and \"239.1.1.2:5000\"");
    EXPECT_EQ(Parse({"--port"}).error, "--port needs a value");
    EXPECT_EQ(Parse({"--wait-for-relay", "-1", "239.1.1.1:5000"}).error,
              "--wait-for-relay -1 is not a number of seconds (0 to 3600)");
    EXPECT_EQ(Parse({"--verbose", "239.1.1.1:5000"}).error, "unknown option --verbose");
}

// The relay's own form: CRLF after the header tags, LF inside the entries.
constexpr char kLivePlaylist[] =
    "#EXTM3U\r\n#EXT-X-TARGETDURATION:2\r\n#EXT-X-DISCONTINUITY\r\n#EXT-X-MEDIA-SEQUENCE:12\r\n"
    "#EXTINF:1.8,\nhttp://192.168.1.20:8154/hlsMcast_12.ts\n"
    "#EXTINF:1.81667,\nhttp://192.168.1.20:8154/hlsMcast_13.ts\n";

TEST(PlaylistProgressParse, LivePlaylist) {
    const std::optional<PlaylistProgress> progress = ParsePlaylist(kLivePlaylist);
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->mediaSequence, 12);
    EXPECT_EQ(progress->segmentCount, 2);
    EXPECT_EQ(progress->firstSegmentUrl, "http://192.168.1.20:8154/hlsMcast_12.ts");
    EXPECT_EQ(FormatProgress(progress, 9), "2 segments available (3.6 s), media sequence 12");
    EXPECT_EQ(AdvertisedPlaylistUrl(*progress, "unused"), "http://192.168.1.20:8154/hlsMcast.m3u8");
}

TEST(PlaylistProgressParse, ErrorPageIsNoPlaylist) {
    EXPECT_FALSE(ParsePlaylist("Error 404: Not Found\nError: File not found"));
    EXPECT_FALSE(ParsePlaylist("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:x\n"));
    EXPECT_EQ(FormatProgress(std::nullopt, 4), "waiting for first segments (4 s)");
}

TEST(PlaylistProgressParse, NoSegmentsFallsBackToRelayAddress) {
    const std::optional<PlaylistProgress> progress = ParsePlaylist("#EXTM3U\n#EXT-X-MEDIA-SEQUENCE:0\n");
    ASSERT_TRUE(progress);
    EXPECT_EQ(AdvertisedPlaylistUrl(*progress, "http://127.0.0.1:8154/hlsMcast.m3u8"),
              "http://127.0.0.1:8154/hlsMcast.m3u8");
}

}  // namespace
