#!/usr/bin/python3
"""The whole server end to end, as a home network sees it: `mirelle` shares a folder of
music, pictures, video, a playlist and a disc image inside a private network namespace; a
GUPnP control point finds it, browses from "0" to the items (every container holds as
many children as its childCount says, the playlist in its own order) and every resource
URL is fetched and compared with the files (whole, the last 100 bytes, two ranges, the
type its protocolInfo names), the picture's thumbnail is read, ffprobe finds in the
transcoded streams what their protocolInfo says, and paths that try to leave the shared
folders are refused by both HTTP servers.

    unshare -rn python3 first_light_test.py MIRELLE

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import base64
import contextlib
import os
import signal
import struct
import subprocess
import sys
import time
import urllib.parse
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ADDRESS, CD_TYPE, ContentDirectory, MediaServerFinder,  # noqa: E402
                           Server, call_action, check, descendants, ffmpeg, finish, get,
                           http, library_namespace, wait_until)


SUBTITLE = "1\n00:00:00,000 --> 00:00:01,500\nPremière lumière\n"


def picture(size, path, *options):
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=%s:d=1" % size, "-frames:v", "1", *options, path)


def make_media(media):
    music = os.path.join(media, "Music")
    os.makedirs(music)
    ffmpeg("-f", "lavfi", "-i", "sine=f=440:d=3", "-c:a", "libmp3lame", "-b:a", "96k",
           "-metadata", "title=First Light", "-metadata", "artist=Tester",
           "-metadata", "album=Dawn", "-metadata", "genre=Ambient", "-metadata", "track=7/9",
           "-metadata", "date=2009", os.path.join(music, "song.mp3"))
    picture("64x64", os.path.join(music, "folder.jpg"))
    picture("320x240", os.path.join(media, "photo.jpg"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=160x120:d=2:r=10", "-f", "lavfi", "-i",
           "sine=f=220:d=2", "-c:v", "mpeg4", "-c:a", "aac", "-shortest",
           os.path.join(media, "clip.mp4"))
    ffmpeg("-f", "lavfi", "-i", "testsrc=s=160x120:d=2:r=10", "-c:v", "mpeg4",
           os.path.join(media, "film.mkv"))
    # Videos whose frames are laid out otherwise: full-range 4:2:2, 4:4:4 and grey; 10-bit
    # frames are not converted, so that video gets no art.
    os.makedirs(os.path.join(media, "Frames"))
    for name, pixels in (("mjpeg.avi", "yuvj422p"), ("full.mkv", "yuv444p"),
                         ("grey.mkv", "gray"), ("tenbit.mkv", "yuv420p10le")):
        ffmpeg("-f", "lavfi", "-i", "testsrc=s=160x120:d=2:r=10", "-c:v",
               "mjpeg" if name.endswith(".avi") else "ffv1", "-pix_fmt", pixels,
               os.path.join(media, "Frames", name))
    # A video that nothing can decode.
    with open(os.path.join(media, "garbled.mp4"), "wb") as f:
        f.write(b"\0\0\0\x18ftypisom" + bytes(range(256)) * 40)
    with open(os.path.join(media, "clip.en.srt"), "w", encoding="utf-8") as f:
        f.write(SUBTITLE)
    # A song in a folder without pictures, converted for clients (Ogg is always).
    os.makedirs(os.path.join(media, "Loose"))
    ffmpeg("-f", "lavfi", "-i", "sine=f=330:d=3", "-c:a", "libvorbis",
           os.path.join(media, "Loose", "lonely.ogg"))
    # Beside it, a song whose tags hold a cover, and one whose tags hold a broken picture.
    work = os.path.join(media, "..")
    plain, cover = os.path.join(work, "plain.mp3"), os.path.join(work, "cover.jpg")
    ffmpeg("-f", "lavfi", "-i", "sine=f=550:d=1", "-id3v2_version", "0", plain)
    picture("400x300", cover)
    ffmpeg("-i", plain, "-i", cover, "-map", "0", "-map", "1", "-c", "copy", "-id3v2_version",
           "3", "-metadata:s:v", "comment=Cover (front)",
           os.path.join(media, "Loose", "covered.mp3"))
    with open(plain, "rb") as f, open(os.path.join(media, "Loose", "broken.mp3"), "wb") as out:
        out.write(id3_with_picture(b"\xff\xd8\xff\xe0 not a picture" * 50) + f.read())
    # The same cover in each other kind of tag that holds pictures.
    covers = os.path.join(media, "Covers")
    os.makedirs(covers)
    for kind in ("flac", "m4a"):
        ffmpeg("-i", plain, "-i", cover, "-map", "0", "-map", "1", "-c:v", "copy", "-disposition:v",
               "attached_pic", os.path.join(covers, "cover-%s.%s" % (kind, kind)))
    with open(cover, "rb") as f:
        jpeg = f.read()
    block = struct.pack(">II10sIIIIII", 3, 10, b"image/jpeg", 0, 0, 0, 0, 0, len(jpeg)) + jpeg
    for title, codec in (("cover-ogg", "libvorbis"), ("cover-opus", "libopus")):
        ffmpeg("-i", plain, "-c:a", codec, "-metadata", "METADATA_BLOCK_PICTURE=" +
               base64.b64encode(block).decode(), os.path.join(covers, title + ".ogg"))
    tag = id3_with_picture(jpeg) + b"\0" * (len(jpeg) % 2)
    for kind, add in (("wav", lambda wav: wav + b"id3 " + struct.pack("<I", len(tag)) + tag),
                      ("wma", lambda wma: asf_with_picture(wma, jpeg))):
        ffmpeg("-i", plain, os.path.join(work, "plain." + kind))
        with open(os.path.join(work, "plain." + kind), "rb") as f:
            data = add(f.read())
        if kind == "wav":
            data = data[:4] + struct.pack("<I", len(data) - 8) + data[8:]
        with open(os.path.join(covers, "cover-%s.%s" % (kind, kind)), "wb") as out:
            out.write(data)
    # Pictures that are not 8-bit RGB: transparent, 16-bit, grey with transparency.
    for name, pixels in (("alpha", "rgba"), ("deep", "rgb48be"), ("greyalpha", "ya8")):
        picture("200x100", os.path.join(media, name + ".png"), "-vf",
                "format=rgba,colorchannelmixer=aa=0.5", "-pix_fmt", pixels)
    # A playlist whose order is not the order of names.
    with open(os.path.join(music, "mix.m3u"), "w") as f:
        f.write("#EXTM3U\n../Loose/lonely.ogg\nsong.mp3\n")
    # A disc image holding a picture.
    tree = os.path.join(media, "..", "disc-tree")
    os.makedirs(tree)
    picture("96x64", os.path.join(tree, "inside.jpg"))
    subprocess.run(["genisoimage", "-quiet", "-J", "-R", "-o", os.path.join(media, "disc.iso"),
                    tree], check=True)
    with open(os.path.join(tree, "inside.jpg"), "rb") as f:
        return f.read()


def id3_with_picture(picture):
    """An ID3v2.3 tag holding one front cover APIC frame of the bytes `picture`."""
    frame = b"\0image/jpeg\0\x03\0" + picture
    frame = b"APIC" + len(frame).to_bytes(4, "big") + b"\0\0" + frame
    return b"ID3\x03\0\0" + bytes(len(frame) >> n & 0x7F for n in (21, 14, 7, 0)) + frame


def asf_with_picture(asf, picture):
    """The ASF file `asf` with one more header object: a WM/Picture front cover of the bytes
    `picture`."""
    def wide(text):
        return (text + "\0").encode("utf-16-le")
    value = b"\x03" + struct.pack("<I", len(picture)) + wide("image/jpeg") + wide("") + picture
    name = wide("WM/Picture")
    body = struct.pack("<HH", 1, len(name)) + name + struct.pack("<HH", 1, len(value)) + value
    extended = bytes.fromhex("40A4D0D207E3D21197F000A0C95EA850") + struct.pack(
        "<Q", 24 + len(body)) + body
    size, count = struct.unpack("<QI", asf[16:28])
    return asf[:16] + struct.pack("<QI", size + len(extended), count + 1) + asf[28:30] + \
        extended + asf[30:]


def jpeg_size(body):
    """(width, height) from a JPEG's frame header, or None when it is no JPEG."""
    at = 2
    while body[:2] == b"\xff\xd8" and at + 9 < len(body) and body[at] == 0xFF:
        if body[at + 1] in (0xC0, 0xC1, 0xC2):
            return (int.from_bytes(body[at + 7:at + 9], "big"),
                    int.from_bytes(body[at + 5:at + 7], "big"))
        at += 2 + int.from_bytes(body[at + 2:at + 4], "big")
    return None


