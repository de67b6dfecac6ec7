#!/usr/bin/python3
"""Real UPnP clients against the whole server, with its window, in a private network
namespace: GUPnP-AV parses every Browse answer of the tree and xmllint validates each
against the DIDL-Lite schemas; a keep-alive client makes 100 calls over one connection to
each HTTP server; a GUPnP control point has gmediarender play an MP3, an AVI and an MP4
with the server's own DIDL-Lite, and the window's transfer list, read through the
accessibility bus as a screen reader reads it, shows what was sent.

    unshare -rn python3 upnp_clients_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import glob
import http.client
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ADDRESS, ContentDirectory, MediaServerFinder, Server,  # noqa: E402
                           call_action, check, finish, library_namespace, wait_until)

SCHEMAS = "/usr/share/gupnp-av"
# The DIDL-Lite schema imports its companions by their web addresses; these are the
# copies the package ships.
CATALOG = """<?xml version="1.0"?>
<catalog xmlns="urn:oasis:names:tc:entity:xmlns:xml:catalog">
  <uri name="http://www.upnp.org/schemas/av/upnp.xsd" uri="file://%(s)s/upnp.xsd"/>
  <uri name="http://www.upnp.org/schemas/av/av.xsd" uri="file://%(s)s/av.xsd"/>
  <uri name="http://dublincore.org/schemas/xmls/simpledc20021212.xsd"
       uri="file://%(s)s/simpledc20021212.xsd"/>
  <uri name="http://www.w3.org/2001/03/xml.xsd" uri="file://%(s)s/xml.xsd"/>
