#!/usr/bin/python3
"""Real players against the whole server in a private network namespace: ffmpeg decodes
every resource of a library of every kind and seeks into the middle of every video; mpv
plays two seconds of a song and of each kind of video after a seek; VLC, as an ordinary
user, finds the server through its UPnP discovery, browses to an item of each kind and to
a playlist's entry, and plays them.

    unshare -n python3 players_test.py MIRELLE     (as root: with VLC)
    unshare -rn python3 players_test.py MIRELLE    (VLC left out: it needs a real user)

Refuses to run unless the namespace is fresh (only "lo" exists).
"""

import os
import re
import subprocess
import sys
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ADDRESS, VIDEOS, ContentDirectory, Server, check,  # noqa: E402
                           finish, library_namespace)

NAME = "Orvex Players"
NOBODY = 65534


def frames(url, before=(), after=()):
    """Decodes `url` with ffmpeg; ({stream: [pts seconds]}, error text)."""
    try:
        run = subprocess.run(["ffmpeg", "-v", "error", "-nostdin"] + list(before) + ["-i", url] +
                             list(after) + ["-f", "framecrc", "-"],
                             capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return {}, "time-out"
    bases, times = {}, {}
    for line in run.stdout.splitlines():
        base = re.match(r"#tb (\d+): (\d+)/(\d+)", line)
        if base:
            bases[base.group(1)] = int(base.group(2)) / int(base.group(3))
        elif line and not line.startswith("#"):
            stream, _, pts = [part.strip() for part in line.split(",")[:3]]
            times.setdefault(stream, []).append(int(pts) * bases.get(stream, 0))
    error = run.stderr.strip() if run.returncode != 0 or not times else ""
    return times, error


def playlist_entries(url):
    """The entries of the playlist at `url`, resolved against it as a player does."""
    try:
        with urllib.request.urlopen(url, timeout=10) as r:
            text = r.read().decode("utf-8", "replace")
    except OSError:
        return []
    return [urllib.parse.urljoin(url, line.strip()) for line in text.splitlines()
            if line.strip() and not line.startswith("#")]


def check_ffmpeg(items):
    """Every resource decodes (a playlist's: every entry it lists); every video resource
    decodes from its middle after a seek."""
    resources = sorted({(title, url, item["class"]) for title, listed in items.items()
                        for item in listed for url, _, _ in item["res"]})
    wrong = []
    for title, url, upnp_class in resources:
        entries = [url]
        if upnp_class == "object.container.playlistContainer":
            entries = playlist_entries(url) or [url + " (lists nothing)"]
        for entry in entries:
            times, error = frames(entry)
            if error or not times:
                wrong.append((title, entry, error[-200:]))
    check(len(resources) > 40 and not wrong, "ffmpeg decodes every one of the %d resources "
          "(%d do not): %s" % (len(resources), len(wrong), wrong[:6]))
    wrong = []
    for title, url, _ in resources:
        if title not in VIDEOS:
            continue
        # -copyts keeps the source's times: the first frame shows where the seek landed.
        times, error = frames(url, ["-ss", "2", "-copyts"], ["-map", "0:v:0", "-frames:v", "3"])
        first = min(times.get("0", [-1]))
        if error or not 1.5 <= first <= 3.5:
            wrong.append((title, url, first, error[-200:]))
    check(not wrong, "ffmpeg seeks to the middle (2 s) of every video resource: %s" % wrong)


def check_mpv(items):
    for title in ["song"] + VIDEOS:
        url = items[title][0]["res"][0][0]
        try:
            run = subprocess.run(["mpv", "--no-config", "--vo=null", "--ao=null", "--start=1",
                                  "--length=2", "--network-timeout=10", url],
                                 capture_output=True, text=True, timeout=40)
            output = run.stdout + run.stderr
        except subprocess.TimeoutExpired:
            run, output = None, "time-out"
        check(run is not None and run.returncode == 0 and "(End of file)" in output,
              "mpv plays 2 s of %s after a seek to 1 s (%s)" % (title, output.strip()[-200:]))


# VLC's interface script: walks its UPnP discovery node by name down each path, plays the
# last item and reports how far the playback got.
VLC_WALK = r"""
local function say(s) io.stdout:write(s .. "\n") io.stdout:flush() end
local function sleep(s) vlc.misc.mwait(vlc.misc.mdate() + s * 1000000) end
local function child(id, name, seconds)
  for _ = 1, seconds * 4 do
    local node = vlc.playlist.get(id)
    for _, c in ipairs(node and node.children or {}) do
      if c.name == name then return c end
    end
    sleep(0.25)
  end
end
local function elapsed()
  local input = vlc.object.input()
  return input and vlc.var.get(input, "time") or 0
end
local root
for _ = 1, 80 do
  root = vlc.playlist.get("Universal Plug'n'Play")
  if root then break end
  sleep(0.25)
end
root = root and child(root.id, "%(name)s", 30)
say("SERVER " .. tostring(root and root.path))
for _, path in ipairs({%(paths)s}) do
  local node = root
  for i = 1, #path do
    if node and not (node.children and #node.children > 0) then vlc.playlist.gotoitem(node.id) end
    node = node and child(node.id, path[i], 15)
  end
  local played = 0
  if node then
    vlc.playlist.gotoitem(node.id)
    for _ = 1, 40 do
      sleep(0.25)
      if vlc.playlist.status() == "playing" and elapsed() > 0 then
        -- Over HTTP the clock moves in steps of up to a second and a half.
        local first = elapsed()
        for _ = 1, 16 do
          sleep(0.25)
          played = elapsed() - first
          if played > 0 then break end
        end
        break
      end
    end
    vlc.playlist.stop()
  end
  say("PLAYED " .. path[#path] .. " " .. tostring(node and node.path) .. " " .. tostring(played))
end
vlc.misc.quit()
"""
VLC_PATHS = [("Audio", "All Music", "song"), ("Image", "All Images", "photo"),
             ("Video", "All Videos", "divx"), ("Audio", "All Music", "list", "song")]


def real_root():
    with open("/proc/self/uid_map") as f:
        return f.read().split() == ["0", "0", "4294967295"]


def check_vlc(work):
    if not real_root():
        print("skip VLC: it refuses root and needs a real user, which only real root can "
              "become (run as root under `unshare -n`)")
        return
    home = os.path.join(work, "vlc")
    scripts = os.path.join(home, ".local", "share", "vlc", "lua", "intf")
    os.makedirs(scripts)
    paths = ", ".join("{%s}" % ", ".join('"%s"' % p for p in path) for path in VLC_PATHS)
    with open(os.path.join(scripts, "orvex_walk.lua"), "w") as f:
        f.write(VLC_WALK % {"name": NAME, "paths": paths})
    for root, _, _ in os.walk(home):
        os.chown(root, NOBODY, NOBODY)
    os.chmod(work, 0o755)
    try:
        run = subprocess.run(["setpriv", "--reuid=%d" % NOBODY, "--regid=%d" % NOBODY,
                              "--clear-groups", "env", "HOME=" + home, "vlc", "-I", "luaintf",
                              "--lua-intf", "orvex_walk", "--services-discovery", "upnp",
                              "--vout", "dummy", "--aout", "dummy", "--no-interact"],
                             capture_output=True, text=True, timeout=120)
        output = run.stdout
    except subprocess.TimeoutExpired as expired:
        output = (expired.stdout or b"").decode(errors="replace")
    check("SERVER upnp://" in output, "VLC's UPnP discovery finds the server (%s)"
          % output.strip()[:200])
    # The script reports the paths in order, each on a line of its own.
    reports = re.findall(r"^PLAYED \S+ (\S+) (\d+)", output, re.M)
    for path, played in zip(VLC_PATHS, reports + [None] * len(VLC_PATHS)):
        check(played and played[0] != "nil" and int(played[1]) > 0,
              "VLC browses %s and plays it (%s)" % (" > ".join(path), played))


def play_everything(server, location, work):
    cd = ContentDirectory(location)
    answers, items = cd.walk()
    check_ffmpeg(items)
    server.serving(cd, "ffmpeg decoded everything")
    check_mpv(items)
    server.serving(cd, "mpv played")
    check_vlc(work)
    server.serving(cd, "VLC played")


def main():
    with library_namespace("orvex-players-") as (work, media, _):
        with Server(sys.argv[1], work, media, extra=["--name", NAME]) as server:
            server.run(ADDRESS, lambda location: play_everything(server, location, work))
    finish()


if __name__ == "__main__":
    main()
