#!/usr/bin/python3
"""Starts the real server inside a private network namespace with a shared folder, finds
it with an M-SEARCH, reads its device description and both service descriptions, and
stops it with SIGTERM; started again and killed with SIGKILL, it leaves no lighttpd behind.

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
import struct
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (check, failures, finish, has_ended, live_children,  # noqa: E402
                           require_private_namespace, wait_for_text)


def write_wav(path):
    data = b"\x80" * 8000
    header = (b"RIFF" + struct.pack("<I", 36 + len(data)) + b"WAVEfmt " +
              struct.pack("<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8) + b"data" +
              struct.pack("<I", len(data)))
    with open(path, "wb") as f:
        f.write(header + data)


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
    """However the server ends, its lighttpd ends with it."""
    server = subprocess.Popen([program, "--home", home, "--headless"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, text=True)
    line = ""
    while "runs headless" not in line and server.poll() is None:
        line = server.stdout.readline()
    helpers = [pid for pid, name in live_children(server.pid) if name == "lighttpd"]
    check(helpers, "the server runs lighttpd")
    server.kill()
    server.wait()
    end = time.time() + 5
    while time.time() < end and not all(map(has_ended, helpers)):
        time.sleep(0.05)
    check(all(map(has_ended, helpers)), "lighttpd ends with a server killed by SIGKILL")


def main():
    program = sys.argv[1]
    require_private_namespace()
    subprocess.run("ip link set lo up && ip route add 239.0.0.0/8 dev lo src 127.0.0.1",
                   shell=True, check=True)
    work = tempfile.mkdtemp(prefix="orvex-netns-")
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        write_wav(os.path.join(media, "tone.wav"))
        log_path = os.path.join(work, "server.log")
        with open(log_path, "w") as log:
            server = subprocess.Popen([program, "--home", os.path.join(work, "home"),
                                       "--headless", "--name", "Den & Co", "--share", media],
                                      stdout=log, stderr=log)
        check(wait_for_text(log_path, "runs headless", 20), "the server starts")

        replies = []
        end = time.time() + 10
        while not replies and time.time() < end:
            replies = search("urn:schemas-upnp-org:device:MediaServer:1")
        check(len(replies) >= 1, "an M-SEARCH for the MediaServer type is answered")
        location = header(replies[0], "LOCATION") if replies else None
        check(location is not None and location.startswith("http://127.0.0.1:"),
              "the answer names the description on loopback")

        if location:
            with urllib.request.urlopen(location, timeout=5) as r:
                description = r.read().decode("utf-8")
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

        server.send_signal(signal.SIGTERM)
        try:
            code = server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            server.kill()
            code = None
        check(code == 0, "SIGTERM shuts the server down cleanly")
        kill_leaves_no_helper(program, os.path.join(work, "home"))
        if failures:
            with open(log_path, encoding="utf-8", errors="replace") as f:
                print(f.read())
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
