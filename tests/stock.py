#!/usr/bin/env python3
"""The Debian set-ups of examples/ applied as the README says to a copy of the
configuration that Debian installed, served by the stock user, with the real
JVM. Only the port and the paths a server writes (and the installed files)
move, into a scratch folder that stands in for /. The program is deployed as
a jar and its start-up archive made by scripts/tolvane-archive, as the
deployment steps say.

usage: stock.py GATEWAY EXAMPLES README SERVER [JDK]
JDK: a JDK put in place of default-java, as an operator of Debian 13 may put
its JDK 25."""
import concurrent.futures
import http.client
import os
import pwd
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
# The JDK the set-ups name, which only Debian's default-jdk-headless
# provides: another JDK's javac on PATH is no stand-in for it. A JDK given
# as a fifth argument stands in for it.
JDK = sys.argv[5] if sys.argv[5:] else "/usr/lib/jvm/default-java"
JAVAC = JDK + "/bin/javac"
ARCHIVER = os.path.join(os.path.dirname(EXAMPLES), "scripts", "tolvane-archive")
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
    text = text.replace("/usr/lib/jvm/default-java", JDK)
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
    global placed
    placed = ROOT + target
    with open(os.path.join(EXAMPLES, example)) as i, open(placed, "w") as o:
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
    subprocess.run([JAVAC, "-d", folder, folder + "/CGI.java", EXAMPLES + "/Tolvane.java"], check=True)
    os.remove(folder + "/CGI.java")


APP, CACHE = "/srv/app/app.jar", "/var/cache/tolvane"
WWW = pwd.getpwnam("www-data")


def deploy(classes):
    """The deployment's jar step."""
    subprocess.run([JDK + "/bin/jar", "cf", ROOT + APP, "-C", classes, "."], check=True)


def archive():
    """The deployment's archive step, on the server's own file."""
    return subprocess.run(["sh", ARCHIVER, placed], capture_output=True, text=True)


def setup_line():
    """TOLVANE_CLASS as the placed set-up gives it."""
    with open(placed) as f:
        return re.search(r'TOLVANE_CLASS"?\s+(?:=>\s+)?"([^"]*)"', f.read()).group(1)


def logged(log, since):
    """What reached the log after its first since bytes, once the server has
    had a moment to write."""
    time.sleep(0.5)
    try:
        with open(log, errors="replace") as f:
            f.seek(since)
            return f.read()
    except FileNotFoundError:
        return ""


def whole(log):
    """The log's text without blanks and dots, and with the program's
    standard error whole: nginx logs it in the pieces fcgiwrap passed on,
    each an entry of its own, with the blanks and dots at their ends cut."""
    if not os.path.exists(log):
        return ""
    text = open(log, errors="replace").read()
    text = re.sub(r'" while reading [^\n]*\n[^\n]* FastCGI sent in stderr: "', "", text)
    return re.sub(r"[\s.]", "", text)


def length(log):
    return os.path.getsize(log) if os.path.exists(log) else 0


def burst(n, tag=""):
    """n GETs at once: the answers that are not the program's echo."""
    def one(i):
        got = request("GET", "/app/n/%d?i=%d" % (i, i))
        return None if got == echo("GET", "/n/%d" % i, tag.encode() + b"i=%d" % i) else (i, got)
    with concurrent.futures.ThreadPoolExecutor(n) as pool:
        return [g for g in pool.map(one, range(n)) if g]


