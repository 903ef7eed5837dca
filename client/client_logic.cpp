#include "client/client_logic.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <charconv>
#include <cstdlib>
#include <cstdio>

#include "web/stream_description.h"

namespace {

constexpr long kMaxWaitForRelaySeconds = 3600;

std::optional<long> ParseNumber(std::string_view text) {
    long value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) return std::nullopt;
    return value;
}

std::vector<std::string_view> SplitLines(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        // The relay ends its header lines with CRLF and its entries with LF.
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        lines.push_back(line);
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return lines;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

// Appended piece by piece: GCC 12 at -O3 warns falsely (-Wrestrict) about
// the insert behind "\"" + std::string(...).
std::string QuotedError(std::string_view value, std::string_view complaint) {
    std::string text = "\"";
    text.append(value).append("\" ").append(complaint);
    return text;
}

}  // namespace

std::optional<StreamTarget> ParseStreamTarget(std::string_view text, std::string& error) {
    // The relay's own parser says what a valid port and PID are; the client
    // adds what only it can know: a relay needs a multicast group, and a
    // fourth field would be silently ignored.
    const StreamDescription description = ParseStreamDescription(text.data(), text.size());
    if (description.kind == DescriptionKind::kNotADescription || description.fieldCount > 3) {
        error = "expected [SOURCE@]GROUP:PORT[:PID], got \"" + std::string(text) + "\"";
    } else if (description.kind == DescriptionKind::kBadSource) {
        error = QuotedError(description.sourceText,
                            "is not a unicast IPv4 source address (0.0.0.1 to 223.255.255.255)");
    } else if (description.kind == DescriptionKind::kBadGroup || !IN_MULTICAST(ntohl(description.stream.group))) {
        error = QuotedError(description.groupText, "is not an IPv4 multicast group (224.0.0.0 to 239.255.255.255)");
    } else if (description.kind == DescriptionKind::kBadPort) {
        error = QuotedError(description.portText, "is not a UDP port (1 to 65535)");
    } else if (description.kind == DescriptionKind::kBadPid) {
        error = QuotedError(description.pidText, "is not a PID in hexadecimal (0 to 1ffe)");
    } else {
        StreamTarget target{description.sourceText, description.groupText, description.stream.port, std::nullopt};
        if (description.stream.pidNamed) target.videoPid = description.stream.videoPid;
        return target;
    }
    return std::nullopt;
}

ParseResult ParseArguments(const std::vector<std::string>& args) {
    ClientOptions options;
    std::optional<std::string> targetText;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.showHelp = true;
            return {options, ""};
        }
        if (arg == "--host" || arg == "--port" || arg == "--wait-for-relay") {
            if (i + 1 == args.size()) return {std::nullopt, arg + " needs a value"};
            const std::string& value = args[++i];
            if (arg == "--host") {
                options.host = value;
                continue;
            }
            if (arg == "--wait-for-relay") {
                const std::optional<long> seconds = ParseNumber(value);
                if (!seconds || *seconds < 0 || *seconds > kMaxWaitForRelaySeconds) {
                    return {std::nullopt, "--wait-for-relay " + value + " is not a number of seconds (0 to 3600)"};
                }
                options.waitForRelaySeconds = static_cast<int>(*seconds);
                continue;
            }
            // The relay's port is read by the same rule as a stream's.
            const std::optional<int32_t> port = ParsePortField(value);
            if (!port) return {std::nullopt, "--port " + value + " is not a TCP port"};
            options.relayPort = *port;
        } else if (StartsWith(arg, "-")) {
            return {std::nullopt, "unknown option " + arg};
        } else if (targetText) {
            return {std::nullopt, "only one stream can be described, got \"" + *targetText + "\" and \"" + arg + "\""};
        } else {
            targetText = arg;
        }
    }
    if (!targetText) return {std::nullopt, "no stream given"};
    std::string error;
    const std::optional<StreamTarget> target = ParseStreamTarget(*targetText, error);
    if (!target) return {std::nullopt, error};
    options.target = *target;
    return {options, ""};
}

std::string DescribeStream(const StreamTarget& target) {
    std::string text = target.source.empty() ? "" : target.source + "@";
    text += target.group + ":" + std::to_string(target.udpPort);
    if (target.videoPid) {
        char pid[8];
        std::snprintf(pid, sizeof pid, ":%x", *target.videoPid);
        text += pid;
    }
    return text;
}

std::optional<PlaylistProgress> ParsePlaylist(std::string_view text) {
    static constexpr std::string_view kSequenceTag = "#EXT-X-MEDIA-SEQUENCE:";
    static constexpr std::string_view kSegmentTag = "#EXTINF:";
    const std::vector<std::string_view> lines = SplitLines(text);
    if (lines.empty() || lines[0] != "#EXTM3U") return std::nullopt;
    PlaylistProgress progress;
    bool sequenceSeen = false;
    bool segmentPending = false;
    for (std::string_view line : lines) {
        if (StartsWith(line, kSequenceTag)) {
            const std::optional<long> sequence = ParseNumber(line.substr(kSequenceTag.size()));
            if (!sequence) return std::nullopt;
            progress.mediaSequence = *sequence;
            sequenceSeen = true;
        } else if (StartsWith(line, kSegmentTag)) {
            // "1.816," : the duration runs up to the comma; strtod stops there.
            const std::string duration(line.substr(kSegmentTag.size()));
            progress.listedSeconds += std::strtod(duration.c_str(), nullptr);
            progress.segmentCount++;
            segmentPending = true;
        } else if (segmentPending && !line.empty() && line[0] != '#') {
            if (progress.firstSegmentUrl.empty()) progress.firstSegmentUrl = std::string(line);
            segmentPending = false;
        }
    }
    if (!sequenceSeen) return std::nullopt;
    return progress;
}

std::string AdvertisedPlaylistUrl(const PlaylistProgress& progress, const std::string& fallback) {
    const std::string& segment = progress.firstSegmentUrl;
    const size_t slash = segment.rfind('/');
    if (!StartsWith(segment, "http://") || slash < std::string_view("http://").size()) return fallback;
    return segment.substr(0, slash) + kPlaylistPath;
}

std::string FormatProgress(const std::optional<PlaylistProgress>& progress, int waitedSeconds) {
    char line[160];
    if (!progress) {
        std::snprintf(line, sizeof line, "waiting for first segments (%d s)", waitedSeconds);
    } else {
        std::snprintf(line, sizeof line, "%d segments available (%.1f s), media sequence %ld",
                      progress->segmentCount, progress->listedSeconds, progress->mediaSequence);
    }
    return line;
}