class Browser:
    """A GUPnP control point on the server's ContentDirectory; Result parsed by GUPnP-AV."""

    def __init__(self):
        import gi
        gi.require_version("GUPnP", "1.6")
        gi.require_version("GUPnPAV", "1.0")
        from gi.repository import GObject, GUPnPAV
        self.GObject, self.GUPnPAV = GObject, GUPnPAV
        finder = MediaServerFinder()
        self.cd = None
        self.objects = {}
        if check(finder.find(20) is not None, "GUPnP finds the server"):
            self.cd = finder.services()[CD_TYPE]

    def browse(self, object_id, flag="BrowseDirectChildren"):
        """(objects, NumberReturned, TotalMatches); objects empty after a fault."""
        S, U = self.GObject.TYPE_STRING, self.GObject.TYPE_UINT
        values = call_action(self.cd, "Browse", [("ObjectID", object_id)] + ContentDirectory.query(
            flag), [("Result", S), ("NumberReturned", U), ("TotalMatches", U)])[0]
        if values is None:
            return [], 0, 0
        objects = []
        parser = self.GUPnPAV.DIDLLiteParser.new()
        parser.connect("object-available", lambda _p, o: objects.append(o))
        parser.parse_didl(values[0])
        return objects, values[1], values[2]

    def walk(self):
        """Browses from "0": items by title (the first seen), each a list of resources
        (uri, protocolInfo, size, duration, bitrate); the playlists' entries in order; and
        the containers whose childCount differs from what their Browse returns."""
        items, playlists, miscounted = {}, {}, []
        queue, seen, counts = ["0"], 0, {"0": None}
        while queue and seen < 200:
            current = queue.pop(0)
            seen += 1
            objects, returned, total = self.browse(current)
            if counts[current] is not None and counts[current] != len(objects):
                miscounted.append((current, counts[current], len(objects)))
            if returned != len(objects) or total != len(objects):
                miscounted.append((current, "NumberReturned/TotalMatches", returned, total))
            for o in objects:
                if isinstance(o, self.GUPnPAV.DIDLLiteContainer):
                    queue.append(o.get_id())
                    counts[o.get_id()] = o.get_child_count()
                    if o.get_upnp_class() == "object.container.playlistContainer":
                        playlists[o.get_id()] = []
                    continue
                resources = [(r.get_uri(), r.get_protocol_info().to_string(), r.get_size64(),
                              r.get_duration(), r.get_bitrate()) for r in o.get_resources()]
                if current in playlists:
                    playlists[current].append((o.get_title(), o.get_id(), o.get_ref_id(),
                                               resources))
                if resources:
                    items.setdefault(o.get_title(), resources)
                    self.objects.setdefault(o.get_title(), o)
        return items, playlists, miscounted


