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
import json
import os
import pty
import pwd
import re
import select
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


# The routes the deployment trains the archive on, as the README shows.
TRAINING = shlex.split(re.search(r"^ +tolvane-archive /etc/\S+ (.*)$", open(README).read(),
                                 re.M).group(1))


def archive(*requests):
    """The deployment's archive step, as root, on the server's own file."""
    return subprocess.run(["bash", ARCHIVER, placed, *(requests or TRAINING)],
                          capture_output=True, text=True)


def kind():
    """What tolvane-archive makes with this JDK: Debian 13's openjdk-25
    refuses an AOT cache whose jar changed, and JDK 17 and 21 have none."""
    return "an AOT cache" if VERSION >= 25 else "a class-data archive"


def setup_line():
    """TOLVANE_CLASS as the placed set-up gives it."""
    with open(placed) as f:
        return re.search(r'TOLVANE_CLASS"?\s+(?:=>\s+)?"([^"]*)"', f.read()).group(1)


def logged(log, since):
    """What requests wrote to the log after its first since bytes, once the
    server has had a moment to write. Apache's and nginx's lines for a
    request name its client; their own start-up notices do not (Apache's
    AH00557 and AH00558 where the host's name does not resolve). lighttpd's
    breakage log holds the CGI programs' lines alone."""
    time.sleep(0.5)
    mark = {"apache2": "[client ", "nginx": "client: "}.get(SERVER)
    return "".join(l for l in written(log, since).splitlines(True) if not mark or mark in l)


