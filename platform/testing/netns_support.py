"""Small helpers of the namespace tests: the check list, the guard that refuses to run
outside a fresh network namespace, the veth pair that GUPnP needs, HTTP requests written
by hand so that every byte sent is the test's own, a small WAV file, a media library of
every kind made with ffmpeg, and the real server started on it and walked with Browse."""

import contextlib
import itertools
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request
import wave
import xml.etree.ElementTree as ET

failures = []
GROUP = "239.255.255.250"
ADDRESS = "10.79.0.1"  # v0, the namespace's end of the veth pair
MEDIA_SERVER = "urn:schemas-upnp-org:device:MediaServer:1"
CD_TYPE = "urn:schemas-upnp-org:service:ContentDirectory:1"


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def sh(command):
    subprocess.run(command, shell=True, check=True)


def require_private_namespace():
    interfaces = sorted(name for _, name in socket.if_nameindex())
    if interfaces != ["lo"]:
        print("refusing to run: not a fresh network namespace:", interfaces)
        sys.exit(2)


def route_multicast_on_loopback():
    """Loopback up, with the SSDP group routed onto it: enough for our own stack."""
    sh("ip link set lo up && ip route add 239.0.0.0/8 dev lo src 127.0.0.1")


def disable_ipv6():
    """Without IPv6 the UPnP libraries do not wait for duplicate address detection on v0."""
    sh("sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1")


def add_veth_pair(address=ADDRESS):
    """GUPnP and libupnp refuse loopback-only hosts: a veth pair of the namespace's own,
    with multicast routed onto it and no default route."""
    sh("ip link set lo up && ip link add v0 type veth peer name v1 && "
       "ip addr add %s/24 dev v0 && ip link set v0 up && ip link set v1 up && "
       "ip route replace 239.0.0.0/8 dev v0" % address)


class MediaServerFinder:
    """A GUPnP control point on v0 that looks for a MediaServer (or another device type);
    `spin` turns GLib's main loop until a condition holds, which is also how events and
    answers arrive."""

    def __init__(self, device_type=MEDIA_SERVER):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GSSDP", "1.6")
        from gi.repository import GLib, GSSDP, GUPnP
        # Asked for any port, GUPnP picks one itself and may pick one in use: try again.
        for attempt in range(5):
            try:
                self.context = GUPnP.Context.new_full("v0", None, 0, GSSDP.UDAVersion.VERSION_1_0)
                break
            except GLib.Error:
                if attempt == 4:
                    raise
        self.control = GUPnP.ControlPoint.new(self.context, device_type)
        self.device = None
        self.control.connect("device-proxy-available", lambda _, p: setattr(self, "device", p))
        self.control.set_active(True)
        self.loop = GLib.MainContext.default()

    def spin(self, condition, seconds):
        end = time.time() + seconds
        while time.time() < end and not condition():
            self.loop.iteration(False)
            time.sleep(0.005)
        return condition()

    def find(self, seconds):
        """The device proxy once found, else None after `seconds`."""
        self.spin(lambda: self.device is not None, seconds)
        return self.device

    def services(self):
        return {s.get_service_type(): s for s in self.device.list_services()}


def call_action(service, name, ins=(), outs=()):
    """Calls a GUPnP service proxy's action: `ins` are (name, value) pairs, `outs` names
    (of strings) or (name, GType) pairs. Returns (values, None), or (None, the UPnP error
    code) when the action fails."""
    from gi.repository import GLib, GObject, GUPnP
    outs = [(o, GObject.TYPE_STRING) if isinstance(o, str) else o for o in outs]
    action = GUPnP.ServiceProxyAction.new_from_list(name, [n for n, _ in ins], [v for _, v in ins])
    try:
        service.call_action(action, None)
        ok, values = action.get_result_list([n for n, _ in outs], [t for _, t in outs])
        return (values if ok else None), None
    except GLib.Error as error:
        print("     %s: %s" % (name, error.message), flush=True)
        return None, error.code