def check_resource(name, url, info, data):
    status, fields, body = get(url)
    check(status == 200 and body == data, "%s: %s gives the whole file (%s, %d bytes)"
          % (name, url, status, len(body)))
    mime = info.split(":")[2]
    check(fields.get("content-type") == mime, "%s: the answer's type is the announced %s (%s)"
          % (name, mime, fields.get("content-type")))
    status, fields, body = get(url, [("Range", "bytes=-100")])
    check(status == 206 and body == data[-100:], "%s: the last 100 bytes (%s)" % (name, status))
    status, fields, body = get(url, [("Range", "bytes=0-9,20-29")])
    first, second = data[0:10], data[20:30]
    check(status == 206 and first in body and second in body and
          body.index(first) < body.rindex(second), "%s: two ranges (%s)" % (name, status))
    status, fields, body = get(url, [("Range", "bytes=%d-" % len(data))])
    check(status == 416, "%s: a range past the end is refused (%s)" % (name, status))
    # The system's lighttpd (.mkv) gives neither the length with its 416 nor DLNA headers.
    if urllib.parse.urlsplit(url).port != 3456:
        check(fields.get("content-range") == "bytes */%d" % len(data),
              "%s: the refusal names the length" % name)
        status, fields, body = get(url, [("getcontentFeatures.dlna.org", "1")])
        check(fields.get("contentfeatures.dlna.org") == info.split(":", 3)[3],
              "%s: contentFeatures.dlna.org agrees with the protocolInfo %s (%s)"
              % (name, info, fields.get("contentfeatures.dlna.org")))


