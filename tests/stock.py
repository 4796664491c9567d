#!/usr/bin/env python3
"""The Debian set-ups of examples/ applied as the README says to a copy of the
configuration that Debian installed, served by the stock user, with the real
JVM. Only the port and the paths a server writes (and the installed files)
move, into a scratch folder that stands in for /.

usage: stock.py GATEWAY EXAMPLES README SERVER"""
import http.client
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

import tally
from tally import check, finish

GATEWAY, EXAMPLES, README = map(os.path.abspath, sys.argv[1:4])
SERVER = sys.argv[4]
JAVAC = "/usr/lib/jvm/default-java/bin/javac"  # the JDK the set-ups name
ROOT = tempfile.mkdtemp(prefix="tolvane-stock-%s-" % SERVER)
os.chmod(ROOT, 0o755)  # the servers' user walks through it
MOVED = r"/etc/(?:lighttpd|apache2|nginx)|/var/(?:log|cache|lib/apache2|run|lock)|/run|/usr/lib/cgi-bin|/srv"
# Where each server's configuration names its port.
LISTEN = {"lighttpd": r"(server\.port\s*=\s*)80\b", "apache2": r"(Listen |<VirtualHost \*:)80\b",
          "nginx": r"(listen (?:\[::\]:)?)80\b"}[SERVER]
with socket.socket() as s:
    s.bind(("127.0.0.1", 0))
    PORT = s.getsockname()[1]
groups = []


def moved(text):
    """The text with every path that moves into the scratch folder moved."""
    return re.sub(r"(?<![\w./-])(%s)(?=/|\b)" % MOVED, lambda m: ROOT + m.group(1), text)


def local(text):
    return re.sub(LISTEN, lambda m: m.group(1) + str(PORT), moved(text))


def copy_config(name):
    """/etc/NAME copied with its port and paths moved; symbolic links stay
    as they are."""
    conf = ROOT + "/etc/" + name
    shutil.copytree("/etc/" + name, conf, symlinks=True)
    for folder, _, files in os.walk(conf):
        for f in files:
            path = os.path.join(folder, f)
            if os.path.islink(path):
                continue
            with open(path, errors="surrogateescape") as i:
                text = i.read()
            text = local(text)
            with open(path, "w", errors="surrogateescape") as o:
                o.write(text)
    return conf


def place(example, target):
    with open(os.path.join(EXAMPLES, example)) as i, open(ROOT + target, "w") as o:
        o.write(local(i.read()))


def folders(*paths):
    """Makes the moved folders, owned and protected as Debian's own are."""
    for path in paths:
        os.makedirs(ROOT + path, exist_ok=True)
        if os.path.isdir(path):
            st = os.stat(path)
            os.chown(ROOT + path, st.st_uid, st.st_gid)
            os.chmod(ROOT + path, st.st_mode & 0o7777)


def start(*argv, env=None):
    groups.append(subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL,
                                   start_new_session=True).pid)


def lighttpd():
    conf = copy_config("lighttpd")
    folders("/var/log/lighttpd", "/var/cache/lighttpd/uploads", "/run")
    place("debian-lighttpd.conf", "/etc/lighttpd/conf-available/50-tolvane.conf")
    # What lighty-enable-mod does, which knows only /etc/lighttpd.
    os.symlink("../conf-available/50-tolvane.conf", conf + "/conf-enabled/50-tolvane.conf")
    # Debian's own cgi module, which an operator may have on: a second road
    # to /usr/lib/cgi-bin.
    os.symlink("../conf-available/10-cgi.conf", conf + "/conf-enabled/10-cgi.conf")
    start("lighttpd", "-D", "-f", conf + "/lighttpd.conf", env=environment)
    return "/var/log/lighttpd/breakage.log"


def apache2():
    conf = copy_config("apache2")
    folders("/var/log/apache2", "/var/lib/apache2", "/var/run", "/var/lock")
    place("debian-apache2.conf", "/etc/apache2/conf-available/tolvane.conf")
    env = {**environment, "APACHE_CONFDIR": conf, "APACHE_STATE_DIRECTORY": ROOT + "/var/lib/apache2"}
    for tool in ("a2enmod cgi", "a2enconf tolvane"):
        subprocess.run(tool.split(), env=env, check=True, stdout=subprocess.DEVNULL)
    start("apache2ctl", "-DFOREGROUND", env=env)
    return "/var/log/apache2/error.log"


