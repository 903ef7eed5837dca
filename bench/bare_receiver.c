// The anchor for ingest figures: receives the group the way the relay does
// (same socket set-up, same 4,096-byte receive buffer, one copy of every
// datagram into a 2,125,000-byte buffer) and does nothing else.
//
//   bare_receiver GROUP PORT [SLOTS]
//
// SLOTS (default 1) makes the wrapping buffer that many times 2,125,000
// bytes; 8 gives the relay's ring footprint, which tells the cost of the
// relay's code apart from the cost of writing through 17 MB of memory.
//
// Prints "ready" once joined. SIGUSR1 prints the running totals
// ("bytes=N datagrams=N"); SIGTERM prints them and exits.
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

#include "netns_guard.h"

enum {
    kDatagramBytes = 4096,
    kSlotBytes = 2125000,
    kReceiveBufferBytes = 1048576,
};

static volatile sig_atomic_t reportWanted, stopWanted;

static void OnSignal(int signum) {
    if (signum == SIGTERM) stopWanted = 1;
    reportWanted = 1;
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
    const int slots = argc == 4 ? atoi(argv[3]) : 1;
    if (argc < 3 || argc > 4 || slots < 1 || slots > 64) {
        fprintf(stderr, "usage: %s GROUP PORT [SLOTS 1-64]\n", argv[0]);
        return 2;
    }
    const size_t bufferBytes = (size_t)slots * kSlotBytes;
    uint8_t* buffer = malloc(bufferBytes);
    if (!buffer) {
        fprintf(stderr, "bare_receiver: cannot allocate %zu bytes\n", bufferBytes);
        return 1;
    }
    if (!RequirePrivateNetns("bare_receiver")) return 1;
    const int sock = OpenReceiver(argv[1], atoi(argv[2]));
    if (sock < 0) return 1;

    // No SA_RESTART: a signal ends the blocked recv so the report goes out now.
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnSignal;
    sigaction(SIGUSR1, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
    printf("ready\n");
    fflush(stdout);

    uint8_t datagram[kDatagramBytes];
    uint64_t bytes = 0, datagrams = 0;
    size_t position = 0;
    for (;;) {
        if (reportWanted) {
            reportWanted = 0;
            printf("bytes=%" PRIu64 " datagrams=%" PRIu64 "\n", bytes, datagrams);
            fflush(stdout);
            if (stopWanted) return 0;
        }
        const ssize_t received = recv(sock, datagram, sizeof datagram, 0);
        if (received < 0) {
            if (errno == EINTR) continue;
            perror("bare_receiver: recv");
            return 1;
        }
        if (position + (size_t)received > bufferBytes) position = 0;
        memcpy(buffer + position, datagram, (size_t)received);
        // The copy is the work being measured; keep the compiler from proving it dead.
        __asm__ volatile("" : : "r"(buffer) : "memory");
        position += (size_t)received;
        bytes += (uint64_t)received;
        datagrams++;
    }
}