def subtitle_of(browser, title):
    """The (uri, protocolInfo) of the item's subtitle resource, or None."""
    resources = browser.walk()[0].get(title, []) if browser.cd else []
    return next(((r[0], r[1]) for r in resources if r[1].startswith("http-get:*:text/srt:")),
                None)


def check_subtitles(browser, items, media):
    """The video with a subtitle beside it offers it; TVs that ask get its place and the
    video's duration with the video; the watcher follows subtitles that come and go."""
    found = subtitle_of(browser, "clip")
    if not check(found is not None, "the clip offers its subtitle %s" % items.get("clip")):
        return
    video = items["clip"][0][0]
    for method in ("GET", "HEAD"):
        parts = urllib.parse.urlsplit(video)
        status, fields, _ = http(parts.hostname, parts.port, parts.path, [
            ("getCaptionInfo.sec", "1"), ("getMediaInfo.sec", "1")], method=method)
        check(status == 200 and fields.get("captioninfo.sec") == found[0] and
              fields.get("mediainfo.sec") == "SEC_Duration=2000;",
              "%s of the clip tells its subtitle and duration when asked %s" % (method, fields))
    status, fields, _ = get(video)
    check("captioninfo.sec" not in fields and "mediainfo.sec" not in fields,
          "a client that asks nothing gets neither field")
    os.rename(os.path.join(media, "clip.en.srt"), os.path.join(media, "film.srt"))
    wait_until(lambda: not subtitle_of(browser, "clip") and subtitle_of(browser, "film"), 20, 0.5)
    moved = subtitle_of(browser, "film")
    check(subtitle_of(browser, "clip") is None and moved is not None and
          get(moved[0])[2] == SUBTITLE.encode(),
          "the watcher moves the subtitle from the clip to the film, which sends it")


def read_art(browser):
    browser.objects = {}
    browser.walk()
    return {title: o.get_album_art() for title, o in browser.objects.items()}


def check_album_art(browser, expected):
    """Art is made after the scan: the items in `expected` get it, as JPEGs of the given
    size; a song whose tags hold a broken picture, one without any picture, a video that
    cannot be decoded and one of 10-bit frames get none."""
    if not browser.cd:
        return
    art = wait_until(lambda: read_art(browser), 60, 0.5,
                     lambda art: all(art.get(t) for t in expected))
    for title, size in expected.items():
        if not check(art.get(title), "%s has album art" % title):
            continue
        status, fields, body = get(art[title])
        check(status == 200 and fields.get("content-type") == "image/jpeg" and
              jpeg_size(body) == size, "%s: its art is a %s JPEG (%s, %s, %s)"
              % (title, size, status, fields.get("content-type"), jpeg_size(body[:4096])))
    for title in ("broken", "lonely", "garbled", "tenbit"):
        check(title in art and not art[title], "%s has no album art (%s)" % (title, art.get(title)))


