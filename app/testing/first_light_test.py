#!/usr/bin/python3
"""The whole server end to end, as a home network sees it: `mirelle` shares a folder of
music, pictures and video inside a private network namespace; a GUPnP control point finds
it, browses from "0" to the items and every resource URL is fetched and compared with the
files (whole, the last 100 bytes, two ranges), the picture's thumbnail is read, and paths
that try to leave the shared folders are refused by both HTTP servers.

    unshare -rn python3 first_light_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (MediaServerFinder, add_veth_pair, check, ffmpeg, finish,  # noqa: E402
                           http, require_private_namespace, wait_for_text)


def make_media(media):
    music = os.path.join(media, "Music")
    os.makedirs(music)
    ffmpeg("-f", "lavfi", "-i", "sine=f=440:d=3", "-c:a", "libmp3lame", "-b:a", "96k",
           "-metadata", "title=First Light", "-metadata", "artist=Tester",
           os.path.join(music, "song.mp3"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=64x64:d=1", "-frames:v", "1",
           os.path.join(music, "folder.jpg"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=320x240:d=1", "-frames:v", "1",
           os.path.join(media, "photo.jpg"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=160x120:d=2:r=10", "-f", "lavfi", "-i",
           "sine=f=220:d=2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest",
           os.path.join(media, "clip.mp4"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=160x120:d=2:r=10", "-c:v", "mpeg4",
           os.path.join(media, "film.mkv"))




def browse_items(program_log):
    import gi
    gi.require_version("GUPnP", "1.6")
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GObject, GUPnP, GUPnPAV

    finder = MediaServerFinder()
    if not check(finder.find(20) is not None, "GUPnP finds the server"):
        return {}
    services = finder.services()
    cd = services["urn:schemas-upnp-org:service:ContentDirectory:1"]

    def children(object_id):
        names = ["ObjectID", "BrowseFlag", "Filter", "StartingIndex", "RequestedCount",
                 "SortCriteria"]
        action = GUPnP.ServiceProxyAction.new_from_list(
            "Browse", names, [object_id, "BrowseDirectChildren", "*", 0, 0, ""])
        cd.call_action(action, None)
        ok, values = action.get_result_list(["Result"], [GObject.TYPE_STRING])
        objects = []
        parser = GUPnPAV.DIDLLiteParser.new()
        parser.connect("object-available", lambda _p, o: objects.append(o))
        parser.parse_didl(values[0])
        return objects

    # Walk the whole tree from "0"; keep one item per file name.
    items = {}
    queue, seen = ["0"], 0
    while queue and seen < 200:
        current = queue.pop(0)
        seen += 1
        for o in children(current):
            if isinstance(o, GUPnPAV.DIDLLiteContainer):
                queue.append(o.get_id())
            else:
                uris = [r.get_uri() for r in o.get_resources()]
                infos = [r.get_protocol_info().to_string() for r in o.get_resources()]
                if uris:
                    items.setdefault(o.get_title(), list(zip(uris, infos)))
    return items


def fetch(url, headers=()):
    print("     GET " + url + "".join("  [%s: %s]" % h for h in headers), flush=True)
    parts = urllib.parse.urlsplit(url)
    target = parts.path + ("?" + parts.query if parts.query else "")
    return http(parts.hostname, parts.port, target, headers)


def check_resource(name, url, data):
    status, fields, body = fetch(url)
    check(status == 200 and body == data, "%s: %s gives the whole file (%s, %d bytes)"
          % (name, url, status, len(body)))
    status, fields, body = fetch(url, [("Range", "bytes=-100")])
    check(status == 206 and body == data[-100:], "%s: the last 100 bytes (%s)" % (name, status))
    status, fields, body = fetch(url, [("Range", "bytes=0-9,20-29")])
    first, second = data[0:10], data[20:30]
    check(status == 206 and first in body and second in body and
          body.index(first) < body.rindex(second), "%s: two ranges (%s)" % (name, status))


def main():
    program = sys.argv[1]
    require_private_namespace()
    add_veth_pair()
    work = tempfile.mkdtemp(prefix="orvex-firstlight-")
    server = None
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        make_media(media)
        files = {}
        for root, _, names in os.walk(media):
            for n in names:
                with open(os.path.join(root, n), "rb") as f:
                    files[os.path.splitext(n)[0]] = f.read()
        log_path = os.path.join(work, "server.log")
        with open(log_path, "w") as log:
            server = subprocess.Popen([program, "--home", os.path.join(work, "home"),
                                       "--headless", "--share", media], stdout=log, stderr=log)
        check(wait_for_text(log_path, "runs headless", 60), "the server starts")
        items = browse_items(log_path)
        # Items are titled by their file's base name.
        titles = {"song": "song", "photo": "photo", "clip": "clip", "film": "film"}
        for title, stem in titles.items():
            check(title in items, "browsing from 0 reaches %s" % title)

        ports = set()
        for title, stem in titles.items():
            for url, info in items.get(title, []):
                ports.add(urllib.parse.urlsplit(url).port)
                if url.endswith("folder.jpg"):
                    check_resource(title + " cover", url, files["folder"])
                elif "&TC&POWER" not in url:
                    check_resource(title, url, files[stem])

        song = items.get("song", [])
        check(len(song) == 3 and song[2][0].endswith("/folder.jpg"),
              "the song offers its cover picture")
        photo = items.get("photo", [])
        if photo:
            url, info = photo[0]
            check("DLNA.ORG_PN=JPEG_" in info, "the picture's protocolInfo names a JPEG profile")
            status, fields, body = fetch(url, [("getcontentFeatures.dlna.org", "1")])
            check(status == 200 and fields.get("contentfeatures.dlna.org", "").startswith(
                "DLNA.ORG_PN=JPEG_"), "the web server answers with contentFeatures.dlna.org")
            status, fields, body = fetch(url.rsplit(".", 1)[0] + ".tb")
            width = int.from_bytes(body[18:22], "little") if len(body) > 26 else 0
            height = int.from_bytes(body[22:26], "little") if len(body) > 26 else 0
            check(status == 200 and body[:2] == b"BM" and (width, height) == (150, 150),
                  "the .tb thumbnail is a 150 x 150 bitmap (%s, %dx%d)" % (status, width, height))
        film = items.get("film", [])
        check(film and urllib.parse.urlsplit(film[0][0]).port == 3456,
              "the .mkv item is offered on the auxiliary web server")

        host = "10.79.0.1"
        for port in sorted(p for p in ports if p and p != 3456):
            for target in ("/0/___/1/../../../../etc/passwd",
                           "/0/___/1/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                           "/0/___/1/%2E%2E%2F%2E%2E%2F%2E%2E%2Fetc%2Fpasswd",
                           "/0/___/99999/passwd", "/1/___/99999/x.mp3"):
                status, _, body = http(host, port, target)
                check(status == 404 and b"root:" not in body,
                      "port %d refuses %s (%s)" % (port, target, status))

        server.send_signal(signal.SIGTERM)
        try:
            code = server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            server.kill()
            code = None
        server = None
        check(code == 0, "SIGTERM shuts the server down cleanly")
    finally:
        if server is not None:
            server.kill()
        from netns_support import failures
        if failures and os.path.exists(os.path.join(work, "server.log")):
            with open(os.path.join(work, "server.log"), errors="replace") as f:
                print(f.read()[-20000:])
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
