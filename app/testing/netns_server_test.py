#!/usr/bin/python3
"""Starts the real server inside a private network namespace with a shared folder, finds
it with an M-SEARCH, reads its device description and both service descriptions, and
stops it with SIGTERM. Cleared and started again under another name, it announces the
same UDN (which --print-udn prints, also beside the running copy) and a SystemUpdateID no
lower than before. Started again and killed with SIGKILL, it leaves no lighttpd behind.

    unshare -rn python3 netns_server_test.py MIRELLE

The script refuses to run unless the namespace is fresh (only "lo" exists), so nothing
here ever reaches the machine's own network.
"""

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
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (check, failures, finish, has_ended, live_children,  # noqa: E402
                           require_private_namespace, wait_for_text, write_wav)


def search(st, wait=3.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    message = ("M-SEARCH * HTTP/1.1\r\nHOST: 239.255.255.250:1900\r\n"
               "MAN: \"ssdp:discover\"\r\nMX: 1\r\nST: %s\r\n\r\n" % st)
    s.sendto(message.encode(), ("239.255.255.250", 1900))
    replies = []
    end = time.time() + wait
    while time.time() < end:
        ready, _, _ = select.select([s], [], [], end - time.time())
        if ready:
            replies.append(s.recvfrom(65536)[0].decode("latin-1"))
    s.close()
    return replies


def header(message, name):
    for line in message.split("\r\n"):
        if line.lower().startswith(name.lower() + ":"):
            return line.split(":", 1)[1].strip()
    return None


def soap(location, description, action, arguments):
    """Calls a ContentDirectory action and returns the response body."""
    service = re.search(r"<serviceType>urn:schemas-upnp-org:service:ContentDirectory:1"
                        r"</serviceType>.*?<controlURL>([^<]*)</controlURL>", description, re.S)
    url = location.rstrip("/") + "/" + service.group(1).lstrip("/")
    args = "".join("<%s>%s</%s>" % (k, v, k) for k, v in arguments)
    body = ('<?xml version="1.0"?><s:Envelope xmlns:s="http://schemas.xmlsoap.org/soap/envelope/" '
            's:encodingStyle="http://schemas.xmlsoap.org/soap/encoding/"><s:Body>'
            '<u:%s xmlns:u="urn:schemas-upnp-org:service:ContentDirectory:1">%s</u:%s>'
            '</s:Body></s:Envelope>' % (action, args, action))
    request = urllib.request.Request(url, data=body.encode(), method="POST", headers={
        "Content-Type": 'text/xml; charset="utf-8"',
        "SOAPACTION": '"urn:schemas-upnp-org:service:ContentDirectory:1#%s"' % action})
    with urllib.request.urlopen(request, timeout=5) as r:
        return r.read().decode("utf-8")


def kill_leaves_no_helper(program, home):
    """A display that nobody serves (a variable left from an ended session) is no reason to
    fail: the server runs headless. However it ends, its lighttpd ends with it."""
    environment = {k: v for k, v in os.environ.items()
                   if k not in ("WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    environment["DISPLAY"] = ":7913"
    server = subprocess.Popen([program, "--home", home], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True, env=environment)
    line = ""
    while "runs headless" not in line and server.poll() is None:
        line = server.stdout.readline()
    check(server.poll() is None, "with an unreachable display the server runs headless")
    helpers = [pid for pid, name in live_children(server.pid) if name == "lighttpd"]
    check(helpers, "the server runs lighttpd")
    server.kill()
    server.wait()
    end = time.time() + 5
    while time.time() < end and not all(map(has_ended, helpers)):
        time.sleep(0.05)
    check(all(map(has_ended, helpers)), "lighttpd ends with a server killed by SIGKILL")


def start(program, home, log_path, *options):
    with open(log_path, "w") as log:
        server = subprocess.Popen([program, "--home", home, "--headless"] + list(options),
                                  stdout=log, stderr=log)
    return server


def find(st="urn:schemas-upnp-org:device:MediaServer:1"):
    """The first M-SEARCH answer, the description it names and that description's UDN."""
    replies = []
    end = time.time() + 10
    while not replies and time.time() < end:
        replies = search(st)
    check(len(replies) >= 1, "an M-SEARCH for the MediaServer type is answered")
    location = header(replies[0], "LOCATION") if replies else None
    check(location is not None and location.startswith("http://127.0.0.1:"),
          "the answer names the description on loopback")
    if not location:
        return None, None, None, None
    with urllib.request.urlopen(location, timeout=5) as r:
        description = r.read().decode("utf-8")
    udn = re.search(r"<UDN>(uuid:[0-9a-f-]{36})</UDN>", description)
    udn = udn.group(1) if udn else None
    usn = header(replies[0], "USN") or ""
    check(udn is not None and usn.startswith(udn + "::"), "SSDP and the description name one "
          "UDN (%s, %s)" % (usn, udn))
    return location, description, udn, system_update_id(location, description)


def system_update_id(location, description):
    answer = soap(location, description, "GetSystemUpdateID", [])
    found = re.search(r"<Id>(\d+)</Id>", answer)
    return int(found.group(1)) if found else None


def stop(server, what):
    server.send_signal(signal.SIGTERM)
    try:
        code = server.wait(timeout=15)
    except subprocess.TimeoutExpired:
        server.kill()
        code = None
    check(code == 0, "SIGTERM shuts the %s down cleanly" % what)


def print_udn(program, home):
    done = subprocess.run([program, "--home", home, "--print-udn"], capture_output=True,
                          text=True, timeout=20)
    return done.stdout.strip() if done.returncode == 0 else "exit %d" % done.returncode


def main():
    program = sys.argv[1]
    require_private_namespace()
    subprocess.run("ip link set lo up && ip route add 239.0.0.0/8 dev lo src 127.0.0.1",
                   shell=True, check=True)
    work = tempfile.mkdtemp(prefix="orvex-netns-")
    try:
        media = os.path.join(work, "media")
        home = os.path.join(work, "home")
        os.makedirs(media)
        write_wav(os.path.join(media, "tone.wav"))
        log_path = os.path.join(work, "server.log")
        server = start(program, home, log_path, "--name", "Den & Co", "--share", media)
        check(wait_for_text(log_path, "runs headless", 20), "the server starts")

        location, description, udn, first_id = find()
        if location:
            check("<friendlyName>Den &amp; Co</friendlyName>" in description,
                  "the description names the server, escaped")
            check("urn:schemas-upnp-org:device:MediaServer:1" in description,
                  "the description is a MediaServer's")
            base = location.rstrip("/")
            for url in re.findall(r"<SCPDURL>([^<]*)</SCPDURL>", description):
                full = base + (url if url.startswith("/") else "/" + url)
                with urllib.request.urlopen(full, timeout=5) as r:
                    body = r.read()
                check(r.status == 200 and b"<scpd" in body, "service description " + url)
            root = soap(location, description, "Browse",
                        [("ObjectID", "0"), ("BrowseFlag", "BrowseDirectChildren"),
                         ("Filter", "*"), ("StartingIndex", "0"), ("RequestedCount", "0"),
                         ("SortCriteria", "")])
            check("<TotalMatches>3</TotalMatches>" in root and "Audio" in root,
                  "Browse of the root lists the three kind containers")
            found = soap(location, description, "Search",
                         [("ContainerID", "0"),
                          ("SearchCriteria", 'upnp:class derivedfrom "object.item.audioItem"'),
                          ("Filter", "*"), ("StartingIndex", "0"), ("RequestedCount", "0"),
                          ("SortCriteria", "")])
            check("<TotalMatches>1</TotalMatches>" in found and "tone" in found,
                  "Search for audio items finds the shared file once")
            check(first_id and first_id > 0, "SystemUpdateID counts the scan (%r)" % first_id)
        stop(server, "server")
        check(print_udn(program, home) == udn, "--print-udn prints the announced UDN")

        # The identity belongs to the program directory: a clear, a rename and a new start
        # keep it, and the change counter goes on from where it stood.
        cleared = subprocess.run([program, "--home", home, "--clear", "--scan-only"],
                                 capture_output=True, timeout=30)
        check(cleared.returncode == 0, "--clear empties the library")
        second_log = os.path.join(work, "server2.log")
        server = start(program, home, second_log, "--name", "Attic", "--share", media)
        check(wait_for_text(second_log, "runs headless", 20), "the server starts again")
        _, description, again, second_id = find()
        check(again == udn, "the second start announces the same UDN (%s, %s)" % (again, udn))
        check(description is not None and "<friendlyName>Attic</friendlyName>" in description,
              "--name changes the friendly name")
        # The clear and the new scan are changes: the counter went on from its stored value.
        check(second_id is not None and first_id is not None and second_id > first_id,
              "SystemUpdateID goes on across the restart (%r, %r)" % (first_id, second_id))
        check(print_udn(program, home) == udn, "--print-udn answers beside the running copy")
        stop(server, "second server")
        kill_leaves_no_helper(program, home)
        if failures:
            for path in (log_path, second_log):
                with open(path, encoding="utf-8", errors="replace") as f:
                    print(f.read())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
