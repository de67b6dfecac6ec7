#!/usr/bin/python3
"""The real server in a private network namespace, sharing a folder: an M-SEARCH finds it
and its description names it; a GUPnP control point subscribed to its ContentDirectory
hears of files copied into the folder as events (a larger SystemUpdateID, the changed
containers in ContainerUpdateIDs) that a Browse agrees with, a burst of copies giving at
most one event every two seconds, the last covering them all; SIGTERM stops it. Cleared and
started again, it announces the same name and UDN (which --print-udn prints, also beside
the running copy) and a SystemUpdateID no lower than before. Started again and killed
with SIGKILL, it leaves no lighttpd behind.

    unshare -rn python3 netns_server_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ADDRESS, CD_TYPE, ContentDirectory, MediaServerFinder,  # noqa: E402
                           Server, call_action, check, descendants, find_server, finish,
                           has_ended, header, library_namespace, wait_until,
                           write_wav)

ALL_MUSIC, AUDIO_FOLDERS = "7", "12"  # fixed containers of the content directory


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
    check(wait_until(lambda: all(map(has_ended, helpers)), 5),
          "lighttpd ends with a server killed by SIGKILL")


def find():
    """The content directory the M-SEARCH answer leads to, its device's UDN and its
    SystemUpdateID."""
    answer = find_server(ADDRESS, 10)
    location = header(answer, "LOCATION")
    check(location is not None and location.startswith("http://%s:" % ADDRESS),
          "an M-SEARCH is answered with a description (%s)" % location)
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


def events(media, tone):
    from gi.repository import GObject
    S, U = GObject.TYPE_STRING, GObject.TYPE_UINT
    finder = MediaServerFinder()
    spin = finder.spin
    if not check(finder.find(15) is not None, "GUPnP finds the server"):
        return
    cd = finder.services()[CD_TYPE]
    # (time received, SystemUpdateID, ContainerUpdateIDs pairs of the same NOTIFY or None)
    events, pairs = [], [None]

    def notified(_proxy, name, value, _user):
        if name == "ContainerUpdateIDs":
            fields = value.split(",") if value else []
            pairs[0] = dict(zip(fields[0::2], map(int, fields[1::2])))
        else:
            events.append((time.time(), value, pairs[0]))
            pairs[0] = None

    def browse(object_id):
        """Result, TotalMatches and UpdateID of a container's children."""
        return call_action(cd, "Browse", [("ObjectID", object_id)] + ContentDirectory.query(
            "BrowseDirectChildren"), [("Result", S), ("TotalMatches", U), ("UpdateID", U)])[0]

    def system_update_id():
        return call_action(cd, "GetSystemUpdateID", [], [("Id", U)])[0][0]

    cd.add_notify("SystemUpdateID", U, notified, None)
    cd.add_notify("ContainerUpdateIDs", S, notified, None)
    # The album art pass after the scan moves the counter once more: start once it rests.
    start, previous = system_update_id(), None
    while start != previous:
        spin(lambda: False, 1.5)
        previous, start = start, system_update_id()
    cd.set_subscribed(True)
    check(spin(lambda: events, 10) and events[0][1] == start,
          "the first event carries the current SystemUpdateID (%r, %r)" % (events, start))
    folder = re.search(r'<container id="(\d+)"', browse(AUDIO_FOLDERS)[0])
    if not check(folder, "the shared folder has its audio container"):
        return
    folder = folder.group(1)

    # One file: an event within 3 s names its containers, and Browse agrees.
    del events[:]
    shutil.copyfile(tone, os.path.join(media, "second.wav"))
    if not check(spin(lambda: events, 3), "an event arrives within 3 s of the copy"):
        return
    _, value, containers = events[0]
    check(value > start and containers is not None and
          start < containers.get(folder, 0) <= value and start < containers.get(ALL_MUSIC, 0),
          "a larger SystemUpdateID (%d, %d) with the folder %s and All Music in "
          "ContainerUpdateIDs: %r" % (start, value, folder, containers))
    spin(lambda: False, 2.5)  # whatever else the copy caused arrives meanwhile
    result, total, update_id = browse(folder)
    check("second" in result and total == 2 and update_id == events[-1][1],
          "Browse of the folder shows the file and the new UpdateID (%r, %r, %r)"
          % (total, update_id, events[-1][1]))

    # Ten files within a second: at most one event every 2 s, the last covering all.
    del events[:]
    for n in range(10):
        shutil.copyfile(tone, os.path.join(media, "burst%d.wav" % n))
        spin(lambda: False, 0.1)  # events are timed as they arrive
    spin(lambda: False, 5)
    # Without moderation they would come 0.1 s apart; the margin is the client's own delay.
    gaps = [b[0] - a[0] for a, b in zip(events, events[1:])]
    check(events and all(gap >= 1.7 for gap in gaps),
          "%d events for ten files, %s s apart" % (len(events), ["%.2f" % g for g in gaps]))
    # The album art made for the new files (by a child process, a moment later) moves the
    # counter once more; its event follows within the moderation time.
    end = time.time() + 10
    while time.time() < end and not (events and events[-1][1] == system_update_id()):
        spin(lambda: False, 0.5)
    now = system_update_id()
    check(events and events[-1][1] == now and browse(folder)[1] == 12,
          "the last event carries the final SystemUpdateID (%r, %r) of all twelve files"
          % (events and events[-1][1], now))
    cd.set_subscribed(False)
    spin(lambda: False, 0.3)


def make(media):
    tone = os.path.join(media, "..", "tone.wav")
    write_wav(tone)
    shutil.copyfile(tone, os.path.join(media, "first.wav"))
    return tone


def main():
    program = sys.argv[1]
    with library_namespace("orvex-netns-", make) as (work, media, tone):
        with Server(program, work, media, extra=["--name", "Den & Co"]) as server:
            cd, udn, first_id = find()
            check(cd and "<friendlyName>Den &amp; Co</friendlyName>" in cd.description,
                  "the description names the server, escaped")
            check(first_id and first_id > 0, "SystemUpdateID counts the scan (%r)" % first_id)
            if server.started:
                events(media, tone)
            first_id = find()[2]
            check(server.stop() == 0, "SIGTERM shuts the server down cleanly")
        # A clean stop leaves the library whole in one file.
        home = server.home
        left = [n for n in ("temp.mdb", "Orvex.mdb-wal") if os.path.exists(home + "/" + n)]
        check(not left, "the stopped server leaves no working files (%s)" % left)
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
    finish()


if __name__ == "__main__":
    main()
