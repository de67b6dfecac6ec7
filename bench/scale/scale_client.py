#!/usr/bin/env python3
"""scale_client.py: helpers of bench/scale/run.

    scale_client.py first-answer --since EPOCH_SECONDS --out FILE.json
    scale_client.py table --items N --library FILE --startup FILE.json --browse FILE.json
                          --rss-kib KIB

"first-answer" sends an M-SEARCH every 100 ms and listens for NOTIFY announcements until a
MediaServer is heard, and writes how long after EPOCH_SECONDS (the server's start) that
was. "table" prints the figures with their targets."""

import argparse
import json
import os
import select
import socket
import struct
import sys
import time

GROUP = ("239.255.255.250", 1900)
SEARCH = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\nMAN: \"ssdp:discover\"\r\n"
          "MX: 1\r\nST: urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n").encode()
WAIT_S = 60
TARGETS = [("browse_start", "Browse first page p99", 10.0), ("browse_middle", "Browse middle page p99", 10.0),
           ("browse_end", "Browse last page p99", 10.0), ("metadata", "BrowseMetadata p99", 2.0),
           ("search", "Search contains p99", 500.0)]


def first_answer(args):
    if sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        sys.exit("refusing to send an M-SEARCH: not in a private network namespace")
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    listener.bind(("", GROUP[1]))
    listener.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                        struct.pack("4s4s", socket.inet_aton(GROUP[0]),
                                    socket.inet_aton("127.0.0.1")))
    searcher = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    searcher.bind(("127.0.0.1", 0))
    end = time.monotonic() + WAIT_S
    while time.monotonic() < end:
        searcher.sendto(SEARCH, GROUP)
        ready, _, _ = select.select([listener, searcher], [], [], 0.1)
        for s in ready:
            text = s.recv(65536).decode("latin-1")
            heard = time.time()
            kind = "NOTIFY" if text.startswith("NOTIFY") else "answer"
            if "MediaServer" in text and (kind == "answer" or "ssdp:alive" in text):
                seconds = heard - args.since
                with open(args.out, "w") as f:
                    json.dump({"seconds": seconds, "kind": kind}, f)
                print("  first SSDP %s %.2f s after the start" % (kind, seconds), flush=True)
                return
    sys.exit("no MediaServer heard within %d s" % WAIT_S)


def table(args):
    with open(args.startup) as f:
        startup = json.load(f)
    with open(args.browse) as f:
        browse = json.load(f)
    size = os.path.getsize(args.library)
    missed = 0

    def line(what, value, unit, target):
        nonlocal missed
        met = value < target
        missed += 0 if met else 1
        print("%-26s %10.2f %-4s target < %-8g ratio %.2f  %s"
              % (what, value, unit, target, value / target, "met" if met else "MISSED"))

    print("\n%d items under \"All Music\"; library file %d bytes, %.0f bytes per item"
          % (args.items, size, size / args.items))
    for kind, what, target in TARGETS:
        line(what, browse["kinds"][kind]["p99_ms"], "ms", target)
    line("start-up to first SSDP", startup["seconds"], "s", 3.0)
    line("resident memory at rest", args.rss_kib / 1024.0, "MiB", 64.0)
    print("target %s" % ("met" if missed == 0 else "missed (%d)" % missed))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    a = sub.add_parser("first-answer")
    a.add_argument("--since", type=float, required=True)
    a.add_argument("--out", required=True)
    t = sub.add_parser("table")
    t.add_argument("--items", type=int, required=True)
    t.add_argument("--library", required=True)
    t.add_argument("--startup", required=True)
    t.add_argument("--browse", required=True)
    t.add_argument("--rss-kib", type=float, required=True)
    args = parser.parse_args()
    {"first-answer": first_answer, "table": table}[args.command](args)


if __name__ == "__main__":
    main()
