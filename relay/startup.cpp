#include <chrono>
#include <thread>

#include "log/log.h"
#include "relay/interface_choice.h"
#include "relay/quillbrook.h"

// Zero-filled static storage gives every plain field its starting zero.
Quillbrook relay;

namespace {
constexpr auto kLifetimeCheckInterval = std::chrono::milliseconds(3000);
}

int Quillbrook::Run() {
    Log("Starting...\n");
    mcastAddr = 0;
    hostAddr = kNoInterfaceAddr;
    firstPacketPending = 1;
    firstTsReadPending = 1;
    Log("Main\n");

    // Kept for the life of the process: the choice points into it.
    static std::vector<AdapterInfo> adapters;
    if (!ListAdapters(adapters)) return 0;
    const InterfaceChoice choice = ChooseInterface(adapters);
    for (const AdapterInfo* adapter : choice.passed) {
        Log("network interface: name=%s, addr=%s, mask=%s\n", adapter->description.c_str(),
            adapter->address.c_str(), adapter->mask.c_str());
    }
    hostAddr = choice.hostAddr;
    hostIp = choice.hostIp;
    Log("hostAddr = %s\n", hostAddr.c_str());

    StartWebServer();
    controlThread = std::thread(&Quillbrook::HousekeepingLoop, this);
    controlThread.detach();

    do {
        std::this_thread::sleep_for(kLifetimeCheckInterval);
    } while (wsConn.load() != nullptr);
    Log("Exiting\n");
    FlushLogAndExit(0);
}
