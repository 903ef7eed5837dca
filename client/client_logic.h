// The client's decisions that need no network: the command line, the stream
// description it sends, and what a playlist says about progress.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/protocol.h"

inline constexpr char kDefaultRelayHost[] = "127.0.0.1";

struct StreamTarget {
    std::string source;           // dotted IPv4, unicast; empty: any source
    std::string group;            // dotted IPv4, inside 224.0.0.0/4
    int udpPort = 0;
    std::optional<int> videoPid;  // absent: the relay's default applies
};

struct ClientOptions {
    std::string host = kDefaultRelayHost;
    int relayPort = kHttpPort;
    StreamTarget target;
    int waitForRelaySeconds = 0;  // how long to retry while nothing listens yet
    bool showHelp = false;
};

struct ParseResult {
    std::optional<ClientOptions> options;
    std::string error;  // set exactly when options is absent
};

ParseResult ParseArguments(const std::vector<std::string>& args);

// "[SOURCE@]GROUP:PORT[:PID]" by the relay's own grammar (web/stream_description.h),
// and the group must be multicast.
std::optional<StreamTarget> ParseStreamTarget(std::string_view text, std::string& error);

// The one text frame the relay reads: "GROUP:PORT" or "GROUP:PORT:PIDHEX",
// after "SOURCE@" when a source is named.
std::string DescribeStream(const StreamTarget& target);

struct PlaylistProgress {
    long mediaSequence = 0;
    int segmentCount = 0;
    double listedSeconds = 0;
    std::string firstSegmentUrl;
};

// Absent when the text is not a playlist with a media sequence.
std::optional<PlaylistProgress> ParsePlaylist(std::string_view text);

// The playlist's own URL as the relay advertises it (its segment URLs carry
// the address players should use), or the fallback when none is listed.
std::string AdvertisedPlaylistUrl(const PlaylistProgress& progress, const std::string& fallback);

// One status line: waiting while there is no playlist, then the segments.
std::string FormatProgress(const std::optional<PlaylistProgress>& progress, int waitedSeconds);
