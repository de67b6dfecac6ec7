#!/usr/bin/env python3
"""load_client.py: the measuring client of bench/load/run.

    load_client.py find --label NAME (--ssdp | --location URL) --out FILE.json
    load_client.py measure --plan FILE.json --clients N --requests R --out FILE.json
    load_client.py table OURS.json [OTHER.json]

"find" discovers a media server as the browse benchmark does (its functions are imported),
finds its container of all pictures ("All Images" or "All Pictures"), browses it whole and
writes the plan: the description URL, the control URL, the container and its size, and
for every picture item its id, the picture's URL and a thumbnail URL (a JPEG_TN resource
when the server lists one, else the picture's path with the ".tb" name that asks for the
150 x 150 icon).

"measure" starts N clients at once; each makes R requests one after the other, every one
over a fresh TCP connection that it closes after the answer ("Connection: close"), as TVs
and phone apps do while they fill a screen of thumbnails. The requests cycle through
Browse pages of 20 pictures, BrowseMetadata of a picture, thumbnails, pictures and the
description, each client at its own place in the cycle and the list. A request's time
runs from the connect to the last byte of the answer. Resets, refused connects, time-outs,
answers cut short and wrong answers are counted by kind; none of them stops the run.

"table" prints the figures of one or two servers side by side with the target.
"""

import argparse
import asyncio
import json
import math
import os
import re
import socket
import sys
import time
import urllib.parse

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "browse"))
import browse_client as bc  # noqa: E402

PAGE = 20  # a screen of thumbnails
TIMEOUT_S = 15
LEVELS = (1, 8, 32, 64)
P99_TARGET_MS = 200
# One turn of a client: what a TV does while it fills a screen, then looks at one picture.
CYCLE = ("browse", "thumbnail", "thumbnail", "metadata", "thumbnail", "picture", "browse",
         "thumbnail", "description", "picture")
KINDS = ("browse", "metadata", "thumbnail", "picture", "description")
MEDIA_SERVER = b"urn:schemas-upnp-org:device:MediaServer:1"


# ---------------------------------------------------------------- find

def picture_items(text):
    """(id, picture URL, thumbnail URL) of the picture items of a Browse answer."""
    import xml.etree.ElementTree as ET
    envelope = ET.fromstring(text.encode("utf-8"))
    result = next((e.text for e in envelope.iter() if bc.local(e.tag) == "Result"), "")
    items = []
    for element in ET.fromstring(result.encode("utf-8")):
        if bc.local(element.tag) != "item":
            continue
        res = [(r.get("protocolInfo") or "", (r.text or "").strip())
               for r in element if bc.local(r.tag) == "res"]
        if not res or ":image/" not in res[0][0]:
            continue
        picture = res[0][1]
        thumbnail = next((url for info, url in res if "JPEG_TN" in info), None)
        if thumbnail is None:
            parts = urllib.parse.urlsplit(picture)
            path = parts.path.rsplit(".", 1)[0] + ".tb"
            thumbnail = urllib.parse.urlunsplit(parts._replace(path=path, query=""))
        items.append({"id": element.get("id"), "picture": picture, "thumbnail": thumbnail})
    return items


def find(args):
    location = args.location or bc.ssdp_location(args.discover_seconds)
    control = bc.control_url(location)
    client = bc.Client(control)
    try:
        level, container = ["0"], None
        for _ in range(3):
            following = []
            for parent in level:
                objects, _, _, _ = bc.browse(client, parent, "BrowseDirectChildren", 0, 0)
                for o in objects:
                    title = (o["title"] or "").strip().lower()
                    if o["kind"] == "container" and title in ("all images", "all pictures"):
                        container = o["id"]
                    following.append(o["id"])
            level = following
            if container:
                break
        if container is None:
            bc.fail("no container titled \"All Images\" or \"All Pictures\"")
        items, total, start = [], None, 0
        while total is None or start < total:
            text = client.call("Browse", [("ObjectID", container),
                                          ("BrowseFlag", "BrowseDirectChildren"),
                                          ("Filter", "*"), ("StartingIndex", str(start)),
                                          ("RequestedCount", "100"), ("SortCriteria", "")])
            _, returned, total, _ = bc.parse_answer("Browse", text)
            items += picture_items(text)
            start += max(returned, 1)
        if not items:
            bc.fail("\"%s\" holds no picture items" % container)
    finally:
        client.close()
    plan = {"label": args.label, "location": location, "control": control,
            "container": container, "total": total, "items": items}
    with open(args.out, "w") as f:
        json.dump(plan, f, indent=1)
    print("  %s: %d pictures in %s; picture %s, thumbnail %s"
          % (args.label, len(items), container, items[0]["picture"], items[0]["thumbnail"]),
          flush=True)


# ---------------------------------------------------------------- one request

class Answer(Exception):
    """A wrong answer: the kind of error and a few words."""

    def __init__(self, kind, text=""):
        super().__init__(text)
        self.kind = kind