def starts(log):
    """The archive and JVM rows: first requests with no archive, the
    deployment's archive step, what a stale, truncated or missing archive
    or cache folder costs, and what reaches the log meanwhile."""
    cache = ROOT + CACHE
    line = setup_line()
    jsa = re.search(r"-XX:SharedArchiveFile=(\S+)", line).group(1)
    check("the archive is in the cache folder", os.path.dirname(jsa), cache)
    since = length(log)
    check("16 first requests at once, no archive", burst(16), [])
    check("no request writes the cache", os.listdir(cache), [])
    made = archive()
    check("tolvane-archive", (made.returncode, made.stderr), (0, ""))
    st = os.stat(jsa)
    check("the archive's owner and mode", (st.st_uid, st.st_mode & 0o777),
          (WWW.pw_uid, 0o600))
    # The JVM maps it with sharing required, as the server's user.
    opts = line.rsplit(" ", 1)[0]
    used = subprocess.run(["runuser", "-u", "www-data", "--", JDK + "/bin/java", *opts.split(),
                           "-Xshare:on", "-cp", ROOT + APP, "-version"], capture_output=True)
    check("the JVM accepts the archive", used.returncode, 0)
    check("16 requests at once with the archive", burst(16), [])
    check("what requests with no archive and with it logged", logged(log, since), "")
    check("the archive after them", os.stat(jsa).st_mtime_ns, st.st_mtime_ns)

    # A new jar, and nobody makes its archive: the new program answers.
    java(ROOT + "/v2", open(EXAMPLES + "/CGI.java").read().replace('"\\ndata: "', '"\\ndata: v2 "'))
    deploy(ROOT + "/v2")
    since = length(log)
    check("a new jar, the old archive", burst(4, "v2 "), [])
    check("what the new jar's requests logged", logged(log, since), "")
    deploy(ROOT + "/classes")
    check("tolvane-archive again", archive().returncode, 0)
    good = open(jsa, "rb").read()

    # A truncated archive: JDK 25 refuses it and starts without, JDK 17
    # crashes on it (SIGBUS) and the set-up's options keep the crash out of
    # the response; a JDK between may do either, never answer 200 wrongly.
    crashed = (500, "text/html", page("exit failure to '%s/bin/java -cp %s %s /t'." % (
        JDK, ROOT + APP, line)))
    for cut in (4096, len(good) // 2):
        with open(jsa, "wb") as f:
            f.write(good[:cut])
        since = length(log)
        got = request("GET", "/app/t?q")
        refused = (echo("GET", "/t", b"q"), "")
        if VERSION < 25:
            print("JDK %d, archive cut to %d bytes: %s" % (
                VERSION, cut, "refused" if got == refused[0] else "crashed"))
        want = {17: [crashed], 25: [refused]}.get(min(max(VERSION, 17), 25), [refused, crashed])
        got = (got, logged(log, since)) if got == refused[0] else got
        check("archive cut to %d bytes" % cut, got, got if got in want else want[0])
    os.remove(jsa)

    # No cache folder to read, or one the server's user can't read.
    for label, change, undo in (
            ("a cache folder that is missing", lambda: os.rename(cache, cache + ".gone"),
             lambda: os.rename(cache + ".gone", cache)),
            ("a cache folder the server's user can't read",
             lambda: (archive(), os.chown(cache, 0, 0)),
             lambda: os.chown(cache, WWW.pw_uid, WWW.pw_gid))):
        change()
        since = length(log)
        check(label, (burst(4), logged(log, since)), ([], ""))
        undo()


def hostile_cache():
    """The cache folder is www-data's, and tolvane-archive runs as root: a
    www-data that puts a link to root's file where the new archive is, as
    the archive is checked, must not get root to change that file."""
    jdk, cache, victim = ROOT + "/hostile-jdk", ROOT + "/hostile-cache", ROOT + "/victim"
    os.makedirs(jdk + "/bin")
    os.mkdir(cache, 0o700)
    os.chown(cache, WWW.pw_uid, WWW.pw_gid)
    with open(victim, "w") as f:
        f.write("root's\n")
    os.chmod(victim, 0o644)
    with open(jdk + "/bin/java", "w") as f:
        f.write('#!/bin/sh\nfor a; do case $a in\n'
                '-XX:ArchiveClassesAtExit=*) echo "${SECRET-none}" > "${a#*=}.seen"\n'
                '    echo archive > "${a#*=}" ;;\n'
                '-XX:SharedArchiveFile=*) rm -f "${a#*=}"; ln -s %s "${a#*=}" ;;\n'
                'esac; done\n' % victim)
    os.chmod(jdk + "/bin/java", 0o755)
    with open(ROOT + "/hostile.conf", "w") as f:
        f.write('"JAVA_HOME" => "%s",\n"TOLVANE_CLASS" => "-XX:SharedArchiveFile=%s/a.jsa CGI",\n'
                % (jdk, cache))
    made = subprocess.run(["sh", ARCHIVER, ROOT + "/hostile.conf"], capture_output=True,
                          env={**os.environ, "SECRET": "root's"})
    check("a link in place of the archive", (made.returncode, os.stat(victim).st_mode & 0o777),
          (1, 0o644))
    # Nor does the program, run as www-data, see root's environment.
    seen = [f for f in os.listdir(cache) if f.endswith(".seen")]
    check("root's environment in the program's run",
          [open(os.path.join(cache, f)).read() for f in seen], ["none\n"])


def cannot_start(command):
    """The server's processes, and what they start, short of address space:
    the JVM fails to start, and says so to the log, not to the client."""
    limited = 0
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.getsid(int(pid)) in groups and os.stat("/proc/" + pid).st_uid == WWW.pw_uid:
                # As their own user: root may lack the capability to.
                subprocess.run(["runuser", "-u", "www-data", "--", "prlimit", "--pid", pid,
                                "--as=%d" % (512 << 20)], check=True)
                limited += 1
        except (OSError, subprocess.CalledProcessError):
            pass
    check("a JVM that cannot start", (limited > 0, request("GET", "/app/x?q")),
          (True, (500, "text/html", page("exit failure to '%s /x'." % command))))


def main():
    # What the set-up names is installed first, by package: a machine with
    # another JDK has a javac, yet no default-java.
    subprocess.run(["bash", "-c", '. "$0/scripts/lib.sh" && need "$@"', os.path.dirname(EXAMPLES),
                    "default-jdk-headless", *{"nginx": ["nginx", "fcgiwrap", "spawn-fcgi"]}.get(
                        SERVER, [SERVER])], check=True)
    global VERSION
    with open(JDK + "/release") as f:
        VERSION = int(re.search(r'JAVA_VERSION="(\d+)', f.read()).group(1))
    folders("/usr/lib/cgi-bin", "/srv/app", CACHE)
    # The package's postinst makes the cache folder so.
    os.chown(ROOT + CACHE, WWW.pw_uid, WWW.pw_gid)
    os.chmod(ROOT + CACHE, 0o700)
    shutil.copy(GATEWAY, ROOT + "/usr/lib/cgi-bin/tolvane")
    java(ROOT + "/classes", open(EXAMPLES + "/CGI.java").read())
    deploy(ROOT + "/classes")
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
    starts(log)
    hostile_cache()
    check("tolvane-archive for the rows", archive().returncode, 0)
    upload = os.urandom(2 << 20)
    rows = [
        # method, URL, body, expected status, content type and body (None: any)
        ("GET", "/app/cart/7?a=1&b=%20x+y", None, echo("GET", "/cart/7", b"a=1&b=%20x+y")),
        ("POST", "/app/form", b"name=Ada&lang=java", echo("POST", "/form", b"name=Ada&lang=java")),
        ("POST", "/app/upload", upload, echo("POST", "/upload", upload)),
        ("POST", "/app/bytes", bytes(range(256)), echo("POST", "/bytes", bytes(range(256)))),
        ("POST", "/app/empty", b"", echo("POST", "/empty", b"")),
        # Every method's body reaches the program as a POST's does: a JSON
        # API's PUT and PATCH, a DELETE with a body and one without.
        ("PUT", "/app/p", b'{"name":"Ada","n":1}', echo("PUT", "/p", b'{"name":"Ada","n":1}')),
        ("PATCH", "/app/p", b'{"n":2}', echo("PATCH", "/p", b'{"n":2}')),
        ("DELETE", "/app/d", b'{"id":7}', echo("DELETE", "/d", b'{"id":7}')),
        ("DELETE", "/app/d", None, echo("DELETE", "/d", b"")),
        # A chunked body (a generator: http.client sends it so). Apache passes
        # it on with no length: read to its end, it has no length to pass on
        # and is refused; the other servers store it and set one.
        *[(method, "/app/pc", iter([upload] * 2), (411, "text/html", page(
            "undefined environment variable to 'CONTENT_LENGTH'.")) if SERVER == "apache2" else
           echo(method, "/pc", upload * 2))
          for method in ("POST", "PUT")],
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
        # UTF-8 in the path reaches the program as the same characters (the
        # JVM decodes its arguments by the locale the set-up gives it), and
        # leaves it as the same bytes.
        ("GET", "/app/caf%C3%A9", None, echo("GET", "/caf\u00e9", b"")),
        ("GET", "/app/%E6%97%A5%E6%9C%AC/%E3%82%AB%E3%83%BC%E3%83%88?q=%E6%97%A5", None,
         echo("GET", "/\u65e5\u672c/\u30ab\u30fc\u30c8", b"q=%E6%97%A5")),
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
    deploy(ROOT + "/broken")
    command = "%s/bin/java -cp %s %s" % (JDK, ROOT + APP, setup_line())
    command9 = command + " /cart/9"
    check("a program that throws", request("GET", "/app/cart/9")[1:],
          ("text/html", page("exit failure to '%s'." % command9)))
    answered = time.monotonic()
    said = "java.lang.IllegalStateException: no cart /cart/9"
    while time.monotonic() < answered + 5 and not (os.path.exists(log) and said in open(log).read()):
        time.sleep(0.1)
    check("the exception in " + log[len(ROOT):], os.path.exists(log) and said in open(log).read(), True)
    said = "tolvane: exit failure to '%s'. method=GET uri=/app/cart/9 exit=1 ms=" % (
        command9.replace(" ", "\\x20"))
    check("the failure in " + log[len(ROOT):], re.sub(r"[\s.]", "", said) in whole(log), True)
    time.sleep(max(0, answered + 5 - time.monotonic()))
    check("processes left 5 s after the answer", left(), [])
    deploy(ROOT + "/classes")
    # The sanitizers' runtime reserves terabytes of address space at start:
    # under the limit it is the gateway that cannot start.
    if b"__asan_init" not in open(GATEWAY, "rb").read():
        cannot_start(command)


environment = {**{k: v for k, v in os.environ.items()
                  # A service's environment has no locale (Apache's envvars
                  # sets LANG=C): the set-up must give the JVM one.
                  if k != "LANG" and not k.startswith("LC_")},
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
        # A test that failed before it started anything has nothing to wait for.
        time.sleep(1 if groups and sig == signal.SIGTERM else 0)
    if tally.failed or not done:  # what the servers and the Java programs said
        for folder, _, files in os.walk(ROOT + "/var/log"):
            for f in files:
                print("==> %s\n%s" % (f, open(os.path.join(folder, f), errors="replace").read()[-3000:]))
    shutil.rmtree(ROOT, ignore_errors=True)
finish()
