#!/usr/bin/env python3
"""soak_client.py: the load and the measuring of bench/soak/run.

    soak_client.py --pid PID --media DIR --seed FILE.mp3 --log SERVER.log --minutes N
                   --out FILE.json

Finds the media server by an M-SEARCH on loopback, browses its whole tree once and then
keeps a modest mixed load on it for N minutes, from four threads:
  - Browse: a page of a container or the metadata of an object, twice a second, over a
    kept-alive connection that is opened again now and then;
  - pictures: a thumbnail, a picture or the description, once a second, each on a fresh
    connection;
  - streaming with aborts: every two seconds an audio or video resource (from either
    port, now and then with a Range) is read for 16 KB to 2 MB and dropped, by a close
    or a reset, before its end; every 30 s a transcoded one;
  - the watcher: every 10 s a file is added to the shared folder, renamed or removed, or
    a folder with a file in it is made or removed.
In the first minute, then every 10 minutes (for shorter runs once more, half-way), the
library is rescanned the way a running server without its window comes to do it: the
server is stopped for a moment (SIGSTOP) while 20,000 file changes are made, so that the
kernel's queue of changes overflows and the server must look at its shared folders
again; its log must then say that it refreshes them, and the tree is walked again.

Threads, descriptors and resident memory of PID are sampled every 10 s. The figures
compared are taken with the load paused and the server idle for 15 s (kept-alive
connections and encoders gone): after the first minute, which has done everything once,
and at the end. The target:
threads and descriptors at the end within 5% of the first, resident memory within
5 MiB. Exit status 1 when the server dies or cannot be found; 0 otherwise, target met
or not.
"""

import argparse
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import struct
import sys
import threading
import time
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browse"))
import browse_client as bc  # noqa: E402

SAMPLE_S = 10
SETTLE_S = 15  # longer than the stream server's keep-alive time (10 s)
BASELINE_S = 60
FIRST_RESCAN_S = 20
RESCAN_EVERY_S = 600
BURST_FILES = 20000
TIMEOUT_S = 20
MIB = 1024 * 1024


# ---------------------------------------------------------------- the server process

def sample(pid):
    """(threads, descriptors, resident bytes) of the process."""
    threads = rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1]) * 1024
    return threads, len(os.listdir("/proc/%d/fd" % pid)), rss


