// quillbrook-client: describes one multicast stream to a running relay, then
// holds the control connection, which is what keeps the relay alive.
#include <civetweb.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>

#include "client/client_logic.h"
#include "client/control_socket.h"

namespace {

enum ExitCode {
    kExitDone = 0, kExitFailure = 1, kExitUsage = 2, kExitNoRelay = 3, kExitRefused = 4, kExitRelayClosed = 5,
    kExitForbidden = 6,
};

constexpr int kWakeSignal = SIGUSR1;
constexpr int kVersionWaitSeconds = 5;
constexpr int kCloseWaitSeconds = 3;
constexpr int kPollMs = 1000;
constexpr int kRelayRetryMs = 100;

constexpr char kUsage[] = R"(Usage: quillbrook-client [--host HOST] [--port PORT] [SOURCE@]GROUP:PORT[:PID]

Tells a running quillbrook relay which multicast MPEG-2 transport stream to
turn into HLS, then keeps the relay's control connection open: the relay
runs exactly as long as this program does. Start the relay first; it waits
about 3 seconds for its client.

  [SOURCE@]GROUP:PORT[:PID]
                    multicast group, UDP port and, optionally, the video PID
                    in hexadecimal (default 100), e.g. 239.255.0.1:5000:1e1;
                    with SOURCE, the relay takes the group from that sender
                    alone (source-specific multicast, as many IPTV networks
                    require), e.g. 198.51.100.1@232.1.1.1:5000
  --host HOST       relay address (default 127.0.0.1)
  --port PORT       relay HTTP/WebSocket port (default 8154)
  --wait-for-relay SECONDS
                    keep trying for up to SECONDS while no relay listens
                    yet, for a relay started at the same moment (default 0)
  -h, --help        show this text

While it runs it shows whether the relay's playlist has segments yet, and
prints the playlist URL once players can use it. Ctrl-C (or SIGTERM) closes
the connection, which ends the relay, and exits with 0.

Exit codes: 0 ended on request, 1 other failure, 2 bad arguments, 3 no relay
listening, 4 relay refused the connection (it already serves a stream),
5 the relay closed the connection, 6 relay refused the connection (it takes
control only from the hosts in its QUILLBROOK_CONTROL_FROM).
)";

// Written by the reader thread; main reads it after a wake signal.
struct Session {
    std::mutex mutex;
    std::string version;
    std::atomic<bool> closed{false};
};

void Wake() { kill(getpid(), kWakeSignal); }

// Reads the relay's frames until it closes the connection.
void ReadFrames(ControlSocket& control, Session& session) {
    for (std::string text; control.ReadText(text);) {
        std::lock_guard<std::mutex> hold(session.mutex);
        if (session.version.empty()) session.version = text;
        Wake();
    }
    session.closed = true;
    Wake();
}

// Returns the signal that arrived, or 0 when the time ran out.
int WaitForSignal(const sigset_t& signals, int waitMs) {
    const timespec timeout{waitMs / 1000, waitMs % 1000 * 1'000'000L};
    int arrived;
    while ((arrived = sigtimedwait(&signals, nullptr, &timeout)) < 0 && errno == EINTR) {}
    return arrived < 0 ? 0 : arrived;
}

// A plain connect first, so "nothing listens" is told apart from "the relay
// answered but refused the WebSocket handshake".
bool RelayListening(const ClientOptions& options, std::string& error) {
    return ControlSocket().Connect(options.host, options.relayPort, error);
}

// The playlist body on a 200 answer; status is 0 when nothing answered.
std::string FetchPlaylist(const ClientOptions& options, int& status) {
    char error[256] = "";
    status = 0;
    mg_connection* conn = mg_download(options.host.c_str(), options.relayPort, 0, error, sizeof error,
                                      "GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n",
                                      kPlaylistPath, options.host.c_str(), options.relayPort);
    if (!conn) return "";
    const mg_response_info* info = mg_get_response_info(conn);
    status = info ? info->status_code : 0;
    std::string body;
    char chunk[4096];
    for (int got; status == 200 && (got = mg_read(conn, chunk, sizeof chunk)) > 0;) body.append(chunk, got);
    mg_close_connection(conn);
    return body;
}

class ProgressLine {
public:
    ProgressLine() : tty_(isatty(STDOUT_FILENO) == 1) {}
    // A terminal gets one line rewritten in place; a log or pipe gets a line
    // per change, so it does not fill with a line per poll.
    void Show(const std::string& text, const std::string& changeKey) {
        if (tty_) {
            std::printf("\r%s\x1b[K", text.c_str());
            std::fflush(stdout);
            open_ = true;
        } else if (changeKey != lastKey_) {
            std::printf("%s\n", text.c_str());
        }
        lastKey_ = changeKey;
    }
    void Print(const char* text) {
        End();
        std::printf("%s\n", text);
    }
    void End() {
        if (open_) std::printf("\n");
        open_ = false;
    }

private:
    bool tty_;
    bool open_ = false;
    std::optional<std::string> lastKey_;
};

