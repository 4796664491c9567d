#!/usr/bin/env python3
"""End to end through a real web server configured by examples/, with the
real JVM running examples/CGI.java and with the stand-in launcher.

usage: servers.py GATEWAY LAUNCHER EXAMPLES SERVER [load]"""
import concurrent.futures
import glob
import hashlib
import http.client
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import tally
from tally import check, finish

GATEWAY, LAUNCHER, EXAMPLES = map(os.path.abspath, sys.argv[1:4])
SERVER = sys.argv[4]
LOAD = sys.argv[5:] == ["load"]
ROOT = tempfile.mkdtemp(prefix="tolvane-%s-" % SERVER)
LIMIT = 3  # seconds, in place of the examples' minute for a program that never ends
os.chmod(ROOT, 0o777)  # Apache serves as www-data; it must be able to write a canary
running = []
# The servers start as services do, with no locale: the examples must give
# the JVM one.
for name in [k for k in os.environ if k == "LANG" or k.startswith("LC_")]:
    del os.environ[name]


def java_home():
    return os.path.dirname(os.path.dirname(os.path.realpath(shutil.which("javac"))))


def start(*argv, env=None):
    # A session of its own: Apache signals its whole process group on the
    # way out.
    running.append(subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                    start_new_session=True))


def configure(name, root, changes):
    """A copy of an example configuration in root, with changes made."""
    conf = open(os.path.join(EXAMPLES, name)).read()
    for old, new in changes:
        assert old in conf, old
        conf = conf.replace(old, str(new))
    with open(os.path.join(root, name), "w") as f:
        f.write(conf)
    return f.name


def serve(name, jdk, short=False):
    """Starts SERVER on a free port with the gateway in folder name; short:
    with time limits of LIMIT seconds and, under nginx, one fcgiwrap worker,
    so that a worker held by a hung program would hold every request."""
    root = os.path.join(ROOT, name)
    os.makedirs(root)
    os.chmod(root, 0o777)
    shutil.copy(GATEWAY, root)  # a server's user may not reach the build folder
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = {**os.environ, "PORT": str(port), "TOLVANE_ROOT": root, "TOLVANE": root + "/tolvane",
           "JAVA_HOME": jdk, "TOLVANE_CP": ROOT + "/classes"}
    if SERVER == "lighttpd":
        limits = [('"TOLVANE_TIMEOUT" => "55"', '"TOLVANE_TIMEOUT" => "%d"' % LIMIT),
                  ('"read-timeout" => 60', '"read-timeout" => %d' % (LIMIT + 5))]
        limits = limits if short else []
        start("lighttpd", "-D", "-f", configure("lighttpd.conf", root, limits), env=env)
    elif SERVER == "apache2":
        start("apache2", "-f", EXAMPLES + "/apache2.conf", "-DFOREGROUND",
              *(["-c", "Timeout %d" % LIMIT] if short else []), env=env)
    else:
        places = [("@%s@" % k, v) for k, v in (
            ("PORT", port), ("ROOT", root), ("SOCKET", root + "/fcgi.sock"),
            ("TOLVANE", env["TOLVANE"]), ("JAVA_HOME", jdk), ("TOLVANE_CP", env["TOLVANE_CP"]))]
        limits = [("TOLVANE_TIMEOUT 55;", "TOLVANE_TIMEOUT %d;" % LIMIT),
                  ("fastcgi_read_timeout 60s;", "fastcgi_read_timeout %ds;" % (LIMIT + 5))]
        conf = configure("nginx.conf", root, places + (limits if short else []))
        start("fcgiwrap", "-f", "-c", "1" if short else "4", "-s", "unix:%s/fcgi.sock" % root)
        start("nginx", "-c", conf)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            if SERVER == "nginx":
                os.chmod(root + "/fcgi.sock", 0o777)  # nginx's workers are not root
            return port
        except OSError:
            time.sleep(0.1)
    sys.exit("%s did not start" % SERVER)


def request(port, method, url, body=None, headers={}):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    c.request(method, url, body=body, headers=headers)
    r = c.getresponse()
    return r.status, r.getheader("Content-Type"), r.read()