async def read_body(reader, headers):
    if "chunked" in headers.get("transfer-encoding", "").lower():
        body = bytearray()
        while True:
            size = int((await reader.readline()).split(b";")[0].strip() or b"x", 16)
            if size == 0:
                while (await reader.readline()) not in (b"\r\n", b"\n", b""):
                    pass
                return bytes(body)
            body += await reader.readexactly(size)
            await reader.readexactly(2)
    if "content-length" in headers:
        return await reader.readexactly(int(headers["content-length"]))
    return await reader.read()


async def exchange(host, port, request):
    """Sends one request on a fresh connection: (status, headers, body)."""
    reader, writer = await asyncio.open_connection(host, port)
    try:
        writer.write(request)
        await writer.drain()
        line = await reader.readline()
        if not line:
            raise Answer("closed", "no status line")
        parts = line.split(None, 2)
        status = int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0
        headers = {}
        while True:
            line = await reader.readline()
            if line in (b"\r\n", b"\n"):
                break
            if not line:
                raise Answer("closed", "the head ends early")
            name, _, value = line.decode("latin-1").partition(":")
            headers[name.strip().lower()] = value.strip()
        return status, headers, await read_body(reader, headers)
    finally:
        writer.close()


def soap(url, action, arguments):
    parts = urllib.parse.urlsplit(url)
    args = "".join("<%s>%s</%s>" % (k, bc.xml_escape(v), k) for k, v in arguments)
    body = ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>'
            % (action, bc.CDS, args, action)).encode("utf-8")
    head = ("POST %s HTTP/1.1\r\nHost: %s\r\nContent-Type: text/xml; charset=\"utf-8\"\r\n"
            "SOAPACTION: \"%s#%s\"\r\nContent-Length: %d\r\nConnection: close\r\n\r\n"
            % (parts.path or "/", parts.netloc, bc.CDS, action, len(body)))
    return parts.hostname, parts.port or 80, head.encode() + body


def get(url):
    parts = urllib.parse.urlsplit(url)
    target = (parts.path or "/") + ("?" + parts.query if parts.query else "")
    head = "GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % (target, parts.netloc)
    return parts.hostname, parts.port or 80, head.encode()


def returned(body):
    match = re.search(rb"<NumberReturned>\s*(\d+)\s*</NumberReturned>", body)
    return int(match.group(1)) if match else None


class Workload:
    def __init__(self, plan):
        self.plan = plan
        self.items = plan["items"]
        self.total = plan["total"]

    def request(self, kind, n):
        """(host, port, request bytes, check) of the n-th request of a kind."""
        item = self.items[(n * 7) % len(self.items)]
        if kind == "browse":
            start = (n * PAGE) % max(1, self.total - PAGE + 1)
            expect = min(PAGE, self.total - start)
            host, port, data = soap(self.plan["control"], "Browse", [
                ("ObjectID", self.plan["container"]), ("BrowseFlag", "BrowseDirectChildren"),
                ("Filter", "*"), ("StartingIndex", str(start)), ("RequestedCount", str(PAGE)),
                ("SortCriteria", "")])
            return host, port, data, lambda body: returned(body) == expect
        if kind == "metadata":
            host, port, data = soap(self.plan["control"], "Browse", [
                ("ObjectID", item["id"]), ("BrowseFlag", "BrowseMetadata"), ("Filter", "*"),
                ("StartingIndex", "0"), ("RequestedCount", "0"), ("SortCriteria", "")])
            return host, port, data, lambda body: returned(body) == 1
        if kind == "description":
            host, port, data = get(self.plan["location"])
            return host, port, data, lambda body: MEDIA_SERVER in body
        host, port, data = get(item[kind])
        return host, port, data, lambda body: len(body) > 0


async def timed(workload, kind, n, times, errors):
    host, port, data, check = workload.request(kind, n)
    began = time.perf_counter()
    try:
        status, _, body = await asyncio.wait_for(exchange(host, port, data), TIMEOUT_S)
        if status != 200:
            raise Answer("status %d" % status)
        if not check(body):
            raise Answer("wrong answer")
    except Answer as e:
        errors[kind + ": " + e.kind] = errors.get(kind + ": " + e.kind, 0) + 1
        return
    except ConnectionResetError:
        errors["reset"] = errors.get("reset", 0) + 1
        return
    except ConnectionRefusedError:
        errors["refused"] = errors.get("refused", 0) + 1
        return
    except asyncio.IncompleteReadError:
        errors["cut short"] = errors.get("cut short", 0) + 1
        return
    except asyncio.TimeoutError:
        errors["time-out"] = errors.get("time-out", 0) + 1
        return
    except OSError as e:
        errors[e.__class__.__name__] = errors.get(e.__class__.__name__, 0) + 1
        return
    times[kind].append(time.perf_counter() - began)


async def run_clients(workload, clients, requests):
    times = {kind: [] for kind in KINDS}
    errors = {}

    async def one(index):
        for r in range(requests):
            step = index + r
            await timed(workload, CYCLE[step % len(CYCLE)], index * requests + r, times, errors)

    began = time.perf_counter()
    await asyncio.gather(*(one(i) for i in range(clients)))
    return times, errors, time.perf_counter() - began


