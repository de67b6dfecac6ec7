#!/usr/bin/env python3
"""browse_client.py: the measuring client of bench/browse/run.

    browse_client.py measure --label NAME (--ssdp | --location URL) --tracks N
                     --requests R --word WORD --out FILE.json [--rounds K
                     --peer-label NAME --peer-location URL --peer-out FILE.json]
    browse_client.py discover
    browse_client.py table OURS.json [OTHER.json] [--ratio R]

"measure" finds a media server's ContentDirectory (by an M-SEARCH on loopback, or from a
given description URL), finds its "All Music" container by browsing down from "0", and
then times R requests of each kind over one keep-alive HTTP connection: Browse of direct
children in pages of 100 at the start, middle and end of "All Music", BrowseMetadata of
one item, and a Search for dc:title containing WORD from "0". Every answer is checked: a
SOAP answer of the right action whose Result is DIDL-Lite with exactly the expected
NumberReturned objects. Any other answer stops the run with exit status 1. With
--pictures N, it also times Browse of the first 100 children of "All Images". With a peer,
both servers are timed in K rounds taken in turns, each kind in its turn.

"discover" prints the LOCATION of the MediaServer that answers an M-SEARCH on loopback.

"table" prints the figures of one or two runs side by side; the target is our p99 no
higher than --p99-ratio times the other's for the pages and the folders (BrowseMetadata and
Search: ratio printed, no target), or with --ratio R, our p50 and p99 no higher than R
times the other's for every kind (a build compared with an earlier one).
"""

import argparse
import http.client
import json
import math
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import xml.etree.ElementTree as ET

CDS = "urn:schemas-upnp-org:service:ContentDirectory:1"
DIDL_NS = "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/"
DC_NS = "http://purl.org/dc/elements/1.1/"
PAGE = 100
WARMUP = 3  # untimed requests of each kind before the timed ones
# Untimed requests at the start of each turn: after another server's turn the first answers
# meet cold caches, which a client of one server does not see.
TIMER_WARMUP = 3
TIMEOUT_S = 60
KINDS = [
    ("browse_start", "Browse children 0-99"),
    ("browse_middle", "Browse children mid"),
    ("browse_end", "Browse children last 100"),
    ("browse_pictures", "Browse pictures 0-99"),
    ("folder_pictures", "Browse folder 25 pictures"),
    ("folder_songs", "Browse folder 25 songs"),
    ("metadata", "BrowseMetadata item"),
    ("search", "Search title contains"),
]
# Kinds answered in a small fraction of a millisecond: 500 of them take a few tens of
# milliseconds, and their p99 (the 5th slowest) is then whatever one stall of the machine
# in that span makes it. They are timed --requests-small times.
SMALL_KINDS = {"folder_pictures", "folder_songs", "metadata"}
# The kinds that the target against a peer is set on: the first, middle and last page of a
# large container, and the two folders. BrowseMetadata and Search have targets of their own
# at scale (bench/scale); here their ratio is printed for information.
PEER_TARGET_KINDS = {"browse_start", "browse_middle", "browse_end", "folder_pictures",
                     "folder_songs"}


class BenchError(Exception):
    pass


def fail(what, body=None):
    text = what
    if body is not None:
        snippet = body if len(body) < 600 else body[:600] + "..."
        text += "\n--- answer ---\n" + snippet
    raise BenchError(text)


# ---------------------------------------------------------------- discovery

def ssdp_location(wait_s):
    """LOCATION of the first MediaServer that answers an M-SEARCH on loopback."""
    message = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
               "MAN: \"ssdp:discover\"\r\nMX: 1\r\n"
               "ST: urn:schemas-upnp-org:device:MediaServer:1\r\n\r\n").encode()
    end = time.monotonic() + wait_s
    while time.monotonic() < end:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        try:
            s.bind(("127.0.0.1", 0))
            s.sendto(message, ("239.255.255.250", 1900))
            round_end = min(end, time.monotonic() + 2.5)
            while time.monotonic() < round_end:
                ready, _, _ = select.select([s], [], [], max(0.0, round_end - time.monotonic()))
                if not ready:
                    continue
                reply = s.recvfrom(65536)[0].decode("latin-1")
                for line in reply.split("\r\n"):
                    if line.lower().startswith("location:"):
                        return line.split(":", 1)[1].strip()
        finally:
            s.close()
    fail("no MediaServer answered an M-SEARCH within %d s" % wait_s)