</catalog>
""" % {"s": SCHEMAS}


class Desktop:
    """A display and a session bus for the server's window; the window is read through
    the accessibility bus, the way a screen reader reads it."""

    def __init__(self, work):
        # The accessibility bus lives under the runtime folder: one of this test's own.
        runtime = os.path.join(work, "runtime")
        os.makedirs(runtime, mode=0o700)
        os.environ["XDG_RUNTIME_DIR"] = runtime
        ready, write = os.pipe()
        # Each in a process group of its own, so that close() also ends what the bus
        # starts on demand (the accessibility bus and its registry).
        self.xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp"],
                                     pass_fds=(write,), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                     start_new_session=True)
        os.close(write)
        # The number and its newline may come in two writes; an Xvfb that fails closes
        # the pipe. Closing it early would kill Xvfb.
        with os.fdopen(ready) as f:
            display = f.readline().strip()
        self.bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1"],
                                    stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL, text=True, start_new_session=True)
        os.environ.update(DISPLAY=":" + display,
                          DBUS_SESSION_BUS_ADDRESS=self.bus.stdout.readline().strip())
        self.env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        check(display != "", "a display for the window")

    def transfers(self, newest, seconds=5):
        """The rows of the System tab's transfer list, newest first: [(file, client,
        progress, url)], once the newest row is of the URL path `newest` (the window
        refreshes on a timer) or after `seconds`."""
        return wait_until(self.read_transfers, seconds, 0.25,
                          lambda rows: rows and rows[0][3] == newest)

    def read_transfers(self):
        import gi
        gi.require_version("Atspi", "2.0")
        from gi.repository import Atspi

        def find(node, role, name=None, depth=0):
            if node is None or depth > 20:
                return None
            if node.get_role_name() == role and name in (None, node.get_name()):
                return node
            for i in range(node.get_child_count()):
                found = find(node.get_child_at_index(i), role, name, depth + 1)
                if found:
                    return found
            return None

        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            app.clear_cache()
            tab = find(app, "page tab", "System")
            if tab is None:
                continue
            # Rows of a hidden page are not laid out: the user's click on the tab shows them.
            Atspi.Action.do_action(tab, 0)
            time.sleep(0.5)
            app.clear_cache()
            tree = find(find(app, "panel", "Connection Status"), "tree")
            if tree is None:
                return []
            return [tuple(Atspi.Table.get_accessible_at(tree, row, column).get_name()
                          for column in range(4)) for row in range(Atspi.Table.get_n_rows(tree))]
        return []

    def close(self):
        # GLib ends a process whose session bus goes away unless told otherwise.
        from gi.repository import Gio
        Gio.bus_get_sync(Gio.BusType.SESSION, None).set_exit_on_close(False)
        for process in (self.bus, self.xvfb):
            for signal_number in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, signal_number)
                    process.wait(timeout=10)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    pass


def check_didl(answers, work):
    """GUPnP-AV parses every answer without a warning; each validates against the schema
    but for the dc:company element every item carries, the subtitle's sec:CaptionInfoEx
    (the schema admits no element of another namespace in an item; the TVs read only this
    form), the dlna:profileID of upnp:albumArtURI (the schema admits no attribute there;
    DLNA clients look for it) and the empty DIDL-Lite of an empty container."""
    import gi
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GLib, GUPnPAV

    logged = []
    levels = (GLib.LogLevelFlags.LEVEL_WARNING | GLib.LogLevelFlags.LEVEL_CRITICAL |
              GLib.LogLevelFlags.LEVEL_ERROR | GLib.LogLevelFlags.FLAG_FATAL)
    for domain in ("GUPnP-AV", "GUPnPAV", "gupnp-av", None):
        GLib.log_set_handler(domain, levels, lambda d, _l, m, _u: logged.append((d, m)), None)
    errors = [(object_id, result) for object_id, result in answers if isinstance(result, int)]
    check(not errors, "every Browse of the tree (%d containers) answers; faults: %s"
          % (len(answers), errors))
    folder = os.path.join(work, "didl")
    os.makedirs(folder)
    objects, art = 0, []
    for object_id, result in answers:
        if isinstance(result, int):
            continue
        parser = GUPnPAV.DIDLLiteParser.new()
        parser.connect("object-available", lambda _p, o: art.append(o.get_album_art()))
        try:
            parser.parse_didl(result)
        except GLib.Error as error:
            logged.append((object_id, error.message))
        objects += result.count("<item") + result.count("<container")
        with open(os.path.join(folder, object_id + ".xml"), "w") as f:
            f.write(re.sub(r"<dc:company>[^<]*</dc:company>\n?|<sec:CaptionInfoEx [^>]*>[^<]*"
                           r"</sec:CaptionInfoEx>\n?| dlna:profileID=\"JPEG_TN\" xmlns:dlna=\""
                           r"urn:schemas-dlna-org:metadata-1-0/\"", "", result))
    check(not logged, "GUPnP-AV parses every answer (%d objects) without a warning: %s"
          % (objects, logged[:5]))
    captions = [r for _, r in answers if "<sec:CaptionInfoEx" in str(r)]
    check(captions and 'sec:type="srt"' in captions[0] and "divx.srt</sec:CaptionInfoEx>" in
          captions[0], "the video with a subtitle beside it points TVs at the subtitle")
    check([a for a in art if a and a.endswith(".jpg")] and
          any('<upnp:albumArtURI dlna:profileID="JPEG_TN" xmlns:dlna="urn:schemas-dlna-org:'
              'metadata-1-0/">' in str(r) for _, r in answers),
          "GUPnP-AV reads the JPEG_TN album art of the items")
    catalog = os.path.join(work, "catalog.xml")
    with open(catalog, "w") as f:
        f.write(CATALOG)
    documents = sorted(glob.glob(os.path.join(folder, "*.xml")))
    run = subprocess.run(["xmllint", "--nonet", "--noout", "--schema",
                          os.path.join(SCHEMAS, "didl-lite-v2.xsd")] + documents,
                         capture_output=True, text=True, timeout=120,
                         env=dict(os.environ, XML_CATALOG_FILES=catalog))
    problems = []
    for line in run.stderr.splitlines():
        if line.endswith(" validates") or line.endswith(" fails to validate"):
            continue
        empty = re.match(r"(.*\.xml):\d+: element DIDL-Lite: .*Missing child element", line)
        if empty and "<item" not in open(empty.group(1)).read() and \
                "<container" not in open(empty.group(1)).read():
            continue
        problems.append(line.replace(folder + "/", ""))
    check(run.returncode in (0, 3) and not problems,
          "xmllint validates all %d documents against the DIDL-Lite schema: %s"
          % (len(documents), problems[:5]))


class CountingConnection(http.client.HTTPConnection):
    """http.client reconnects by itself when the server closes: count how often."""
    connects = 0

    def connect(self):
        self.connects += 1
        super().connect()


def keep_alive(port, calls, what):
    """100 calls back to back over one kept connection; `calls` are (method, target,
    headers, body, test(status, headers, data))."""
    connection = CountingConnection(ADDRESS, port, timeout=10)
    wrong, most = [], 100
    for i in range(100):
        method, target, headers, body, test = calls[i % len(calls)]
        try:
            connection.request(method, target, body=body, headers=headers)
            response = connection.getresponse()
            data = response.read()
            limit = re.search(r"max=(\d+)", response.getheader("Keep-Alive") or "")
            most = min(most, int(limit.group(1))) if limit else most
            if not test(response.status, response, data):
                wrong.append((i, method, target, response.status, len(data)))
        except (OSError, http.client.HTTPException) as error:
            wrong.append((i, method, target, repr(error)))
            connection.close()
    connection.close()
    check(not wrong, "%s: 100 calls back to back are answered right: %s" % (what, wrong[:4]))
    # A server may announce a limit of requests per connection (Keep-Alive: max=N).
    expected = -(-100 // most)
    check(connection.connects == expected, "%s: 100 calls over %d connection(s) (%d made)"
          % (what, expected, connection.connects))


def path_of(url):
    return urllib.parse.urlsplit(url).path


def check_keep_alive(location, cd, items, paths):
    web = urllib.parse.urlsplit(location).port
    photo = open(paths["photo"], "rb").read()
    photo_url = path_of(items["photo"][0]["res"][0][0])
    scpds = re.findall(r"<SCPDURL>([^<]*)</SCPDURL>", cd.description)
    soap = {"Content-Type": 'text/xml; charset="utf-8"',
            "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#Browse"'}
    browse = cd.envelope("Browse", [("ObjectID", "0")] + cd.query("BrowseDirectChildren"))
    keep_alive(web, [
        ("POST", path_of(cd.control), soap, browse, lambda s, _h, d: s == 200 and b"<Result>" in d),
        ("GET", path_of(location), {}, None, lambda s, _h, d: s == 200 and b"<root" in d),
        ("GET", urllib.parse.urljoin(path_of(location), scpds[0]), {}, None,
         lambda s, _h, d: s == 200 and b"<scpd" in d),
        ("GET", photo_url, {}, None, lambda s, _h, d: s == 200 and d == photo),
        ("HEAD", photo_url, {}, None,
         lambda s, h, d: s == 200 and h.getheader("Content-Length") == str(len(photo)) and not d),
        ("GET", photo_url, {"Range": "bytes=10-19"}, None,
         lambda s, _h, d: s == 206 and d == photo[10:20]),
    ], "device web server")

    song_url = items["song"][0]["res"][0][0]
    song = open(paths["song"], "rb").read()
    divx = open(paths["divx"], "rb").read()
    # This server keeps a connection only when the client asks for it.
    kept = {"Connection": "keep-alive"}
    keep_alive(urllib.parse.urlsplit(song_url).port, [
        ("GET", path_of(song_url), kept, None, lambda s, _h, d: s == 200 and d == song),
        ("HEAD", path_of(song_url), kept, None,
         lambda s, h, d: s == 200 and h.getheader("Content-Length") == str(len(song)) and not d),
        ("GET", path_of(song_url), dict(kept, Range="bytes=100-"), None,
         lambda s, _h, d: s == 206 and d == song[100:]),
        ("GET", path_of(items["divx"][0]["res"][0][0]), kept, None,
         lambda s, _h, d: s == 200 and d == divx),
    ], "stream server")


def seconds(text):
    try:
        h, m, s = (text or "").split(":")
        return int(h) * 3600 + int(m) * 60 + float(s)
    except ValueError:
        return -1


class Renderer:
    """gmediarender on the veth interface, found by a GUPnP control point."""

    def __init__(self):
        sink = "fakesink sync=true"
        self.process = subprocess.Popen(
            ["gmediarender", "-I", "v0", "-f", "Orvex Test Renderer",
             "-u", "6f727665-7874-6573-7472-656e64657231",
             "--gstout-audiopipe", sink, "--gstout-videopipe", sink],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.finder = MediaServerFinder("urn:schemas-upnp-org:device:MediaRenderer:1")
        self.found = self.finder.find(30) is not None
        if self.found:
            services = self.finder.services()
            self.transport = services["urn:schemas-upnp-org:service:AVTransport:1"]
            manager = services["urn:schemas-upnp-org:service:ConnectionManager:1"]
            info = (call_action(manager, "GetProtocolInfo", [], ["Sink"])[0] or [""])[0] or ""
            self.accepted = {i.split(":")[2] for i in info.split(",") if i.count(":") == 3}

    def call(self, name, ins, outs=()):
        return call_action(self.transport, name, [("InstanceID", "0")] + ins, outs)[0]

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()


def play_on(renderer, url, metadata):
    """The transport states seen until it played, and the positions it reported."""
    # A renderer that has just announced itself may still be setting up its player on a
    # busy machine; it is given a few seconds to take the first order.
    set_uri = []
    renderer.finder.spin(lambda: set_uri.append(renderer.call("SetAVTransportURI", [
        ("CurrentURI", url), ("CurrentURIMetaData", metadata)])) or set_uri[-1] is not None, 10)
    ordered = bool(set_uri) and set_uri[-1] is not None
    play = renderer.call("Play", [("Speed", "1")]) if ordered else None
    state = []

    def playing():
        state[:] = renderer.call("GetTransportInfo", [], ["CurrentTransportState"]) or [None]
        return state[0] == "PLAYING"
    played = play is not None and renderer.finder.spin(playing, 20)
    position = lambda: seconds((renderer.call(  # noqa: E731
        "GetPositionInfo", [], ["RelTime"]) or [""])[0])
    # The position is reported in whole seconds.
    first, later = position(), []
    renderer.finder.spin(lambda: later.append(position()) or later[-1] > first, 4)
    renderer.call("Stop", [])
    return played, state, first, later[-1]


RENDERER_RETRIES = 3


def check_renderer(cd, items, desktop, server):
    """gmediarender plays an MP3, an AVI and an MP4 of the server's, told to by a GUPnP
    control point with the server's own DIDL-Lite as metadata."""
    renderer = Renderer()
    if not renderer.found:
        # On a loaded machine gmediarender now and then never announces itself; that is
        # the renderer's start, not the server: one fresh renderer tries again.
        print("     gmediarender was not found; a new one is started", flush=True)
        renderer.stop()
        renderer = Renderer()
    try:
        if not check(renderer.found, "GUPnP finds gmediarender"):
            return
        for title in ("song", "divx", "clip"):
            item = items[title][0]
            metadata = cd.browse(item["id"], "BrowseMetadata")
            # The renderer lists GStreamer's names (video/x-msvideo, video/quicktime), not
            # every alias: like most control points, send the first resource then.
            playable = [url for url, info, _ in item["res"]
                        if info.split(":")[2] in renderer.accepted]
            url = (playable or [item["res"][0][0]])[0]
            played, state, first, last = play_on(renderer, url, metadata)
            # gmediarender's player now and then dies on a loaded machine as it takes an
            # order (SIGABRT inside its media framework, twice in a row under a full test
            # run); the server is not part of that. Fresh renderers try again.
            for _ in range(RENDERER_RETRIES):
                if renderer.process.poll() is None:
                    break
                print("     gmediarender ended (status %s); a new one tries %s"
                      % (renderer.process.returncode, title), flush=True)
                renderer.stop()
                renderer = Renderer()
                played, state, first, last = (
                    play_on(renderer, url, metadata) if renderer.found else (False, [], -1, -1))
            check(played, "%s: gmediarender plays %s (%s)" % (title, url, state))
            check(0 <= first < last, "%s: its position advances (%s s, then %s s)"
                  % (title, first, last))
            server.serving(cd, "gmediarender played " + title)
            if desktop is None:
                continue
            rows = desktop.transfers(path_of(url))
            sent = int(rows[0][2].strip().rstrip("%") or 0) if rows else 0
            check(rows and rows[0][1] == ADDRESS and rows[0][3] == path_of(url) and sent > 0,
                  "%s: the transfer list shows the bytes sent to the renderer: %s"
                  % (title, rows[:2]))
    finally:
        renderer.stop()


