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
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (CD_TYPE, ContentDirectory, MediaServerFinder, Server,  # noqa: E402
                           call_action, check, finish, library_namespace, write_wav)

ALL_MUSIC, AUDIO_FOLDERS = "7", "12"  # fixed containers of the content directory


def run(media, tone):
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
    with library_namespace("orvex-events-", make) as (work, media, tone):
        with Server(sys.argv[1], work, media) as server:
            if server.started:
                run(media, tone)
            check(server.stop() == 0, "SIGTERM shuts the server down cleanly")
    finish()


if __name__ == "__main__":
    main()