def alive(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


# ---------------------------------------------------------------- the tree

def walk(client):
    """Containers (id, child count) and items (id, [(protocolInfo, url)])."""
    import xml.etree.ElementTree as ET
    containers, items, queue = [], [], ["0"]
    while queue and len(containers) < 500:
        current = queue.pop(0)
        text = client.call("Browse", [("ObjectID", current),
                                      ("BrowseFlag", "BrowseDirectChildren"), ("Filter", "*"),
                                      ("StartingIndex", "0"), ("RequestedCount", "0"),
                                      ("SortCriteria", "")])
        _, returned, _, _ = bc.parse_answer("Browse", text)
        containers.append((current, returned))
        envelope = ET.fromstring(text.encode("utf-8"))
        result = next((e.text for e in envelope.iter() if bc.local(e.tag) == "Result"), "")
        for element in ET.fromstring(result.encode("utf-8")):
            kind = bc.local(element.tag)
            if kind == "container":
                queue.append(element.get("id"))
            elif kind == "item":
                res = [(r.get("protocolInfo") or "", (r.text or "").strip())
                       for r in element if bc.local(r.tag) == "res"]
                items.append((element.get("id"), res))
    return containers, items


# ---------------------------------------------------------------- the load

class Load:
    def __init__(self, args, location, control):
        self.args = args
        self.location = location
        self.control = control
        self.counts = {}
        self.errors = {}
        self.lock = threading.Lock()
        self.running = threading.Event()  # set while the load runs
        self.done = threading.Event()
        self.busy = {}  # thread name -> True while a request is under way
        self.added = []  # files and folders the watcher thread made
        self.serial = 0
        self.client = None  # the Browse thread's kept-alive connection
        self.learn()

    def learn(self):
        """Walks the whole tree (again): object ids change when the library is rescanned."""
        walker = bc.Client(self.control)
        try:
            containers, items = walk(walker)
        finally:
            walker.close()
        self.containers = containers
        self.items = items
        self.pictures = [u for _, res in items for info, u in res[:1] if ":image/" in info]
        self.streams = [u for _, res in items for info, u in res
                        if (":audio/" in info or ":video/" in info) and "&TC&POWER" not in u]
        self.transcoded = [u for _, res in items for info, u in res if "&TC&POWER" in u]

    def learn_when_settled(self, seconds=120):
        """Walks the tree again until two walks 5 s apart agree: the rescan has ended."""
        end = time.monotonic() + seconds
        size = None
        while time.monotonic() < end:
            self.learn()
            if (len(self.containers), len(self.items)) == size:
                return
            size = (len(self.containers), len(self.items))
            time.sleep(5)

    def count(self, kind, error=None):
        with self.lock:
            self.counts[kind] = self.counts.get(kind, 0) + 1
            if error:
                key = "%s: %s" % (kind, error)
                self.errors[key] = self.errors.get(key, 0) + 1

    def loop(self, name, period, step):
        rng = random.Random(name)
        while not self.done.is_set():
            if not self.running.wait(0.2):
                continue
            began = time.monotonic()
            self.busy[name] = True
            try:
                step(rng)
            finally:
                self.busy[name] = False
            self.done.wait(max(0.0, period - (time.monotonic() - began)))

    def quiet(self):
        return not any(self.busy.values())

    # -- Browse over a kept-alive connection
    def browse(self, rng):
        if self.client is None or rng.random() < 0.05:
            if self.client is not None:
                self.client.close()
            self.client = bc.Client(self.control)
        client = self.client
        try:
            if rng.random() < 0.7:
                container, children = rng.choice(self.containers)
                start = rng.randrange(max(1, children))
                text = client.call("Browse", [("ObjectID", container),
                                              ("BrowseFlag", "BrowseDirectChildren"),
                                              ("Filter", "*"), ("StartingIndex", str(start)),
                                              ("RequestedCount", "20"), ("SortCriteria", "")])
            else:
                item = rng.choice(self.items)[0]
                text = client.call("Browse", [("ObjectID", item), ("BrowseFlag", "BrowseMetadata"),
                                              ("Filter", "*"), ("StartingIndex", "0"),
                                              ("RequestedCount", "0"), ("SortCriteria", "")])
            bc.parse_answer("Browse", text)
            self.count("browse")
        except bc.BenchError as e:
            # An object the watcher thread or a rescan removed is answered with error 701
            # (no such object), rightly; the tree is walked again after each rescan.
            gone = "<errorCode>701</errorCode>" in str(e)
            self.count("browse (object gone)" if gone else "browse", None if gone else
                       str(e).split("\n")[0][:80])
        except (OSError, http.client.HTTPException) as e:
            self.count("browse", e.__class__.__name__)
            client.close()
            self.client = None

    # -- Pictures, thumbnails and the description on fresh connections
    def picture(self, rng):
        choice = rng.random()
        if choice < 0.1 or not self.pictures:
            url = self.location
        else:
            url = rng.choice(self.pictures)
            if choice < 0.6:
                parts = urllib.parse.urlsplit(url)
                url = urllib.parse.urlunsplit(parts._replace(path=parts.path.rsplit(".", 1)[0] +
                                                             ".tb"))
        parts = urllib.parse.urlsplit(url)
        conn = http.client.HTTPConnection(parts.hostname, parts.port, timeout=TIMEOUT_S)
        try:
            conn.request("GET", parts.path, headers={"Connection": "close"})
            response = conn.getresponse()
            body = response.read()
            # Files the watcher thread or a rescan removed may be gone: 404 is right then.
            ok = response.status == 200 and body or response.status == 404
            self.count("picture", None if ok else "status %d" % response.status)
        except (OSError, http.client.HTTPException) as e:
            self.count("picture", e.__class__.__name__)
        finally:
            conn.close()

    # -- Streams read in part and dropped
    def stream(self, rng, transcoded=False):
        pool = self.transcoded if transcoded else self.streams
        if not pool:
            return
        url = rng.choice(pool)
        parts = urllib.parse.urlsplit(url)
        target = parts.path + ("?" + parts.query if parts.query else "")
        ranged = not transcoded and rng.random() < 0.3
        request = "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s\r\n" % (
            target, parts.netloc, "Range: bytes=%d-\r\n" % rng.randrange(1 << 20) if ranged
            else "")
        wanted = 256 * 1024 if transcoded else rng.choice((16 << 10, 256 << 10, 2 << 20))
        kind = "transcode" if transcoded else "stream"
        try:
            with socket.create_connection((parts.hostname, parts.port), timeout=TIMEOUT_S) as s:
                s.sendall(request.encode())
                head, got = b"", 0
                while got < wanted:
                    piece = s.recv(65536)
                    if not piece:
                        break
                    head += piece[:64 - len(head)]
                    got += len(piece)
                status = head.split(b" ", 2)[1] if head.startswith(b"HTTP/") else b"?"
                if rng.random() < 0.5:
                    s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            # 416: a range that starts past the end of a short file.
            self.count(kind, None if status in (b"200", b"206", b"404", b"416") else
                       "status %s" % status.decode("latin-1"))
        except OSError as e:
            self.count(kind, e.__class__.__name__)

    # -- Changes in the shared folder for the watcher
    def change(self, rng):
        root = os.path.join(self.args.media, "soak")
        os.makedirs(root, exist_ok=True)
        self.serial += 1
        n = self.serial
        files = [p for p in self.added if p.endswith(".mp3")]
        action = rng.random()
        if action < 0.35 or not files:
            path = os.path.join(root, "added %d.mp3" % n)
            shutil.copyfile(self.args.seed, path)
            self.added.append(path)
        elif action < 0.55:
            old = rng.choice(files)
            new = os.path.join(root, "renamed %d.mp3" % n)
            os.rename(old, new)
            self.added[self.added.index(old)] = new
        elif action < 0.8 or len(files) < 5:
            folder = os.path.join(root, "folder %d" % n)
            os.makedirs(folder)
            shutil.copyfile(self.args.seed, os.path.join(folder, "inside.mp3"))
            self.added.append(folder)
        else:
            path = rng.choice(self.added)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
            self.added.remove(path)
        # The number of files added stays bounded, so the library does not grow.
        while len(self.added) > 20:
            path = self.added.pop(0)
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        self.count("change")


def rescan(args, pid):
    """Overflows the server's queue of file changes; True when its log says it refreshes
    the shared folders."""
    burst = os.path.join(args.media, "burst")
    os.makedirs(burst, exist_ok=True)
    before = refreshes(args.log)
    os.kill(pid, signal.SIGSTOP)
    try:
        for i in range(BURST_FILES):
            os.close(os.open(os.path.join(burst, "%d.txt" % i), os.O_CREAT | os.O_WRONLY, 0o644))
        for i in range(BURST_FILES):
            os.unlink(os.path.join(burst, "%d.txt" % i))
    finally:
        os.kill(pid, signal.SIGCONT)
    end = time.monotonic() + 60
    while time.monotonic() < end:
        if refreshes(args.log) > before:
            return True
        time.sleep(0.5)
    return False


def refreshes(log):
    with open(log, errors="replace") as f:
        return len(re.findall(r"may have been missed; refreshing it", f.read()))


# ---------------------------------------------------------------- the run

def settle(load, pid):
    """Pauses the load, lets the server go idle and samples it."""
    load.running.clear()
    end = time.monotonic() + 30
    while not load.quiet() and time.monotonic() < end:
        time.sleep(0.1)
    time.sleep(SETTLE_S)
    return sample(pid)


def report(elapsed, figures, load, rescans):
    threads, fds, rss = figures
    with load.lock:
        requests = sum(load.counts.values())
        errors = sum(load.errors.values())
    print("  %3d:%02d  threads %4d  descriptors %4d  resident %7.1f MiB  operations %6d "
          "(failed %d)  rescans %d" % (elapsed // 60, elapsed % 60, threads, fds, rss / MIB,
                                        requests, errors, rescans), flush=True)


def run(args):
    location = bc.ssdp_location(30)
    load = Load(args, location, bc.control_url(location))
    print("  %d containers, %d items (%d pictures, %d streams, %d transcoded); %d minute(s)"
          % (len(load.containers), len(load.items), len(load.pictures), len(load.streams),
             len(load.transcoded), args.minutes), flush=True)
    workers = [threading.Thread(target=load.loop, args=a, daemon=True) for a in (
        ("browse", 0.5, load.browse), ("picture", 1.0, load.picture),
        ("stream", 2.0, load.stream), ("transcode", 30.0, lambda r: load.stream(r, True)),
        ("change", 10.0, load.change))]
    for w in workers:
        w.start()

    total = args.minutes * 60
    # The first minute does everything once, a rescan included, so that what is made once
    # and kept (caches, the scanner's memory) is in the reference figures; every later
    # rescan must then leave the figures where they were.
    rescan_at = [FIRST_RESCAN_S] + ([t for t in range(RESCAN_EVERY_S, total - 60, RESCAN_EVERY_S)]
                                    or [max(BASELINE_S + 30, total // 2)])
    samples, rescans, missed_rescans = [], 0, 0
    baseline = None
    began = time.monotonic()
    load.running.set()
    next_sample = SAMPLE_S
    reported = 0  # the last minute reported
    while True:
        elapsed = int(time.monotonic() - began)
        if not alive(args.pid):
            print("the server has died after %d s" % elapsed, file=sys.stderr)
            return 1
        if baseline is None and elapsed >= BASELINE_S:
            paused = time.monotonic()
            baseline = settle(load, args.pid)
            print("  after the first minute, idle:", flush=True)
            report(elapsed, baseline, load, rescans)
            reported = elapsed // 60
            load.running.set()
            # The pause does not count as time under load.
            began += time.monotonic() - paused
            continue
        if rescan_at and elapsed >= rescan_at[0]:
            rescan_at.pop(0)
            if rescan(args, args.pid):
                rescans += 1
                load.learn_when_settled()
            else:
                missed_rescans += 1
                print("  the server did not refresh its folders after the overflow",
                      file=sys.stderr, flush=True)
        if elapsed >= total:
            break
        if elapsed >= next_sample:
            next_sample += SAMPLE_S
            figures = sample(args.pid)
            samples.append((elapsed,) + figures)
            if elapsed // 60 > reported:
                reported = elapsed // 60
                report(elapsed, figures, load, rescans)
        time.sleep(0.5)
    final = settle(load, args.pid)
    load.done.set()
    print("  at the end, idle:", flush=True)
    report(total, final, load, rescans)

    threads0, fds0, rss0 = baseline
    threads1, fds1, rss1 = final
    checks = [("threads", threads0, threads1, abs(threads1 - threads0) <= 0.05 * threads0),
              ("descriptors", fds0, fds1, abs(fds1 - fds0) <= 0.05 * fds0),
              ("resident MiB", rss0 / MIB, rss1 / MIB, abs(rss1 - rss0) <= 5 * MIB)]
    print("\n%-14s %12s %12s" % ("", "first minute", "end"))
    for name, a, b, ok in checks:
        print("%-14s %12.1f %12.1f   %s" % (name, a, b, "ok" if ok else "GREW" if b > a else
                                               "SHRANK"))
    with load.lock:
        print("operations: %s"
              % ", ".join("%d %s" % (n, k) for k, n in sorted(load.counts.items())))
        print("failed: %s" % (", ".join("%d %s" % (n, k) for k, n in sorted(load.errors.items()))
                              or "none"))
    print("rescans: %d%s" % (rescans, "" if not missed_rescans else
                             " (%d overflow(s) without a refresh)" % missed_rescans))
    met = all(ok for *_, ok in checks)
    print("\ntarget (threads and descriptors within 5%%, resident memory within 5 MiB of the "
          "first minute's): %s" % ("met" if met else "MISSED"))
    with open(args.out, "w") as f:
        json.dump({"minutes": args.minutes, "baseline": baseline, "final": final,
                   "samples": samples, "counts": load.counts, "errors": load.errors,
                   "rescans": rescans, "missed_rescans": missed_rescans, "met": met}, f,
                  indent=1)
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--pid", type=int, required=True)
    parser.add_argument("--media", required=True)
    parser.add_argument("--seed", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--minutes", type=int, required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    if args.minutes < 2:
        parser.error("--minutes must be at least 2: the first minute is the reference")
    if sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        print("refusing to run: not in a private network namespace", file=sys.stderr)
        sys.exit(2)
    try:
        sys.exit(run(args))
    except bc.BenchError as e:
        print("soak: %s" % e, file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
