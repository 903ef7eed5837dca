#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "log/log.h"
#include "relay/quillbrook.h"

int Quillbrook::OpenMcastSocket() {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        Log("StartMcastReceive:: error cannot create socket, %s\n", ErrorText(errno).c_str());
        return 0;
    }
    const int enable = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) < 0) {
        Log("StartMcastReceive:: error setsockopt (2) failed %s\n", ErrorText(errno).c_str());
        return 0;
    }
    // Linux hands multicast only to sockets bound to the wildcard or the group
    // address; binding the group keeps other groups on this port out. Any
    // other address is bound as the interface's, and its join fails below.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    local.sin_addr.s_addr = IN_MULTICAST(ntohl(mcastAddr)) ? mcastAddr.load() : hostIp;
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        Log("StartMcastReceive:: error bind failed, %s\n", ErrorText(errno).c_str());
        return 0;
    }
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = mcastAddr;
    membership.imr_interface.s_addr = hostIp;
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        Log("StartMcastReceive:: multicast join failed, %s\n", ErrorText(errno).c_str());
        return 0;
    }
    return sock;
}

int Quillbrook::StartMcastReceive() {
    if (!AllocateSegmentBuffers()) {
        Log("StartMcastReceive:: cannot allocate segment buffers\n");
        FlushLogAndExit(1);
    }
    mediaSequence = 0;
    segmentCounter = 0;
    currentSlot = 0;
    reportSourceIp = 0;
    const int sock = OpenMcastSocket();
    if (sock == 0) {
        Log("Could not get main mcast socket\n");
        FlushLogAndExit(1);
    }
    mcastSocket = sock;
    receiveThread = std::thread(&Quillbrook::ThreadMcastRcv, this, sock);
    receiveThread.detach();
    return 1;
}
