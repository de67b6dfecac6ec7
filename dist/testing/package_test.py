#!/usr/bin/python3
"""The Debian package as a user gets it: built with CPack from the build tree, listed,
extracted into a temporary root (dpkg -x) and run from there with no --home, so that the
program directory lands under a temporary XDG_DATA_HOME and the shipped files are found
relative to the installed program. A headless scan-and-serve there is found by M-SEARCH;
every line it logs to the journal's stream carries its level; --status tells the folders,
ports, UDN and the transfer of a client that reads slowly, and then those of the stopped
server; a program directory that
cannot be made ends the run with status 1; the service unit passes systemd-analyze
verify.

    unshare -rn python3 package_test.py BUILD_DIR
"""

import glob
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "platform", "testing"))
from netns_support import (ContentDirectory, check, find_server, finish, header,  # noqa: E402
                           require_private_namespace, route_multicast_on_loopback,
                           wait_for_text, wait_until, write_wav)

SHIPPED = ["usr/bin/mirelle", "usr/lib/orvex/ZerazU.eng", "usr/share/orvex/lang.conf",
           "usr/share/orvex/mime.types", "usr/lib/systemd/system/orvex.service",
           "usr/lib/sysusers.d/orvex.conf", "usr/share/man/man1/mirelle.1.gz",
           "usr/share/applications/orvex.desktop",
           "usr/share/icons/hicolor/scalable/apps/orvex.svg"]


def build_package(build, work):
    subprocess.run(["cpack", "-G", "DEB", "--config", os.path.join(build, "CPackConfig.cmake"),
                    "-B", work], check=True, capture_output=True, timeout=120)
    return glob.glob(os.path.join(work, "orvex_*.deb"))[0]


def status(program, environment):
    """--status's exit status, its "key: value" lines as a dict, and its transfer lines."""
    done = subprocess.run([program, "--status"], capture_output=True, text=True,
                          env=environment, timeout=30)
    lines = [line.partition(": ")[::2] for line in done.stdout.splitlines()]
    return done.returncode, dict(lines), [value for key, value in lines if key == "transfer"]


def check_status(program, environment, media, location, tone):
    """--status beside the running server, while a client holds the tone's stream open
    without reading (the file is far larger than the socket buffers)."""
    res = urllib.parse.urlsplit(tone)
    with socket.create_connection((res.hostname, res.port), timeout=10) as client:
        client.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\n\r\n" % (res.path, res.netloc)).encode())
        client.recv(1)  # the head has come: the transfer has begun
        code, running, transfers = status(program, environment)
    udn = re.search(r"<UDN>([^<]*)</UDN>", ContentDirectory(location).description).group(1)
    check(code == 0 and running.get("state") == "running" and running.get("folders") == "1" and
          running.get("folder") == "1 " + media, "--status: running, one folder of one file %s"
          % running)
    check(running.get("udn") == udn and running.get("web-port") ==
          str(urllib.parse.urlsplit(location).port) and running.get("stream-port") ==
          str(res.port), "--status: the described UDN, the web and the stream port")
    check(running.get("transfers") == "1" and len(transfers) == 1 and
          transfers[0].startswith("127.0.0.1") and transfers[0].endswith("tone.wav"),
          "--status lists the transfer in progress (%s)" % transfers)
    # The transfer ends with the connection, and leaves the list of those in progress.
    left = wait_until(lambda: status(program, environment)[1].get("transfers"), 10, 0.2,
                      lambda transfers: transfers == "0")
    check(left == "0", "--status: a closed connection is no transfer in progress")
    return udn