def control_url(location):
    parts = urllib.parse.urlsplit(location)
    conn = http.client.HTTPConnection(parts.hostname, parts.port or 80, timeout=TIMEOUT_S)
    try:
        conn.request("GET", parts.path or "/")
        response = conn.getresponse()
        body = response.read().decode("utf-8", "replace")
    finally:
        conn.close()
    if response.status != 200:
        fail("device description %s answered %d" % (location, response.status), body)
    match = re.search(r"<serviceType>\s*" + re.escape(CDS) + r"\s*</serviceType>.*?"
                      r"<controlURL>\s*([^<\s]*)\s*</controlURL>", body, re.S)
    if not match:
        fail("the description at %s has no ContentDirectory:1 control URL" % location, body)
    base = re.search(r"<URLBase>\s*([^<\s]*)\s*</URLBase>", body)
    base_url = base.group(1) if base else location
    url = match.group(1)
    if not url.startswith("/") and "://" not in url and not base_url.endswith("/"):
        # A relative control URL is relative to the device's base, not its description file.
        base_url = base_url.rsplit("/", 1)[0] + "/"
    return urllib.parse.urljoin(base_url, url)


# ---------------------------------------------------------------- SOAP

class Client:
    """SOAP calls over one HTTP/1.1 keep-alive connection (reopened only when the server
    closes it; the number of connections used is counted), or with `fresh` over a new
    connection for each call, as many TVs do (its connecting is part of the time)."""

    def __init__(self, url, fresh=False):
        self.fresh = fresh
        parts = urllib.parse.urlsplit(url)
        self.host, self.port = parts.hostname, parts.port or 80
        self.path = parts.path or "/"
        if parts.query:
            self.path += "?" + parts.query
        self.conn = http.client.HTTPConnection(self.host, self.port, timeout=TIMEOUT_S)
        self.connections = 0
        self.last_seconds = 0.0  # the last exchange: from sending to the answer's last byte

    def close(self):
        self.conn.close()

    def call(self, action, arguments):
        body = soap_body(action, arguments)
        headers = {"Content-Type": 'text/xml; charset="utf-8"',
                   "SOAPACTION": '"%s#%s"' % (CDS, action),
                   "Connection": "close" if self.fresh else "keep-alive"}
        for attempt in (0, 1):
            if self.conn.sock is None:
                self.connections += 1
            try:
                began = time.perf_counter()
                self.conn.request("POST", self.path, body, headers)
                response = self.conn.getresponse()
                data = response.read()
                self.last_seconds = time.perf_counter() - began
                break
            except (http.client.RemoteDisconnected, ConnectionResetError, BrokenPipeError):
                # A kept-alive connection the server had already closed: one fresh try.
                self.conn.close()
                if attempt == 1:
                    raise
        if response.will_close or self.fresh:
            self.conn.close()
        text = data.decode("utf-8", "replace")
        if response.status != 200:
            fail("%s answered HTTP %d" % (action, response.status), text)
        return text


def soap_body(action, arguments):
    args = "".join("<%s>%s</%s>" % (k, xml_escape(v), k) for k, v in arguments)
    return ('<?xml version="1.0" encoding="utf-8"?>'
            '<s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>'
            % (action, CDS, args, action)).encode("utf-8")


def xml_escape(text):
    return (text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
            .replace('"', "&quot;"))


def local(tag):
    return tag.rsplit("}", 1)[-1]


