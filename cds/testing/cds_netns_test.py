#!/usr/bin/python3
"""Runs the content directory test host inside a private network namespace and browses
and searches it with a GUPnP control point, parsing every Result with GUPnP-AV.

    unshare -rn python3 cds_netns_test.py HOST_PROGRAM

The script refuses to run unless the namespace is fresh (only "lo" exists), so nothing
here ever reaches the machine's own network.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (  # noqa: E402
    MediaServerFinder, TestHost, add_veth_pair, call_action as call, check, finish,
    require_private_namespace, route_multicast_on_loopback)


def run(program):
    import gi
    gi.require_version("GUPnP", "1.6")
    gi.require_version("GUPnPAV", "1.0")
    from gi.repository import GLib, GObject, GUPnPAV

    # Every message the DIDL-Lite parser or its XML layer logs counts as a failure.
    logged = []
    # (Debug and info messages, such as the schema files it loads, do not count.)
    levels = (GLib.LogLevelFlags.LEVEL_WARNING | GLib.LogLevelFlags.LEVEL_CRITICAL
              | GLib.LogLevelFlags.LEVEL_ERROR | GLib.LogLevelFlags.FLAG_FATAL
              | GLib.LogLevelFlags.FLAG_RECURSION)
    for domain in ("gupnp-av", "GUPnP-AV", "GUPnPAV", "libgupnp-av", "GUPnP", None):
        GLib.log_set_handler(domain, levels,
                             lambda d, level, message, _u: logged.append((d, message)), None)

    # GUPnP does not use loopback-only contexts: give it a veth interface of its own.
    add_veth_pair()
    host = TestHost(program)
    if not host.ok:
        return
    finder = MediaServerFinder()
    check(finder.find(15) is not None, "GUPnP finds the device")
    if finder.device is None:
        host.stop()
        return
    services = finder.services()
    cd = services["urn:schemas-upnp-org:service:ContentDirectory:1"]
    cm = services["urn:schemas-upnp-org:service:ConnectionManager:1"]

    S, U = GObject.TYPE_STRING, GObject.TYPE_UINT
    values, _ = call(cd, "GetSearchCapabilities", [], [("SearchCaps", S)])
    check(values == ["dc:title,upnp:class,res@protocolInfo"], "SearchCaps %r" % values)
    values, _ = call(cd, "GetSortCapabilities", [], [("SortCaps", S)])
    check(values in (["",], [None]), "SortCaps empty %r" % values)
    values, _ = call(cd, "GetSystemUpdateID", [], [("Id", U)])
    system_update_id = values[0] if values else None
    check(system_update_id, "SystemUpdateID counts the library's changes %r" % values)
    values, _ = call(cm, "GetProtocolInfo", [], [("Source", S), ("Sink", S)])
    check(values is not None and len(values[0]) == 1344 and values[1] in ("", None),
          "GetProtocolInfo Source of 1344 bytes")
    values, _ = call(cm, "GetCurrentConnectionIDs", [], [("ConnectionIDs", S)])
    check(values == ["0"], "ConnectionIDs 0 %r" % values)
    I = GObject.TYPE_INT
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

    def parse(result):
        objects = []
        parser = GUPnPAV.DIDLLiteParser.new()
        parser.connect("object-available", lambda _p, o: objects.append(o))
        before = len(logged)
        try:
            parser.parse_didl(result)
        except GLib.Error as error:
            check(False, "DIDL-Lite parses: %s" % error)
        check(len(logged) == before, "DIDL-Lite parses without warnings: %s" % logged[before:])
        return objects

    OUTS = [("Result", S), ("NumberReturned", U), ("TotalMatches", U), ("UpdateID", U)]

    def browse(object_id, flag, start=0, count=0, flt="*"):
        values, code = call(cd, "Browse", [("ObjectID", object_id), ("BrowseFlag", flag),
                                           ("Filter", flt), ("StartingIndex", start),
                                           ("RequestedCount", count), ("SortCriteria", "")], OUTS)
        if values is None:
            return None, code
        return (parse(values[0]), values[1], values[2], values[3]), None

    answer, code = browse("0", "BrowseMetadata")
    check(answer is not None and len(answer[0]) == 1 and answer[0][0].get_id() == "0"
          and answer[1] == 1, "BrowseMetadata of 0 (%r)" % (code,))
    check(answer is not None and answer[3] == system_update_id,
          "Browse answers with the SystemUpdateID (%r)" % (answer and answer[3],))

    # Walk down the first container that leads to items.
    seen_items = []
    containers_seen = 0
    queue = ["0"]
    while queue and not seen_items and containers_seen < 40:
        current = queue.pop(0)
        containers_seen += 1
        answer, code = browse(current, "BrowseDirectChildren")
        if answer is None:
            check(False, "BrowseDirectChildren of %s (%r)" % (current, code))
            break
        objects, returned, total, _ = answer
        check(returned == len(objects) and total >= returned,
              "children of %s: returned %d of %d" % (current, returned, total))
        check(all(o.get_title() and o.get_upnp_class() and o.get_parent_id() == current
                  for o in objects), "children of %s have title, class and parent" % current)
        for o in objects:
            if isinstance(o, GUPnPAV.DIDLLiteContainer):
                queue.append(o.get_id())
            else:
                seen_items.append(o)
    check(seen_items, "walking down from 0 reaches items: %s" %
          [o.get_title() for o in seen_items])
    if seen_items:
        item = seen_items[0]
        answer, code = browse(item.get_id(), "BrowseDirectChildren")
        check(answer is None and code == 710, "BrowseDirectChildren on an item faults 710 (%r)" % code)
        answer, _ = browse(item.get_id(), "BrowseMetadata", flt="dc:title")
        check(answer is not None and answer[1] == 1 and answer[0][0].get_title() == item.get_title(),
              "BrowseMetadata of item %s" % item.get_id())

    answer, code = browse("987654", "BrowseMetadata")
    check(answer is None and code == 701, "unknown ObjectID faults 701 (%r)" % code)

    # Paging of the root's children.
    full, _ = browse("0", "BrowseDirectChildren")
    if full is not None and full[2] >= 2:
        page, _ = browse("0", "BrowseDirectChildren", start=1, count=1)
        check(page is not None and page[1] == 1 and page[2] == full[2] and
              page[0][0].get_id() == full[0][1].get_id(), "a window of one child")
        beyond, _ = browse("0", "BrowseDirectChildren", start=full[2] + 5, count=0)
        check(beyond is not None and beyond[1] == 0 and beyond[2] == full[2],
              "StartingIndex beyond the last child")

    def search(criteria, container="0"):
        values, code = call(cd, "Search", [("ContainerID", container),
                                           ("SearchCriteria", criteria), ("Filter", "*"),
                                           ("StartingIndex", 0), ("RequestedCount", 0),
                                           ("SortCriteria", "")], OUTS)
        if values is None:
            return None, code
        return (parse(values[0]), values[1], values[2]), None

    answer, code = search('upnp:class derivedfrom "object.item.audioItem" and dc:title contains "x"')
    titles = sorted(o.get_title() for o in answer[0]) if answer else None
    check(titles == ["Alpha x-ray", "Boxer"] and answer[1] == 2 and answer[2] == 2,
          "Search finds the audio items with x in the title: %r (%r)" % (titles, code))
    answer, code = search('upnp:class derivedfrom "object.item.audioItem"')
    titles = sorted(o.get_title() for o in answer[0]) if answer else None
    check(titles == ["Alpha x-ray", "Boxer", "Gamma & Delta"],
          "Search of every audio item, an ampersand in a title intact: %r" % titles)
    answer, code = search('dc:title contains')
    check(answer is None and code == 708, "malformed criteria fault 708 (%r)" % code)

    check(not logged, "nothing logged: %s" % logged)
    host.stop()


def main():
    program = sys.argv[1]
    require_private_namespace()
    route_multicast_on_loopback()
    run(program)
    finish()


if __name__ == "__main__":
    main()
