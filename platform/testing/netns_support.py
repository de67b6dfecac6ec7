"""Small helpers of the namespace tests: the check list, the guard that refuses to run
outside a fresh network namespace, the veth pair that GUPnP needs, HTTP requests
written by hand so that every byte sent is the test's own, and a small WAV file."""

import os
import socket
import struct
import subprocess
import sys
import time

failures = []


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


def add_veth_pair(address="10.79.0.1"):
    """GUPnP and libupnp refuse loopback-only hosts: a veth pair of the namespace's own,
    with multicast routed onto it and no default route."""
    sh("ip link set lo up && ip link add v0 type veth peer name v1 && "
       "ip addr add %s/24 dev v0 && ip link set v0 up && ip link set v1 up && "
       "ip route replace 239.0.0.0/8 dev v0" % address)


class MediaServerFinder:
    """A GUPnP control point on v0 that looks for a MediaServer; `spin` turns GLib's main
    loop until a condition holds, which is also how events and answers arrive."""

    def __init__(self):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GSSDP", "1.6")
        from gi.repository import GLib, GSSDP, GUPnP
        self.context = GUPnP.Context.new_full("v0", None, 0, GSSDP.UDAVersion.VERSION_1_0)
        self.control = GUPnP.ControlPoint.new(self.context,
                                              "urn:schemas-upnp-org:device:MediaServer:1")
        self.device = None
        self.control.connect("device-proxy-available", self._available)
        self.control.set_active(True)
        self.loop = GLib.MainContext.default()

    def _available(self, _control, proxy):
        self.device = proxy

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


def http(host, port, target, headers=(), method="GET", timeout=10):
    """One request on a connection of its own; returns (status, header dict, body)."""
    request = "%s %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n" % (method, target, host, port)
    request += "".join("%s: %s\r\n" % pair for pair in headers) + "\r\n"
    with socket.create_connection((host, port), timeout=timeout) as s:
        s.sendall(request.encode("latin-1"))
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    try:
        status = int(lines[0].split()[1])
    except (IndexError, ValueError):
        return None, {}, data
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    if fields.get("transfer-encoding", "").lower() == "chunked":
        body = dechunk(body)
    return status, fields, body


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


def wait_for_text(path, text, seconds):
    """Polls a log file until it holds `text`; False after `seconds`."""
    end = time.time() + seconds
    while time.time() < end:
        try:
            with open(path, encoding="utf-8", errors="replace") as f:
                if text in f.read():
                    return True
        except FileNotFoundError:
            pass
        time.sleep(0.05)
    return False


def live_children(pid):
    """(pid, name) of the processes whose parent is `pid` and that have not ended."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                name, _, rest = f.read().partition("(")[2].rpartition(")")
        except OSError:
            continue
        state, parent = rest.split()[:2]
        if int(parent) == pid and state != "Z":
            found.append((int(entry), name))
    return found


def has_ended(pid):
    """True once `pid` has exited (a zombie nobody reaps counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


def write_wav(path):
    """One second of silence, 8-bit mono at 8 kHz, as the C++ tests' WriteWav makes it."""
    data = b"\x80" * 8000
    header = (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8) + b"data" +
              struct.pack("<I", len(data)))
    with open(path, "wb") as f:
        f.write(header + data)


def finish():
    if failures:
        print("%d check(s) failed" % len(failures))
        sys.exit(1)
    print("all checks passed")