def parse_answer(action, text):
    """The answer's Result objects, NumberReturned and TotalMatches; a fault or any
    malformed answer raises BenchError."""
    try:
        envelope = ET.fromstring(text.encode("utf-8"))
    except ET.ParseError as e:
        fail("%s: the answer is not XML (%s)" % (action, e), text)
    response = None
    for element in envelope.iter():
        if local(element.tag) == action + "Response":
            response = element
            break
    if response is None:
        fail("%s: the answer has no %sResponse" % (action, action), text)
    fields = {local(child.tag): (child.text or "") for child in response}
    for name in ("Result", "NumberReturned", "TotalMatches", "UpdateID"):
        if name not in fields:
            fail("%s: the answer has no %s" % (action, name), text)
    numbers = {}
    for name in ("NumberReturned", "TotalMatches", "UpdateID"):
        value = fields[name].strip()
        if not value.isdigit() or int(value) > 0xFFFFFFFF:
            fail("%s: %s is not an unsigned 32-bit number: %r" % (action, name, value), text)
        numbers[name] = int(value)
    try:
        didl = ET.fromstring(fields["Result"].encode("utf-8"))
    except ET.ParseError as e:
        fail("%s: Result is not DIDL-Lite XML (%s)" % (action, e), text)
    if didl.tag != "{%s}DIDL-Lite" % DIDL_NS:
        fail("%s: Result is %s, not DIDL-Lite" % (action, didl.tag), text)
    objects = []
    for element in didl:
        kind = local(element.tag)
        if kind not in ("item", "container"):
            continue
        title = element.find("{%s}title" % DC_NS)
        objects.append({"kind": kind, "id": element.get("id"),
                        "title": title.text if title is not None else None})
    if len(objects) != numbers["NumberReturned"]:
        fail("%s: NumberReturned %d but Result holds %d objects"
             % (action, numbers["NumberReturned"], len(objects)), text)
    return objects, numbers["NumberReturned"], numbers["TotalMatches"], text


def browse_arguments(object_id, flag, start, count):
    return [("ObjectID", object_id), ("BrowseFlag", flag), ("Filter", "*"),
            ("StartingIndex", str(start)), ("RequestedCount", str(count)), ("SortCriteria", "")]


def search_arguments(container_id, criteria, start, count):
    return [("ContainerID", container_id), ("SearchCriteria", criteria), ("Filter", "*"),
            ("StartingIndex", str(start)), ("RequestedCount", str(count)), ("SortCriteria", "")]


def browse(client, object_id, flag, start, count):
    return parse_answer("Browse", client.call("Browse", browse_arguments(object_id, flag, start,
                                                                         count)))


def search(client, container_id, criteria, start, count):
    return parse_answer("Search", client.call("Search", search_arguments(container_id, criteria,
                                                                         start, count)))


def find_all_music(client, title="all music", levels=3):
    """Breadth-first from "0" over containers, at most `levels` levels down."""
    level = ["0"]
    for _ in range(levels):
        following = []
        for container in level:
            objects, _, _, _ = browse(client, container, "BrowseDirectChildren", 0, 0)
            for o in objects:
                if o["kind"] != "container":
                    continue
                if (o["title"] or "").strip().lower() == title:
                    return o["id"]
                following.append(o["id"])
        level = following
    fail("no container titled \"%s\" within %d levels of \"0\"" % (title, levels))


# ---------------------------------------------------------------- measuring

def expected_matches(tracks, word):
    """Titles are "Track <n>" (the generator's tag) or "<nn> Track <n>" (its file name);
    the default word matches both forms alike."""
    lowered = word.lower()
    return sum(1 for i in range(tracks) if lowered in ("track %d" % i))


def percentile(sorted_values, p):
    rank = max(1, math.ceil(p / 100.0 * len(sorted_values)))
    return sorted_values[rank - 1]