def serve(program, work, environment):
    media = os.path.join(work, "media")
    os.makedirs(media)
    write_wav(os.path.join(media, "tone.wav"), seconds=4000)
    log_path = os.path.join(work, "server.log")
    with open(log_path, "w") as log:
        # The log file stands for the journal's stream, as a service manager names it.
        stream = os.fstat(log.fileno())
        journal = dict(environment, JOURNAL_STREAM="%d:%d" % (stream.st_dev, stream.st_ino))
        server = subprocess.Popen([program, "--headless", "--share", media], stdout=log,
                                  stderr=log, env=journal)
    home = os.path.join(environment["XDG_DATA_HOME"], "orvex")
    check(wait_for_text(log_path, "runs headless in %s;" % home, 60),
          "without --home the program directory is $XDG_DATA_HOME/orvex")
    check(os.path.isfile(os.path.join(home, "Orvex.mdb")), "the library is made there")
    location, udn = header(find_server("127.0.0.1", 30), "LOCATION"), None
    if check(location is not None, "an M-SEARCH finds the installed server"):
        items = ContentDirectory(location).walk()[1]
        if check("tone" in items, "Browse lists the shared file"):
            udn = check_status(program, environment, media, location, items["tone"][0]["res"][0][0])
    server.terminate()
    check(server.wait(timeout=30) == 0, "SIGTERM ends it with status 0")
    code, stopped, _ = status(program, environment)
    check(code == 0 and stopped.get("state") == "stopped" and stopped.get("folder") == "1 " + media
          and stopped.get("udn") == udn and stopped.get("web-port") == "not running" and
          stopped.get("transfers") == "not running", "--status of the stopped server %s" % stopped)
    with open(log_path, errors="replace") as f:
        log = f.read()
    check("no MIME table" not in log, "the shipped MIME table is found under share/orvex")
    odd = [line for line in log.splitlines()
           if not re.match(r"<(6>info|4>warning|3>error): \S", line)]
    check(log and not odd, "to the journal every line carries its level (%s)" % odd[:3])


def main():
    require_private_namespace()
    route_multicast_on_loopback()
    work = tempfile.mkdtemp(prefix="orvex-package-")
    package = build_package(sys.argv[1], work)
    listing = subprocess.run(["dpkg-deb", "-c", package], capture_output=True, text=True).stdout
    for path in SHIPPED:
        check(" ./%s" % path in listing, "the package holds /%s" % path)
    root = os.path.join(work, "root")
    subprocess.run(["dpkg", "-x", package, root], check=True)
    program = os.path.join(root, "usr/bin/mirelle")

    environment = {k: v for k, v in os.environ.items()
                   if k not in ("MIRELLE_HOME", "DISPLAY", "WAYLAND_DISPLAY")}
    environment.update(HOME=os.path.join(work, "user"), XDG_DATA_HOME=os.path.join(work, "data"))
    for option, text in (("--version", "Orvex Media Server "), ("--help", "Usage: mirelle")):
        done = subprocess.run([program, option], capture_output=True, text=True, env=environment)
        check(done.returncode == 0 and done.stdout.startswith(text), "mirelle %s" % option)
    serve(program, work, environment)

    blocked = dict(environment, XDG_DATA_HOME=package)  # a file, not a folder
    done = subprocess.run([program, "--scan-only"], capture_output=True, text=True,
                          env=blocked, timeout=30)
    check(done.returncode == 1 and "cannot create the program directory" in done.stderr,
          "a program directory that cannot be made is an error with status 1 (%d: %s)"
          % (done.returncode, done.stderr.strip()))

    # The unit is checked as installed, with its program at the extracted path.
    unit = os.path.join(work, "orvex.service")
    with open(os.path.join(root, SHIPPED[4])) as f:
        text = f.read()
    check("ExecStart=/usr/bin/mirelle --headless --home /var/lib/orvex" in text,
          "the service runs the installed program headless on /var/lib/orvex")
    with open(unit, "w") as f:
        f.write(text.replace("/usr/bin/mirelle", program))
    done = subprocess.run(["systemd-analyze", "verify", "--man=no", unit],
                          capture_output=True, text=True)
    check(done.returncode == 0 and not done.stderr.strip(),
          "systemd-analyze verify passes the unit (%s)" % done.stderr.strip())
    shutil.rmtree(work)
    finish()


main()