def echo(method, argument, data):
    return 200, "text/plain", b"method: %s\nargument: %s\ndata: %s\n" % (
        method.encode(), argument.encode("latin-1"), data)


def ours(exe):
    """Processes running one of our executables."""
    pids = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink("/proc/%s/exe" % pid) in exe:
                pids.append(pid)
        except OSError:
            pass
    return pids


def with_jvm():
    port = serve("jvm", java_home())
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    page = ("<html>\n  <head>\n    <title>ERROR - [Tolvane]</title>\n  </head>\n"
            "  <body>\n    exit failure to '%s/bin/java -cp %s/classes NoSuchClass /x'.\n"
            "  </body>\n</html>\n" % (java_home(), ROOT)).encode()
    big = os.urandom(100000)
    rows = [
        # method, URL, body, expected content type and body
        ("GET", "/app/cart/7?a=1&b=%20x+y", None, echo("GET", "/cart/7", b"a=1&b=%20x+y")),
        ("POST", "/app/form", b"name=Ada&lang=java", echo("POST", "/form", b"name=Ada&lang=java")),
        # UTF-8 in the path: the same characters in Java, by the example's
        # locale, written back as UTF-8 by CGI.java.
        ("GET", "/app/caf%C3%A9/%E6%97%A5%E6%9C%AC", None,
         (200, "text/plain", b"method: GET\nargument: /caf\xc3\xa9/\xe6\x97\xa5\xe6\x9c\xac\ndata: \n")),
        # The page's Status line becomes the response's status.
        ("GET", "/broken/x", None, (500, "text/html", page)),
        # Bodies are bytes, all of them; an empty one is a request too.
        ("POST", "/app/bytes", bytes(range(256)), echo("POST", "/bytes", bytes(range(256)))),
        ("POST", "/app/empty", b"", echo("POST", "/empty", b"")),
        # Every method's body reaches the program as a POST's does.
        ("PUT", "/app/p", b'{"name":"Ada"}', echo("PUT", "/p", b'{"name":"Ada"}')),
        ("PATCH", "/app/p", big, echo("PATCH", "/p", big)),
        ("DELETE", "/app/d", b"", echo("DELETE", "/d", b"")),
    ]
    # Shell syntax in the URL's path arrives as one argument and runs nothing.
    canary = ROOT + "/pwned"
    for path in ("/;touch C", "/$(touch C)", "/`touch C`", "/a|touch C", "/'\"&&touch C",
                 "/<b>&amp;</b>"):
        path = path.replace("C", canary)
        url = "/app" + "".join(c if c.isalnum() or c in "/-" else "%%%02X" % ord(c) for c in path)
        rows.append(("GET", url + "?q", None, echo("GET", path, b"q")))
    for method, url, body, want in rows:
        check("%s %s" % (method, url), request(port, method, url, body, form), want)
    check("no command ran", os.path.exists(canary), False)
    # The failure's line in the server's log, where the set-up sends it.
    # The command line's blanks escaped, for the client's PATH_INFO is in
    # it; httpd's mod_cgi escapes our backslashes again.
    line = ("tolvane: exit failure to '%s'. method=GET uri=/broken/x exit=1 ms=" % (
        "%s/bin/java -cp %s/classes NoSuchClass /x" % (java_home(), ROOT)).replace(
            " ", "\\\\x20" if SERVER == "apache2" else "\\x20"))
    log = ROOT + "/jvm/" + ("breakage.log" if SERVER == "lighttpd" else "error.log")
    deadline = time.monotonic() + 5
    while line not in open(log, errors="replace").read() and time.monotonic() < deadline:
        time.sleep(0.1)
    check("the failure in the log", line in open(log, errors="replace").read(), True)
    upload = os.urandom(5 << 20)
    _, _, got = request(port, "POST", "/app/upload", upload, {"Content-Type": "application/octet-stream"})
    check("5 MB upload", hashlib.sha256(got).hexdigest(),
          hashlib.sha256(echo("POST", "/upload", upload)[2]).hexdigest())
    return port