# Items that get album art: the songs beside the folder picture, the pictures and the
# videos (but the one inside the disc image).
ART = ["song", "tune", "chant", "photo", "chart", "divx", "xvid", "clip", "show", "program",
       "film"]


def thread_priorities(pid):
    """Each thread of `pid` by name: whether it is at the idle policy, its nice value and
    its disk class as ionice names it."""
    threads = {}
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            name = open("/proc/%d/task/%s/comm" % (pid, task)).read().strip()
            disk = subprocess.run(["ionice", "-p", task], capture_output=True, text=True,
                                  check=True).stdout.split(":")[0].strip()
            threads[name] = (os.sched_getscheduler(int(task)) == os.SCHED_IDLE,
                             os.getpriority(os.PRIO_PROCESS, int(task)), disk)
        except (OSError, subprocess.CalledProcessError):  # the thread ended meanwhile
            pass
    return threads


def use_everything(server, location, work, desktop, paths):
    cd = ContentDirectory(location)
    check('<sec:X_ProductCap xmlns:sec="http://www.sec.co.kr/dlna">smi,DCM10,getMediaInfo.sec,'
          'getCaptionInfo.sec</sec:X_ProductCap>' in cd.description,
          "the description announces subtitles and durations to the TVs that ask for them")
    # Album art is made after the scan: the tree is read once the items have theirs.
    answers, items = wait_until(cd.walk, 60, 0.5, lambda walked: all(
        i["art"] for t in ART for i in walked[1].get(t) or [{"art": None}]))
    check_didl(answers, work)
    # A thread at idle priority that takes the library's lock can be starved with it held
    # on a busy machine: Browse then waits, and so does the end of the process.
    threads = thread_priorities(server.process.pid)
    idle = [name for name, (at_idle, _, _) in threads.items() if at_idle]
    check(not idle, "no thread of the server runs at the idle policy (at idle: %s)" % idle)
    check(threads.get("seek-index", (False, 0, ""))[1:] == (19, "idle"),
          "the seek index worker runs at nice 19 and reads in the idle disk class (%s)"
          % (threads.get("seek-index"),))
    server.serving(cd, "the whole tree was browsed")
    check_renderer(cd, items, desktop, server)
    check_keep_alive(location, cd, items, paths)
    server.serving(cd, "the keep-alive calls")


def main():
    program = sys.argv[1]
    with library_namespace("orvex-upnp-clients-") as (work, media, paths):
        desktop = None
        with open(os.path.join(media, "Videos", "divx.srt"), "w") as f:
            f.write("1\n00:00:00,000 --> 00:00:01,000\nHello\n")
        # A name of bytes that are no UTF-8, a quote and a line break: the answers stay valid.
        shutil.copyfile(paths["song"], os.fsencode(media) + b'/Music/say "hi"\nbad-\xff\xfe.mp3')
        # The window is a program of its own, built where the window toolkit is.
        if os.access(os.path.join(os.path.dirname(program), "mirelle-desktop"), os.X_OK):
            desktop = Desktop(work)
        else:
            print("skip the transfer list: this build has no window")
        try:
            with Server(program, work, media, env=desktop and desktop.env) as server:
                server.run(ADDRESS, lambda location: use_everything(server, location, work,
                                                                    desktop, paths))
        finally:
            if desktop is not None:
                desktop.close()
    finish()


if __name__ == "__main__":
    main()
