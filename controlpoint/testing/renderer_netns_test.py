#!/usr/bin/python3
"""Runs the renderer control point's network test program inside a private network
namespace, next to hand-made renderers that this script plays.

    unshare -rn python3 renderer_netns_test.py TEST_PROGRAM [gtest options]

The UPnP library refuses loopback, so the namespace gets a veth pair (10.79.0.1 on v0)
and a multicast route through it; there is no default route. The test program starts a
real renderer (gmediarender) itself. This script answers every renderer search with
four devices of its own, the first three with descriptions it serves over HTTP:

  uuid:orvex-fake-noname  a description without friendlyName
  uuid:orvex-fake-big     a description of 12000 bytes
  uuid:orvex-fake-slow    a description served only after 2.5 seconds
  uuid:orvex-fake-far     a location on another network (10.99.0.1), never reachable

It refuses to run unless the namespace is fresh (only "lo" exists), so nothing here
ever reaches the machine's own network.
"""

import http.server
import os
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (  # noqa: E402
    ADDRESS, GROUP, add_veth_pair, disable_ipv6, header, require_private_namespace)

RENDERER_TYPE = "urn:schemas-upnp-org:device:MediaRenderer:1"
SLOW_SECONDS = 2.5


def udn(path):
    return "uuid:orvex-fake-" + path[1:-4]


def description(path, name_element, padding=0):
    return ('<?xml version="1.0"?>\n<root xmlns="urn:schemas-upnp-org:device-1-0">'
            "<specVersion><major>1</major><minor>0</minor></specVersion><device>"
            "<deviceType>%s</deviceType>%s<UDN>%s</UDN><modelDescription>%s</modelDescription>"
            "</device></root>\n" % (RENDERER_TYPE, name_element, udn(path), "x" * padding)).encode()


DEVICES = {path: description(path, name, padding) for path, name, padding in (
    ("/noname.xml", "", 0), ("/big.xml", "<friendlyName>Too Big</friendlyName>", 11700),
    ("/slow.xml", "<friendlyName>Slow Renderer</friendlyName>", 0))}
assert len(DEVICES["/big.xml"]) >= 12000


class DescriptionHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        device = DEVICES.get(self.path)
        if device is None:
            self.send_error(404)
            return
        if self.path == "/slow.xml":
            time.sleep(SLOW_SECONDS)
        body = device
        self.send_response(200)
        self.send_header("Content-Type", 'text/xml; charset="utf-8"')
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def answer_searches(port):
    """Answers every M-SEARCH for renderers with the three fake devices."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("0.0.0.0", 1900))
    s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                 struct.pack("4s4s", socket.inet_aton(GROUP), socket.inet_aton(ADDRESS)))
    while True:
        data, sender = s.recvfrom(65536)
        text = data.decode("latin-1")
        if not text.startswith("M-SEARCH") or header(text, "ST") not in (RENDERER_TYPE, "ssdp:all"):
            continue
        locations = ["http://%s:%d%s" % (ADDRESS, port, path) for path in DEVICES]
        for location in locations + ["http://10.99.0.1:%d/far.xml" % port]:
            answer = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
                      "LOCATION: %s\r\nSERVER: Linux/6.1, UPnP/1.0, Fake/1.0\r\n"
                      "ST: %s\r\nUSN: %s::%s\r\n\r\n"
                      % (location, RENDERER_TYPE, udn(urllib.parse.urlsplit(location).path),
                         RENDERER_TYPE))
            s.sendto(answer.encode(), sender)


def main():
    program = sys.argv[1]
    require_private_namespace()
    disable_ipv6()
    add_veth_pair()

    server = http.server.ThreadingHTTPServer((ADDRESS, 0), DescriptionHandler)
    server.daemon_threads = True
    port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()
    threading.Thread(target=answer_searches, args=(port,), daemon=True).start()

    result = subprocess.run([program] + sys.argv[2:])
    sys.exit(result.returncode)


if __name__ == "__main__":
    main()
