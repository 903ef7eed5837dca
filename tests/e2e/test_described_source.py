"""A source-specific stream: the relay in its namespace, two sources sending to one group and port from a
namespace of their own, joined by a veth on TEST-NET-2. The relay takes the described source alone, while a
witness beside it sees both arrive, and reports its membership in IGMPv3."""
import os
import re
import select
import socket
import subprocess

from conftest import http_get, inside, poll
from wire import NULL_PACKET

SOURCE, OTHER, RELAY_ADDRESS, V3_ROUTERS = "198.51.100.1", "198.51.100.2", "198.51.100.9", "224.0.0.22"
GROUP, UDP_PORT, SENT = "232.1.1.1", 5000, 100
LINKS = """link add qbssm0 type veth peer name qbssm1 netns {ns}
link set qbssm0 up
addr add {relay}/24 dev qbssm0
route replace 224.0.0.0/4 dev qbssm0
-n {ns} addr add {source}/24 dev qbssm1
-n {ns} addr add {other}/24 dev qbssm1
-n {ns} link set qbssm1 up
-n {ns} route add 224.0.0.0/4 dev qbssm1"""


def metric(name):
    return int(re.search(rf"^{name} (\d+)$", http_get("/metrics")[2].decode(), re.M)[1])


def test_the_relay_takes_the_described_source_alone(relay):
    namespace, made = f"qbssm{os.getpid()}", []
    subprocess.run(["ip", "netns", "add", namespace], check=True)
    try:
        for line in LINKS.format(ns=namespace, relay=RELAY_ADDRESS, source=SOURCE, other=OTHER).splitlines():
            subprocess.run(["ip", *line.split()], check=True)
        with inside(namespace):  # the sniffer and the senders stay on the far side of the veth
            made = [socket.socket(socket.AF_INET, *kind) for kind in ((socket.SOCK_RAW, socket.IPPROTO_IGMP),
                                                                       (socket.SOCK_DGRAM,), (socket.SOCK_DGRAM,))]
        made.append(socket.socket(socket.AF_INET, socket.SOCK_DGRAM))
        sniffer, *senders, witness = made
        # As IGMPv3 routers do: without the membership, reports to 224.0.0.22 are not taken in.
        sniffer.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                           socket.inet_aton(V3_ROUTERS) + socket.inet_aton(SOURCE))
        for sender, address in zip(senders, (SOURCE, OTHER)):
            sender.bind((address, 0))
            sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
            sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 1)
        witness.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        witness.bind((GROUP, UDP_PORT))
        witness.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(GROUP) + bytes(4))
        relay.start(f"{SOURCE}@{GROUP}:{UDP_PORT}")
        assert f"Websocket received source-specific stream: source={SOURCE}" in relay.log_lines()

        for _ in range(SENT):  # the other source first each time, so none of its datagrams trails
            senders[1].sendto(NULL_PACKET, (GROUP, UDP_PORT))
            senders[0].sendto(NULL_PACKET * 7, (GROUP, UDP_PORT))
        poll(lambda: metric("quillbrook_datagrams_received_total") >= SENT, what="the source's datagrams")
        assert metric("quillbrook_received_bytes_total") == SENT * len(NULL_PACKET) * 7
        assert metric("quillbrook_datagrams_received_total") == SENT
        witnessed = set()  # as many as its buffer holds
        while select.select([witness], [], [], 0)[0]:
            witnessed.add(witness.recvfrom(2048)[1][0])
        assert witnessed == {SOURCE, OTHER}

        # One current-state record, MODE_IS_INCLUDE {SOURCE}, from the relay's address (the rest of the
        # datagram is the unit test's).
        message = bytes.fromhex("2200 c9c5 0000 0001 0100 0001") + socket.inet_aton(GROUP) + socket.inet_aton(SOURCE)
        seen = []
        while not (ours := [datagram for datagram in seen if datagram[24:] == message]):
            poll(lambda: select.select([sniffer], [], [], 0)[0], what="the relay's IGMPv3 report")
            seen.append(sniffer.recv(256))
        assert ours[0][12:20] == socket.inet_aton(RELAY_ADDRESS) + socket.inet_aton(V3_ROUTERS)
    finally:
        for each in made:
            each.close()
        subprocess.run(["ip", "netns", "del", namespace], check=True)