def check_art_removed(browser, home):
    """Art whose made file is gone is no longer offered by the very next Browse of the same
    pages, though the library still names it: also when the answers were given again on
    the watch of the art's folder, which has had no change for a while."""
    made = art_of(home, "covered.mp3")
    if not browser.cd or not check(made and made != "-",
                                   "the library names the art of covered.mp3 (%r)" % made):
        return
    time.sleep(1.1)
    for _ in range(3):  # made afresh, given again as the watches start, then on them
        read_art(browser)
    os.remove(os.path.join(home, "thumbnail", "art", made))
    again = read_art(browser)
    check(not again.get("covered") and again.get("song"),
          "the art whose file is gone is not offered; the rest is (%s, %s)"
          % (again.get("covered"), again.get("song")))


def big_png(path, side):
    """A black grey-scale PNG of `side` x `side` pixels: little to store, a while to decode."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(
            ">I", zlib.crc32(kind + data))
    packer = zlib.compressobj(1)
    pixels = b"".join(packer.compress(b"\0" * (side + 1)) for _ in range(side)) + packer.flush()
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" +
                chunk(b"IHDR", struct.pack(">IIBBBBB", side, side, 8, 0, 0, 0, 0)) +
                chunk(b"IDAT", pixels) + chunk(b"IEND", b""))


def art_makers(pid, flag=b"--make-album-art"):
    """The processes below process `pid` started with `flag`: the art makers by default."""
    def command(child):
        with contextlib.suppress(OSError), open("/proc/%d/cmdline" % child, "rb") as f:
            return f.read()
    return [child for child, _ in descendants(pid)
            if b"\0" + flag + b"\0" in (command(child) or b"")]


def art_of(home, name):
    """What the library records as the art of the file `name`; None before the item is in."""
    import sqlite3
    with sqlite3.connect("file:%s?mode=ro" % os.path.join(home, "Orvex.mdb"), uri=True,
                         timeout=10) as db:
        row = db.execute("select AlbumArt from FSE_QueryState where FilePath like ?",
                         ("%/" + name,)).fetchone()
    return row[0] if row else None


def check_art_maker(server, browser, media):
    """The art is decoded in a child process: the server never maps libvips (unless the
    program links it, as the checked build does). The child runs at idle priority, and one
    that is killed costs the art of the file it was on, without being started again."""
    linked = subprocess.run(["readelf", "-d", sys.argv[1]], capture_output=True, text=True)
    # Likewise the videos' numbers and tags come from a child that leaves when idle.
    for library, once in (("libvips", "the art is made"), ("libavformat", "videos are probed")):
        with open("/proc/%d/maps" % server.process.pid) as f:
            mapped = [line.split()[-1] for line in f if library in line]
        check(library in linked.stdout or not mapped,
              "the server itself maps no %s once %s %s" % (library, once, mapped[:1]))
    check(wait_until(lambda: not art_makers(server.process.pid, b"--probe-media"), 15, 0.2),
          "the idle prober has left")
    # A picture that takes the child a while: the test kills the child on it.
    big = os.path.join(media, "..", "big.png")
    big_png(big, 12000)
    os.rename(big, os.path.join(media, "big.png"))
    makers = wait_until(lambda: art_makers(server.process.pid), 30, 0.005)
    if not check(makers, "an art maker starts for the new picture"):
        return
    def policy():
        with contextlib.suppress(OSError):
            return os.sched_getscheduler(makers[0])
    # The maker lowers its own priority as it starts.
    check(wait_until(lambda: policy() == os.SCHED_IDLE, 10, 0.005),
          "the art maker runs at idle priority (SCHED_IDLE, policy %s)" % policy())
    os.kill(makers[0], signal.SIGKILL)
    wait_until(lambda: art_of(server.home, "big.png") == "-", 20, 0.2)
    check(art_of(server.home, "big.png") == "-" and not art_makers(server.process.pid),
          "the picture the killed art maker was on gets no art and no new maker (%s)"
          % art_of(server.home, "big.png"))
    check(server.alive() and browser.browse("0")[0], "the server goes on serving")


def use(server, media, inside):
    home = server.home
    files = {}
    for root, _, names in os.walk(media):
        for n in names:
            with open(os.path.join(root, n), "rb") as f:
                files[os.path.splitext(n)[0]] = f.read()
    files["inside"] = inside
    browser = Browser()
    items, playlists, miscounted = browser.walk() if browser.cd else ({}, {}, [])
    check(not miscounted, "every container holds the childCount and TotalMatches it "
          "announces %s" % miscounted)
    # Items are titled by their file's base name.
    titles = ["song", "photo", "clip", "film", "lonely", "inside"]
    for title in titles:
        check(title in items, "browsing from 0 reaches %s" % title)

    ports = set()
    for title in titles:
        for url, info, size, duration, bitrate in items.get(title, []):
            ports.add(urllib.parse.urlsplit(url).port)
            if url.endswith("folder.jpg"):
                check_resource(title + " cover", url, info, files["folder"])
                check((size, duration, bitrate) == (len(files["folder"]), -1, -1),
                      "the cover has its own size, no duration or bit rate %s"
                      % ((size, duration, bitrate),))
            elif ":text/srt:" in info:
                check_resource(title + " subtitle", url, info, SUBTITLE.encode())
            elif "&TC&POWER" not in url:
                check_resource(title, url, info, files[title])
            else:
                check(size == -1, "%s: a transcoded resource has no size (%d)" % (title, size))

    song = items.get("song", [])
    check(len(song) == 3 and song[2][0].endswith("/folder.jpg"),
          "the song offers its cover picture")
    lonely = items.get("lonely", [])
    check(len(lonely) == 2, "a song without a picture beside it offers no cover %s"
          % [r[0] for r in lonely])
    # What the encoder sends is what the transcoded resources announce.
    for title, mime, profile, codecs in (
            ("lonely", "audio/mpeg", "DLNA.ORG_PN=MP3;", ["mp3"]),
            ("clip", "video/x-ms-avi", None, ["mpeg4", "mp3"])):
        converted = [r for r in items.get(title, []) if "&TC&POWER" in r[0]]
        if not check(len(converted) == 1, "%s has one transcoded resource" % title):
            continue
        url, info = converted[0][:2]
        fourth = info.split(":")[3]
        check(info.split(":")[2] == mime and (profile in fourth if profile else
                                             "DLNA.ORG_PN" not in fourth),
              "%s: the transcoded resource announces %s (%s)" % (title, mime, info))
        status, fields, body = get(url)
        check(status == 200 and fields.get("content-type") == mime,
              "%s: the transcoded stream is sent as %s (%s)"
              % (title, mime, fields.get("content-type")))
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_entries", "stream=codec_name",
                                "-of", "csv=p=0", "-"], input=body, capture_output=True,
                               timeout=30)
        check(probe.stdout.decode().split() == codecs, "%s: the stream holds %s (%s)"
              % (title, codecs, probe.stdout.decode().split()))

    # The playlist lists its entries in its own order, each playable and browsable.
    entries = next(iter(playlists.values()), [])
    check([e[0] for e in entries] == ["lonely", "song"],
          "the playlist lists its entries in order %s" % [e[0] for e in entries])
    for title, object_id, ref_id, resources in entries:
        if resources:
            status, _, body = get(resources[0][0])
            check(status == 200 and body == files[title], "playlist entry %s plays" % title)
        mine, _, _ = browser.browse(object_id, "BrowseMetadata")
        real, _, _ = browser.browse(ref_id, "BrowseMetadata")
        check(len(mine) == 1 and mine[0].get_ref_id() == ref_id and len(real) == 1 and
              real[0].get_title() == title, "playlist entry %s: its metadata and the item "
              "it refers to can be browsed" % title)

    # A tagged song is a music track with its tags; a song without tags stays a plain
    # audio item.
    song, lonely = browser.objects.get("song"), browser.objects.get("lonely")
    fields = song and (song.get_upnp_class(), song.get_artist(), song.get_creator(),
                       song.get_album(), song.get_genre(), song.get_track_number(),
                       song.get_date())
    check(fields == ("object.item.audioItem.musicTrack", "Tester", "Tester", "Dawn",
                     "Ambient", 7, "2009-01-01"), "the tagged song's fields %s" % (fields,))
    check(lonely and (lonely.get_upnp_class(), lonely.get_artist(), lonely.get_track_number())
          == ("object.item.audioItem", None, -1), "the untagged song is a plain audio item")

    # The folder picture is 64 x 64; the songs' own covers, the picture and the video are 4:3,
    # the pictures that need converting 2:1.
    expected = {"song": (64, 64), "covered": (160, 120), "photo": (160, 120), "clip": (160, 120),
                "alpha": (160, 80), "deep": (160, 80), "greyalpha": (160, 80),
                "mjpeg": (160, 120), "full": (160, 120), "grey": (160, 120)}
    expected.update(("cover-" + kind, (160, 120))
                    for kind in ("flac", "m4a", "wma", "ogg", "opus", "wav"))
    check_album_art(browser, expected)
    check_art_maker(server, browser, media)
    check_art_removed(browser, server.home)
    # The web server's thumbnails are drawn in the server itself.
    photo = items.get("photo", [])
    if photo:
        url, info = photo[0][:2]
        # That the web server's contentFeatures agrees is check_resource's part.
        check("DLNA.ORG_PN=JPEG_" in info, "the picture's protocolInfo names a JPEG profile")
        status, fields, body = get(url.rsplit(".", 1)[0] + ".tb")
        width, height = struct.unpack("<ii", body[18:26]) if len(body) > 26 else (0, 0)
        check(status == 200 and body[:2] == b"BM" and (width, height) == (150, 150),
              "the .tb thumbnail is a 150 x 150 bitmap (%s, %dx%d)" % (status, width, height))
    check_subtitles(browser, items, media)
    film = items.get("film", [])
    check(film and urllib.parse.urlsplit(film[0][0]).port == 3456,
          "the .mkv item is offered on the auxiliary web server")
    # Fetching changed nothing in the library: the disc image's picture is still there.
    if browser.cd:
        check("inside" in browser.walk()[0], "the disc image's picture stays listed")

    # Paths that try to leave the shared folders, items that are not there, and on the
    # auxiliary server an item file naming something other than a .mkv, and the item
    # files themselves.
    with open(os.path.join(home, "etc", "99998.txt"), "wb") as f:
        f.write(b"/etc/passwd\0")
    film_id = film[0][0].split("/")[-2] if film else "0"
    for port in sorted(p for p in ports if p):
        for target in ("/0/___/1/../../../../etc/passwd",
                       "/0/___/1/%2e%2e/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                       "/0/___/1/%2E%2E%2F%2E%2E%2F%2E%2E%2Fetc%2Fpasswd",
                       "/0/___/99999/passwd", "/1/___/99999/x.mp3", "/0/___/99998/passwd.mkv",
                       "/%s.txt" % film_id):
            status, _, body = http(ADDRESS, port, target)
            check(status == 404 and b"root:" not in body,
                  "port %d refuses %s (%s)" % (port, target, status))


def main():
    with library_namespace("orvex-firstlight-", make_media) as (work, media, inside):
        with Server(sys.argv[1], work, media) as server:
            if server.started:
                use(server, media, inside)
            check(server.stop() == 0, "SIGTERM shuts the server down cleanly")
    finish()


if __name__ == "__main__":
    main()
