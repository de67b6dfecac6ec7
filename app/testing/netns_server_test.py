#!/usr/bin/python3
"""Starts the real server inside a private network namespace with a shared folder, finds
it with an M-SEARCH, reads its device description, and stops it with SIGTERM. Cleared and
started again, it announces the same name and UDN (which --print-udn prints, also beside
the running copy) and a SystemUpdateID no lower than before. Started again and killed
with SIGKILL, it leaves no lighttpd behind.

    unshare -rn python3 netns_server_test.py MIRELLE

The script refuses to run unless the namespace is fresh (only "lo" exists), so nothing
here ever reaches the machine's own network.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ContentDirectory, Server, check, find_server, finish,  # noqa: E402
                           descendants, has_ended, header, require_private_namespace,
                           route_multicast_on_loopback, write_wav)


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
    helpers = [pid for pid, name in descendants(server.pid) if name == "lighttpd"]
    check(helpers, "the server runs lighttpd")
    server.kill()
    server.wait()
    end = time.time() + 5
    while time.time() < end and not all(map(has_ended, helpers)):
        time.sleep(0.05)
    check(all(map(has_ended, helpers)), "lighttpd ends with a server killed by SIGKILL")


def find():
    """The content directory the M-SEARCH answer leads to, its device's UDN and its
    SystemUpdateID."""
    answer = find_server("127.0.0.1", 10)
    location = header(answer, "LOCATION")
    check(location is not None and location.startswith("http://127.0.0.1:"),
          "an M-SEARCH is answered with a description on loopback (%s)" % location)
    if not location:
        return None, None, None
    cd = ContentDirectory(location)
    udn = re.search(r"<UDN>(uuid:[0-9a-f-]{36})</UDN>", cd.description)
    udn = udn.group(1) if udn else None
    usn = header(answer, "USN") or ""
    check(udn is not None and usn.startswith(udn + "::"), "SSDP and the description name one "
          "UDN (%s, %s)" % (usn, udn))
    found = re.search(r"<Id>(\d+)</Id>", str(cd.call("GetSystemUpdateID")))
    return cd, udn, int(found.group(1)) if found else None


def print_udn(program, home):
    done = subprocess.run([program, "--home", home, "--print-udn"], capture_output=True,
                          text=True, timeout=20)
    return done.stdout.strip() if done.returncode == 0 else "exit %d" % done.returncode


def first_start(server, media):
    cd, udn, first_id = find()
    check(cd and "<friendlyName>Den &amp; Co</friendlyName>" in cd.description,
          "the description names the server, escaped")
    check(first_id and first_id > 0, "SystemUpdateID counts the scan (%r)" % first_id)
    check(server.stop() == 0, "SIGTERM shuts the server down cleanly")
    # A clean stop leaves the library whole in one file.
    left = [n for n in ("temp.mdb", "Orvex.mdb-wal") if os.path.exists(server.home + "/" + n)]
    check(not left, "the stopped server leaves no working files (%s)" % left)
    return udn, first_id


def main():
    program = sys.argv[1]
    require_private_namespace()
    route_multicast_on_loopback()
    work = tempfile.mkdtemp(prefix="orvex-netns-")
    try:
        media = os.path.join(work, "media")
        os.makedirs(media)
        write_wav(os.path.join(media, "tone.wav"))
        with Server(program, work, media, extra=["--name", "Den & Co"]) as server:
            udn, first_id = first_start(server, media)
        home = server.home
        check(print_udn(program, home) == udn, "--print-udn prints the announced UDN")

        # The identity and the name belong to the program directory: a clear and a new start
        # keep them, and the change counter goes on from where it stood.
        cleared = subprocess.run([program, "--home", home, "--clear", "--scan-only"],
                                 capture_output=True, timeout=30)
        check(cleared.returncode == 0, "--clear empties the library")
        with Server(program, work, media, log="again.log") as server:
            cd, again, second_id = find()
            check(again == udn, "the second start announces the same UDN (%s, %s)" % (again, udn))
            check(cd is not None and "<friendlyName>Den &amp; Co</friendlyName>" in
                  cd.description, "the name given with --name was kept in the library")
            # The clear and the new scan are changes: the counter went on from its stored value.
            check(second_id is not None and first_id is not None and second_id > first_id,
                  "SystemUpdateID goes on across the restart (%r, %r)" % (first_id, second_id))
            check(print_udn(program, home) == udn, "--print-udn answers beside the running copy")
            check(server.stop() == 0, "SIGTERM shuts the second server down cleanly")
        kill_leaves_no_helper(program, home)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
