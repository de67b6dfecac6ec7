#!/usr/bin/python3
"""The library's changes reach a subscribed control point: the real server shares a folder
inside a private network namespace, a GUPnP control point subscribes to its
ContentDirectory, and files copied into the folder arrive as events (a larger
SystemUpdateID, the changed containers in ContainerUpdateIDs) that a Browse agrees with;
a burst of copies gives at most one event every two seconds, the last covering them all.

    unshare -rn python3 netns_events_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..", "..", "platform", "testing")]
from netns_server_test import write_wav  # noqa: E402
from netns_support import (MediaServerFinder, add_veth_pair, check, failures, finish,  # noqa: E402
                           require_private_namespace, wait_for_text)

ALL_MUSIC, AUDIO_FOLDERS = "7", "12"  # fixed containers of the content directory


def run(program, work, media, tone):
    import gi
    gi.require_version("GUPnP", "1.6")
    from gi.repository import GObject, GUPnP
    S, U = GObject.TYPE_STRING, GObject.TYPE_UINT
    finder = MediaServerFinder()
    spin = finder.spin
    if not check(finder.find(15) is not None, "GUPnP finds the server"):
        return
    cd = finder.services()["urn:schemas-upnp-org:service:ContentDirectory:1"]
    # (time received, SystemUpdateID, ContainerUpdateIDs pairs of the same NOTIFY or None)
    events, pairs = [], [None]

    def notified(_proxy, name, value, _user):
        if name == "ContainerUpdateIDs":
            fields = value.split(",") if value else []
            pairs[0] = dict(zip(fields[0::2], map(int, fields[1::2])))
        else:
            events.append((time.time(), value, pairs[0]))
            pairs[0] = None

    def call(name, ins, outs):
        action = GUPnP.ServiceProxyAction.new_from_list(name, [n for n, _ in ins],
                                                        [v for _, v in ins])
        cd.call_action(action, None)
        return action.get_result_list([n for n, _ in outs], [t for _, t in outs])[1]

    def browse(object_id):
        """Result, TotalMatches and UpdateID of a container's children."""
        return call("Browse", [("ObjectID", object_id), ("BrowseFlag", "BrowseDirectChildren"),
                               ("Filter", "*"), ("StartingIndex", 0), ("RequestedCount", 0),
                               ("SortCriteria", "")],
                    [("Result", S), ("TotalMatches", U), ("UpdateID", U)])

    def system_update_id():
        return call("GetSystemUpdateID", [], [("Id", U)])[0]

    cd.add_notify("SystemUpdateID", U, notified, None)
    cd.add_notify("ContainerUpdateIDs", S, notified, None)
    cd.set_subscribed(True)
    start = system_update_id()
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
    now = system_update_id()
    check(events and events[-1][1] == now and browse(folder)[1] == 12,
          "the last event carries the final SystemUpdateID (%r, %r) of all twelve files"
          % (events and events[-1][1], now))
    cd.set_subscribed(False)
    spin(lambda: False, 0.3)


def main():
    program = sys.argv[1]
    require_private_namespace()
    add_veth_pair()
    time.sleep(0.5)  # let the veth carrier settle
    work = tempfile.mkdtemp(prefix="orvex-events-")
    media, tone, log_path = (os.path.join(work, n) for n in ("media", "tone.wav", "server.log"))
    os.makedirs(media)
    write_wav(tone)
    shutil.copyfile(tone, os.path.join(media, "first.wav"))
    with open(log_path, "w") as log:
        server = subprocess.Popen([program, "--home", os.path.join(work, "home"), "--headless",
                                   "--share", media], stdout=log, stderr=log)
    try:
        if check(wait_for_text(log_path, "runs headless", 30), "the server starts"):
            run(program, work, media, tone)
    finally:
        server.send_signal(signal.SIGTERM)
        try:
            check(server.wait(timeout=15) == 0, "SIGTERM shuts the server down cleanly")
        except subprocess.TimeoutExpired:
            server.kill()
            check(False, "SIGTERM shuts the server down cleanly")
        if failures:
            with open(log_path, encoding="utf-8", errors="replace") as f:
                print(f.read()[-4000:])
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