class TestHost:
    """A test program that prints "PORT n" once it serves and "STOPPED status" once its
    standard input is closed."""

    def __init__(self, program):
        self.process = subprocess.Popen([program], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True)
        line = self.process.stdout.readline()
        self.ok = check(line.startswith("PORT "), "host started: " + line.strip())
        self.port = int(line.split()[1]) if self.ok else None

    def stop(self):
        self.process.stdin.close()
        line = self.process.stdout.readline()
        self.process.wait(timeout=20)
        check(line.strip() == "STOPPED 0" and self.process.returncode == 0,
              "host stopped cleanly: " + line.strip())


def header(message, name):
    """The value of the first header line `name` of an HTTP or SSDP message, else None."""
    found = re.search(r"^%s:(.*)$" % re.escape(name), message or "", re.M | re.I)
    return found.group(1).strip() if found else None


def search(source, st, mx="1", man='"ssdp:discover"', version="1.1", wait=1.5, count=1,
           target=(GROUP, 1900)):
    """Sends an M-SEARCH (`count` times) from `source` and returns the (time, text) of the
    answers received within `wait` seconds; `mx` None leaves the MX line out."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((source, 0))
    if target[0] == GROUP:
        s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(source))
    lines = ["M-SEARCH * HTTP/%s" % version, "HOST: %s:1900" % GROUP, "MAN: " + man]
    lines += ["MX: " + mx] if mx is not None else []
    message = ("\r\n".join(lines + ["ST: " + st]) + "\r\n\r\n").encode()
    for _ in range(count):
        s.sendto(message, target)
    replies = []
    end = time.time() + wait
    while time.time() < end:
        if select.select([s], [], [], max(0, end - time.time()))[0]:
            replies.append((time.time(), s.recvfrom(65536)[0].decode("latin-1")))
    s.close()
    return replies


def find_server(address, seconds=20):
    """The first answer to an M-SEARCH for a MediaServer sent from `address` that names a
    LOCATION; None after `seconds`."""
    end = time.time() + seconds
    while time.time() < end:
        for _, answer in search(address, MEDIA_SERVER, wait=1):
            if header(answer, "LOCATION"):
                return answer
    return None


def http(host, port, target, headers=(), method="GET", timeout=10):
    """One request on a connection of its own; returns (status, header dict, body)."""
    request = "%s %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n" % (method, target, host, port)
    request += "".join("%s: %s\r\n" % pair for pair in headers) + "\r\n"
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(request.encode("latin-1"))
        data = b"".join(iter(lambda: s.recv(65536), b""))
    head, _, body = data.partition(b"\r\n\r\n")
    status, *lines = head.decode("latin-1").split("\r\n")
    if not re.match(r"HTTP/\S+ \d+$", " ".join(status.split()[:2])):
        return None, {}, data
    fields = {n.strip().lower(): v.strip() for n, _, v in (x.partition(":") for x in lines)}
    if fields.get("transfer-encoding", "").lower() == "chunked":
        body = dechunk(body)
    return int(status.split()[1]), fields, body


def get(url, headers=(), timeout=10):
    """http() of a whole URL, logged."""
    print("     GET " + url + "".join("  [%s: %s]" % h for h in headers), flush=True)
    parts = urllib.parse.urlsplit(url)
    target = parts.path + ("?" + parts.query if parts.query else "")
    return http(parts.hostname, parts.port, target, headers, timeout=timeout)


def dechunk(body):
    out = b""
    while body:
        size_line, _, rest = body.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            break
        out += rest[:size]
        body = rest[size + 2:]
    return out


def wait_until(poll, seconds, step=0.05, holds=bool):
    """Calls `poll` until `holds` its value or `seconds` have passed; returns its last value."""
    end = time.time() + seconds
    while not holds(value := poll()) and time.time() < end:
        time.sleep(step)
    return value


def wait_for_text(path, text, seconds):
    """Polls a log file until it holds `text`; False after `seconds`."""
    def holds():
        with contextlib.suppress(FileNotFoundError), open(path, encoding="utf-8",
                                                          errors="replace") as f:
            return text in f.read()
    return wait_until(holds, seconds)


def descendants(pid):
    """(pid, name) of every process below `pid`, those ended but not yet reaped included."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                name, _, rest = f.read().partition("(")[2].rpartition(")")
        except OSError:
            continue
        if int(rest.split()[1]) == pid:
            found += [(int(entry), name)] + descendants(int(entry))
    return found