def timed(timer, client, action, arguments, returned, requests, check, unrepeated=False):
    """Times `requests` calls with the timing program (its own cost stays small and alike for
    every server), which checks each answer's status and NumberReturned; the last answer is
    then checked in full here. Returns the sorted times in seconds and the connections used."""
    with tempfile.TemporaryDirectory() as scratch:
        body = os.path.join(scratch, "request.xml")
        last = os.path.join(scratch, "answer.xml")
        with open(body, "wb") as f:
            f.write(soap_body(action, arguments))
        command = [timer, client.host, str(client.port), client.path, action, body,
                   str(requests), str(returned), "--warmup", str(TIMER_WARMUP), "--last", last]
        if client.fresh:
            command.append("--fresh")
        if unrepeated:
            command.append("--unrepeated")
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            fail("the timing client failed: " + done.stderr.strip())
        with open(last, "rb") as f:
            answer = f.read()
        check(answer.decode("utf-8", "replace"))
    used = re.search(r"connections (\d+)", done.stderr)
    times = sorted(int(line) / 1e6 for line in done.stdout.split())
    if len(times) != requests or used is None:
        fail("the timing client printed %d times for %d requests" % (len(times), requests))
    return times, int(used.group(1)), answer


def prepare(client, args):
    """Finds the objects of every kind on one server. Returns, for each kind, the action,
    its arguments, the NumberReturned every answer must hold and the full check of an
    answer's text; and the result record to fill."""
    all_music = find_all_music(client)
    _, _, total, _ = browse(client, all_music, "BrowseDirectChildren", 0, 1)
    # A server may list the playlist files among the tracks, as ours does.
    songs = args.tracks + args.folder_items
    if total not in (songs, songs + args.playlists):
        fail("\"All Music\" (%s) has TotalMatches %d, expected %d songs (or %d with "
             "the playlists)" % (all_music, total, songs, songs + args.playlists))
    middle = (total // 2) // PAGE * PAGE
    end = max(0, total - PAGE)
    page_expect = min(PAGE, total)
    # The item of the metadata requests: the first one of the middle page.
    objects, _, _, _ = browse(client, all_music, "BrowseDirectChildren", middle, 1)
    if len(objects) != 1 or objects[0]["kind"] != "item":
        fail("child %d of \"All Music\" is not an item" % middle)
    item = objects[0]["id"]
    matches = expected_matches(args.tracks, args.word)
    if matches == 0 or matches > args.search_count:
        fail("search word %r matches %d titles; pick one that matches 1 to %d"
             % (args.word, matches, args.search_count))
    criteria = 'dc:title contains "%s"' % args.word.replace('"', '\\"')

    # Each kind: the action, its arguments, the NumberReturned every answer must hold,
    # and the full check of an answer's text.
    def browse_page(start):
        def check(text):
            _, returned, matched, _ = parse_answer("Browse", text)
            if returned != page_expect or matched != total:
                fail("Browse of %s from %d: NumberReturned %d (expected %d), TotalMatches %d "
                     "(expected %d)" % (all_music, start, returned, page_expect, matched,
                                        total), text)
        return ("Browse", browse_arguments(all_music, "BrowseDirectChildren", start, PAGE),
                page_expect, check)

    def check_metadata(text):
        objects, returned, _, _ = parse_answer("Browse", text)
        if returned != 1 or objects[0]["id"] != item:
            fail("BrowseMetadata of %s: NumberReturned %d (expected 1)" % (item, returned),
                 text)

    def check_search(text):
        _, returned, matched, _ = parse_answer("Search", text)
        if returned != matches or matched != matches:
            fail("Search %s: NumberReturned %d, TotalMatches %d (expected %d)"
                 % (criteria, returned, matched, matches), text)

    runs = {"browse_start": browse_page(0), "browse_middle": browse_page(middle),
            "browse_end": browse_page(end),
            "metadata": ("Browse", browse_arguments(item, "BrowseMetadata", 0, 0), 1,
                         check_metadata),
            "search": ("Search", search_arguments("0", criteria, 0, args.search_count),
                       matches, check_search)}
    if args.pictures:
        # The albums' cover pictures are listed among the pictures too.
        all_images = find_all_music(client, "all images")
        _, _, images, _ = browse(client, all_images, "BrowseDirectChildren", 0, 1)
        if images < args.pictures:
            fail("\"All Images\" (%s) has TotalMatches %d, expected at least %d"
                 % (all_images, images, args.pictures))

        def check_pictures(text):
            _, returned, matched, _ = parse_answer("Browse", text)
            if returned != min(PAGE, images) or matched != images:
                fail("Browse of %s: NumberReturned %d, TotalMatches %d (expected %d of %d)"
                     % (all_images, returned, matched, min(PAGE, images), images), text)
        runs["browse_pictures"] = ("Browse", browse_arguments(
            all_images, "BrowseDirectChildren", 0, PAGE), min(PAGE, images), check_pictures)

    def browse_folder(title):
        folder = find_all_music(client, title, 4)

        def check(text):
            _, returned, matched, _ = parse_answer("Browse", text)
            if returned != args.folder_items or matched != args.folder_items:
                fail("Browse of folder %s: NumberReturned %d, TotalMatches %d (expected %d)"
                     % (title, returned, matched, args.folder_items), text)
        return ("Browse", browse_arguments(folder, "BrowseDirectChildren", 0, PAGE),
                args.folder_items, check)
    if args.folder_items:
        runs["folder_pictures"] = browse_folder("pictures%d" % args.folder_items)
        runs["folder_songs"] = browse_folder("songs%d" % args.folder_items)
    result = {"tracks": args.tracks, "listed": total, "all_music": all_music, "item": item,
              "search": criteria, "search_matches": matches,
              "starts": {"browse_start": 0, "browse_middle": middle, "browse_end": end},
              "requests": args.requests, "requests_small": args.requests_small,
              "rounds": args.rounds, "fresh": args.fresh, "unrepeated": args.unrepeated,
              "kinds": {}}
    return runs, result


def measure(args):
    """Times every kind against our server, and with --peer-location against a second server
    and with --floor against canned_server too, in --rounds rounds taken in turns: a stall of
    the machine then falls on one round of one server, not on the whole of its figures."""
    servers = [(args.label, args.location or ssdp_location(args.discover_seconds), args.out)]
    if args.peer_location:
        servers.append((args.peer_label, args.peer_location, args.peer_out))
    targets = []
    try:
        for label, location, out in servers:
            args.label_now = label
            url = control_url(location)
            target = {"label": label, "out": out, "client": Client(url, args.fresh)}
            targets.append(target)
            target["runs"], target["result"] = prepare(target["client"], args)
            target["result"].update({"label": label, "location": location, "control": url,
                                     "connections": 0})
        canned = None
        if args.floor:
            host, port = args.floor.rsplit(":", 1)
            canned = {"label": "floor", "client": argparse.Namespace(
                host=host, port=int(port), fresh=args.fresh)}
        for kind, _ in KINDS:
            if any(kind not in target["runs"] for target in targets):
                continue
            count = args.requests_small if kind in SMALL_KINDS else args.requests
            for target in targets:
                args.label_now = target["label"]
                action, arguments, _, check = target["runs"][kind]
                for _ in range(WARMUP):
                    check(target["client"].call(action, arguments))
            # In turns, each round starting with the next one; ours comes first in the
            # first round, so that the floor has our answer to send back.
            turns = targets + ([canned] if canned else [])
            times = {id(target): [] for target in turns}
            for round_number in range(min(args.rounds, count)):
                share = count // args.rounds + (1 if round_number < count % args.rounds else 0)
                for target in turns[round_number:] + turns[:round_number]:
                    args.label_now = target["label"]
                    source = targets[0] if target is canned else target
                    action, arguments, returned, check = source["runs"][kind]
                    client = target["client"]
                    if target is canned:
                        name = kind + ("-fresh" if args.fresh else "")
                        if round_number == 0:  # canned_server reads a file at its first request
                            with open(os.path.join(args.floor_dir, name), "wb") as f:
                                f.write(source["answer"])
                        client.path = "/" + name
                    got, used, answer = timed(args.timer, client, action, arguments, returned,
                                              share, check, args.unrepeated)
                    times[id(target)] += got
                    if target is not canned:
                        target["answer"] = answer
                        target["result"]["connections"] += used
            for target in targets:
                got = sorted(times[id(target)])
                figures = {"requests": count, "p50_ms": percentile(got, 50) * 1000,
                           "p99_ms": percentile(got, 99) * 1000, "max_ms": got[-1] * 1000,
                           "per_second": len(got) / sum(got)}
                target["result"]["kinds"][kind] = figures
                print("  %-8s %-26s p50 %8.2f ms  p99 %8.2f ms  %7.1f/s"
                      % (target["label"], dict(KINDS)[kind], figures["p50_ms"],
                         figures["p99_ms"], figures["per_second"]), flush=True)
            if canned:
                floor = sorted(times[id(canned)])
                targets[0]["result"]["kinds"][kind].update({
                    "floor_p50_ms": percentile(floor, 50) * 1000,
                    "floor_p99_ms": percentile(floor, 99) * 1000})
    finally:
        for target in targets:
            target["client"].close()
    for target in targets:
        with open(target["out"], "w") as f:
            json.dump(target["result"], f, indent=1)


def table(args):
    runs = []
    for path in args.results:
        with open(path) as f:
            runs.append(json.load(f))
    ours = runs[0]
    other = runs[1] if len(runs) > 1 else None
    print()
    counts = "%d requests of each kind" % ours["requests"]
    if ours.get("requests_small", ours["requests"]) != ours["requests"]:
        counts += " (%d of the folders and BrowseMetadata)" % ours["requests_small"]
    if ours.get("rounds", 1) > 1:
        counts += ", in %d rounds taken in turns by the servers" % ours["rounds"]
    print("%s, one after another %s; %d "
          "tracks; search: %s (%d matches); req/s = 1 / mean time from sending a request to "
          "the last byte of its answer" % (
              counts, "each over a new connection" if ours.get("fresh") else
              "over one keep-alive connection, each unlike the 128 before it (no kept answer)"
              if ours.get("unrepeated") else "over one keep-alive connection",
              ours["tracks"], ours["search"],
              ours["search_matches"]))
    for run in runs:
        print("  %s: \"All Music\" is \"%s\" with %d entries (pages from %s), metadata item "
              "\"%s\", %d TCP connection(s) used"
              % (run["label"], run["all_music"], run["listed"],
                 ", ".join(str(run["starts"][k]) for k in ("browse_start", "browse_middle",
                                                           "browse_end")),
                 run["item"], run["connections"]))
    head = "%-26s %9s %9s %8s" % ("request", "p50 ms", "p99 ms", "req/s")
    if other:
        head += "   %9s %9s %8s   %s" % ("p50 ms", "p99 ms", "req/s", (
            "target <= %.2f x other" % args.ratio if args.ratio else
            "target p99 <= %.2f x other" % args.p99_ratio))
        print("\n%-26s %-28s   %-28s" % ("", ours["label"], other["label"]))
    print(head)
    missed = 0
    for kind, title in KINDS:
        a = ours["kinds"].get(kind)
        if a is None or (other and kind not in other["kinds"]):
            continue
        line = "%-26s %9.2f %9.2f %8.1f" % (title, a["p50_ms"], a["p99_ms"], a["per_second"])
        if other:
            b = other["kinds"][kind]
            if args.ratio:
                met = (a["p50_ms"] <= args.ratio * b["p50_ms"] and
                       a["p99_ms"] <= args.ratio * b["p99_ms"])
            else:
                met = a["p99_ms"] <= args.p99_ratio * b["p99_ms"]
            counted = args.ratio or kind in PEER_TARGET_KINDS
            missed += 0 if met or not counted else 1
            line += "   %9.2f %9.2f %8.1f   p99 ratio %.2f: %s" % (
                b["p50_ms"], b["p99_ms"], b["per_second"], a["p99_ms"] / b["p99_ms"],
                ("met" if met else "MISSED") if counted else "no target here")
        print(line)
    floors = [(kind, title) for kind, title in KINDS
              if "floor_p50_ms" in ours["kinds"].get(kind, {})]
    if floors:
        # For information: a server that does no work at all, measured the same way.
        print("\nfloor: canned_server, which only sends back %s's answers, timed the same way"
              % ours["label"])
        print(head[:46])
        for kind, title in floors:
            a = ours["kinds"][kind]
            line = "%-26s %9.2f %9.2f" % (title, a["floor_p50_ms"], a["floor_p99_ms"])
            b = other["kinds"].get(kind) if other else None
            if b:
                line += "            p99 ratio to %s's %.2f" % (other["label"],
                                                             a["floor_p99_ms"] / b["p99_ms"])
            print(line)
    if other:
        what = ("p50 and p99 <= %.2f x %s's" % (args.ratio, other["label"]) if args.ratio
                else "p99 <= %.2f x %s's" % (args.p99_ratio, other["label"]))
        print("\ntarget (our %s for each kind%s): %s" % (
            what, "" if args.ratio else " with a target here",
            "met" if missed == 0 else "missed for %d kind(s)" % missed))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="command", required=True)
    m = sub.add_parser("measure")
    m.add_argument("--label", required=True)
    where = m.add_mutually_exclusive_group(required=True)
    where.add_argument("--ssdp", action="store_true")
    where.add_argument("--location")
    m.add_argument("--discover-seconds", type=int, default=20)
    m.add_argument("--tracks", type=int, required=True)
    m.add_argument("--playlists", type=int, default=2)
    m.add_argument("--requests", type=int, required=True)
    m.add_argument("--requests-small", type=int,
                   help="requests of the kinds answered in a fraction of a millisecond "
                        "(folders and BrowseMetadata); --requests when not given")
    m.add_argument("--rounds", type=int, default=1,
                   help="take the requests of each kind in this many rounds, in turns "
                        "with the peer and the floor")
    m.add_argument("--peer-label")
    m.add_argument("--peer-location", help="a second server's description URL, timed in turns")
    m.add_argument("--peer-out", help="where the second server's figures go")
    m.add_argument("--word", required=True)
    m.add_argument("--search-count", type=int, default=200)
    m.add_argument("--pictures", type=int, default=0)
    m.add_argument("--fresh", action="store_true")
    m.add_argument("--unrepeated", action="store_true",
                   help="vary each timed request's SortCriteria (which sorts nothing) so that "
                        "no answer the server keeps is given again")
    # Folders "PicturesN" and "SongsN" of N files each, whose songs are in "All Music" too.
    m.add_argument("--folder-items", type=int, default=0)
    m.add_argument("--floor", metavar="HOST:PORT",
                   help="also time each kind against canned_server there, with our answer")
    m.add_argument("--floor-dir", help="the directory canned_server serves")
    m.add_argument("--out", required=True)
    m.add_argument("--timer", required=True,
                   help="the timing program (soap_timer of the build)")
    sub.add_parser("discover", help="print the LOCATION of the MediaServer that answers an "
                                    "M-SEARCH on loopback")
    t = sub.add_parser("table")
    t.add_argument("results", nargs="+")
    t.add_argument("--ratio", type=float)
    t.add_argument("--p99-ratio", type=float, default=1.0)
    args = parser.parse_args()
    if args.command == "table":
        table(args)
        return
    if args.command == "discover":
        args.ssdp = True
    if args.ssdp and sorted(name for _, name in socket.if_nameindex()) != ["lo"]:
        print("refusing to send an M-SEARCH: not in a private network namespace", file=sys.stderr)
        sys.exit(2)
    if args.command == "measure":
        args.requests_small = args.requests_small or args.requests
        if args.rounds < 1 or bool(args.peer_location) != bool(args.peer_out and args.peer_label):
            parser.error("--rounds must be at least 1; --peer-location needs --peer-label and "
                         "--peer-out")
    try:
        if args.command == "discover":
            print(ssdp_location(20))
            return
        measure(args)
    except BenchError as e:
        print("%s: INVALID ANSWER: %s" % (getattr(args, "label_now", "discover"), e),
              file=sys.stderr)
        sys.exit(1)
    except (OSError, http.client.HTTPException) as e:
        print("%s: request failed: %s" % (getattr(args, "label_now", "discover"), e),
              file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()
