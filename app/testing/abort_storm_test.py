#!/usr/bin/python3
"""Abort storms against the whole server in a private network namespace: on each of its
HTTP servers (the stream server, the device's web server, lighttpd for ".mkv"), on a
transcoded resource and on a relayed internet stream (served by a small HTTP server of the
test's own), 200 connections each read a random part of a random media URL and then close
or reset. Afterwards the server answers, its threads and descriptors are back where they
were, no encoder runs and no shared-memory area is left.

    unshare -rnm python3 abort_storm_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists). The mount namespace gives
the test a /dev/shm of its own, so areas of other programs cannot be mistaken for leaks.
"""

import concurrent.futures
import functools
import http.server
import os
import random
import socket
import struct
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ADDRESS, ContentDirectory, Server, check, descendants,  # noqa: E402
                           finish, get, library_namespace, sh, wait_until)

STORM = 200
WORKERS = 8
SETTLE_SECONDS = 20


def serve_stream(path):
    """The internet radio of the relay: `path` over HTTP from the namespace's address."""
    class Handler(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(
        (ADDRESS, 0), functools.partial(Handler, directory=os.path.dirname(path)))
    server.daemon_threads = True
    server.handle_error = lambda *_: None  # the relay's listeners hang up mid-answer
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "http://%s:%d/%s" % (ADDRESS, server.server_address[1], os.path.basename(path))


def abort(url, rng):
    """Reads a random part of `url`, then closes or resets the connection."""
    parts = urllib.parse.urlsplit(url)
    target = parts.path + ("?" + parts.query if parts.query else "")
    wanted = rng.choice([0, 1, rng.randrange(1, 65536), rng.randrange(65536, 1 << 20)])
    reset = rng.random() < 0.5
    try:
        s = socket.create_connection((parts.hostname, parts.port), timeout=10)
    except OSError:
        return False
    try:
        s.sendall(("GET %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n"
                   % (target, parts.hostname, parts.port)).encode("latin-1"))
        got = 0
        while got < wanted:
            piece = s.recv(min(65536, wanted - got))
            if not piece:
                break
            got += len(piece)
        return True
    except OSError:
        return True
    finally:
        if reset:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()


def counts(pid):
    return len(os.listdir("/proc/%d/task" % pid)), len(os.listdir("/proc/%d/fd" % pid))


def settled(server, baseline, lighttpd):
    """Waits until threads and descriptors are back to `baseline` and only lighttpd runs
    below the server; (threads, descriptors, children) at the end."""
    return wait_until(lambda: (counts(server.process.pid), [
        name for _, name in descendants(server.process.pid)]), SETTLE_SECONDS, 0.5,
        lambda n: n[0][0] <= baseline[0] and n[0][1] <= baseline[1] and n[1] == lighttpd)


def port(url):
    return urllib.parse.urlsplit(url).port


def served(url):
    """The status of a whole GET of `url`, or the error."""
    try:
        status, _, body = get(url, timeout=30)
        return status if body else "%s without a body" % status
    except OSError as error:
        return repr(error)


def storms(server, location):
    cd = ContentDirectory(location)
    _, items = cd.walk()
    urls = sorted({url for listed in items.values() for item in listed
                   for url, _, _ in item["res"]})
    web, stream = port(location), port(items["song"][0]["res"][0][0])
    relay = [url for item in items.get("Radio", []) for url, _, _ in item["res"]]
    kinds = {
        "stream server": [u for u in urls if port(u) == stream and "&TC&POWER" not in u],
        "device web server": [u for u in urls if port(u) == web and "&TC&POWER" not in u],
        "lighttpd": [u for u in urls if port(u) == 3456],
        "transcode": [u for u in urls if "&TC&POWER" in u and u not in relay],
        "relay": relay,
    }
    # What each kind must still serve after its storm: a file of its own, a transcoded
    # MP4 and the radio.
    first = lambda title, test: ([u for item in items.get(title, [])  # noqa: E731
                                  for u, _, _ in item["res"] if test(u)] or [None])[0]
    reference = {
        "stream server": first("song", lambda u: port(u) == stream),
        "device web server": first("photo", lambda u: port(u) == web),
        "lighttpd": first("film", lambda u: port(u) == 3456),
        "transcode": first("clip", lambda u: "&TC&POWER" in u),
        "relay": relay[0] if relay else None,
    }
    # One read of each first, so that what is made once (libraries loaded on first use,
    # pools) is in the baseline.
    for kind, chosen in kinds.items():
        status = served(reference[kind]) if chosen and reference[kind] else None
        check(status in (200, 206), "%s: %d media URLs to abort; %s is served (%s)"
              % (kind, len(chosen), reference[kind], status))
    lighttpd = [name for _, name in descendants(server.process.pid)]
    baseline, _ = settled(server, (1 << 30, 1 << 30), lighttpd)
    print("     baseline: %d threads, %d descriptors, children %s"
          % (baseline[0], baseline[1], lighttpd), flush=True)

    rng = random.Random(15)
    for kind, chosen in kinds.items():
        if not chosen:
            continue
        started = time.time()
        with concurrent.futures.ThreadPoolExecutor(WORKERS) as pool:
            jobs = [pool.submit(abort, rng.choice(chosen), random.Random(rng.random()))
                    for _ in range(STORM)]
            accepted = sum(job.result() for job in jobs)
        check(accepted == STORM, "%s: %d of %d connections accepted (%.1f s)"
              % (kind, accepted, STORM, time.time() - started))
        server.serving(cd, "the %s storm" % kind)
        status = served(reference[kind])
        check(status in (200, 206), "after the %s storm %s is served (%s)"
              % (kind, reference[kind], status))
    if not server.alive():
        return
    now, children = settled(server, baseline, lighttpd)
    check(now[0] <= baseline[0], "threads are back to %d (%d)" % (baseline[0], now[0]))
    check(now[1] <= baseline[1], "descriptors are back to %d (%d)" % (baseline[1], now[1]))
    check(children == lighttpd, "no encoder is left running (%s)" % children)
    left = os.listdir("/dev/shm")
    check(not left, "no shared-memory area is left (%s)" % left)


def main():
    with library_namespace("orvex-aborts-") as (work, media, paths):
        sh("mount -t tmpfs -o size=64m orvex-shm /dev/shm")
        radio = serve_stream(paths["song"])
        # Transcoding on, so that the AVI and MPEG videos are offered transcoded too.
        with Server(sys.argv[1], work, media, settings={"TranscodingEnable": "TRUE"},
                    commands=[["--add-stream", radio, "--title", "Radio", "--kind", "audio"]]
                    ) as server:
            server.run(ADDRESS, lambda location: storms(server, location))
    finish()


if __name__ == "__main__":
    main()
