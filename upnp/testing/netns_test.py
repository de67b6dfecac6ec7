#!/usr/bin/python3
"""Runs the test device inside a private network namespace and talks to it with real
sockets and real control points.

    unshare -rn python3 netns_test.py CASE HOST_PROGRAM

CASE is "ssdp": announcements and searches over raw sockets. GUPnP's reading of the
descriptions and SCPDs, its actions and events are proven against the whole server by
cds/testing/cds_netns_test.py and app/testing/netns_server_test.py. The script refuses
to run unless the namespace is fresh (only "lo" exists), so nothing here ever reaches the
machine's own network.
"""

import functools
import os
import select
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
import netns_support  # noqa: E402
from netns_support import (  # noqa: E402
    GROUP, TestHost as Host, check, finish,
    require_private_namespace, route_multicast_on_loopback, sh)

UDN = "4d696e69-444c-164e-9d41-b827eb0a1b2c"
TYPES = [
    ("::upnp:rootdevice", "upnp:rootdevice"),
    ("", "uuid:" + UDN),
    ("::urn:schemas-upnp-org:device:MediaServer:1", "urn:schemas-upnp-org:device:MediaServer:1"),
    ("::urn:schemas-upnp-org:service:ConnectionManager:1",
     "urn:schemas-upnp-org:service:ConnectionManager:1"),
    ("::urn:schemas-upnp-org:service:ContentDirectory:1",
     "urn:schemas-upnp-org:service:ContentDirectory:1"),
]
SERVER = "WINDOWS, UPnP/1.0, Ferrule Lattice/1.0.1922"

def alive(step, address, port, dport):
    suffix, nt = TYPES[step - 1]
    return ("NOTIFY * HTTP/1.1\r\nLOCATION: http://%s:%d/\r\nHOST: 239.255.255.250:%d\r\n"
            "SERVER: %s\r\nNTS: ssdp:alive\r\nUSN: uuid:%s%s\r\nCACHE-CONTROL: max-age=1800\r\n"
            "NT: %s\r\n\r\n" % (address, port, dport, SERVER, UDN, suffix, nt))


def byebye(step, dport):
    suffix, nt = TYPES[step - 1]
    return ("NOTIFY * HTTP/1.1\r\nHOST: 239.255.255.250:%d\r\nNTS: ssdp:byebye\r\n"
            "USN: uuid:%s%s\r\nNT: %s\r\nContent-Length: 0\r\n\r\n" % (dport, UDN, suffix, nt))


def reply(address, port, suffix, st):
    return ("HTTP/1.1 200 OK\r\nLOCATION: http://%s:%d/\r\nEXT:\r\nSERVER: %s\r\n"
            "USN: uuid:%s%s\r\nCACHE-CONTROL: max-age=1800\r\nST: %s\r\n\r\n"
            % (address, port, SERVER, UDN, suffix, st))


class GroupListener:
    """Collects every datagram sent to the group on both SSDP ports, with its arrival time."""

    def __init__(self):
        self.sockets, self.messages = [], []
        for port in (1900, 51900):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            s.bind(("0.0.0.0", port))
            self.sockets.append(s)
        self.join("127.0.0.1")

    def join(self, address):
        for s in self.sockets:
            s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                         socket.inet_aton(GROUP) + socket.inet_aton(address))

    def collect(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            ready, _, _ = select.select(self.sockets, [], [], max(0, end - time.time()))
            for s in ready:
                self.messages.append((time.time(), s.recvfrom(65536)[0].decode("latin-1")))

    def texts(self):
        return [m for _, m in self.messages]


# Searches go straight to the device's port, with MX 0 unless a case says otherwise.
search = functools.partial(netns_support.search, mx="0", target=("127.0.0.1", 1900))


def case_ssdp(program):
    listener = GroupListener()
    host = Host(program)
    port = host.port
    # The first round: every type within a second and a half, again about 7 s later.
    listener.collect(9.0)
    messages = listener.texts()
    for step in range(1, 6):
        for dport in (1900, 51900):
            check(messages.count(byebye(step, dport)) >= 2,
                  "start-up byebye step %d to port %d sent twice" % (step, dport))
            expected = alive(step, "127.0.0.1", port, dport)
            times = [t for t, m in listener.messages if m == expected]
            check(len(times) == 2 and 6.0 <= times[1] - times[0] <= 8.0,
                  "alive step %d to port %d byte for byte, twice about 7 s apart (%s)"
                  % (step, dport, [round(t - times[0], 2) for t in times]))

    replies = search("127.0.0.2", "ssdp:all", mx="0", wait=1.0)
    texts = [r for _, r in replies]
    expected = [reply("127.0.0.1", port, suffix, st) for suffix, st in TYPES]
    check(sorted(texts) == sorted(expected), "ssdp:all with MX 0 gives the five replies")

    sent = time.time()
    replies = search("127.0.0.3", "upnp:rootdevice", mx="120", wait=11.0)
    check(len(replies) == 1 and replies[0][0] - sent < 10.5,
          "MX 120 answered within 10 s (%s)" % [round(t - sent, 2) for t, _ in replies])

    # Which searches are answered, and how, is the parser's and the replies' unit case.
    # Fifteen searches in one burst: ten are answered.
    replies = search("127.0.0.9", "upnp:rootdevice", count=15, wait=1.0)
    check(len(replies) == 10, "burst of 15 searches answered 10 times (got %d)" % len(replies))

    # A requester on no local subnet: an address on lo, which the device leaves out.
    sh("ip addr add 192.0.2.1/32 dev lo")
    check(search("192.0.2.1", "ssdp:all", wait=1.5) == [], "requester outside every subnet ignored")

    # A new interface: the device hears of it through netlink and announces there.
    sh("ip link add d0 type veth peer name d1 && ip link set d0 up && ip link set d1 up && "
       "ip addr add 10.77.0.1/24 dev d0")
    listener.join("10.77.0.1")
    listener.messages = []
    listener.collect(2.0)
    check(alive(1, "10.77.0.1", port, 1900) in listener.texts(),
          "announced on an interface added while running")
    replies = search("10.77.0.1", "upnp:rootdevice", wait=1.0, target=("10.77.0.1", 1900))
    check([r for _, r in replies] == [reply("10.77.0.1", port, TYPES[0][0], TYPES[0][1])],
          "search through the new interface names it in LOCATION")

    listener.messages = []
    host.stop()
    listener.collect(0.5)
    messages = listener.texts()
    check(all(messages.count(byebye(step, 1900)) >= 2 for step in range(1, 6)),
          "byebye round at stop")


def main():
    case, program = sys.argv[1], sys.argv[2]
    require_private_namespace()
    route_multicast_on_loopback()
    {"ssdp": case_ssdp}[case](program)
    finish()


if __name__ == "__main__":
    main()
