#!/usr/bin/env python3
"""transcode_client.py: the measuring client of bench/transcode/run.

    transcode_client.py --seconds S --repeat N VIDEO SONG

Finds the server by M-SEARCH and its items for VIDEO and SONG by browsing (the stream
benchmark's functions, imported), then GETs the transcoded resource of each ("&TC" in its
URL) N times, one after the other: the time from the request to the first body byte, and
S seconds of media divided by the time to the last byte. Prints both with the targets."""

import argparse
import http.client
import os
import sys
import time
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "stream"))
import stream_client as sc  # noqa: E402

FIRST_BYTE_TARGET_S = 1.0
SPEED_TARGET = 1.0


def stream(url):
    """(first byte s, whole stream s, bytes) of one GET; fails on an error or no body."""
    parts = urllib.parse.urlsplit(url)
    began = time.perf_counter()
    conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=120)
    try:
        conn.request("GET", parts.path + ("?" + parts.query if parts.query else ""))
        response = conn.getresponse()
        got = len(response.read(1))
        first = time.perf_counter() - began
        while True:
            piece = response.read(1 << 16)
            if not piece:
                break
            got += len(piece)
        if response.status != 200 or got == 0:
            sc.bc.fail("%s: status %d, %d bytes" % (url, response.status, got))
        return first, time.perf_counter() - began, got
    finally:
        conn.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, required=True)
    parser.add_argument("--repeat", type=int, required=True)
    parser.add_argument("video")
    parser.add_argument("song")
    args = parser.parse_args()
    items = sc.find_items(sc.bc.ssdp_location(20), [args.video, args.song])
    missed = 0
    print("%-16s %22s %26s %12s" % ("stream", "first byte ms (worst)", "x real time (worst)",
                                    "bytes"))
    for label, name in (("720p video, AVI", args.video), ("Ogg song, MP3", args.song)):
        urls = [u for u in items[name]["res"] if "&TC" in u]
        if not urls:
            sc.bc.fail("%s has no transcoded resource: %s" % (name, items[name]["res"]))
        runs = sorted((stream(urls[0]) for _ in range(args.repeat)), key=lambda r: r[0])
        firsts = [r[0] for r in runs]
        speeds = sorted(args.seconds / r[1] for r in runs)
        median = firsts[len(firsts) // 2]
        print("%-16s %13.0f (%6.0f) %17.2f (%6.2f) %12d"
              % (label, median * 1000, firsts[-1] * 1000, speeds[len(speeds) // 2], speeds[0],
                 runs[-1][2]), flush=True)
        met = firsts[-1] < FIRST_BYTE_TARGET_S
        missed += 0 if met else 1
        print("  target: first byte under %.0f ms, worst %.0f ms (ratio %.2f): %s"
              % (FIRST_BYTE_TARGET_S * 1000, firsts[-1] * 1000, firsts[-1] / FIRST_BYTE_TARGET_S,
                 "met" if met else "MISSED"))
        if name == args.video:
            met = speeds[0] >= SPEED_TARGET
            missed += 0 if met else 1
            print("  target: at least real time, slowest %.2fx: %s"
                  % (speeds[0], "met" if met else "MISSED"))
    print("target %s" % ("met" if missed == 0 else "missed (%d)" % missed))


if __name__ == "__main__":
    try:
        main()
    except (sc.bc.BenchError, OSError, http.client.HTTPException) as e:
        print("transcode benchmark: %s" % e, file=sys.stderr)
        sys.exit(1)
