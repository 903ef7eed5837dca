// The relay: one object that holds every piece of shared state, and the
// constants that size it. Methods are defined across the subsystem folders;
// the logic they can hand off lives in free functions next to them.
#pragma once

#include <civetweb.h>
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ingest/frame_clock.h"
#include "web/control_access.h"
#include "web/metrics.h"

struct FrameStart;

inline constexpr int kSlotCount = 8;
inline constexpr int kSlotBytes = 2'125'000;
// A web server worker serves one connection for its whole life, so idle and
// slow-header connections use workers up until the request time-out; reopened
// at once, they hold them for good. 64 keep viewers served while dozens are
// held. Each worker can hold one buffer mid-transfer; that many spares
// guarantee a free buffer whenever the ring reuses a slot that a slow reader
// still holds, so the receive thread never waits on a client.
inline constexpr int kWorkerThreads = 64;
inline constexpr int kBufferCount = kSlotCount + kWorkerThreads;
inline constexpr int kSegmentNameBytes = 64;
inline constexpr int kHttpPort = 8154;
inline constexpr char kNotFoundText[] = "Error: File not found";
inline constexpr char kRelayVersion[] = "relay version 1.4.3";
inline constexpr char kSubprotocol[] = "ObQuillbrook";

struct SegmentSlot {
    uint8_t* data;
    double durationMs;
    int32_t size;
    char name[kSegmentNameBytes];
};

// A closed segment handed to a sender: the buffer stays out of reuse until
// ReleaseSegment, so its bytes are the ones that were closed.
struct SegmentLease {
    const uint8_t* data = nullptr;
    int32_t size = 0;
    int buffer = -1;
};

class Quillbrook {
public:
    std::mutex stateMutex;
    std::atomic<int32_t> firstPacketPending;
    std::atomic<int32_t> firstTsReadPending;
    // The segment being filled, guarded by stateMutex: its bytes; the 90 kHz
    // ticks since its first frame start, once it has one (segmentTimed);
    // whether a random-access frame starts in it; how many closed segments in
    // a row had none; the stream's frame period, as last measured.
    int32_t segmentBytes;
    int64_t segmentTicks;
    bool segmentTimed;
    bool segmentRandomAccess;
    int32_t keyframelessSegments;
    int64_t framePeriodTicks = kDefaultFramePeriodTicks;
    int32_t ringWrapped;
    std::stringstream playlistText;
    std::string hostAddr;
    std::string workingFolder;  // realpath of the folder the web server serves
    uint32_t hostIp;
    std::atomic<uint32_t> reportSourceIp;
    std::atomic<uint32_t> mcastAddr;
    std::atomic<uint32_t> port;
    std::atomic<int32_t> vidPid;
    int32_t igmpSocket;
    int32_t mediaSequence;
    std::atomic<int32_t> segmentCounter;  // written under stateMutex; read unlocked by the playlist guard
    int32_t currentSlot;
    SegmentSlot segmentRing[kSlotCount];
    std::thread controlThread;
    std::thread receiveThread;
    mg_websocket_subprotocols wsSubprotocols;
    std::atomic<mg_connection*> wsConn;
    std::atomic<int32_t> dumpRequested;
    // Set once before the web server starts; absent: anyone may control.
    std::optional<std::vector<AddressBlock>> controlFrom;
    RelayMetrics metrics;
    std::atomic<int> mcastSocket{-1};  // for the kernel's drop count at a scrape

    // Segment buffers behind segmentRing[].data, with the senders reading each.
    // Guarded by stateMutex.
    std::array<uint8_t*, kBufferCount> segmentBuffers;
    std::array<int, kBufferCount> bufferReaders;
    std::array<int, kSlotCount> slotBuffer;

    // relay/startup.cpp
    int Run();
    // relay/housekeeping.cpp
    void HousekeepingLoop();
    int BreakHook();
    // ingest/igmp.cpp
    int SendIgmpReport();
    int FillIpHeader(uint8_t* header);
    uint16_t InternetChecksum(const void* data, size_t length);
    // ingest/multicast_socket.cpp
    int StartMcastReceive();
    int OpenMcastSocket();
    // ingest/receive_loop.cpp
    void ThreadMcastRcv(int sock);
    // hls/segment_ring.cpp
    void AppendSegmentData(const uint8_t* data, int32_t length, const FrameStart* frameStart);
    bool AllocateSegmentBuffers();
    // Every slot in a buffer of its own, none read. Tests and fuzz targets that
    // start relay after relay hand each the same buffers: allocating 150 MB per
    // relay makes them crawl under ASan.
    void UseSegmentBuffers(const std::array<uint8_t*, kBufferCount>& buffers);
    SegmentLease LeaseSegment(const std::string& name);
    void ReleaseSegment(const SegmentLease& lease);
    // hls/playlist.cpp
    int HandlePlaylistRequest(mg_connection* conn);
    // hls/segment_endpoint.cpp
    int HandleSegmentRequest(mg_connection* conn);
    int HandleRelayReadyRequest(mg_connection* conn);
    void CheckSentContinuity(const uint8_t* data, int32_t size);
    // web/metrics.cpp
    int HandleMetricsRequest(mg_connection* conn);
    // web/web_server.cpp
    int StartWebServer();
    int HandleStaticRequest(mg_connection* conn);
    // web/control_channel.cpp
    int WebsocketConnect(const mg_connection* conn);
    void WebsocketReady(mg_connection* conn);
    int WebsocketData(mg_connection* conn, int bits, const char* data, size_t length);
    [[noreturn]] void WebsocketClose(const mg_connection* conn);
    void WebsocketSend();

private:
    void AddFrameStart(const FrameStart& frame);
    void CloseSegment(int64_t durationTicks, CutReason reason);
    void ReuseSlotBuffer(int slot);
};

extern Quillbrook relay;
