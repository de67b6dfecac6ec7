#!/usr/bin/python3
"""The library's changes reach a subscribed control point: the real server shares a folder
inside a private network namespace, a GUPnP control point subscribes to its
ContentDirectory, and files copied into the folder arrive as events (a larger
SystemUpdateID, the changed containers in ContainerUpdateIDs) that a Browse then agrees
with; a burst of copies gives at most one event every two seconds, the last one covering
them all.

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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from netns_server_test import write_wav  # noqa: E402
from netns_support import (MediaServerFinder, add_veth_pair, check, failures, finish,  # noqa: E402
                           require_private_namespace, wait_for_text)

# The content directory's fixed "All Music" and audio "My Folder" containers.
ALL_MUSIC = "7"
AUDIO_FOLDERS = "12"


class Client:
    """A GUPnP control point subscribed to the server's ContentDirectory; every event
    variable arrives in `events` as (time received, name, value)."""

    def __init__(self):
        import gi
        gi.require_version("GUPnP", "1.6")
        from gi.repository import GLib, GObject, GUPnP
        self.GLib, self.GObject, self.GUPnP = GLib, GObject, GUPnP
        self.finder = MediaServerFinder()
        self.cd = None
        self.events = []
        device = self.finder.find(15)
        check(device is not None, "GUPnP finds the server")
        if device is None:
            return
        self.cd = self.finder.services().get("urn:schemas-upnp-org:service:ContentDirectory:1")
        for name, kind in (("SystemUpdateID", GObject.TYPE_UINT),
                           ("ContainerUpdateIDs", GObject.TYPE_STRING)):
            self.cd.add_notify(name, kind, self._notified, None)
        self.cd.set_subscribed(True)

    def _notified(self, _proxy, name, value, _user):
        self.events.append((time.time(), name, value))

    def spin(self, condition, seconds):
        return self.finder.spin(condition, seconds)

    def call(self, name, ins, outs):
        action = self.GUPnP.ServiceProxyAction.new_from_list(
            name, [n for n, _ in ins], [v for _, v in ins])
        try:
            self.cd.call_action(action, None)
        except self.GLib.Error as error:
            check(False, "%s answered: %s" % (name, error))
            return None
        ok, values = action.get_result_list([n for n, _ in outs], [t for _, t in outs])
        return values if ok else None

    def system_update_id(self):
        values = self.call("GetSystemUpdateID", [], [("Id", self.GObject.TYPE_UINT)])
        return values[0] if values else None

    def browse(self, object_id):
        """(Result, TotalMatches, UpdateID) of the children of `object_id`."""
        S, U = self.GObject.TYPE_STRING, self.GObject.TYPE_UINT
        values = self.call("Browse", [("ObjectID", object_id),
                                      ("BrowseFlag", "BrowseDirectChildren"), ("Filter", "*"),
                                      ("StartingIndex", 0), ("RequestedCount", 0),
                                      ("SortCriteria", "")],
                           [("Result", S), ("NumberReturned", U), ("TotalMatches", U),
                            ("UpdateID", U)])
        return (values[0], values[2], values[3]) if values else ("", None, None)

    def updates(self, since=0.0):
        """The SystemUpdateID events received after `since`: (time, value, containers),
        containers being the ContainerUpdateIDs pairs of the same NOTIFY, or None."""
        found = []
        pending = None
        for at, name, value in self.events:
            if at < since:
                continue
            if name == "ContainerUpdateIDs":
                fields = value.split(",") if value else []
                pending = dict(zip(fields[0::2], map(int, fields[1::2])))
            else:
                found.append((at, value, pending))
                pending = None
        return found


def copy(source, target):
    """Copies through a file of its own, as a file manager does; the watcher stores the
    file when its writer closes it."""
    shutil.copyfile(source, target)


def run(program, work):
    media = os.path.join(work, "media")
    os.makedirs(media)
    tone = os.path.join(work, "tone.wav")
    write_wav(tone)
    copy(tone, os.path.join(media, "first.wav"))
    log_path = os.path.join(work, "server.log")
    with open(log_path, "w") as log:
        server = subprocess.Popen([program, "--home", os.path.join(work, "home"), "--headless",
                                   "--share", media], stdout=log, stderr=log)
    try:
        check(wait_for_text(log_path, "runs headless", 30), "the server starts")
        client = Client()
        if client.cd is None:
            return
        check(client.spin(lambda: client.updates(), 10), "the subscription's first event arrives")
        start = client.system_update_id()
        initial = client.updates()
        check(initial and initial[0][1] == start,
              "the first event carries the current SystemUpdateID (%r, %r)" % (initial, start))
        folders, _, _ = client.browse(AUDIO_FOLDERS)
        folder = re.search(r'<container id="(\d+)"', folders)
        check(folder is not None, "the shared folder has its audio container")
        if folder is None:
            return
        folder = folder.group(1)

        # One file: an event within 3 s names its containers, and Browse agrees.
        before = time.time()
        copy(tone, os.path.join(media, "second.wav"))
        copied = time.time()
        check(client.spin(lambda: client.updates(before), 3 + copied - before),
              "an event arrives within 3 s of the copy")
        events = client.updates(before)
        if events:
            at, value, containers = events[0]
            check(value > start, "the event carries a larger SystemUpdateID (%d, %d)"
                  % (start, value))
            check(containers is not None and start < containers.get(folder, 0) <= value and
                  start < containers.get(ALL_MUSIC, 0) <= value,
                  "ContainerUpdateIDs names the folder %s and All Music: %r" % (folder, containers))
            client.spin(lambda: False, 2.5)  # anything else the copy caused comes meanwhile
            last = client.updates(before)[-1][1]
            result, total, update_id = client.browse(folder)
            check("second" in result and total == 2,
                  "Browse of the folder shows the file (%r)" % total)
            check(update_id == last, "Browse answers with the new UpdateID (%r, %r)"
                  % (update_id, last))

        # Ten files within a second: at most one event every 2 s, the last covering all.
        before = time.time()
        for n in range(10):
            copy(tone, os.path.join(media, "burst%d.wav" % n))
            client.spin(lambda: False, 0.1)  # events are timed as they arrive
        client.spin(lambda: False, 5)
        events = client.updates(before)
        gaps = [b[0] - a[0] for a, b in zip(events, events[1:])]
        check(events and all(gap >= 1.9 for gap in gaps),
              "%d events for ten files, %s s apart" % (len(events), ["%.2f" % g for g in gaps]))
        now = client.system_update_id()
        check(events and events[-1][1] == now,
              "the last event carries the final SystemUpdateID (%r, %r)"
              % (events and events[-1][1], now))
        _, total, _ = client.browse(folder)
        check(total == 12, "the folder holds all twelve files (%r)" % total)
        client.cd.set_subscribed(False)
        client.spin(lambda: False, 0.3)
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


def main():
    program = sys.argv[1]
    require_private_namespace()
    add_veth_pair()
    time.sleep(0.5)  # let the veth carrier settle
    work = tempfile.mkdtemp(prefix="orvex-events-")
    try:
        run(program, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    finish()


if __name__ == "__main__":
    main()
