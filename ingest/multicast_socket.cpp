#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "ingest/ingest.h"
#include "log/log.h"

namespace {

// A network that routes only source-specific multicast forwards nothing for
// an any-source join; this one also keeps other senders to the group out.
bool JoinSource(int sock, const MulticastStream& stream, uint32_t hostIp) {
    ip_mreq_source membership{};
    membership.imr_multiaddr.s_addr = stream.group;
    membership.imr_interface.s_addr = hostIp;
    membership.imr_sourceaddr.s_addr = stream.source;
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_SOURCE_MEMBERSHIP, &membership, sizeof membership) < 0) {
        Log("StartMcastReceive:: multicast source join failed, %s\n", ErrorText(errno).c_str());
        return false;
    }
    return true;
}

}  // namespace

int OpenMcastSocket(const MulticastStream& stream, uint32_t hostIp) {
    const int sock = socket(AF_INET, SOCK_DGRAM, 0);
    if (sock < 0) {
        Log("StartMcastReceive:: error cannot create socket, %s\n", ErrorText(errno).c_str());
        return -1;
    }
    const int enable = 1;
    if (setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &enable, sizeof enable) < 0) {
        Log("StartMcastReceive:: error setsockopt (2) failed %s\n", ErrorText(errno).c_str());
        return -1;
    }
    // Linux hands multicast only to sockets bound to the wildcard or the group
    // address; binding the group keeps other groups on this port out. Any
    // other address is bound as the interface's, and its join fails below.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<uint16_t>(stream.port));
    local.sin_addr.s_addr = IN_MULTICAST(ntohl(stream.group)) ? stream.group : hostIp;
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        Log("StartMcastReceive:: error bind failed, %s\n", ErrorText(errno).c_str());
        return -1;
    }
    if (stream.source != 0) return JoinSource(sock, stream, hostIp) ? sock : -1;
    ip_mreq membership{};
    membership.imr_multiaddr.s_addr = stream.group;
    membership.imr_interface.s_addr = hostIp;
    if (setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0) {
        Log("StartMcastReceive:: multicast join failed, %s\n", ErrorText(errno).c_str());
        return -1;
    }
    return sock;
}

bool Ingest::Start(const MulticastStream& stream, uint32_t hostIp) {
    const int sock = OpenMcastSocket(stream, hostIp);
    if (sock < 0) return false;
    socket = sock;
    // The source first: the housekeeping thread takes a group as joined, then reads its source.
    source = stream.source;
    group = stream.group;
    ring.cutPid = stream.videoPid;
    std::thread(&Ingest::ReceiveLoop, this, sock, stream).detach();
    return true;
}

uint64_t Ingest::SocketDrops() const {
    uint32_t meminfo[SK_MEMINFO_VARS] = {};
    socklen_t meminfoBytes = sizeof meminfo;
    const int sock = socket;
    if (sock < 0 || getsockopt(sock, SOL_SOCKET, SO_MEMINFO, meminfo, &meminfoBytes) != 0) return 0;
    return meminfo[SK_MEMINFO_DROPS];
}