def has_ended(pid):
    """True once `pid` has exited (a zombie nobody reaps counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


def write_wav(path, seconds=1):
    """Silence, 8-bit mono at 8 kHz (one second as the C++ tests' WriteWav makes it)."""
    with wave.open(path, "wb") as f:
        f.setparams((1, 1, 8000, 0, "NONE", None))
        f.writeframes(b"\x80" * 8000 * seconds)


def finish():
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("all checks passed")


def ffmpeg(*args):
    subprocess.run(["ffmpeg", "-v", "error", "-y"] + list(args), check=True, timeout=120)


# The library every real-client test shares: title (the file's base name, which is how the
# server titles items) -> (folder, file name, ffmpeg output options). Four seconds of a
# 160 x 120 test picture at 10 frames a second (input 0) and of a tone (input 1).
AV = ["-map", "0:v", "-map", "1:a"]
LIBRARY = {
    "song": ("Music", "song.mp3", ["-map", "1:a", "-c:a", "libmp3lame", "-b:a", "64k",
                                   "-metadata", "artist=Tester", "-metadata", "album=Tones",
                                   "-metadata", "track=3", "-metadata", "date=2009"]),
    "tune": ("Music", "tune.flac", ["-map", "1:a", "-c:a", "flac"]),
    "chant": ("Music", "chant.ogg", ["-map", "1:a", "-c:a", "libvorbis"]),
    "folder": ("Music", "folder.jpg", ["-map", "0:v", "-frames:v", "1", "-s", "64x64"]),
    "photo": ("Pictures", "photo.jpg", ["-map", "0:v", "-frames:v", "1"]),
    "chart": ("Pictures", "chart.png", ["-map", "0:v", "-frames:v", "1", "-vf", "negate"]),
    "divx": ("Videos", "divx.avi", AV + ["-c:v", "mpeg4", "-vtag", "DIVX", "-c:a", "libmp3lame"]),
    "xvid": ("Videos", "xvid.avi", AV + ["-c:v", "libxvid", "-vtag", "XVID", "-c:a", "libmp3lame"]),
    "clip": ("Videos", "clip.mp4", AV + ["-c:v", "libx264", "-preset", "ultrafast",
                                         "-pix_fmt", "yuv420p", "-c:a", "aac"]),
    "show": ("Videos", "show.wmv", AV + ["-c:v", "wmv2", "-c:a", "wmav2"]),
    "program": ("Videos", "program.mpg", AV + ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"]),
    "film": ("Videos", "film.mkv", AV + ["-c:v", "mpeg4", "-c:a", "libvorbis"]),
    # These three go into the disc image.
    "scene": ("disc", "scene.vob", AV + ["-c:v", "mpeg2video", "-c:a", "mp2", "-f", "vob"]),
    "still": ("disc", "still.jpg", ["-map", "0:v", "-frames:v", "1", "-vf", "hflip"]),
    "track": ("disc", "track.mp3", ["-map", "1:a", "-c:a", "libmp3lame", "-b:a", "64k"]),
}
VIDEOS = ["divx", "xvid", "clip", "show", "program", "film", "scene"]


def make_library(media):
    """Fills `media` with the LIBRARY from one ffmpeg run, the disc image Discs/disc.iso and
    the playlist Playlists/list.m3u ("list"); returns {title: path} of every file made."""
    build = tempfile.mkdtemp(prefix="orvex-media-")
    args = ["-f", "lavfi", "-i", "testsrc=s=160x120:r=10:d=4",
            "-f", "lavfi", "-i", "sine=f=440:d=4"]
    paths = {}
    for title, (folder, name, options) in LIBRARY.items():
        where = os.path.join(build if folder == "disc" else media, folder)
        os.makedirs(where, exist_ok=True)
        paths[title] = os.path.join(where, name)
        args += options + [paths[title]]
    ffmpeg(*args)
    os.makedirs(os.path.join(media, "Discs"))
    paths["disc"] = os.path.join(media, "Discs", "disc.iso")
    subprocess.run(["genisoimage", "-quiet", "-J", "-R", "-o", paths["disc"],
                    os.path.join(build, "disc")], check=True, timeout=60)
    shutil.rmtree(build)
    os.makedirs(os.path.join(media, "Playlists"))
    paths["list"] = os.path.join(media, "Playlists", "list.m3u")
    with open(paths["list"], "w") as f:
        f.write("#EXTM3U\n../Music/song.mp3\n../Music/tune.flac\n../Videos/divx.avi\n")
    return paths


class Server:
    """The real `mirelle` sharing `media`, its program directory and log in `work`; headless
    unless `env` gives it a display. `extra` goes on its command line; `settings` are stored
    in its library and `commands` (argument lists) run on its program directory before it
    starts."""

    def __init__(self, program, work, media, extra=(), settings=None, env=None, commands=(),
                 log="server.log"):
        self.home = os.path.join(work, "home")
        self.log_path = os.path.join(work, log)
        share = ["--share", media] if media else []
        if settings or commands:
            # The library is made first, so that the settings and the commands' changes
            # (such as --add-stream) are in it when the server starts.
            for args in [["--scan-only"] + share] + list(commands):
                run = subprocess.run([program, "--home", self.home] + args,
                                     capture_output=True, timeout=120)
                check(run.returncode == 0, "mirelle %s" % " ".join(args))
            import sqlite3
            with sqlite3.connect(os.path.join(self.home, "Orvex.mdb")) as db:
                for key, value in (settings or {}).items():
                    db.execute("update AVP set my_value = ? where my_attribute = ?", (value, key))
            share = []
        mode = [] if env else ["--headless"]
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(
                [program, "--home", self.home] + mode + share + list(extra),
                stdout=log, stderr=log, env=env)
        # With a window nothing tells that the service runs: run() waits for an answer.
        ready = "Press Ctrl+C" if env else "runs headless"
        self.started = check(wait_for_text(self.log_path, ready, 90), "the server starts")

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def alive(self):
        return self.process.poll() is None

    def serving(self, cd, after):
        """Checks that the process lives and still answers a Browse."""
        try:
            answer = cd.browse("0") if self.alive() else "exit status %s (a signal when "\
                "negative)" % self.process.returncode
        except OSError as error:
            answer = repr(error)
        return check(isinstance(answer, str) and "<container" in answer,
                     "after %s the server is alive and answers Browse (%s)"
                     % (after, answer if "<container" not in str(answer) else "yes"))

    def stop(self):
        """SIGTERM; the exit status, or None when it had to be killed."""
        if not self.alive():
            return self.process.returncode
        self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            return None

    def run(self, address, body):
        """Finds the server from `address`, hands its description's URL to `body`, then
        checks that SIGTERM shuts it down cleanly."""
        location = header(find_server(address, 60), "LOCATION")
        if check(self.started and location is not None, "an M-SEARCH finds the server"):
            body(location)
        status = self.stop()
        check(status == 0, "SIGTERM shuts the server down cleanly (exit status %s)" % status)

    def close(self):
        """Kills a server left running; after a failure, shows the end of its log, runs of
        one repeated line (such as the trace of every Browse) folded to one."""
        if self.alive():
            self.process.kill()
        if failures:
            with open(self.log_path, errors="replace") as f:
                runs = [(line, len(list(run))) for line, run in itertools.groupby(f)]
            print("".join(line if count == 1 else "%s  (%d times)\n" % (line.rstrip(), count)
                          for line, count in runs)[-8000:])


@contextlib.contextmanager
def library_namespace(prefix, make=None):
    """The setting of the real-client tests: a fresh namespace (refused otherwise) with the
    veth pair and IPv6 off, and a work folder removed afterwards. Yields the work folder,
    its media folder and what `make(media)` returns (by default make_library's paths)."""
    require_private_namespace()
    disable_ipv6()
    add_veth_pair()
    work = tempfile.mkdtemp(prefix=prefix)
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        yield work, media, (make or make_library)(media)
    finally:
        shutil.rmtree(work, ignore_errors=True)


DIDL = {"didl": "urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/",
        "dc": "http://purl.org/dc/elements/1.1/",
        "upnp": "urn:schemas-upnp-org:metadata-1-0/upnp/"}


class ContentDirectory:
    """Browse over plain SOAP, as a simple control point sends it."""

    def __init__(self, location):
        self.location = location
        with urllib.request.urlopen(location, timeout=10) as r:
            self.description = r.read().decode("utf-8")
        control = re.search(r"<serviceType>%s</serviceType>.*?<controlURL>([^<]*)</controlURL>"
                            % CD_TYPE, self.description, re.S).group(1)
        self.control = urllib.parse.urljoin(location, control)

    def envelope(self, action, arguments):
        args = "".join("<%s>%s</%s>" % (k, v, k) for k, v in arguments)
        return ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/'
                'envelope/" s:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
                '<u:%s xmlns:u="%s">%s</u:%s></s:Body></s:Envelope>'
                % (action, CD_TYPE, args, action)).encode()

    def call(self, action, arguments=()):
        """The answer's text, or the UPnP error code as an int."""
        request = urllib.request.Request(
            self.control, data=self.envelope(action, arguments), method="POST", headers={
                "Content-Type": 'text/xml; charset="utf-8"',
                "SOAPACTION": '"%s#%s"' % (CD_TYPE, action)})
        try:
            with urllib.request.urlopen(request, timeout=10) as r:
                return r.read().decode("utf-8")
        except urllib.error.HTTPError as error:
            code = re.search(r"<errorCode>(\d+)</errorCode>", error.read().decode("utf-8"))
            return int(code.group(1)) if code else error.code

    @staticmethod
    def query(flag):
        """The arguments of a Browse after its ObjectID: every field, every child."""
        return [("BrowseFlag", flag), ("Filter", "*"), ("StartingIndex", 0),
                ("RequestedCount", 0), ("SortCriteria", "")]

    def browse(self, object_id, flag="BrowseDirectChildren"):
        """The Result text, or the UPnP error code as an int."""
        answer = self.call("Browse", [("ObjectID", object_id)] + self.query(flag))
        return answer if isinstance(answer, int) else \
            ET.fromstring(answer).find(".//Result").text or ""

    def walk(self, limit=300):
        """Every container from "0" down: ([(id, Result or error code)], {title: [item]}),
        an item being a dict of id, parent, title, class, res [(url, protocolInfo,
        attributes)] and art (its albumArtURI or None); an item listed in several
        containers appears once for each, and a playlist (a container with resources)
        counts as an item too."""
        answers, items, queue = [], {}, ["0"]
        while queue and len(answers) < limit:
            current = queue.pop(0)
            result = self.browse(current)
            answers.append((current, result))
            if isinstance(result, int):
                continue
            root = ET.fromstring(result)
            for element in root:
                if element.tag.endswith("}container"):
                    queue.append(element.get("id"))
                res = [(r.text or "", r.get("protocolInfo", ""), dict(r.attrib))
                       for r in element.findall("didl:res", DIDL)]
                # Items, and containers with resources of their own (playlists).
                if element.tag.endswith("}item") or res:
                    title = element.findtext("dc:title", "", DIDL)
                    items.setdefault(title, []).append({
                        "id": element.get("id"), "parent": current, "title": title,
                        "class": element.findtext("upnp:class", "", DIDL), "res": res,
                        "art": element.findtext("upnp:albumArtURI", None, DIDL)})
        return answers, items
