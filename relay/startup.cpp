#include <charconv>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "log/log.h"
#include "relay/interface_choice.h"
#include "hls/playlist.h"
#include "relay/quillbrook.h"
#include "web/protocol.h"

namespace {
constexpr auto kLifetimeCheckInterval = std::chrono::milliseconds(3000);
constexpr char kInterfaceVariable[] = "QUILLBROOK_INTERFACE";
constexpr char kMaxMbitsVariable[] = "QUILLBROOK_MAX_MBITS";
// Beyond this the pool would not fit a 64-bit host's memory anyway.
constexpr int kLargestMaxMbits = 100'000;

// The highest stream rate the segment pool holds whole segments for. A bad
// value falls back to the default, said in the log: a relay that serves is
// better than one that refuses over a tuning knob.
int ReadMaxMbits() {
    const char* text = getenv(kMaxMbitsVariable);
    if (!text) return kDefaultMaxMbits;
    int mbits = 0;
    const char* end = text + strlen(text);
    const auto [stop, error] = std::from_chars(text, end, mbits);
    if (error != std::errc() || stop != end || mbits < 1 || mbits > kLargestMaxMbits) {
        Log("%s=%s not used: not a whole number of Mbit/s from 1 to %d; using %d\n", kMaxMbitsVariable,
            Printable(text).c_str(), kLargestMaxMbits, kDefaultMaxMbits);
        return kDefaultMaxMbits;
    }
    return mbits;
}

// Absent, and said on standard error too, when the variable is malformed:
// the relay must not start open to everyone when it was meant to be closed.
bool ReadControlAccess(std::optional<std::vector<AddressBlock>>& controlFrom) {
    const char* text = getenv(kControlFromVariable);
    if (!text) return true;
    std::string error;
    controlFrom = ParseAddressBlocks(text, error);
    if (!controlFrom) {
        Log("%s %s\n", kControlFromVariable, error.c_str());
        fprintf(stderr, "quillbrook: %s %s\n", kControlFromVariable, error.c_str());
        return false;
    }
    Log("control connections allowed from %s\n", FormatAddressBlocks(*controlFrom).c_str());
    return true;
}

}  // namespace

int Quillbrook::Run() {
    Log("Starting...\n");
    hostAddr = kNoInterfaceAddr;
    Log("Main\n");
    std::optional<std::vector<AddressBlock>> controlFrom;
    if (!ReadControlAccess(controlFrom)) return 1;

    // Kept for the life of the process: the choice points into it.
    static std::vector<AdapterInfo> adapters;
    if (!ListAdapters(adapters)) return 0;
    const char* interfaceName = getenv(kInterfaceVariable);
    const InterfaceChoice choice = ChooseInterface(adapters, interfaceName ? interfaceName : "");
    if (!choice.overrideProblem.empty()) {
        Log("%s=%s not used: %s; choosing as usual\n", kInterfaceVariable, Printable(interfaceName).c_str(),
            choice.overrideProblem.c_str());
    }
    for (const AdapterInfo* adapter : choice.passed) {
        Log("network interface: name=%s, addr=%s, mask=%s\n", adapter->description.c_str(),
            adapter->address.c_str(), adapter->mask.c_str());
    }
    hostAddr = choice.hostAddr;
    hostIp = choice.hostIp;
    Log("hostAddr = %s\n", hostAddr.c_str());
    poolBlocks = PoolBlocks(ReadMaxMbits());
    Log("segment pool: %d blocks of %d bytes, whole segments of streams up to %d Mbit/s\n", poolBlocks,
        kBlockBytes, static_cast<int>(SizeCutBytes(poolBlocks) * 8 * 1000 / kLongestSegmentMs / 1'000'000));

    control.emplace(std::move(controlFrom), [this](const MulticastStream& stream) { StartStream(stream); });
    const std::string playlistRoute = std::string(kPlaylistPath) + "$";
    const std::string lowLatencyRoute = std::string(kLowLatencyPlaylistPath) + "$";
    const WebRoute routes[] = {
        {playlistRoute.c_str(), HandlePlaylistRequest, &hls},
        {lowLatencyRoute.c_str(), HandleLowLatencyPlaylistRequest, &hls},
        {"/*.ts$", HandleSegmentRequest, &hls},
        {"/relayReady$", HandleRelayReadyRequest, &hls},
        {"/metrics$", HandleMetricsRequest, &metrics},
    };
    webServer.Start(routes, control->Handlers());
    std::thread(&Quillbrook::HousekeepingLoop, this).detach();

    do {
        std::this_thread::sleep_for(kLifetimeCheckInterval);
    } while (control->Connected());
    Log("Exiting\n");
    FlushLogAndExit(0);
}

// On the worker that delivered the description, once: the process ends
// rather than run without the stream it was started for.
void Quillbrook::StartStream(const MulticastStream& stream) {
    if (!ring.Allocate(poolBlocks)) {
        Log("StartMcastReceive:: cannot allocate segment buffers\n");
        FlushLogAndExit(1);
    }
    if (!ingest.Start(stream, hostIp)) {
        Log("Could not get main mcast socket\n");
        FlushLogAndExit(1);
    }
}
