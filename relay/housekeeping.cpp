#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <thread>

#include "ingest/igmp.h"
#include "log/fault_log.h"
#include "log/log.h"
#include "relay/quillbrook.h"

namespace {

constexpr int kPassesPerIgmpReport = 5;
constexpr auto kPassInterval = std::chrono::milliseconds(1000);

// A control file counts when it is a regular file; its content is never read.
// Nothing is opened: opening a FIFO named "stop" would block this thread until
// a writer came, and no later control file would ever be seen.
bool TakeControlFile(const char* name) {
    struct stat status;
    if (lstat(name, &status) != 0 || !S_ISREG(status.st_mode)) return false;
    remove(name);
    return true;
}

}  // namespace

void Quillbrook::BreakHook() { Log("stupid windows\n"); }

void Quillbrook::HousekeepingLoop() {
    // IPPROTO_RAW implies IP_HDRINCL: the report carries the header we build.
    const int igmpSocket = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
    if (igmpSocket < 0) {
        Log("StartMcastReceive -- error, get IGMP socket error, most likely because not root; "
            "WARNING: requires IGMP Proxy if snooping switch present \n");
    } else {
        const int enable = 1;
        if (setsockopt(igmpSocket, SOL_SOCKET, SO_BROADCAST, &enable, sizeof enable) == -1) {
            Log("StartMcastReceive -- error, set socket bcast, %s) \n", ErrorText(errno).c_str());
            return;
        }
        // Reports must leave where the group was joined, not by the default route.
        if (hostIp != 0) {
            in_addr interface{hostIp};
            if (setsockopt(igmpSocket, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) == -1) {
                Log("HousekeepingLoop:: setsockopt IP_MULTICAST_IF failed, %s\n", ErrorText(errno).c_str());
            }
        }
    }

    // Passes are counted from the join: nothing is reported for a group not
    // yet joined, and the first report follows the join within a pass.
    for (int pass = 0;; std::this_thread::sleep_for(kPassInterval)) {
        const uint32_t group = ingest.Group();
        if (igmpSocket >= 0 && group != 0 && pass++ % kPassesPerIgmpReport == 0) {
            SendIgmpReport(igmpSocket, group, ingest.Source());
        }
        FlushFaultLog();
        if (TakeControlFile("break")) BreakHook();
        if (TakeControlFile("stop")) FlushLogAndExit(0);
        if (TakeControlFile("dump")) ingest.Dump();
    }
}
