#!/usr/bin/python3
"""The content directory's answers that the real-client suite does not ask for, asked by a
GUPnP control point of the real server inside a private network namespace: the services'
SCPDs, the capabilities, the connection manager, the fault codes, paging and Search.

    unshare -rn python3 cds_netns_test.py MIRELLE

The script refuses to run unless the namespace is fresh (only "lo" exists), so nothing
here ever reaches the machine's own network.
"""

import contextlib
import io
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (  # noqa: E402
    MediaServerFinder, Server, call_action as call, check, finish, library_namespace, write_wav)


def run(finder):
    import gi
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GObject, GUPnPAV
    services = finder.services()
    cd = services["urn:schemas-upnp-org:service:ContentDirectory:1"]
    cm = services["urn:schemas-upnp-org:service:ConnectionManager:1"]
    S, U, I = GObject.TYPE_STRING, GObject.TYPE_UINT, GObject.TYPE_INT

    def ask(name, first, flag, start=0, count=0):
        """(objects, NumberReturned, TotalMatches, UpdateID), or (None, the error code)."""
        values, code = call(cd, name, [first, flag, ("Filter", "*"), ("StartingIndex", start),
                                       ("RequestedCount", count), ("SortCriteria", "")],
                            [("Result", S), ("NumberReturned", U), ("TotalMatches", U),
                             ("UpdateID", U)])
        if values is None:
            return None, code
        objects = []
        parser = GUPnPAV.DIDLLiteParser.new()
        parser.connect("object-available", lambda _p, o: objects.append(o))
        parser.parse_didl(values[0])
        return (objects,) + tuple(values[1:]), None

    def browse(object_id, flag="BrowseDirectChildren", start=0, count=0):
        return ask("Browse", ("ObjectID", object_id), ("BrowseFlag", flag), start, count)

    def search(criteria):
        return ask("Search", ("ContainerID", "0"), ("SearchCriteria", criteria))

    from gi.repository import GLib
    actions = {}

    def introspected(proxy, result, name):
        try:
            actions[name] = sorted(proxy.introspect_finish(result).list_action_names())
        except GLib.Error as error:
            actions[name] = str(error)
    cd.introspect_async(None, introspected, "cd")
    cm.introspect_async(None, introspected, "cm")
    finder.spin(lambda: len(actions) == 2, 10)
    check(actions == {"cd": ["Browse", "GetSearchCapabilities", "GetSortCapabilities",
                             "GetSystemUpdateID", "Search"],
                      "cm": ["GetCurrentConnectionIDs", "GetCurrentConnectionInfo",
                             "GetProtocolInfo"]}, "GUPnP reads both SCPDs: %r" % actions)
    values, _ = call(cd, "GetSearchCapabilities", [], [("SearchCaps", S)])
    check(values == ["dc:title,upnp:class,res@protocolInfo"], "SearchCaps %r" % values)
    values, _ = call(cd, "GetSortCapabilities", [], [("SortCaps", S)])
    check(values in ([""], [None]), "SortCaps empty %r" % values)
    values, _ = call(cd, "GetSystemUpdateID", [], [("Id", U)])
    system_update_id = values[0] if values else None
    values, _ = call(cm, "GetProtocolInfo", [], [("Source", S), ("Sink", S)])
    check(values is not None and len(values[0]) == 1344 and values[1] in ("", None),
          "GetProtocolInfo Source of 1344 bytes")
    values, _ = call(cm, "GetCurrentConnectionIDs", [], [("ConnectionIDs", S)])
    check(values == ["0"], "ConnectionIDs 0 %r" % values)
    values, code = call(cm, "GetCurrentConnectionInfo", [("ConnectionID", 0)],
                        [("RcsID", I), ("AVTransportID", I), ("ProtocolInfo", S),
                         ("PeerConnectionManager", S), ("PeerConnectionID", I),
                         ("Direction", S), ("Status", S)])
    check(values is not None and values[:2] == [-1, -1] and values[2] in ("", None) and
          values[3] in ("", None) and values[4:] == [-1, "Output", "OK"],
          "GetCurrentConnectionInfo(0) describes the default connection (%r, %r)"
          % (values, code))
    _, code = call(cm, "GetCurrentConnectionInfo", [("ConnectionID", 1)], [("RcsID", I)])
    check(code == 706, "GetCurrentConnectionInfo of another ID faults 706 (%r)" % code)

    answer, code = browse("0", "BrowseMetadata")
    check(answer is not None and answer[0][0].get_id() == "0" and answer[1] == 1 and
          answer[3] == system_update_id, "BrowseMetadata of 0 answers with the SystemUpdateID "
          "%r (%r)" % (system_update_id, code))
    full, _ = browse("0")
    page, _ = browse("0", start=1, count=1)
    check(full is not None and page is not None and page[1:3] == (1, full[2]) and
          page[0][0].get_id() == full[0][1].get_id(), "a window of one child")
    beyond, _ = browse("0", start=full[2] + 5 if full else 5)
    check(beyond is not None and beyond[1] == 0, "StartingIndex beyond the last child")

    answer, code = search('upnp:class derivedfrom "object.item.audioItem" and '
                          'dc:title contains "x"')
    titles = sorted(o.get_title() for o in answer[0]) if answer else None
    check(titles == ["Alpha x-ray", "Boxer"] and answer[1:3] == (2, 2),
          "Search finds the audio items with x in the title: %r (%r)" % (titles, code))
    answer, code = search('upnp:class derivedfrom "object.item.audioItem"')
    titles = sorted(o.get_title() for o in answer[0]) if answer else None
    check(titles == ["Alpha x-ray", "Boxer", "Gamma & Delta"],
          "Search of every audio item, an ampersand in a title intact: %r (%r)" % (titles, code))
    item = answer[0][0].get_id() if answer else "1"

    def fault(ask, *args):
        """The error code and text of a failed call."""
        said = io.StringIO()
        with contextlib.redirect_stdout(said):
            _, code = ask(*args)
        return code, said.getvalue().strip().split(": ", 1)[-1]
    for fault_of, want in (
            (fault(browse, item), (710, "The specified ObjectID or ContainerID identifies an "
                                        "object that is not a container.")),
            (fault(browse, "987654", "BrowseMetadata"), (701, "ObjectID does not exist.")),
            (fault(search, "dc:title contains"),
             (708, "Unsupported or invalid search criteria"))):
        check(fault_of == want, "fault %r (%r)" % (want, fault_of))


def make(media):
    for title in ("Alpha x-ray", "Boxer", "Gamma & Delta"):
        write_wav(os.path.join(media, title + ".wav"))


def main():
    # GUPnP does not use loopback-only contexts: the namespace has a veth interface.
    with library_namespace("orvex-cds-", make) as (work, media, _):
        with Server(sys.argv[1], work, media) as server:
            finder = MediaServerFinder()
            if check(server.started and finder.find(30) is not None, "GUPnP finds the server"):
                run(finder)
            check(server.stop() == 0, "SIGTERM shuts the server down cleanly")
            # Each action is traced once, as it is asked (the Browse and Search calls above).
            with open(server.log_path, "rb") as f:
                log = f.read()
            for call, times in ((b"UpnpContentDirectory_Browse()", 6),
                                (b"UpnpContentDirectory_Search()", 3),
                                (b"UpnpContentDirectory_GetSearchCapabilities()", 1),
                                (b"UpnpConnectionManager_GetCurrentConnectionInfo(1)", 1)):
                line = b"UPnP Invoke: " + call + b";\r\n"
                check(log.count(line) == times, "%d trace line(s) %r: %d"
                      % (times, line, log.count(line)))
    finish()


if __name__ == "__main__":
    main()
