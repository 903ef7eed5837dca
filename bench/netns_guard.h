// Refuses to run unless the network namespace holds nothing but loopback:
// the benchmark's multicast traffic and group joins must have no way out.
#pragma once

#include <stdio.h>
#include <string.h>

static inline int RequirePrivateNetns(const char* program) {
    // /proc/self/net follows the caller's namespace (sysfs would show the
    // mounter's), and init's namespace link is not readable here to compare.
    FILE* devices = fopen("/proc/self/net/dev", "r");
    int onlyLoopback = devices != NULL;
    char line[512];
    for (int row = 0; devices && fgets(line, sizeof line, devices); row++) {
        if (row < 2) continue;  // two header lines
        char name[64] = "";
        if (sscanf(line, " %63[^:]:", name) != 1 || strcmp(name, "lo") != 0) onlyLoopback = 0;
    }
    if (devices) fclose(devices);
    if (!onlyLoopback) {
        fprintf(stderr, "%s: refusing to run: the network namespace has interfaces besides lo "
                        "(run inside unshare --net)\n", program);
    }
    return onlyLoopback;
}
