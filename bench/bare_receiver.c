// The anchor for the relay's ingest figures: receives the group the way the
// relay does (same socket set-up, same 4,096-byte receive buffer, one copy of
// every datagram into a 2,125,000-byte buffer) and does nothing else.
//
//   bare_receiver GROUP PORT
//
// Prints "ready" once joined; SIGTERM ends it. It refuses to run unless the
// network namespace holds nothing but loopback, so its group join cannot
// leave the machine.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

enum {
    kDatagramBytes = 4096,
    kSlotBytes = 2125000,
    kReceiveBufferBytes = 1048576,
};

static int OnlyLoopback(void) {
    // /proc/self/net follows the caller's namespace (sysfs would show the mounter's).
    FILE* devices = fopen("/proc/self/net/dev", "r");
    int onlyLoopback = devices != NULL;
    char line[512];
    for (int row = 0; devices && fgets(line, sizeof line, devices); row++) {
        char name[64] = "";
        if (row >= 2 && (sscanf(line, " %63[^:]:", name) != 1 || strcmp(name, "lo") != 0)) onlyLoopback = 0;
    }
    if (devices) fclose(devices);
    return onlyLoopback;
}

static int OpenReceiver(const char* group, int port) {
    struct sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = htons((uint16_t)port);
    if (inet_pton(AF_INET, group, &local.sin_addr) != 1 || !IN_MULTICAST(ntohl(local.sin_addr.s_addr))) {
        fprintf(stderr, "bare_receiver: %s is not a multicast group\n", group);
        return -1;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    const int enable = 1, receiveBufferBytes = kReceiveBufferBytes;
    struct ip_mreq membership = {local.sin_addr, {htonl(INADDR_ANY)}};
    if (sock < 0 || setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) < 0 ||
        bind(sock, (struct sockaddr*)&local, sizeof local) < 0 ||
        setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        perror("bare_receiver: socket set-up");
        return -1;
    }
    // As the relay: force the size past rmem_max where allowed, else ask.
    if (setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &receiveBufferBytes, sizeof receiveBufferBytes) < 0 &&
        setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes) < 0) {
        perror("bare_receiver: setsockopt SO_RCVBUF");
    }
    return sock;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s GROUP PORT\n", argv[0]);
        return 2;
    }
    if (!OnlyLoopback()) {
        fprintf(stderr, "bare_receiver: refusing to run: the network namespace has interfaces besides lo "
                        "(use scripts/netns.sh run)\n");
        return 1;
    }
    uint8_t* buffer = malloc(kSlotBytes);
    const int sock = OpenReceiver(argv[1], atoi(argv[2]));
    if (!buffer || sock < 0) return 1;
    printf("ready\n");
    fflush(stdout);

    uint8_t datagram[kDatagramBytes];
    size_t position = 0;
    for (;;) {
        const ssize_t received = recv(sock, datagram, sizeof datagram, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            perror("bare_receiver: recv");
            return 1;
        }
        if (position + (size_t)received > kSlotBytes) position = 0;
        memcpy(buffer + position, datagram, (size_t)received);
        // The copy is the work being measured; keep the compiler from proving it dead.
        __asm__ volatile("" : : "r"(buffer) : "memory");
        position += (size_t)received;
    }
}
