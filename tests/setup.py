#!/usr/bin/env python3
"""Tests of what a new machine goes through before the gateway runs: which
configures need Python, and which of apt's entries the fresh-machine check
takes its mirror from.

usage: setup.py SOURCE"""
import os
import shutil
import socket
import subprocess
import sys
import tempfile

from tally import check, finish

TOP = os.path.abspath(sys.argv[1])
ROOT = tempfile.mkdtemp(prefix="tolvane-setup-")

# cmake options, and whether the configure must succeed on a machine
# without Python. The second row shows that the first would notice.
configures = [
    ([], True),
    (["-DBUILD_TESTING=ON"], False),
]
for n, (options, ok) in enumerate(configures):
    p = subprocess.run(["cmake", "-S", TOP, "-B", "%s/build%d" % (ROOT, n),
                        "-DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON", *options],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    check("configure without Python %s" % options, p.returncode == 0, ok)

DEBIAN = """Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
"""
# files under an apt folder, the release asked for, and the entries
# debian_sources takes from them
sources = [
    ({"sources.list.d/debian.sources": DEBIAN}, "bookworm",
     ["deb http://deb.debian.org/debian bookworm main",
      "deb http://deb.debian.org/debian bookworm-updates main",
      "deb http://deb.debian.org/debian-security bookworm-security main"]),
    ({"sources.list.d/debian.sources": DEBIAN.replace("Types: deb\n", "Types: deb-src\n", 1)}, "bookworm",
     ["deb http://deb.debian.org/debian-security bookworm-security main"]),
    ({"sources.list.d/debian.sources": DEBIAN.replace("Types: deb\n", "Enabled: no\nTypes: deb\n", 1)},
     "bookworm", ["deb http://deb.debian.org/debian-security bookworm-security main"]),
    ({"sources.list.d/m.sources": "types: deb-src deb\nURIs: http://a/debian http://b/debian\n"
                                  "Suites: bullseye bookworm\nComponents: main contrib\n"}, "bookworm",
     ["deb http://a/debian bookworm main contrib", "deb http://b/debian bookworm main contrib"]),
    ({"sources.list": "# deb http://old/debian bookworm main\n"
                      "deb-src http://src/debian bookworm main\n"
                      "deb [arch=amd64 signed-by=/k.gpg] http://m/debian bookworm main\n"
                      "deb http://m/debian bullseye main\n",
      "sources.list.d/n.list": "deb http://n/debian bookworm-updates main\n"}, "bookworm",
     ["deb http://m/debian bookworm main", "deb http://n/debian bookworm-updates main"]),
    ({"sources.list.d/google.list.disabled-by-farm": "deb http://x/debian bookworm main\n",
      "sources.list.d/other.sources.disabled": DEBIAN}, "bookworm",
     []),
    ({}, "bookworm", []),
    # A Debian 12 machine checking Debian 13: its mirrors, the suites renamed;
    # a suite that only begins with the name (bookwormish) is not the release.
    ({"sources.list.d/debian.sources": DEBIAN,
      "sources.list": "deb http://o/debian bookwormish main\n"}, "trixie",
     ["deb http://deb.debian.org/debian trixie main",
      "deb http://deb.debian.org/debian trixie-updates main",
      "deb http://deb.debian.org/debian-security trixie-security main"]),
    # Entries of the release asked for are taken as they are, the other
    # release's left out.
    ({"sources.list.d/debian.sources": DEBIAN.replace("bookworm", "trixie") + "\n" + DEBIAN}, "trixie",
     ["deb http://deb.debian.org/debian trixie main",
      "deb http://deb.debian.org/debian trixie-updates main",
      "deb http://deb.debian.org/debian-security trixie-security main"]),
    ({"sources.list": "deb http://m/debian trixie main\n"}, "bookworm",
     ["deb http://m/debian bookworm main"]),
]
for n, (files, release, want) in enumerate(sources):
    apt = "%s/apt%d" % (ROOT, n)
    os.makedirs(apt + "/sources.list.d")
    for name, text in files.items():
        with open(os.path.join(apt, name), "w") as f:
            f.write(text)
    p = subprocess.run(["bash", "-c", '. "$0/scripts/lib.sh" && debian_sources "$1" "$2"', TOP, apt,
                        release], capture_output=True, text=True)
    check("debian_sources %s %s" % (release, sorted(files)), (p.returncode, p.stdout.splitlines()),
          (0, want))

# need's ban on starting services while apt-get runs: in place for apt-get,
# and gone afterwards however the script ends. need runs from a copy of
# lib.sh that keeps its ban in the scratch folder, with an apt-get and a
# sudo that only record and pass on.
NEED = r"""
sed "s|/usr/sbin/policy-rc.d|$1/policy-rc.d|" "$2/scripts/lib.sh" >"$1/lib.sh" &&
	grep -q "$1/policy-rc.d" "$1/lib.sh" && ! grep -q /usr/sbin "$1/lib.sh" || exit
mkdir "$1/bin" &&
	printf '#!/bin/sh\n[ -x %s/policy-rc.d ] && echo "$1" >>%s/saw\nsleep 1\n' "$1" "$1" >"$1/bin/apt-get" &&
	printf '#!/bin/sh\nexec "$@"\n' >"$1/bin/sudo" && chmod +x "$1/bin/apt-get" "$1/bin/sudo" || exit
# As from a terminal: a job started with & would ignore INT.
PATH=$1/bin:$PATH env --default-signal=INT setsid bash -c '. "$0"; need no-such-command' "$1/lib.sh" \
	>/dev/null 2>&1 &
sleep 0.5
[ "$3" ] && kill -"$3" -- -$!
sleep 3
cat "$1/saw"; ls "$1"
"""
# signal sent to the script's process group (none: it ends by itself), and
# what apt-get saw and the scratch folder held afterwards
for sig, want in ((None, "update\ninstall\nbin\nlib.sh\nsaw\n"), ("TERM", "update\nbin\nlib.sh\nsaw\n"),
                  ("INT", "update\nbin\nlib.sh\nsaw\n")):
    scratch = tempfile.mkdtemp(dir=ROOT)
    p = subprocess.run(["bash", "-c", NEED, "need", scratch, TOP, sig or ""],
                       capture_output=True, text=True, timeout=30)
    check("need's policy, %s" % (sig or "no signal"), (p.stdout, p.stderr), (want, ""))

# What need hands apt-get to install: packages dpkg does not list as
# installed, whatever commands are on PATH (sh is, no-such-jdk is not). The
# apt-get in PATH records the packages it is asked to install.
PACKAGES = r"""
sed "s|/usr/sbin/policy-rc.d|$1/policy-rc.d|" "$2/scripts/lib.sh" >"$1/lib.sh" && mkdir "$1/bin" &&
	printf '#!/bin/sh\n[ "$1" = install ] || exit 0\nshift\nwhile [ "${1#-}" != "$1" ]; do [ "$1" = -o ] && shift; shift; done\necho "$@" >>%s/saw\n' \
		"$1" >"$1/bin/apt-get" && chmod +x "$1/bin/apt-get" && touch "$1/saw" || exit
shift 2
PATH=$0/bin:$PATH bash -c '. "$0"; need "$@"' "$0/lib.sh" "$@" 2>/dev/null && cat "$0/saw"
"""
for items, want in (
        (["bash", "dpkg"], ""),
        (["bash", "no-such-package"], "no-such-package\n"),
        (["sh:no-such-jdk no-such-jre", "bash", "no-such-package"], "no-such-jdk no-such-jre no-such-package\n"),
):
    scratch = tempfile.mkdtemp(dir=ROOT)
    p = subprocess.run(["bash", "-c", PACKAGES, scratch, scratch, TOP, *items],
                       capture_output=True, text=True, timeout=30)
    check("need %s" % " ".join(items), (p.returncode, p.stdout), (0, want))

# The demo on a port another server answers on: it must say so and stop,
# not show that server's answers as its own.
with socket.socket() as taken:
    taken.bind(("127.0.0.1", 0))
    taken.listen()
    port = taken.getsockname()[1]
    p = subprocess.run([TOP + "/scripts/demo", "--once"], env={**os.environ, "PORT": str(port)},
                       capture_output=True, text=True, timeout=60)
    check("demo on a taken port", (p.returncode, p.stdout, p.stderr.splitlines()[-1:]),
          (1, "", ["demo: something already answers on 127.0.0.1:%d; "
                   "PORT=9000 scripts/demo serves elsewhere" % port]))

shutil.rmtree(ROOT)
finish()