def nginx():
    conf = copy_config("nginx")
    folders("/var/log/nginx", "/run")
    place("debian-nginx.conf", "/etc/nginx/sites-available/tolvane")
    os.symlink("../sites-available/tolvane", conf + "/sites-enabled/tolvane")
    os.remove(conf + "/sites-enabled/default")
    # fcgiwrap started as the README says; it sets up a session of its own.
    line = re.search(r"^ +(env -i .*spawn-fcgi .*)$", open(README).read(), re.M).group(1)
    out = subprocess.run(shlex.split(moved(line)), env=environment, check=True,
                         stdout=subprocess.PIPE, text=True).stdout
    groups.append(int(re.search(r"PID: (\d+)", out).group(1)))
    start("nginx", "-c", conf + "/nginx.conf", "-e", ROOT + "/var/log/nginx/error.log",
          "-g", "daemon off;", env=environment)
    return "/var/log/nginx/error.log"


def request(method, url, body=None):
    c = http.client.HTTPConnection("127.0.0.1", PORT, timeout=60)
    c.request(method, url, body=body)
    try:
        r = c.getresponse()
    except http.client.RemoteDisconnected:
        return "no answer"
    return r.status, r.getheader("Content-Type"), r.read()


def declared(length):
    """The status a POST gets that announces length bytes and sends three."""
    with socket.create_connection(("127.0.0.1", PORT), timeout=5) as c:
        c.sendall(b"POST /app/big HTTP/1.1\r\nHost: x\r\nContent-Length: %d\r\n\r\nabc" % length)
        try:
            return int(c.recv(100).split()[1])
        except socket.timeout:
            return "no answer: waiting for the body"


def echo(method, argument, data):
    return 200, "text/plain", b"method: %s\nargument: %s\ndata: %s\n" % (
        method.encode(), argument.encode(), data)


def page(message):
    return ("<html>\n  <head>\n    <title>ERROR - [Tolvane]</title>\n  </head>\n"
            "  <body>\n    %s\n  </body>\n</html>\n" % message).encode()