int Fail(int code, const std::string& message) {
    std::fprintf(stderr, "quillbrook-client: %s\n", message.c_str());
    return code;
}

int CloseCleanly(ControlSocket& control, Session& session, const sigset_t& signals) {
    control.SendClose();
    const time_t deadline = time(nullptr) + kCloseWaitSeconds;
    while (!session.closed && time(nullptr) < deadline) WaitForSignal(signals, kPollMs);
    if (!session.closed) return Fail(kExitFailure, "the relay did not close the control connection after ours");
    std::printf("control connection closed; the relay has ended\n");
    return kExitDone;
}

// Sends the description once the version has come, then shows progress until
// a signal or the relay ends the connection.
int Hold(ControlSocket& control, Session& session, const ClientOptions& options, const sigset_t& signals) {
    const std::string relayName = options.host + ":" + std::to_string(options.relayPort);
    const time_t started = time(nullptr);
    for (int arrived = 0;; arrived = WaitForSignal(signals, kPollMs)) {
        {
            std::lock_guard<std::mutex> hold(session.mutex);
            if (!session.version.empty()) {
                std::printf("connected to %s: %s\n", relayName.c_str(), session.version.c_str());
                break;
            }
        }
        if (session.closed) return Fail(kExitRelayClosed, "the relay closed the connection before sending its version");
        if (arrived == SIGINT || arrived == SIGTERM) return CloseCleanly(control, session, signals);
        if (time(nullptr) - started > kVersionWaitSeconds) return Fail(kExitFailure, "the relay sent no version text");
    }
    const std::string description = DescribeStream(options.target);
    control.SendText(description);
    std::printf("described stream %s; Ctrl-C ends the relay\n", description.c_str());

    ProgressLine progress;
    for (bool announced = false;;) {
        int status = 0;
        const std::string body = FetchPlaylist(options, status);
        const std::optional<PlaylistProgress> playlist = status == 200 ? ParsePlaylist(body) : std::nullopt;
        if (playlist && !announced) {
            const std::string url = AdvertisedPlaylistUrl(*playlist, "http://" + relayName + kPlaylistPath);
            progress.Print(("playlist: " + url).c_str());
            announced = true;
        }
        const std::string text = FormatProgress(playlist, static_cast<int>(time(nullptr) - started));
        progress.Show(text, playlist ? text : "waiting");
        const int arrived = WaitForSignal(signals, kPollMs);
        if (session.closed) {
            progress.End();
            return Fail(kExitRelayClosed, "the relay closed the control connection; it has stopped");
        }
        if (arrived == SIGINT || arrived == SIGTERM) {
            progress.End();
            return CloseCleanly(control, session, signals);
        }
    }
}

// Retries while a relay started beside this client may still be coming up;
// a signal ends the wait as it ends a session, with 0.
std::optional<int> WaitForRelay(const ClientOptions& options, const sigset_t& signals) {
    const std::string relayName = options.host + ":" + std::to_string(options.relayPort);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(options.waitForRelaySeconds);
    std::string error;
    while (!RelayListening(options, error)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return Fail(kExitNoRelay,
                        "no relay is listening on " + relayName + " (" + error + "); start quillbrook first");
        }
        const int arrived = WaitForSignal(signals, kRelayRetryMs);
        if (arrived == SIGINT || arrived == SIGTERM) return kExitDone;
    }
    return std::nullopt;
}

int Run(const ClientOptions& options, const sigset_t& signals) {
    const std::string relayName = options.host + ":" + std::to_string(options.relayPort);
    if (const std::optional<int> code = WaitForRelay(options, signals)) return *code;
    ControlSocket control;
    std::string error;
    const int status =
        control.Connect(options.host, options.relayPort, error) ? control.Upgrade(options.host, options.relayPort) : 0;
    const std::string refused = "the relay on " + relayName + " refused the control connection (status " +
                                std::to_string(status) + "); ";
    if (status == kControlForbiddenStatus) {
        return Fail(kExitForbidden, refused + "it takes control only from the hosts in its QUILLBROOK_CONTROL_FROM");
    }
    if (status == kControlTakenStatus) {
        return Fail(kExitRefused, refused + "it already serves a stream for another client");
    }
    if (status != 101) return Fail(kExitFailure, refused + "is it a quillbrook relay?");
    Session session;
    std::thread reader(ReadFrames, std::ref(control), std::ref(session));
    const int code = Hold(control, session, options, signals);
    control.Shutdown();
    reader.join();
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    const ParseResult parsed = ParseArguments(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.options) return Fail(kExitUsage, parsed.error + "\nTry 'quillbrook-client --help'.");
    if (parsed.options->showHelp) {
        std::fputs(kUsage, stdout);
        return kExitDone;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    signal(SIGPIPE, SIG_IGN);
    // Blocked before any other thread starts, so every one inherits the mask
    // and the signals wait for main's sigtimedwait.
    sigset_t signals;
    sigemptyset(&signals);
    for (int each : {SIGINT, SIGTERM, kWakeSignal}) sigaddset(&signals, each);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    mg_init_library(0);
    return Run(*parsed.options, signals);
}