def written(log, since):
    """Everything in the log after its first since bytes."""
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
    check("tolvane-archive", (made.returncode, made.stderr),
          (0, "tolvane-archive: %s made: %s of the classes of %d request(s)\n" % (
              jsa, kind(), len(TRAINING))))
    st = os.stat(jsa)
    check("the archive's owner and mode", (st.st_uid, st.st_mode & 0o7777), (0, 0o644))
    # The JVM maps it with sharing required, as the server's user.
    opts = line.rsplit(" ", 1)[0]
    aot = ["-Xlog:aot=info"] if VERSION >= 25 else []  # a tag JDK 17 and 21 refuse
    used = subprocess.run(["runuser", "-u", "www-data", "--", JDK + "/bin/java", *opts.split(),
                           "-Xshare:on", *aot, "-cp", ROOT + APP, "-version"],
                          capture_output=True, text=True)
    check("the JVM accepts the archive", used.returncode, 0)
    if VERSION >= 25:
        check("the archive is an AOT cache", "Using AOT-linked classes: true" in used.stdout, True)
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

    # A truncated archive (a full disk, say: tolvane-archive renames only a
    # whole one into place) is refused, and the program answers as without.
    for cut in (0, 4096, len(good) // 2):
        with open(jsa, "wb") as f:
            f.write(good[:cut])
        since = length(log)
        check("archive cut to %d bytes" % cut, (request("GET", "/app/t?q"), logged(log, since)),
              (echo("GET", "/t", b"q"), ""))
    # A damaged one, whole in length (a disk's fault, a bad copy): the JVM
    # maps it unchecked (-XX:+VerifySharedSpaces would cost an AOT cache its
    # whole gain) and may die of it. Then the request fails as a failure, a
    # 500 and a log line, and never answers as if it had gone well.
    for at in (4096, len(good) // 4, len(good) // 2):
        with open(jsa, "wb") as f:
            f.write(good[:at] + b"A" * 256 + good[at + 256:])
        since = length(log)
        got = request("GET", "/app/t?q")
        said = logged(log, since)
        served = (got, said) == (echo("GET", "/t", b"q"), "")
        # Apache gives a line without the client's address here.
        failed = (got[:2] == (500, "text/html") and b"exit failure to '" in got[2] and
                  "tolvane: exit failure to '" in written(log, since))
        check("archive with 256 bytes changed at %d" % at, served or failed or (got, said), True)
    os.remove(jsa)

    # No cache folder to read, or one the server's user can't read.
    for label, change, undo in (
            ("a cache folder that is missing", lambda: os.rename(cache, cache + ".gone"),
             lambda: os.rename(cache + ".gone", cache)),
            ("a cache folder the server's user can't read",
             lambda: (archive(), os.chmod(cache, 0o700)),
             lambda: os.chmod(cache, 0o755))):
        change()
        since = length(log)
        check(label, (burst(4), logged(log, since)), ([], ""))
        undo()


# A java that notes how it was run and does what a web program taken over
# could do: type into a terminal it can reach, read the environment and the
# command lines of the processes above it, keep the descriptors it was
# given, leave processes of its own behind. Then it plays the JVM well enough
# for tolvane-archive to go on; with STANDIN_AOT, a JDK that makes AOT caches
# and refuses a stale one, as tolvane-archive's scratch program finds out.
STANDIN = r"""#!/usr/bin/python3
import fcntl, json, os, re, shutil, stat, subprocess, sys, termios, time
args = sys.argv[1:]
seen = {"args": args, "env": dict(os.environ), "typed": None, "parents": [], "kept": [], "uid": os.getuid(),
        "umask": os.umask(0),
        "tty": [fd for fd in (0, 1, 2) if os.isatty(fd)], "listed": []}
os.umask(seen["umask"])
seen["input"] = "" if os.isatty(0) else sys.stdin.buffer.read().decode("latin-1")


# tolvane-archive's scratch program P: compiled, put in a jar, run, an
# archive dumped for it that holds the jar's contents, mapped only while the
# jar is the same. True when this run was one of them.
def probe():
    if "-m" in args:
        i = args.index("-d") if "-d" in args else None
        if i is not None:   # javac -d DIR FILE
            shutil.copy(args[i + 2], os.path.join(args[i + 1], "P.class"))
        else:               # jar cf JAR -C DIR P.class
            shutil.copy(os.path.join(args[args.index("-C") + 1], "P.class"), args[args.index("cf") + 1])
        return True
    if "-cp" not in args or not args[args.index("-cp") + 1].endswith("/p.jar"):
        return False
    jar = open(args[args.index("-cp") + 1]).read()
    archive = [a.split("=", 1)[1] for a in args if a.startswith("-XX:SharedArchiveFile=")]
    if "-Xshare:dump" in args:
        open(archive[0], "w").write(jar)
        return True
    if archive and "-Xshare:on" in args and open(archive[0]).read() != jar:
        sys.exit(1)
    for a in args:
        if a.startswith("-XX:DumpLoadedClassList="):
            open(a.split("=", 1)[1], "w").write("P\n")
    print(re.search(r'print\("(\d)"\)', jar).group(1), end="", flush=True)
    return True


# Left behind by a training run, as www-data: puts a pipe of its own where
# the archive is dumped, in the folder it shares with the run, keeps a copy
# of the descriptor the archive is then copied to, feeds the pipe an archive
# of its own, and later writes through the copy.
def attack():
    import ctypes
    name = re.search(r"-XX:SharedArchiveFile=(\S+)", os.environ["TOLVANE_CLASS"]).group(1)
    name = os.path.basename(name)
    deadline = time.time() + 20
    while not os.path.exists(name):
        if time.time() > deadline:
            os._exit(0)
        time.sleep(0.001)
    try:
        os.mkfifo(".pipe")
        os.rename(".pipe", name)
    except OSError:
        os._exit(0)
    while True:   # until the copy opens it
        try:
            pipe = os.open(name, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            if time.time() > deadline:
                os._exit(0)
            time.sleep(0.001)
    kept = None
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            fds = os.listdir("/proc/%s/fd" % pid)
            if int(pid) != os.getpid() and any(os.readlink("/proc/%s/fd/%s" % (pid, fd)) ==
                                               os.path.abspath(name) for fd in fds):
                fd = ctypes.CDLL(None).syscall(438, os.pidfd_open(int(pid)), 1, 0)  # pidfd_getfd
                if fd >= 0 and stat.S_ISREG(os.fstat(fd).st_mode):
                    kept = fd
        except OSError:
            pass
    os.write(pipe, b"www-data's\n")
    os.close(pipe)
    if kept is not None:
        time.sleep(2)   # tolvane-archive has ended
        os.pwrite(kept, b"CHANGED!!!\n", 0)
    os._exit(0)


for fd in (0, 1, 2, "/dev/tty"):
    try:
        f = os.open(fd, os.O_RDWR) if isinstance(fd, str) else fd
        for c in b"echo typed\n":
            fcntl.ioctl(f, termios.TIOCSTI, bytes([c]))
        seen["typed"] = fd
        break
    except OSError:
        pass
pid = os.getppid()
while pid > 1:
    try:
        if b"SECRET=" in open("/proc/%d/environ" % pid, "rb").read():
            seen["parents"].append(pid)
    except OSError:
        pass
    # A command line is every user's to read: a value of the set-up's there
    # (a password, say) is no longer root's alone.
    if b"\0STANDIN_LOG=" in open("/proc/%d/cmdline" % pid, "rb").read():
        seen["listed"].append(pid)
    pid = int(open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()[1])
for fd in (7, 12):
    try:
        os.fstat(fd)
        seen["kept"].append(fd)
    except OSError:
        pass
training = any(a.startswith("-XX:DumpLoadedClassList=") for a in args) and args[-1] != "P"
if training and os.environ.get("STANDIN_ORPHAN"):
    # Left behind, holding what the run's standard error was.
    seen["orphan"] = subprocess.Popen(["sleep", "20"], stdout=subprocess.DEVNULL).pid
if training and os.environ.get("STANDIN_NAME"):
    # A file in the scratch folder that no one can read, its name a
    # terminal's escape sequence: whatever names it must not send it raw.
    bad = "request-\x1b]0;www-data\x07\x1b[2J.list"
    open(bad, "w").close()
    os.chmod(bad, 0)
if training and os.environ.get("STANDIN_ATTACK") and os.fork() == 0:
    os.setsid()
    if os.fork() == 0:
        null = os.open(os.devnull, os.O_RDWR)
        for n in (0, 1, 2):
            os.dup2(null, n)
        attack()
    os._exit(0)
for a in args:   # what the dump is given to read
    if a.startswith("-XX:SharedClassListFile="):
        seen["classes"] = open(a.split("=", 1)[1]).read()
with open(os.environ["STANDIN_LOG"], "a") as log:
    log.write(json.dumps(seen) + "\n")
if os.environ.get("STANDIN_AOT") and probe():
    sys.exit(0)
if "-XX:+AOTClassLinking" in args and "-version" in args:
    sys.exit(0 if os.environ.get("STANDIN_AOT") else 1)
for a in args:
    if a.startswith("-XX:DumpLoadedClassList="):
        # STANDIN_LIST: more lines, with \n for a line's end.
        open(a.split("=", 1)[1], "w").write("CGI\n" + os.environ.get("STANDIN_LIST", "").replace("\\n", "\n"))
    if a.startswith("-XX:SharedArchiveFile=") and "-Xshare:dump" in args:
        if os.environ.get("STANDIN_PLANT"):
            os.symlink(os.environ["STANDIN_PLANT"], a.split("=", 1)[1])
        else:
            open(a.split("=", 1)[1], "w").write("archive\n")
"""


def in_terminal(argv, env):
    """Runs argv as root in a terminal of its own, descriptors 7 and 12 open
    on a file of root's, then reads what waits typed in that terminal: what
    root's shell would run next. Gives its status and that text."""
    secret = os.open(ROOT + "/victim", os.O_RDONLY)
    pid, fd = pty.fork()
    if pid == 0:
        try:
            for n in (7, 12):
                os.dup2(secret, n)
            status = subprocess.run(argv, env=env, pass_fds=(7, 12)).returncode
            ready = select.select([0], [], [], 1)[0]
            typed = os.read(0, 100) if ready else b""
            os.write(1, b"\nSTATUS %d TYPED[%s]\n" % (status, typed))
        finally:
            os._exit(0)
    os.close(secret)
    out = b""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except OSError:
            break
        if not chunk:
            break
        out += chunk
    os.waitpid(pid, 0)
    os.close(fd)
    m = re.search(rb"STATUS (\d+) TYPED\[(.*?)\]", out, re.S)
    return int(m.group(1)), m.group(2).replace(b"\r", b"")


def archive_tool():
    """tolvane-archive as root runs it: with a stand-in java, how the program
    is run and what it can reach; with the real JVM, a -jar set-up and a
    POST route trained on. They need no server: lighttpd's run has them."""
    jdk, cache, standin = ROOT + "/standin-jdk", ROOT + "/tool-cache", ROOT + "/standin"
    os.makedirs(jdk + "/bin")
    os.makedirs(cache, 0o755)
    os.makedirs(standin, 0o755)
    os.chown(standin, WWW.pw_uid, WWW.pw_gid)
    with open(jdk + "/bin/java", "w") as f:
        f.write(STANDIN)
    os.chmod(jdk + "/bin/java", 0o755)
    with open(ROOT + "/victim", "w") as f:
        f.write("root's\n")
    os.chmod(ROOT + "/victim", 0o600)
    log, conf = standin + "/log", ROOT + "/standin.conf"

    def fresh_log():
        """An empty log that each of the stand-in's users can write: the
        server's, and the dump's uid, which tolvane-archive picks."""
        with open(log, "w"):
            pass
        os.chmod(log, 0o666)
    fresh_log()
    with open(conf, "w") as f:
        f.write('"JAVA_HOME" => "%s",\n"LC_ALL" => "C.UTF-8",\n"TOLVANE_CP" => "%s",\n'
                '"TOLVANE_CLASS" => "-XX:SharedArchiveFile=%s/a.jsa -Xshare:auto CGI",\n'
                '"STANDIN_LOG" => "%s",\n' % (jdk, ROOT + APP, cache, log))
    env = {**os.environ, "SECRET": "root's"}

    def runs(argv, **more):
        """What the stand-in saw in each of its runs under argv."""
        fresh_log()
        got = in_terminal(argv, {**env, **more})
        seen = [json.loads(l) for l in open(log)] if os.path.exists(log) else []
        return got, seen

    # Each way of running the program as www-data in root's terminal: what
    # reached root's shell, root's environment and root's descriptors.
    try:
        legacy = open("/proc/sys/dev/tty/legacy_tiocsti").read().strip() == "1"
    except FileNotFoundError:
        legacy = True  # kernels before 6.2 have no switch: TIOCSTI works
    print("dev.tty.legacy_tiocsti: %s" % ("1, TIOCSTI works" if legacy else "0"))
    for label, argv, typed, reached in (
            ("runuser, as tolvane-archive ran the program", ["runuser", "-u", "www-data", "--",
                                                            jdk + "/bin/java"],
             b"echo typed\n" if legacy else b"", True),
            ("tolvane-archive", ["bash", ARCHIVER, conf, "GET /x"], b"", False)):
        (status, got), seen = runs(argv, STANDIN_LOG=log)
        check("%s: status, what was typed into root's terminal" % label, (status, got), (0, typed))
        check("%s: root's environment or descriptors seen" % label,
              sorted({bool(s["parents"] or "SECRET" in s["env"] or s["kept"]) for s in seen}),
              [reached])

    # What each training request gives the program, as the gateway would.
    upload = ROOT + "/upload"
    with open(upload, "wb") as f:
        f.write(b"--x\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nhi\r\n--x--\r\n")
    setup = {"JAVA_HOME", "LC_ALL", "TOLVANE_CP", "TOLVANE_CLASS", "STANDIN_LOG"}
    for request, args, method, path, query, data, typ in (
            ("GET", [], "GET", None, "", "", None),
            ("GET /cart/7?item=42&b=%20x", ["/cart/7"], "GET", "/cart/7", "item=42&b=%20x",
             "item=42&b=%20x", None),
            ("/caf\u00e9", ["/caf\u00e9"], "GET", "/caf\u00e9", "", "", None),
            ("POST /greet name=Ada&x=a b", ["/greet"], "POST", "/greet", "", "name=Ada&x=a b",
             "application/x-www-form-urlencoded"),
            # the gateway passes every method's body on, a PUT's as a POST's
            ("PUT /p name=Ada", ["/p"], "PUT", "/p", "", "name=Ada", "application/x-www-form-urlencoded"),
            ("DELETE /p @" + upload, ["/p"], "DELETE", "/p", "", open(upload, "rb").read().decode(),
             "multipart/form-data; boundary=x"),
            ("POST /files @" + upload, ["/files"], "POST", "/files", "",
             open(upload, "rb").read().decode(), "multipart/form-data; boundary=x")):
        _, seen = runs(["bash", ARCHIVER, conf, request])
        program = [s for s in seen if any(a.startswith("-XX:DumpLoadedClassList=") for a in s["args"])]
        want = {"REQUEST_METHOD": method, "QUERY_STRING": query, "GATEWAY_INTERFACE": "CGI/1.1",
                "SERVER_PROTOCOL": "HTTP/1.1"}
        if path is not None:
            want["PATH_INFO"] = path
        if typ:
            want.update(CONTENT_TYPE=typ, CONTENT_LENGTH=str(len(
                (data or request.split(" ", 2)[2]).encode())))
        check("training request %r" % request, [(s["args"][-len(args) - 1:], {
            k: v for k, v in s["env"].items() if k not in setup}, sorted(setup & set(s["env"])),
            s["input"]) for s in program],
              [(["CGI", *args], want, sorted(setup), data)])

    # The set-up's variables as each server's syntax gives them, and only
    # those: nginx's values with a variable are the request's, comments none.
    # (LC_ALL among them: Python, the stand-in, sets LC_CTYPE in a C locale.)
    lines = {"JAVA_HOME": jdk, "LC_ALL": "C.UTF-8", "TOLVANE_CP": ROOT + APP,
             "TOLVANE_CLASS": "-XX:SharedArchiveFile=%s/a.jsa CGI" % cache, "STANDIN_LOG": log}
    for syntax, text in (
            ("lighttpd", '# "APP_MODE" => "old",\n"APP_MODE" => "a b", # a comment\n'
                         '"APP_MODE" => "c d",\n"/app" => "/usr/lib/cgi-bin/tolvane"\n%s'
             % "".join('"%s" => "%s",\n' % kv for kv in lines.items())),
            ("Apache", "#SetEnv APP_MODE old\n    SetEnv APP_MODE \"c d\"\n%s"
             % "".join("SetEnv %s \"%s\"\n" % kv for kv in lines.items())),
            ("nginx", "include fastcgi_params;\nfastcgi_param PATH_INFO $fastcgi_path_info;\n"
                      "fastcgi_param APP_MODE \"c d\";\n%s"
             % "".join("fastcgi_param %s %s;\n" % kv for kv in lines.items()))):
        with open(ROOT + "/syntax.conf", "w") as f:
            f.write(text)
        _, seen = runs(["bash", ARCHIVER, ROOT + "/syntax.conf", "GET"])
        check("a set-up in %s's syntax: what the program gets" % syntax, [
            {k: v for k, v in s["env"].items() if k not in ("REQUEST_METHOD", "QUERY_STRING",
             "GATEWAY_INTERFACE", "SERVER_PROTOCOL")} for s in seen if s["args"][-1] == "CGI"],
              [{**lines, "APP_MODE": "c d"}])

    # Refused before any run: a folder the server's user could write, as
    # earlier versions made it; a JDK that is not there; the usage.
    os.remove(cache + "/a.jsa")
    os.chown(cache, WWW.pw_uid, WWW.pw_gid)
    (status, _), seen = runs(["bash", ARCHIVER, conf])
    check("a cache folder of www-data's", (status, len(seen), os.listdir(cache)), (1, 0, []))
    os.chown(cache, 0, 0)
    with open(ROOT + "/nojdk.conf", "w") as f:
        f.write("SetEnv JAVA_HOME /usr/lib/jvm/missing\nSetEnv TOLVANE_CLASS "
                "\"-XX:SharedArchiveFile=%s/a.jsa CGI\"\nSetEnv TOLVANE_CP /srv/app.jar\n" % cache)
    usage = "usage: tolvane-archive [-u USER] CONFIG [REQUEST...]"
    for label, argv, want in (
            ("with no JDK", [ROOT + "/nojdk.conf"], (1, "", "tolvane-archive: no Java at "
             "/usr/lib/jvm/missing/bin/java: install default-jre-headless, or name a JDK in "
             "JAVA_HOME", 1)),
            ("--help", ["--help"], (0, usage, "", 0)),
            ("with no arguments", [], (1, "", usage, 6))):
        got = subprocess.run(["bash", ARCHIVER, *argv], capture_output=True, text=True)
        check("tolvane-archive " + label, (got.returncode, got.stdout.split("\n")[0],
                                          got.stderr.split("\n")[0], got.stderr.count("\n")), want)

    # What www-data can do while root runs the tool, each with a set-up of
    # its own: the stand-in's lines and more.
    www = ROOT + "/www"
    os.makedirs(www)
    os.chown(www, WWW.pw_uid, WWW.pw_gid)

    def variant(more, line="-XX:SharedArchiveFile=%s/a.jsa CGI" % cache, cp=ROOT + APP):
        with open(ROOT + "/variant.conf", "w") as f:
            f.write('"JAVA_HOME" => "%s",\n"LC_ALL" => "C.UTF-8",\n"TOLVANE_CP" => "%s",\n'
                    '"TOLVANE_CLASS" => "%s",\n"STANDIN_LOG" => "%s",\n%s' % (jdk, cp, line, log, more))
        return ROOT + "/variant.conf"

    def made(empty=True):
        """What the cache folder holds, emptied for the next row."""
        found = {f: open(os.path.join(cache, f), errors="replace").read() for f in os.listdir(cache)}
        for f in found if empty else ():
            os.remove(os.path.join(cache, f))
        return found

    # On a JDK that makes AOT caches (Debian 13's openjdk-25), the tool first
    # runs a scratch program of its own from the user's folder, where any
    # process of the user's can put another in its place.
    (status, typed), seen = runs(["bash", ARCHIVER, variant('"STANDIN_AOT" => "1",\n'), "GET /x"])
    check("on a JDK with AOT caches: status, typed, what was made, scratch runs",
          (status, typed, made(), any(s["args"][-1] == "P" for s in seen)),
          (0, b"", {"a.jsa": "archive\n"}, True))
    check("on a JDK with AOT caches: runs that held root's terminal",
          [s["args"][-3:] for s in seen if s["tty"]], [])
    check("runs whose parents' command lines, every user's to read, hold the set-up's values",
          [s["args"][-3:] for s in seen if s["listed"]], [])

    # A process the training run left behind: what it puts where the archive
    # is dumped, and what it writes later through a descriptor it took from
    # a process of its own user.
    got = subprocess.run(["bash", ARCHIVER, variant('"STANDIN_ATTACK" => "1",\n'), "GET /x"],
                         capture_output=True, timeout=120)
    installed = made(empty=False)
    check("the archive installed while a process of www-data's ran", (got.returncode, installed),
          (0, {"a.jsa": "archive\n"}))
    time.sleep(3)
    check("the installed archive 3 s later", made(), installed)

    # A training run that leaves a process behind holding its standard
    # error: the tool still ends within its limit, not when that process
    # does, and the process is ended with the run, by its PID namespace or,
    # where the machine gives none (an unshare that fails stands for one),
    # by its session.
    nons = ROOT + "/nons"
    os.makedirs(nons)
    with open(nons + "/unshare", "w") as f:
        f.write("#!/bin/sh\nexit 1\n")
    os.chmod(nons + "/unshare", 0o755)
    for label, path in (("", os.environ["PATH"]), (", no PID namespace", nons + ":" + os.environ["PATH"])):
        begun = time.monotonic()
        (status, _), seen = runs(["bash", ARCHIVER, variant('"TOLVANE_TIMEOUT" => "2",\n"STANDIN_ORPHAN" => "1",\n'),
                                  "GET /x"], PATH=path)
        took = time.monotonic() - begun
        alive = []
        for s in seen:
            try:
                if open("/proc/%d/cmdline" % s["orphan"], "rb").read() == b"sleep\x0020\x00":
                    alive.append(s["orphan"])
                    os.kill(s["orphan"], signal.SIGKILL)
            except (KeyError, OSError):
                pass
        made()
        check("a process left behind by a training run%s: status, the tool ended in 10 s, "
              "processes left" % label, (status, took < 10, alive), (0, True, []))

    # A name the user gave a file in the scratch folder reaches root's
    # terminal only with its control characters shown.
    got = subprocess.run(["bash", ARCHIVER, variant('"STANDIN_NAME" => "1",\n'), "GET /x"],
                         capture_output=True)
    made()
    check("escape characters of www-data's choosing in the tool's output",
          [c for c in (b"\x1b", b"\x07") if c in got.stdout + got.stderr], [])

    # Files the JVM reads at every request, reached through what www-data can
    # change: a link in its folder to the archive's, its file of options.
    os.symlink(cache, www + "/link")
    os.lchown(www + "/link", WWW.pw_uid, WWW.pw_gid)
    with open(www + "/options", "w") as f:
        f.write("-Xshare:auto\n")
    os.chown(www + "/options", WWW.pw_uid, WWW.pw_gid)
    for label, line in (
            ("the archive named through a link in a folder of www-data's",
             "-XX:SharedArchiveFile=%s/link/a.jsa CGI" % www),
            ("JVM options in a file of www-data's",
             "@%s/options -XX:SharedArchiveFile=%s/a.jsa CGI" % (www, cache))):
        (status, _), seen = runs(["bash", ARCHIVER, variant("", line)])
        check(label + ": status, runs, what was made", (status, len(seen), made()), (1, 0, {}))

    # A body file in a folder of www-data's, which it made a link to a file
    # of root's: root reads it for the user's program.
    os.symlink(ROOT + "/victim", www + "/body")
    os.lchown(www + "/body", WWW.pw_uid, WWW.pw_gid)
    (status, _), seen = runs(["bash", ARCHIVER, variant(""), "POST /x @%s/body" % www])
    made()
    check("a body file linked by www-data to a file of root's: what the program read",
          [s["input"] for s in seen if "root's" in s["input"]], [])

    # The README's class path for library jars: the JVM's own wildcard.
    os.makedirs(ROOT + "/srv/app/lib", exist_ok=True)
    (status, _), seen = runs(["bash", ARCHIVER, variant("", cp="%s:%s/srv/app/lib/*" % (ROOT + APP, ROOT)),
                              "GET /x"])
    check("a class path with the JVM's wildcard: status, what was made", (status, made()),
          (0, {"a.jsa": "archive\n"}))

    # Who runs what: the program as www-data; the JVM's dump, its check and
    # the scratch program as one uid of their own, neither root nor
    # www-data, which no process of www-data's can reach.
    (status, _), seen = runs(["bash", ARCHIVER, variant('"STANDIN_AOT" => "1",\n'), "GET /x"])
    made()
    training = [(s["uid"], s["umask"]) for s in seen if s["args"][-1] == "/x"]
    others = {s["uid"] for s in seen if s["args"][-1] != "/x"}
    mask = os.umask(0o022)
    os.umask(mask)
    check("who runs the program (with our mask), and who the JVM's other runs",
          (status, training, len(others), others & {0, WWW.pw_uid}), (0, [(WWW.pw_uid, mask)], 1, set()))

    # What the dump is given to read: the lines of the classes' lists that
    # the JVM writes, each once, and nothing that names a file (a class of a
    # loader of the program's own) or that it would not write.
    listed = ("CGI id: 7\\nApp$1 id: 8\\nEvil id: 9 super: 0 source: /etc/shadow\\n# a note\\n"
              "@lambda-proxy CGI run ()Ljava/lang/Runnable; ()V\\n@cp CGI 1 2\\n@cp CGI /etc/shadow\\n"
              "@lambda-form-invoker [LF_RESOLVE] java.lang.invoke.Invokers$Holder invoker L_L\\n"
              "@lambda-form-invoker [X] /etc/shadow\\n@source /etc/shadow\\n/etc/shadow\\n"
              "\\x1b]0;x\\x07\\nApp$1\\n")
    (status, _), seen = runs(["bash", ARCHIVER, variant('"STANDIN_LIST" => "%s",\n' % listed), "GET /x",
                              "GET /y"])
    made()
    check("the class list the dump reads", (status, [s["classes"] for s in seen if "classes" in s]),
          (0, ["CGI\nApp$1\n@lambda-proxy CGI run ()Ljava/lang/Runnable; ()V\n@cp CGI 1 2\n"
               "@lambda-form-invoker [LF_RESOLVE] java.lang.invoke.Invokers$Holder invoker L_L\n"]))

    # Refused: set-ups whose archive, or a file the JVM reads, could be
    # reached through what others than root can change, or that the gateway
    # would not run; a body file root would open in a folder www-data can
    # write to; a server user in root's group.
    os.symlink(cache, ROOT + "/rootlink")
    os.makedirs(ROOT + "/open/sub")
    os.chmod(ROOT + "/open", 0o777)
    os.chmod(ROOT + "/open/sub", 0o755)
    with open(www + "/upload", "w") as f:
        f.write("name=x")
    root_only = "-XX:SharedArchiveFile=%s/a.jsa CGI" % cache
    # A server user in root's group, known only in a mount namespace whose
    # /etc/passwd has it: the machine's own is left as it is.
    group0 = "tolvane-test-root-group"
    with open("/etc/passwd") as f, open(ROOT + "/passwd", "w") as o:
        o.write(f.read() + "%s:x:64998:0::/nonexistent:/usr/sbin/nologin\n" % group0)
    os.chmod(ROOT + "/passwd", 0o644)
    known = ["unshare", "--mount", "sh", "-c", 'mount --bind "$0" /etc/passwd && exec "$@"', ROOT + "/passwd"]
    for label, line, more, before, options, requests, said in (
            ("a relative archive path", "-XX:SharedArchiveFile=a.jsa CGI", "", [], [], [],
             "-XX:SharedArchiveFile=a.jsa: name the archive by its full path"),
            ("an archive folder named through a link of root's",
             "-XX:SharedArchiveFile=%s/rootlink/a.jsa CGI" % ROOT, "", [], [], [],
             "%s/rootlink may be changed by others than root, or is reached through a link: "
             "the archive must be root's alone" % ROOT),
            ("an archive path with ..", "-XX:SharedArchiveFile=%s/../tool-cache/a.jsa CGI" % cache,
             "", [], [], [], "%s/../tool-cache may be changed by others than root, or is reached through a "
             "link: the archive must be root's alone" % cache),
            ("a folder above the archive's that anyone can write to",
             "-XX:SharedArchiveFile=%s/open/sub/a.jsa CGI" % ROOT, "", [], [], [],
             "%s/open/sub may be changed by others than root, or is reached through a link: "
             "the archive must be root's alone" % ROOT),
            ("a class path from a JDK argument file",
             "-cp @%s/options -XX:SharedArchiveFile=%s/a.jsa CGI" % (www, cache), "", [], [], [],
             "@%s/options: the gateway runs no set-up with a JDK argument file before the class" % www),
            ("a JDK argument file in JDK_JAVA_OPTIONS", root_only,
             '"JDK_JAVA_OPTIONS" => "-Xss1m @%s/options",\n' % www, [], [], [],
             "@%s/options: the gateway runs no set-up with a JDK argument file before the class" % www),
            ("a body file in a folder of www-data's", root_only, "", [], [], ["POST /x @%s/upload" % www],
             "request 'POST /x @%s/upload': %s/upload must be root's alone, in folders root's alone, "
             "none a link" % (www, www)),
            ("a server user in root's group", root_only, "", known, ["-u", group0], [],
             "-u %s: the program must not run in root's group" % group0)):
        argv = [*before, "bash", ARCHIVER, *options, variant(more, line), *requests]
        (status, _), seen = runs(argv)
        got = subprocess.run(argv, capture_output=True, text=True)
        check("refused: " + label, (status, [s["args"] for s in seen if s["args"][-1] != "-version"],
                                    made(), got.stderr), (1, [], {}, "tolvane-archive: %s\n" % said))

    # The user's process writes where root copies from: a link there to a
    # file of root's is read as that user, who cannot.
    with open(conf, "a") as f:
        f.write('"STANDIN_PLANT" => "%s/victim",\n' % ROOT)
    (status, _), _ = runs(["bash", ARCHIVER, conf])
    check("a link in place of the new archive", (status, os.listdir(cache),
                                                  open(ROOT + "/victim").read()), (1, [], "root's\n"))


def archive_rows():
    """With the real JVM: set-ups that name the jars otherwise (-jar, the
    JVM's wildcard), what of the program runs as whom, and the classes a
    POST route loads from outside an archive trained without it and with
    it."""
    cache = ROOT + "/tool-cache"
    opts = setup_line().rsplit(" ", 1)[0].replace(ROOT + CACHE + "/app.jsa", cache + "/t.jsa")
    main = ROOT + "/srv/app/main.jar"
    subprocess.run([JDK + "/bin/jar", "cfe", main, "CGI", "-C", ROOT + "/classes", "."], check=True)
    # The helper in a library jar of its own, as the README's lib/* has it.
    lib, only = ROOT + "/srv/app/lib", ROOT + "/srv/app/cgi.jar"
    os.makedirs(lib, exist_ok=True)
    helper = sorted(f for f in os.listdir(ROOT + "/classes") if f.startswith("Tolvane"))
    subprocess.run([JDK + "/bin/jar", "cf", lib + "/tolvane.jar",
                    *[a for f in helper for a in ("-C", ROOT + "/classes", f)]], check=True)
    subprocess.run([JDK + "/bin/jar", "cf", only, "-C", ROOT + "/classes", "CGI.class"], check=True)
    for jar in (main, only, lib + "/tolvane.jar"):
        os.chmod(jar, 0o644)
    conf = ROOT + "/jar.conf"
    for label, cp, run in (("a -jar set-up", None, ["-jar", main]),
                           ("a class path with the JVM's wildcard", only + ":" + lib + "/*",
                            ["-cp", only + ":" + lib + "/*", "CGI"])):
        with open(conf, "w") as f:
            f.write('"JAVA_HOME" => "%s",\n"TOLVANE_CLASS" => "%s %s",\n%s' % (
                JDK, opts, "-jar " + main if cp is None else "CGI",
                "" if cp is None else '"TOLVANE_CP" => "%s",\n' % cp))
        made = subprocess.run(["bash", ARCHIVER, conf], capture_output=True, text=True)
        got = subprocess.run(["runuser", "-u", "www-data", "--", "env", "REQUEST_METHOD=GET",
                              "QUERY_STRING=", JDK + "/bin/java", *opts.split(), "-Xshare:on",
                              "-Xlog:class+load=info:stderr", *run], capture_output=True, text=True)
        check(label + ": made, run, answer, the helper from the archive",
              (made.returncode, got.returncode, got.stdout.split("\n")[0],
               "Tolvane source: shared objects file" in got.stderr), (0, 0, "Status: 200 OK", True))

    # The program's static initializers, its enum's, its record's, whose
    # lambda and string concatenation the JVM links: each leaves a file
    # owned by the uid that ran it. Only the training runs, as www-data, may:
    # the dump loads and links the classes, and must run none of their code.
    marks = ROOT + "/marks"
    os.makedirs(marks)
    os.chmod(marks, 0o1777)
    with open(ROOT + "/Init.java", "w") as f:
        f.write("""import java.nio.file.*;
import java.util.function.Supplier;
public class Init {
    static { mark("Init"); }
    enum E { A; static { mark("E"); } }
    record R(int x) { static { mark("R"); } }
    static void mark(String who) {
        try { Files.createTempFile(Paths.get("%s"), who, ""); } catch (Exception e) { }
    }
    public static void main(String[] a) {
        Supplier<String> s = () -> "x" + a.length;
        System.out.println(s.get() + E.A + new R(1));
    }
}
""" % marks)
    subprocess.run([JAVAC, "-d", ROOT + "/init", ROOT + "/Init.java"], check=True)
    subprocess.run([JDK + "/bin/jar", "cf", ROOT + "/srv/app/init.jar", "-C", ROOT + "/init", "."], check=True)
    os.chmod(ROOT + "/srv/app/init.jar", 0o644)
    with open(conf, "w") as f:
        f.write('"JAVA_HOME" => "%s",\n"TOLVANE_CP" => "%s",\n"TOLVANE_CLASS" => "%s Init",\n' % (
            JDK, ROOT + "/srv/app/init.jar", opts))
    made = subprocess.run(["bash", ARCHIVER, conf], capture_output=True, text=True)
    ran = sorted((f.rstrip("0123456789"), os.stat(os.path.join(marks, f)).st_uid) for f in os.listdir(marks))
    check("who ran the program's initializers", (made.returncode, ran),
          (0, [("E", WWW.pw_uid), ("Init", WWW.pw_uid), ("R", WWW.pw_uid)]))

    def outside(method, path, body):
        """The named classes a request loads from outside the archive."""
        env = ["REQUEST_METHOD=" + method, "QUERY_STRING=", "PATH_INFO=" + path,
               "CONTENT_LENGTH=%d" % len(body), "CONTENT_TYPE=application/x-www-form-urlencoded"]
        got = subprocess.run(["runuser", "-u", "www-data", "--", "env", *env, JDK + "/bin/java",
                              *opts.split(), "-Xshare:on", "-Xlog:class+load=info:stderr", "-cp",
                              ROOT + APP, "CGI", path], input=body, capture_output=True)
        return {m.group(1).decode() for m in re.finditer(
            rb"\] (\S+) source: (?!shared objects file)(?:jrt:|file:)", got.stderr)}

    conf = ROOT + "/post.conf"
    with open(conf, "w") as f:
        f.write('"JAVA_HOME" => "%s",\n"TOLVANE_CP" => "%s",\n"TOLVANE_CLASS" => "%s CGI",\n'
                % (JDK, ROOT + APP, opts))
    form = b"name=Ada"
    for training, more in ((["GET /x"], True), (["GET /x", "POST /greet name=Ada"], False)):
        made = subprocess.run(["bash", ARCHIVER, conf, *training], capture_output=True, text=True)
        extra = outside("POST", "/greet", form) - outside("GET", "/x", b"")
        check("a POST, archive trained on %s: classes from outside it beyond a GET's" % training,
              (made.returncode, bool(extra)), (0, more))
    for f in os.listdir(cache):
        os.remove(os.path.join(cache, f))


def cannot_replace():
    """The archive is root's: a process of www-data's cannot change it, take
    it away or put another in its place."""
    jsa = re.search(r"-XX:SharedArchiveFile=(\S+)", setup_line()).group(1)
    before = open(jsa, "rb").read()
    for label, command in (("append to it", "printf x >>\"$0\""), ("cut it", ": >\"$0\""),
                           ("remove it", "rm -f \"$0\""), ("change its mode", "chmod 666 \"$0\""),
                           ("rename another over it", "printf x >\"$0.new\" && mv -f \"$0.new\" \"$0\""),
                           ("rename it away", "mv \"$0\" \"$0.old\"")):
        got = subprocess.run(["runuser", "-u", "www-data", "--", "sh", "-c", command, jsa],
                             capture_output=True)
        check("www-data cannot %s" % label, got.returncode != 0, True)
    check("the archive after www-data's tries", open(jsa, "rb").read() == before, True)


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
    # The package's postinst makes the cache folder so, root's alone, in
    # folders that are root's alone.
    for folder in ("/var", "/var/cache", CACHE):
        os.chown(ROOT + folder, 0, 0)
        os.chmod(ROOT + folder, 0o755)
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
    if SERVER == "lighttpd":
        archive_tool()
        archive_rows()
    check("tolvane-archive for the rows", archive().returncode, 0)
    cannot_replace()
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