def left():
    """Processes of a request: the gateway, or anything running our classes."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
            line = open("/proc/%s/cmdline" % pid, "rb").read()
        except OSError:
            continue
        if exe == ROOT + "/usr/lib/cgi-bin/tolvane" or (ROOT + "/srv/").encode() in line:
            found.append(line.replace(b"\0", b" ").decode(errors="replace"))
    return found


def java(folder, source):
    os.makedirs(folder, exist_ok=True)
    with open(folder + "/CGI.java", "w") as f:
        f.write(source)
    subprocess.run([JAVAC, "-d", folder, folder + "/CGI.java"], check=True)


def main():
    folders("/usr/lib/cgi-bin", "/srv/app/classes")
    shutil.copy(GATEWAY, ROOT + "/usr/lib/cgi-bin/tolvane")
    java(ROOT + "/srv/app/classes", open(EXAMPLES + "/CGI.java").read())
    # The same class, broken: what an operator must be able to see.
    java(ROOT + "/broken", 'public class CGI { public static void main(String[] a) {\n'
         '    throw new IllegalStateException("no cart " + a[0]); } }\n')
    log = ROOT + globals()[SERVER]()
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", PORT)).close()
            break
        except OSError:
            time.sleep(0.1)
    else:
        sys.exit("%s did not start" % SERVER)
    upload = os.urandom(2 << 20)
    rows = [
        # method, URL, body, expected status, content type and body (None: any)
        ("GET", "/app/cart/7?a=1&b=%20x+y", None, echo("GET", "/cart/7", b"a=1&b=%20x+y")),
        ("POST", "/app/form", b"name=Ada&lang=java", echo("POST", "/form", b"name=Ada&lang=java")),
        ("POST", "/app/upload", upload, echo("POST", "/upload", upload)),
        ("POST", "/app/bytes", bytes(range(256)), echo("POST", "/bytes", bytes(range(256)))),
        ("POST", "/app/empty", b"", echo("POST", "/empty", b"")),
        # Only a POST's body is passed on; another's is read and dropped, or
        # mod_cgid would close the connection without an answer.
        ("PUT", "/app/p", b"name=Ada", echo("PUT", "/p", b"")),
        ("DELETE", "/app/d", None, echo("DELETE", "/d", b"")),
        # A bare /app has no PATH_INFO: the program gets no argument.
        ("GET", "/app", None, echo("GET", "", b"")),
        # The program runs; the server sends its headers and drops its body.
        ("HEAD", "/app/h?q", None, (200, "text/plain", b"")),
        # The gateway is never sent out as a file, by any road to it.
        ("GET", "/app/", None, echo("GET", "/", b"")),
        # Nor run where the set-up's variables do not reach it.
        ("GET", "/cgi-bin/tolvane", None, 404 if SERVER == "nginx" else 403),
        ("GET", "/cgi-bin//tolvane/x", None, 404 if SERVER == "nginx" else 403),
        ("GET", "/usr/lib/cgi-bin/tolvane", None, None),
        ("GET", "/ap%70/x", None, echo("GET", "/x", b"")),
        ("GET", "/app/../usr/lib/cgi-bin/tolvane", None, 404),
        ("GET", "/app/..%2f..%2fusr/lib/cgi-bin/tolvane", None, 400 if SERVER == "nginx" else 404),
        ("GET", "//app//x", None, echo("GET", "/x", b"")),
        # A decoded newline is part of PATH_INFO, or the request is refused
        # (lighttpd); never cut off, nor the rest of the path dropped.
        ("GET", "/app/x%0Ay", None, 400 if SERVER == "lighttpd" else echo("GET", "/x\ny", b"")),
        ("GET", "/app/x%0A", None, 400 if SERVER == "lighttpd" else echo("GET", "/x\n", b"")),
    ]
    for method, url, body, want in rows:
        got = request(method, url, body)
        if want is None:
            check("%s %s is not the gateway" % (method, url), got[2][:4] == b"\x7fELF", False)
        elif isinstance(want, int):  # the server's own answer: its status
            check("%s %s" % (method, url), got[0], want)
        else:
            check("%s %s" % (method, url), got, want)
    # A body beyond what the set-up takes is refused at once, not stored.
    check("a POST of 3 GiB", declared(3 << 30), 413)
    check("a POST of 100 MiB", declared(100 << 20), 413)
    shutil.copy(ROOT + "/broken/CGI.class", ROOT + "/srv/app/classes/CGI.class")
    command = "/usr/lib/jvm/default-java/bin/java -cp %s/srv/app/classes CGI /cart/9" % ROOT
    check("a program that throws", request("GET", "/app/cart/9")[1:],
          ("text/html", page("exit failure to '%s'." % command)))
    answered = time.monotonic()
    said = "java.lang.IllegalStateException: no cart /cart/9"
    while time.monotonic() < answered + 5 and not (os.path.exists(log) and said in open(log).read()):
        time.sleep(0.1)
    check("the exception in " + log[len(ROOT):], os.path.exists(log) and said in open(log).read(), True)
    said = "tolvane: exit failure to '%s'. method=GET uri=/app/cart/9 exit=1 ms=" % command
    check("the failure in " + log[len(ROOT):], os.path.exists(log) and said in open(log).read(), True)
    time.sleep(max(0, answered + 5 - time.monotonic()))
    check("processes left 5 s after the answer", left(), [])


environment = {**os.environ,
               # Only what the set-up names may reach the Java program: a
               # server or fcgiwrap that passed on its own environment would
               # run this class instead of CGI.
               "TOLVANE_CLASS": "NotTheConfiguredOne"}
done = False
try:
    if os.geteuid() != 0:
        sys.exit("stock.py starts servers that drop to www-data: run it as root")
    main()
    done = True
finally:
    # Every group, and for sure: fcgiwrap's workers ignore SIGTERM.
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in groups:
            try:
                os.killpg(pid, sig)
            except ProcessLookupError:
                pass
        time.sleep(groups and sig == signal.SIGTERM)
    if tally.failed or not done:  # what the servers and the Java programs said
        for folder, _, files in os.walk(ROOT + "/var/log"):
            for f in files:
                print("==> %s\n%s" % (f, open(os.path.join(folder, f), errors="replace").read()[-3000:]))
    shutil.rmtree(ROOT, ignore_errors=True)
finish()