def load(port, count, want):
    start = time.monotonic()
    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        got = list(pool.map(lambda i: request(port, "GET", "/app/n/%d?i=%d" % (i, i))[2], range(count)))
    bad = [(i, g) for i, g in enumerate(got) if g != want(i)]
    print("load %s: %d requests, concurrency 16, %.1f s, %d failed" % (
        SERVER, count, time.monotonic() - start, len(bad)))
    check("load of %d" % count, bad[:1], [])


def faults(jdk):
    port = serve("stand-in", jdk, short=True)
    log = jdk + "/log"
    # A client gone in the middle of its upload: no launcher may start.
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(b"POST /app/u HTTP/1.1\r\nHost: x\r\nContent-Length: 1000000\r\n\r\n" + b"x" * 1000)
    s.close()
    time.sleep(2)
    check("upload cut short", os.listdir(log), [])
    # The page's status reaches the client; only httpd leaves CONTENT_LENGTH
    # unset for a chunked upload.
    page = ("<html>\n  <head>\n    <title>ERROR - [Tolvane]</title>\n  </head>\n"
            "  <body>\n    %s\n  </body>\n</html>\n")
    chunked = ((411, "text/html", (page % "undefined environment variable to "
                                   "'CONTENT_LENGTH'.").encode()) if SERVER == "apache2"
               else (200, "text/plain", b"ok\n"))
    for label, body, want in (
            ("empty POST", b"", (200, "text/plain", b"ok\n")),
            ("chunked POST", iter([b"abc"]), chunked)):
        check(label, request(port, "POST", "/app/c", body), want)
    # A program that never ends and ignores SIGTERM: an answer within the
    # limit and a few seconds, nothing of the request left 5 s later, and
    # the next request served (under nginx by fcgiwrap's one worker).
    start = time.monotonic()
    status = request(port, "POST", "/app/h", b"stubborn")[0]
    took = time.monotonic() - start
    print("hung program under %s: %d after %.1f s" % (SERVER, status, took))
    deadline = time.monotonic() + 5
    while ours((jdk + "/bin/java", ROOT + "/stand-in/tolvane")) and time.monotonic() < deadline:
        time.sleep(0.1)
    check("hung program", (status, took < LIMIT + 2 + 3,
                           ours((jdk + "/bin/java", ROOT + "/stand-in/tolvane"))), (504, True, []))
    check("after a hung program", request(port, "GET", "/app/n?q"), (200, "text/plain", b"ok\n"))
    if LOAD:
        load(port, 2000, lambda i: b"ok\n")
        check("descriptors of the launcher", open(log + "/fds").read(), "0\n1\n2\n")
        check("processes left", ours((jdk + "/bin/java", ROOT + "/stand-in/tolvane")), [])


def main():
    subprocess.run(["javac", "-d", ROOT + "/classes", EXAMPLES + "/CGI.java", EXAMPLES + "/Tolvane.java"],
                   check=True)
    os.chmod(ROOT + "/classes", 0o755)
    jdk = ROOT + "/jdk"
    os.makedirs(jdk + "/bin")
    os.makedirs(jdk + "/log")
    os.chmod(jdk + "/log", 0o777)
    shutil.copy(LAUNCHER, jdk + "/bin/java")
    try:
        port = with_jvm()
        if LOAD:
            load(port, 100, lambda i: echo("GET", "/n/%d" % i, b"i=%d" % i)[2])
        faults(jdk)
    finally:
        # The whole group, and for sure: fcgiwrap's workers ignore SIGTERM
        # and would hold the test runner's output open.
        for p in running:
            os.killpg(p.pid, signal.SIGTERM)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                pass
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
    if tally.failed:  # what the servers and the Java programs said
        for log in glob.glob(ROOT + "/*/*.log") + glob.glob(ROOT + "/*/hs_err_pid*.log"):
            print("==> %s\n%s" % (log, open(log, errors="replace").read()[-3000:]))
    shutil.rmtree(ROOT, ignore_errors=True)
    finish()


main()