def percentile(sorted_values, p):
    if not sorted_values:
        return float("nan")
    return sorted_values[max(1, math.ceil(p / 100.0 * len(sorted_values))) - 1]


def figures(values):
    values = sorted(values)
    return {"count": len(values), "p50_ms": percentile(values, 50) * 1000,
            "p99_ms": percentile(values, 99) * 1000,
            "max_ms": (values[-1] if values else float("nan")) * 1000}


def measure(args):
    with open(args.plan) as f:
        workload = Workload(json.load(f))
    # A few requests of each kind first, so that the first thumbnail or page read from disk
    # is not what the single client's figures measure.
    asyncio.run(run_clients(workload, 2, len(CYCLE)))
    times, errors, elapsed = asyncio.run(run_clients(workload, args.clients, args.requests))
    every = [t for kind in KINDS for t in times[kind]]
    result = {"label": workload.plan["label"], "clients": args.clients,
              "requests": args.clients * args.requests, "seconds": elapsed,
              "all": figures(every), "kinds": {k: figures(times[k]) for k in KINDS},
              "errors": errors}
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
    a = result["all"]
    print("  %-8s %2d client(s): %4d requests in %5.1f s; p50 %7.2f ms  p99 %7.2f ms  "
          "max %7.1f ms; errors: %s"
          % (result["label"], args.clients, result["requests"], elapsed, a["p50_ms"],
             a["p99_ms"], a["max_ms"], describe(errors)), flush=True)


def describe(errors):
    if not errors:
        return "none"
    return ", ".join("%d %s" % (n, kind) for kind, n in sorted(errors.items()))


# ---------------------------------------------------------------- table

def table(args):
    runs = {}
    for path in args.results:
        with open(path) as f:
            r = json.load(f)
        runs.setdefault(r["label"], {})[r["clients"]] = r
    labels = list(runs)
    ours = runs[labels[0]]
    other = runs[labels[1]] if len(labels) > 1 else None
    any_run = next(iter(ours.values()))
    print("\n%d requests per client, each over a fresh connection; a request's time runs "
          "from the connect to the answer's last byte" % (any_run["requests"] //
                                                         any_run["clients"]))
    head = "%-8s %25s" % ("clients", labels[0] + ": p50 / p99 ms, errors")
    if other:
        head += "   %25s   %s" % (labels[1] + ": p50 / p99 ms, errors", "p99 ratio")
    print(head)
    for n in sorted(ours):
        a = ours[n]
        cell = "%8.2f / %7.2f, %4d" % (a["all"]["p50_ms"], a["all"]["p99_ms"],
                                       sum(a["errors"].values()))
        line = "%-8d %25s" % (n, cell)
        b = other.get(n) if other else None
        if b:
            line += "   %8.2f / %7.2f, %4d   %9.2f" % (
                b["all"]["p50_ms"], b["all"]["p99_ms"], sum(b["errors"].values()),
                a["all"]["p99_ms"] / b["all"]["p99_ms"] if b["all"]["p99_ms"] else float("nan"))
        print(line)
    for label in labels:
        for n in sorted(runs[label]):
            if runs[label][n]["errors"]:
                print("  %s, %d clients: %s" % (label, n, describe(runs[label][n]["errors"])))
    top = ours[max(ours)]
    print("\nby kind, %s with %d clients:" % (labels[0], max(ours)))
    for kind in KINDS:
        k = top["kinds"][kind]
        print("  %-12s %5d   p50 %7.2f ms  p99 %7.2f ms  max %7.1f ms"
              % (kind, k["count"], k["p50_ms"], k["p99_ms"], k["max_ms"]))
    errors = sum(sum(r["errors"].values()) for r in ours.values())
    fast = top["all"]["p99_ms"] < P99_TARGET_MS
    print("\ntarget (%s: no request fails at any level; p99 under %d ms with %d clients): %s"
          % (labels[0], P99_TARGET_MS, max(ours),
             "met" if errors == 0 and fast else
             "MISSED (%d failed requests, p99 %.1f ms)" % (errors, top["all"]["p99_ms"])))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    f = sub.add_parser("find")
    f.add_argument("--label", required=True)
    where = f.add_mutually_exclusive_group(required=True)
    where.add_argument("--ssdp", action="store_true")
    where.add_argument("--location")
    f.add_argument("--discover-seconds", type=int, default=20)
    f.add_argument("--out", required=True)
    m = sub.add_parser("measure")
    m.add_argument("--plan", required=True)
    m.add_argument("--clients", type=int, required=True)
    m.add_argument("--requests", type=int, required=True)
    m.add_argument("--out", required=True)
    t = sub.add_parser("table")
    t.add_argument("results", nargs="+")
    args = parser.parse_args()
    if args.command == "table":
        table(args)
        return
    if sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        print("refusing to run: not in a private network namespace", file=sys.stderr)
        sys.exit(2)
    try:
        {"find": find, "measure": measure}[args.command](args)
    except bc.BenchError as e:
        print("%s: %s" % (getattr(args, "label", "load"), e), file=sys.stderr)
        sys.exit(1)
    except OSError as e:
        print("%s: failed: %s" % (getattr(args, "label", "load"), e), file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
