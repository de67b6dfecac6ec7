#!/usr/bin/env python3
"""make_library.py SEEDS DIR MP3 JPEG VIDEO: fills DIR with a media library made from
the seed files in SEEDS (tone.mp3 without tags, picture.jpg, clip.mp4): MP3 tones with
their own ID3v2.4 tags in artist/album folders (a cover picture in each album), pictures
in folders of 100, short videos, two playlists. Copies only; no encoder runs here."""
import os
import shutil
import sys


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3(fields):
    frames = b""
    for frame_id, text in fields:
        data = b"\x03" + text.encode("utf-8")
        frames += frame_id.encode() + syncsafe(len(data)) + b"\x00\x00" + data
    return b"ID3\x04\x00\x00" + syncsafe(len(frames)) + frames


def main():
    seeds, root, mp3s, jpegs, videos = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:6])
    tone = open(os.path.join(seeds, "tone.mp3"), "rb").read()
    genres = ["Rock", "Jazz", "Pop", "Classical", "Folk", "Electronic"]
    tracks = []
    for i in range(mp3s):
        artist = "Artist %02d" % (i // 100)
        album = "Album %03d" % (i // 10)
        folder = os.path.join(root, "music", artist, album)
        if i % 10 == 0:
            os.makedirs(folder, exist_ok=True)
            shutil.copyfile(os.path.join(seeds, "picture.jpg"), os.path.join(folder, "cover.jpg"))
        name = "%02d Track %d.mp3" % (i % 10 + 1, i)
        tag = id3([("TIT2", "Track %d" % i), ("TPE1", artist), ("TALB", album),
                   ("TCON", genres[i % len(genres)]), ("TRCK", str(i % 10 + 1))])
        with open(os.path.join(folder, name), "wb") as out:
            out.write(tag + tone)
        tracks.append(os.path.join("..", "music", artist, album, name))
    for i in range(jpegs):
        folder = os.path.join(root, "pictures", "set %02d" % (i // 100))
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(os.path.join(seeds, "picture.jpg"), os.path.join(folder, "img %04d.jpg" % i))
    os.makedirs(os.path.join(root, "videos"), exist_ok=True)
    for i in range(videos):
        shutil.copyfile(os.path.join(seeds, "clip.mp4"), os.path.join(root, "videos", "clip %03d.mp4" % i))
    lists = os.path.join(root, "playlists")
    os.makedirs(lists, exist_ok=True)
    with open(os.path.join(lists, "first.m3u"), "w") as out:
        out.write("#EXTM3U\n" + "".join(t + "\n" for t in tracks[:50]))
    with open(os.path.join(lists, "second.m3u"), "w") as out:
        out.write("#EXTM3U\n" + "".join(t + "\n" for t in tracks[-50:]))


if __name__ == "__main__":
    main()
