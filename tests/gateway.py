#!/usr/bin/env python3
"""Black-box tests of the gateway binary against the stand-in launcher.

usage: gateway.py GATEWAY LAUNCHER TABLE

A GATEWAY ending in .exe is the Windows build; it runs under wine, with
WINEPREFIX and WINEDEBUG taken from the environment.

Each row names the environment and standard input of one request, the exit
status and exact output expected, and what the launcher must have received
(None: it must not have been started)."""
import fcntl
import os
import random
import re
import resource
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import time

from tally import check, finish

GATEWAY, LAUNCHER, TABLE = sys.argv[1:4]
GATEWAY = os.path.abspath(GATEWAY)
WIN = GATEWAY.endswith(".exe")
SANITIZED = b"__asan_init" in open(GATEWAY, "rb").read()
ROOT = tempfile.mkdtemp(prefix="tolvane-test-")
JDK = os.path.join(ROOT, "jdk")
os.makedirs(JDK + "/bin")
os.makedirs(ROOT + "/path")
for folder in (JDK + "/bin", ROOT + "/path"):
    shutil.copy(LAUNCHER, folder + ("/java.exe" if WIN else "/java"))

OK = b"Content-Type: text/plain\n\nok\n"  # the stand-in writes binary even on Windows
ALL_BYTES = bytes(range(256))


def native(path):
    """A path as the gateway's platform writes it."""
    return "Z:" + path if WIN else path


SERVER, LENGTH, TOO_LARGE, BAD = ("500 Internal Server Error", "411 Length Required",
                                 "413 Content Too Large", "400 Bad Request")
URI, UNAVAILABLE, TIMEOUT = "414 URI Too Long", "503 Service Unavailable", "504 Gateway Timeout"


def fill(text):
    """Puts the test's folders in place of {jdk} and {root}."""
    return text.replace("{jdk}", native(JDK)).replace("{root}", native(ROOT))


def page(status, msg):
    return ("Status: %s\nContent-Type: text/html\n\n<html>\n  <head>\n"
            "    <title>ERROR - [Tolvane]</title>\n  </head>\n  <body>\n"
            "    %s\n  </body>\n</html>\n" % (status, msg)).replace(
                "\n", "\r\n" if WIN else "\n").encode()


def run(env, stdin=b"", argv=(), log=None, hup=b"default", launched={}, within=None, **popen):
    """Runs one request; returns status, stdout, stderr, and the launcher's
    arguments and input (None when it did not run). The launcher records
    into log, a fresh folder unless given, which stays in last_log;
    launched: more of what it recorded, by name, to check. within: on
    Windows, a folder (a share, say) that cmd.exe starts the gateway in."""
    global last_log
    given = log
    full = {"PATH": ROOT + "/path:/usr/bin:/bin"}
    if WIN:
        # wine reads the environment's bytes in the locale's encoding, so
        # UTF-8 lets a row set any text in the UTF-16 the gateway is given.
        full.update({k: os.environ[k] for k in ("WINEPREFIX", "WINEDEBUG") if k in os.environ},
                    WINEPATH=native(ROOT + "/path"), LC_ALL="C.UTF-8")
    full = {k.encode(): v.encode() for k, v in full.items()}
    for k, v in env.items():
        full[k.encode()] = v if isinstance(v, bytes) else fill(v).encode()
    io = {"stdin": stdin} if hasattr(stdin, "fileno") else {"input": stdin}

    command = ["wine"] * WIN + [GATEWAY, *argv]
    if within:
        command = ["wine", "cmd", "/d", "/c",
                   "cd /d %s && %s" % (within, native(GATEWAY).replace("/", "\\"))]

    def once(folder):
        p = subprocess.run(command, capture_output=True,
                           env={**full, b"FAKE_LOG": folder.encode()}, timeout=60, **io, **popen)
        args = recorded(folder, "args")
        if args is not None:
            args = [a.decode("latin-1") for a in args.split(b"\0")[:-1]]
        return (p.returncode, p.stdout, p.stderr, args, recorded(folder, "input")), folder

    got, log = once(log or tempfile.mkdtemp(dir=ROOT))
    if WIN and given and got[:2] == (1, b""):
        # A gateway that fails always writes its page: status 1 and no
        # output is wine losing the program, as below. A row that reads
        # its own folder runs again into it, emptied.
        for name in os.listdir(given):
            os.remove(os.path.join(given, name))
        print("wine lost the gateway for %.200r; it runs again" % (env,))
        got, log = once(given)
    if WIN and log != given and "input" in io:
        # Now and then wine loses a program it starts (here about one start
        # in a few hundred, with or without this gateway): it ends with 1
        # and no output, or with 0 and no launcher run. The gateway's answer
        # to a request never varies, so under wine each request runs twice,
        # and a third time settles a difference.
        again, _ = once(tempfile.mkdtemp(dir=ROOT))
        if again != got:
            third, log = once(tempfile.mkdtemp(dir=ROOT))
            print("wine answered %.200r differently; a third run answered as the %s" % (
                env, "first" if third == got else "second" if third == again else "neither"))
            got = third
    last_log = log
    args = got[3]
    if args is not None and WIN:
        # Whatever the row, a launcher that ran holds the standard handles
        # and no other that it inherited.
        check("inheritable handles of %.200r" % env, recorded(log, "inherited"), b"0")
    if args is not None and not WIN:
        # Whatever the row, a launcher that ran must have started as the
        # server would start it: default SIGPIPE, only the standard streams.
        check("sigpipe of %r" % env, recorded(log, "sigpipe"), b"default")
        check("sighup of %r" % env, recorded(log, "sighup"), hup)
        check("signal mask of %r" % env, recorded(log, "sigmask"), b"none")
        check("descriptors of %r" % env, recorded(log, "fds"), b"0\n1\n2\n")
        # and PWD naming its working directory, which the shell exports.
        check("PWD of %r" % env, recorded(log, "pwd"), os.getcwd().encode())
    for name, want in launched.items():
        check("%s of %r" % (name, env), recorded(log, name), fill(want).encode())
    return got


def recorded(log, name):
    try:
        with open(os.path.join(log, name), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return None


def ignoring(sig):
    """A set-up before exec: sig ignored, as a server may hand it down."""
    return lambda: signal.signal(sig, signal.SIG_IGN)


def blocking(*sigs):
    """A set-up before exec: sigs blocked, as a server may hand them down."""
    return lambda: signal.pthread_sigmask(signal.SIG_BLOCK, sigs)


def recorded_pids():
    pids = []
    for name in ("pid", "child"):
        try:
            pids.append(int(open(os.path.join(last_log, name)).read()))
        except (FileNotFoundError, ValueError):
            pass
    return pids


def all_gone(pids, within=5):
    end = time.monotonic() + within
    while any(not gone(p) for p in pids) and time.monotonic() < end:
        time.sleep(0.05)
    return all(gone(p) for p in pids)


def gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def text(v):
    return v.decode("latin-1") if isinstance(v, bytes) else fill(v)


def escaped(s, blanks):
    """s (bytes as latin-1 text) as the log writes it: controls, "\\",
    blanks inside fields, C1 controls and every byte outside well-formed
    UTF-8 as \\xhh."""
    b, out, i = s.encode("latin-1"), [], 0
    while i < len(b):
        n = next((n for n in (2, 3, 4) if b[i] >= 0x80 and utf8(b[i:i + n])), 1)
        bad = (b[i] >= 0x80 and n == 1) or b[i] < 0x20 or b[i] in b"\x7f\\" or (
            blanks and b[i] == 0x20) or (n == 2 and b[i] == 0xc2 and b[i + 1] <= 0x9f)
        out += ["\\x%02x" % c if bad else chr(c) for c in b[i:i + n]]
        i += n
    return "".join(out)


def utf8(seq):
    try:
        return len(seq.decode("utf-8")) == 1
    except UnicodeDecodeError:
        return False


def logline(msg, env, ran=None):
    """The line a failure must leave on standard error: msg, the request's
    method and URI from env, then ran: what the program's end says ("exit=2",
    "signal=9"), "" for a program started with no status to give, None for
    none started; its run time and the time of day stand as N and T."""
    try:
        # A command line the message quotes holds the client's PATH_INFO:
        # its blanks are escaped as a field's are.
        quoted = re.match(r"(.* to) '(.*)'\.$", msg, re.S)
        line = "tolvane: " + (escaped(quoted[1], False) + " '" + escaped(quoted[2], True) + "'."
                              if quoted else escaped(msg, False))
        if "REQUEST_METHOD" in env:
            line += " method=" + escaped(text(env["REQUEST_METHOD"]), True)
        if "REQUEST_URI" in env:
            line += " uri=" + escaped(text(env["REQUEST_URI"]), True)
        elif "SCRIPT_NAME" in env or "PATH_INFO" in env:
            query = text(env.get("QUERY_STRING", ""))
            script, path = text(env.get("SCRIPT_NAME", "")), text(env.get("PATH_INFO", ""))
            iis = text(env.get("SERVER_SOFTWARE", "")).startswith("Microsoft-IIS")
            if iis and path.startswith(script) and path[len(script):len(script) + 1] in ("", "/"):
                script = ""  # PATH_INFO is the whole path
            line += " uri=" + escaped(script + path + ("?" + query if query else ""), True)
        if ran is not None:
            line += (" " + ran if ran else "") + " ms=N"
        return (line + " utc=T\n").encode("latin-1")
    except UnicodeEncodeError:
        return None  # text only UTF-16 can carry


def said(stderr):
    """stderr with the run times and times of day of its lines as N and T."""
    if WIN:
        stderr = stderr.replace(b"\r\n", b"\n")
    stderr = re.sub(rb" ms=\d+( utc=)", rb" ms=N\1", stderr)
    return re.sub(rb" utc=\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\n", b" utc=T\n", stderr)


def message(out):
    """The message of the error page that ends out, as plain text."""
    msg = re.search(rb"  <body>\r?\n    (.*?)\r?\n  </body>\r?\n</html>\r?\n$", out).group(1)
    return msg.decode("latin-1").replace("&lt;", "<").replace("&gt;", ">").replace("&amp;", "&")


def expect(label, env, stdin, status, out, args, data, ran=None):
    """One request; a failure must be logged, a success must log nothing."""
    got = run(env, stdin)
    check(label, (got[0], got[1], got[3], got[4]), (status, out, args, data))
    if not status:
        check(label + " (stderr)", said(got[2]), b"")
        return
    want = logline(message(out), env, ran)
    if WIN and want is None:
        # The request's text reaches the log through the ANSI code page,
        # look-alikes and all: only the message is certain.
        want = logline(message(out), {}).split(b" utc=")[0]
        check(label + " (stderr)", said(got[2]).split(b" method=")[0], want)
        return
    check(label + " (stderr)", said(got[2]), want)


def intake():
    get, post = {"REQUEST_METHOD": "GET"}, {"REQUEST_METHOD": "POST"}
    nomem, noread = page(TOO_LARGE, "cannot allocate memory."), page(BAD, "cannot read stdin.")
    rows = [
        # environment, standard input, status, output, launcher args, its input
        ({}, b"", 1, page(SERVER, "undefined environment variable to 'REQUEST_METHOD'."), None, None),
        (get, b"", 1, page(SERVER, "undefined environment variable to 'QUERY_STRING'."), None, None),
        ({**get, "QUERY_STRING": ""}, b"", 0, OK, ["CGI"], b""),
        ({**get, "QUERY_STRING": "a=1&b=%20x+y"}, b"x", 0, OK, ["CGI"], b"a=1&b=%20x+y"),
        ({"REQUEST_METHOD": "HEAD", "CONTENT_LENGTH": "3"}, b"abc", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": "get", "QUERY_STRING": "q"}, b"", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": ""}, b"", 0, OK, ["CGI"], b""),
        (post, b"abc", 1, page(LENGTH, "undefined environment variable to 'CONTENT_LENGTH'."),
         None, None),
        # A length is blanks, digits, blanks; an empty body announced so is
        # a request like any other. Anything else announces no length: run
        # with another, the program would get other bytes than were sent.
        ({**post, "CONTENT_LENGTH": "0"}, b"", 0, OK, ["CGI"], b""),
        ({**post, "CONTENT_LENGTH": " \t12 \t"}, b"hello world!", 0, OK, ["CGI"], b"hello world!"),
        ({**post, "CONTENT_LENGTH": "0x3"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "12abc"}, b"hello world!", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "+5"}, b"hello world!", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "-0"}, b"", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "1 2"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "3\n"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "abc"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": ""}, b"", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "10"}, b"1234567", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "5", "QUERY_STRING": "q=1"}, b"a=b&c", 0, OK, ["CGI"], b"a=b&c"),
        # Bytes, not text: NUL and every other value arrive as sent.
        ({**post, "CONTENT_LENGTH": "5"}, b"ab\0cd", 0, OK, ["CGI"], b"ab\0cd"),
        ({**post, "CONTENT_LENGTH": "256"}, ALL_BYTES + b"x", 0, OK, ["CGI"], ALL_BYTES),
        # Every method but GET and HEAD passes its body on as a POST does,
        # with a POST's statuses; one without a length has none.
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "3"}, b"abcdef", 0, OK, ["CGI"], b"abc"),
        ({"REQUEST_METHOD": "PATCH", "CONTENT_LENGTH": "7"}, b'{"a":1}', 0, OK, ["CGI"], b'{"a":1}'),
        ({"REQUEST_METHOD": "DELETE", "CONTENT_LENGTH": "3"}, b"abc", 0, OK, ["CGI"], b"abc"),
        ({"REQUEST_METHOD": "post", "CONTENT_LENGTH": "3"}, b"abc", 0, OK, ["CGI"], b"abc"),
        ({"REQUEST_METHOD": "DELETE"}, b"abc", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": "DELETE", "CONTENT_LENGTH": ""}, b"abc", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": "PATCH", "CONTENT_LENGTH": "9"}, b"abc", 1, noread, None, None),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "x"}, b"abc", 1, noread, None, None),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "2147483647"}, b"abc", 1, nomem, None, None),
        ({"REQUEST_METHOD": "GET", "QUERY_STRING": "q", "CONTENT_LENGTH": "2"}, b"ab", 0, OK,
         ["CGI"], b"q"),
        ({**post, "CONTENT_LENGTH": "-1"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "-" + "9" * 40}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "2147483647"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "4294967298"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "9" * 40}, b"abc", 1, nomem, None, None),
    ]
    if not WIN:  # wine may not grant the 2 GiB
        rows.append(({**post, "CONTENT_LENGTH": "2147483646"}, b"abc", 1, noread, None, None))
    for env, stdin, status, out, args, data in rows:
        expect("intake %r" % env, env, stdin, status, out, args, data)

    # With a regular file for standard input, its offset, which the gateway
    # shares, tells how much it read: never past the announced length.
    big = os.urandom(200000)
    rows = [
        # environment, file, bytes read, launcher input
        ({**post, "CONTENT_LENGTH": "5"}, b"hello world", 5, b"hello"),
        ({**post, "CONTENT_LENGTH": "100000"}, big, 100000, big[:100000]),
        ({**post, "CONTENT_LENGTH": "0"}, b"abc", 0, b""),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "3"}, b"abcdef", 3, b"abc"),
        ({"REQUEST_METHOD": "PATCH", "CONTENT_LENGTH": "100000"}, big, 100000, big[:100000]),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "300000"}, big, 200000, None),
        ({**get, "QUERY_STRING": "q", "CONTENT_LENGTH": "2"}, b"abc", 2, b"q"),
        ({**get, "QUERY_STRING": "q", "CONTENT_LENGTH": "0x3"}, b"abc", 0, b"q"),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "x"}, b"abc", 0, None),
        ({"REQUEST_METHOD": "DELETE"}, b"abc", 0, b""),
        ({"REQUEST_METHOD": "HEAD"}, b"abc", 0, b""),
        ({"REQUEST_METHOD": "HEAD", "CONTENT_LENGTH": "2"}, b"abc", 2, b""),
        # A chunked body comes with no length (Apache): read to its end,
        # then refused, having no length to pass on; as a GET's, dropped.
        ({"REQUEST_METHOD": "PUT", "HTTP_TRANSFER_ENCODING": "chunked"}, big, 200000, None),
        ({"REQUEST_METHOD": "PUT", "HTTP_TRANSFER_ENCODING": "chunked", "CONTENT_LENGTH": ""},
         b"abc", 3, None),
        ({**post, "HTTP_TRANSFER_ENCODING": "chunked"}, big, 200000, None),
        ({**get, "QUERY_STRING": "q", "HTTP_TRANSFER_ENCODING": "chunked"}, big, 200000, b"q"),
    ]
    chunked = page(LENGTH, "undefined environment variable to 'CONTENT_LENGTH'.")
    for env, content, want, data in rows:
        with tempfile.TemporaryFile(dir=ROOT) as f:
            f.write(content)
            f.seek(0)
            got = run(env, f)
            status = (0, OK) if data is not None else (
                1, chunked if "HTTP_TRANSFER_ENCODING" in env else noread)
            check("read of %.80r" % env, (got[0], got[1], got[4], f.tell()), (*status, data, want))

    # Memory follows what arrives: a client that announces a gigabyte and
    # stalls after ten bytes holds the gateway's address space, not memory.
    if WIN:
        # wine commits a program's memory as writable mappings, which VmData
        # counts, on top of its own: measured against a gateway that waits
        # for a body of twenty bytes.
        (_, small), status = held(20)
        (_, large), status = held(1 << 30)
        check("a gigabyte announced, ten bytes sent: committed as for twenty",
              (large - small < 4 << 10, status), (True, 1))
    else:
        kib, status = held(1 << 30)
        if not SANITIZED:  # the sanitizers' runtime holds memory of its own
            check("a gigabyte announced, ten bytes sent: KiB held and granted",
                  [k < 16 << 10 for k in kib], [True, True])
        check("a gigabyte announced, ten bytes sent", status, 1)


def held(length):
    """VmRSS and VmData, in KiB, of a gateway that a POST of length bytes
    keeps waiting after ten, then its exit status once the input ends."""
    r, w = os.pipe()
    gw = subprocess.Popen(["wine"] * WIN + [GATEWAY], stdin=r, stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL, env={
                              "REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(length),
                              **{k: os.environ[k] for k in os.environ if k.startswith("WINE")}})
    os.close(r)
    os.write(w, b"0123456789")
    # Once it waits in a read of its standard input for the rest; under
    # wine, whose own reads look the same, once the ten bytes are taken.
    end = time.monotonic() + 30
    while time.monotonic() < end and (
            struct.unpack("i", fcntl.ioctl(w, termios.FIONREAD, b"\0" * 4))[0] > 0 if WIN else
            not open("/proc/%d/syscall" % gw.pid).read().startswith("0 0x0 ")):
        time.sleep(0.05)
    status = dict(l.split(":", 1) for l in open("/proc/%d/status" % gw.pid).read().splitlines())
    kib = [int(status[k].split()[0]) for k in ("VmRSS", "VmData")]
    os.close(w)
    return kib, gw.wait(30)


def command_lines():
    long_cp = "x" * (4095 - len("java -cp  CGI"))
    quotes = "'" * (4095 - len("java CGI "))
    rows = [
        # environment, composed line as the failure page shows it, launcher args
        ({}, "java CGI", ["CGI"]),
        ({"JAVA_HOME": "{jdk}", "TOLVANE_CP": "lib/app.jar", "TOLVANE_CLASS": "shop.Main",
          "PATH_INFO": "/cart/7"},
         "{jdk}/bin/java -cp lib/app.jar shop.Main /cart/7",
         ["-cp", "lib/app.jar", "shop.Main", "/cart/7"]),
        ({"JAVA_HOME": "{jdk}/"}, "{jdk}//bin/java CGI", ["CGI"]),
        ({"TOLVANE_CP": " x", "TOLVANE_CLASS": " CGI"}, "java -cp  x  CGI", ["-cp", "x", "CGI"]),
        ({"PATH_INFO": ""}, "java CGI ", ["CGI"]),
        ({"TOLVANE_CP": long_cp}, "java -cp %s CGI" % long_cp, ["-cp", long_cp, "CGI"]),
        ({"PATH_INFO": quotes}, "java CGI " + quotes, ["CGI", quotes]),
        # An absent launcher is the interpreter's failure, not ours.
        ({"JAVA_HOME": "{jdk}/none"}, "{jdk}/none/bin/java CGI", None,
         "{jdk}/none/bin/java: not found"),
    ]
    # On Windows no cmd.exe stands between: see windows().
    rows += [
        ({"PATH_INFO": "/<b>&amp;</b>"}, "java CGI /&lt;b&gt;&amp;amp;&lt;/b&gt;",
         ["CGI", "/<b>&amp;</b>"]),
        ({"PATH_INFO": "/100%s%n%%"}, "java CGI /100%s%n%%", ["CGI", "/100%s%n%%"]),
    ]
    if not WIN:
        # Lines the gateway may start without the shell, and lines only the
        # shell can expand as meant; either way the launcher gets the words
        # the shell would make of them.
        home = {"JAVA_HOME": "{jdk}"}
        rows += [
            ({**home, "TOLVANE_CP": "a.jar:b/c-1.jar,x@y+z%1", "TOLVANE_CLASS": "-Xss1m   s.Main",
              "PATH_INFO": "/a b"}, "{jdk}/bin/java -cp a.jar:b/c-1.jar,x@y+z%1 -Xss1m   s.Main /a b",
             ["-cp", "a.jar:b/c-1.jar,x@y+z%1", "-Xss1m", "s.Main", "/a b"]),
            ({"JAVA_HOME": " {jdk}", "TOLVANE_CP": " x"}, " {jdk}/bin/java -cp  x CGI", ["-cp", "x", "CGI"]),
            ({"TOLVANE_CLASS": " CGI\t", "PATH_INFO": "/x"}, "java  CGI\t /x", ["CGI", "/x"]),
            ({"TOLVANE_CP": "$X", "X": "lib/x.jar"}, "java -cp $X CGI", ["-cp", "lib/x.jar", "CGI"]),
            ({"TOLVANE_CP": "~/lib", "HOME": "/h"}, "java -cp ~/lib CGI", ["-cp", "/h/lib", "CGI"]),
            # A class path's "*" is the JVM's to expand, into every jar there.
            ({"TOLVANE_CP": "/srv/app.jar:/srv/lib/*"}, "java -cp /srv/app.jar:/srv/lib/* CGI",
             ["-cp", "/srv/app.jar:/srv/lib/*", "CGI"]),
            ({"TOLVANE_CP": "'{jdk}/bin/'*"}, "java -cp '{jdk}/bin/'* CGI",
             ["-cp", "{jdk}/bin/java", "CGI"]),
            ({"TOLVANE_CLASS": '-Da="x  y" $(echo C)GI'}, 'java -Da="x  y" $(echo C)GI',
             ["-Da=x  y", "CGI"]),
            # The shell expands words and runs nothing: an assignment before
            # the launcher is a word, and names no file.
            ({"JAVA_HOME": "X=1 {jdk}"}, "X=1 {jdk}/bin/java CGI", None, "X=1: not found"),
            # The launcher's own path is the shell's to glob, as it always
            # was: only the launcher expands a class path's "*".
            ({"JAVA_HOME": "{root}/jd*"}, "{root}/jd*/bin/java CGI", ["CGI"]),
            ({"TOLVANE_CP": "a\tb"}, "java -cp a\tb CGI", ["-cp", "a", "b", "CGI"]),
        ]
        # JVM options with "=": after the first word, plain arguments.
        equals = [
            ({**home, "TOLVANE_CP": "/srv/a.jar", "PATH_INFO": "/k=v",
              "TOLVANE_CLASS": "-XX:SharedArchiveFile=/c/a.jsa -Xshare:auto -Xlog:cds=off,cds+dynamic=off:stderr CGI"},
             "{jdk}/bin/java -cp /srv/a.jar -XX:SharedArchiveFile=/c/a.jsa -Xshare:auto "
             "-Xlog:cds=off,cds+dynamic=off:stderr CGI /k=v",
             ["-cp", "/srv/a.jar", "-XX:SharedArchiveFile=/c/a.jsa", "-Xshare:auto",
              "-Xlog:cds=off,cds+dynamic=off:stderr", "CGI", "/k=v"]),
            ({"TOLVANE_CLASS": "=  -Da==b= =x CGI"}, "java =  -Da==b= =x CGI",
             ["=", "-Da==b=", "=x", "CGI"]),
            ({"JAVA_HOME": "{jdk}", "TOLVANE_CP": "a=b.jar"}, "{jdk}/bin/java -cp a=b.jar CGI",
             ["-cp", "a=b.jar", "CGI"]),
        ]
        for env, line, args in equals:
            # The arguments are dash's words of the configuration, then PATH_INFO.
            words = fill(line).split(" ", 1)[1].rsplit(" /k=v", 1)[0]
            dash = subprocess.run(["sh", "-c", 'set -- %s; for a; do printf "%%s\\0" "$a"; done'
                                   % words], capture_output=True).stdout.decode().split("\0")[:-1]
            check("dash's words of %r" % line, dash + ["/k=v"] * line.endswith("/k=v"),
                  [fill(a) for a in args])
        rows += equals
        # Launchers that are missing, not executable, a "#!" script, a
        # script without "#!": named with a slash, and found on PATH.
        kinds = ROOT + "/kinds"
        for kind, text, mode in (("none", None, 0), ("noexec", b"", 0o644),
                                 ("hashbang", b'#!/bin/sh\nexec %s "$@"\n', 0o755),
                                 ("plain", b'exec %s "$@"\n', 0o755)):
            os.makedirs("%s/%s/bin" % (kinds, kind))
            if text is not None:
                with open("%s/%s/bin/java" % (kinds, kind), "wb") as f:
                    f.write(text % LAUNCHER.encode() if text else text)
                os.chmod("%s/%s/bin/java" % (kinds, kind), mode)
            ran = ["CGI", "/p"] if text else None
            # What the shell would have said, where the gateway stood in
            why = {"none": "not found", "noexec": "Permission denied"}.get(kind)
            rows += [
                ({"JAVA_HOME": "{root}/kinds/" + kind, "PATH_INFO": "/p"},
                 "{root}/kinds/%s/bin/java CGI /p" % kind, ran,
                 *["{root}/kinds/%s/bin/java: %s" % (kind, why)] * bool(why)),
                ({"PATH": "{root}/kinds/%s/bin" % kind, "PATH_INFO": "/p"}, "java CGI /p", ran,
                 *["java: %s" % why] * bool(why)),
            ]
        # The shell goes on along PATH past a file it may not run.
        rows.append(({"PATH": "{root}/kinds/noexec/bin:{root}/path"}, "java CGI", ["CGI"]))
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    for env, line, args, *reason in rows:
        label = "command line %r" % env
        line, args = fill(line), args and [fill(a) for a in args]
        failure = page(SERVER, "exit failure to '%s'." % line)
        # The launcher runs under the name the line gives it, unless a
        # script stands in between.
        name = (None if WIN or "kinds/" in repr(env) or "=" in line or "*" in line.split()[0]
                else fill(line.split()[0]))
        got = run({**get, **env}, launched={"argv0": name} if name and args else {})
        check(label, got[:2] + got[3:], (0, OK, args, b"q") if args else (1, failure, None, None))
        # A launcher that could not be run: why, as the shell would say it,
        # then the failure, with no status to give.
        log = logline(message(failure), {**get, **env}, "") if not args else b""
        if reason:
            log = ("tolvane: %s\n" % fill(reason[0])).encode() + log
        if not WIN:
            check(label + " (stderr)", said(got[2]), log)
        # Failing after writing: its response, then our page.
        got = run({**get, **env, "FAKE_EXIT": "2"})
        check(label + " failing", got[:2], (1, (OK if args else b"") + failure))
        if not WIN and args:
            check(label + " failing (stderr)", said(got[2]),
                  logline(message(failure), {**get, **env, "FAKE_EXIT": "2"}, "exit=2"))

    # A class path or class that adds no word would let PATH_INFO, the
    # client's, take its place: refused before anything starts.
    for env in ({"TOLVANE_CP": ""}, {"TOLVANE_CP": " "}, {"TOLVANE_CP": "\t \n"},
                {"TOLVANE_CLASS": "", "PATH_INFO": "/x.java"}, {"TOLVANE_CLASS": " \t"},
                {"TOLVANE_CP": "", "TOLVANE_CLASS": ""}, {"TOLVANE_CLASS": "", "JAVA_HOME": "/" * 5000}):
        var = "TOLVANE_CP" if "TOLVANE_CP" in env else "TOLVANE_CLASS"
        expect("empty %r" % env, {**get, **env}, b"", 1,
               page(SERVER, "invalid environment variable to '%s'." % var), None, None)

    if not WIN:
        # Shell syntax used on purpose, with a launcher that ends with 2:
        # environment, then the status, output and arguments of the launcher.
        get2 = {**get, "FAKE_EXIT": "2"}
        rows = [
            ({"TOLVANE_CLASS": "CGI || true"}, 1,
             OK + page(SERVER, "exit failure to 'java CGI || true'."), ["CGI"]),
            # A variable the server does not pass fails the line: left out,
            # PATH_INFO would take the class's place, a source file to run.
            ({"TOLVANE_CLASS": "-Xss1m $MAIN", "PATH_INFO": "/up/x.java"}, 1,
             page(SERVER, "exit failure to 'java -Xss1m $MAIN /up/x.java'."), None),
            ({"TOLVANE_CP": "$JAR", "PATH_INFO": "/up/x.java"}, 1,
             page(SERVER, "exit failure to 'java -cp $JAR CGI /up/x.java'."), None),
            ({"TOLVANE_CP": "lib${EXTRA-}", "PATH_INFO": "/p"}, 1,
             OK + page(SERVER, "exit failure to 'java -cp lib${EXTRA-} CGI /p'."),
             ["-cp", "lib", "CGI", "/p"]),
        ]
        for env, status, out, args in rows:
            got = run({**get2, **env})
            check("shell syntax %r" % env, (got[0], got[1].decode(), got[3]),
                  (status, fill(out.decode()), args))

        # The launcher is the gateway's own child, whether the shell
        # expanded the line or not: a gateway killed outright takes it along.
        gateway = os.path.basename(GATEWAY)[:15] + "\n"
        for env in ({}, {"JAVA_HOME": "{jdk}", "PATH_INFO": "/$(x) 'y"}, {"TOLVANE_CP": "${X-lib}"},
                    {"TOLVANE_CLASS": "CGI\t"}, {"JAVA_HOME": "{jdk}/"},
                    {"PATH": "/nowhere:" + ROOT + "/path"}, {"PATH": ROOT + "/path:/x%y"},
                    {"JAVA_HOME": "{jdk}", "TOLVANE_CLASS": "CGI#"},
                    {"JAVA_HOME": "{jdk}", "TOLVANE_CLASS": "-XX:A=/b -Dc==d CGI"},
                    {"JAVA_HOME": "{jdk}", "TOLVANE_CLASS": "-Da=${b-} CGI"}):
            got = run({**get, **env}, launched={"parent": gateway})
            check("started by %r" % env, got[0], 0)

    # The configuration alone is the server's fault; PATH_INFO the client's.
    for env, status in (({"TOLVANE_CP": long_cp + "x"}, SERVER), ({"PATH_INFO": quotes + "'"}, URI),
                        ({"TOLVANE_CP": long_cp, "PATH_INFO": ""}, URI),
                        ({"JAVA_HOME": "/" * 4090, "PATH_INFO": "/a"}, SERVER)):
        got = run({**get, **env})
        check("too long %.40r" % env, got[:2] + got[3:4],
              (1, page(status, "command line too long."), None))


def hostile():
    canary = os.path.join(ROOT, "pwned")
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": ""}
    refusal = (1, None, False)
    if WIN:
        # Through cmd.exe, which a java.cmd on PATH needs: refused before
        # anything starts, or one argument. Without it, the configuration's
        # %NAME% expanded by the gateway or not: one argument, whatever it
        # holds, the launcher's own wildcards and quotes included.
        bad = ("& echo >C", "| echo >C", "&& echo >C", ">C", "<C", "%PATH%", "!PATH!", "^& echo >C",
               '"', '" & echo >C & "', "(echo >C)", "$(x)", "\necho >C", "a\x1a", "a\x7f", "a%")
        good = ("a b  c", "'", ";", "$x", "`x`", "a\\", "a\\\\", "\\\\server\\share", "*", "?",
                "~", "#", "-cp x", "a=b,c;d", "/x/y", "@C", "C:/windows/*", "/x.java")
        get = {**get, "TOLVANE_MAIN": "CGI"}
        shell = {"TOLVANE_CLASS": "%TOLVANE_MAIN%"}
        batch = scripted()
        quotes = ('\\"', 'a\\\\"b', '""', '\\"\\', '" *', '"" *', "\\ * ?")
        # JDK 8's launcher misreads a backslash before * or ?.
        payloads = ([(p, refusal, c) for p in ("\\* ?", "a\\?") for c in ({}, batch)] +
                    [(p, refusal, batch) for p in bad] + [(p, None, batch) for p in good] +
                    [(p, None, {}) for p in bad + good + quotes] +
                    [(p, None, shell) for p in bad + quotes])
    else:
        payloads = [(p, None) for p in (
            "; touch C", "&& touch C", "| touch C", "& touch C", "$(touch C)", "`touch C`",
            "' ; touch C ; '", "'$(touch C)'", '"; touch C; "', "\ntouch C", "\rtouch C\n",
            "> C", ">> C", "< /etc/passwd", "*", "/*", "~", "$HOME", "${IFS}touch${IFS}C",
            "a b  c", "\\", "'", "''", "'\\''", "\\'", "!!", "#", "-cp /tmp", "%PATH%")]
    for p, want, *config in payloads:
        p = p.replace("C", native(canary))
        got = run({**get, **(config or [{}])[0], "PATH_INFO": p})
        check("hostile %r" % p, (got[0], got[3], os.path.exists(canary)),
              want or (0, ["CGI", p], False))

    if not WIN:
        # PATH_INFO is the program's last argument, exactly, or the request
        # is refused: no ending of the configuration (shell syntax, stray
        # quotes), no expansion that leaves no word, no line without a class
        # makes it a command, an option, the class or a source file.
        # configuration, the launcher's words before PATH_INFO (None: refused)
        configs = [
            ({"TOLVANE_CLASS": "CGI\n"}, ["CGI"]),
            ({"TOLVANE_CLASS": "CGI;"}, ["CGI"]),
            ({"TOLVANE_CLASS": "CGI #"}, ["CGI"]),
            ({"TOLVANE_CLASS": "CGI <<E"}, ["CGI"]),
            ({"TOLVANE_CLASS": "CGI \\"}, ["CGI", "\\"]),
            ({"TOLVANE_CLASS": "CGI &"}, None),
            ({"TOLVANE_CLASS": "CGI&&"}, None),
            ({"TOLVANE_CLASS": "CGI |"}, None),
            ({"TOLVANE_CLASS": "CGI|cat"}, None),
            ({"TOLVANE_CLASS": "CGI; exit 0"}, None),
            ({"TOLVANE_CLASS": "CGI'"}, None),
            ({"TOLVANE_CLASS": 'CGI"'}, None),
            ({"TOLVANE_CLASS": "CGI $(echo"}, None),
            ({"TOLVANE_CLASS": "CGI `echo"}, None),
            ({"TOLVANE_CLASS": "CGI ${x"}, None),
            ({"TOLVANE_CLASS": "-Xshare:auto ${APP_MAIN-}"}, None),
            ({"TOLVANE_CLASS": "-Xshare:auto $EMPTY", "EMPTY": ""}, None),
            ({"TOLVANE_CP": "$EMPTY", "EMPTY": ""}, None),
            ({"TOLVANE_CLASS": "$(echo -Da=1)"}, None),
            ({"TOLVANE_CLASS": "-Xshare:auto"}, None),
            ({"TOLVANE_CLASS": "-cp x"}, None),
            ({"TOLVANE_CLASS": "-jar"}, None),
            ({"TOLVANE_CLASS": "--module"}, None),
            ({"TOLVANE_CLASS": "--source 17"}, None),
            ({"TOLVANE_CLASS": "--add-modules x"}, None),
            ({"TOLVANE_CLASS": "-version"}, None),
            ({"TOLVANE_CLASS": "@/etc/app.args CGI"}, None),
            ({"TOLVANE_CLASS": "-jar app.jar"}, ["-jar", "app.jar"]),
            ({"TOLVANE_CLASS": "-m app/x.Main"}, ["-m", "app/x.Main"]),
            ({"TOLVANE_CLASS": "--module=app"}, ["--module=app"]),
            ({"TOLVANE_CLASS": "--source 17 /srv/App.java"}, ["--source", "17", "/srv/App.java"]),
            # The launcher splits a word that starts with --source and holds
            # a blank again at its blanks: -cp takes CGI, and PATH_INFO is
            # the source file it compiles and runs.
            ({"TOLVANE_CLASS": '"--source 17 -cp" CGI'}, None),
            ({"TOLVANE_CLASS": "--add-modules -x CGI"}, ["--add-modules", "-x", "CGI"]),
            ({"TOLVANE_CLASS": "-p mods --add-modules=a CGI"}, ["-p", "mods", "--add-modules=a", "CGI"]),
            # The launcher expands an argument file in an option's value too
            # (an empty one, or one ending in -cp, makes PATH_INFO the class);
            # "@@" is a plain "@".
            ({"TOLVANE_CP": "@/etc/app.cp"}, None),
            ({"TOLVANE_CLASS": "-m @/etc/app.module"}, None),
            ({"TOLVANE_CLASS": "--add-modules @/etc/app.modules CGI"}, None),
            ({"TOLVANE_CP": "@@lib"}, ["-cp", "@@lib", "CGI"]),
            # The launcher reads JDK_JAVA_OPTIONS ahead of its arguments: a
            # last option there takes the class as its value.
            ({"JDK_JAVA_OPTIONS": "-cp"}, None),
            ({"JDK_JAVA_OPTIONS": "-Xss1m --add-modules"}, None),
            ({"JDK_JAVA_OPTIONS": "@/etc/jdk.args"}, None),
            ({"JDK_JAVA_OPTIONS": "-Xss1m --add-opens java.base/java.lang=ALL-UNNAMED"}, ["CGI"]),
            # A command before the launcher (env, nice) is no class: the
            # words after the launcher must name one.
            ({"JAVA_HOME": "/usr/bin/env {jdk}", "TOLVANE_CLASS": "-Xshare:auto ${APP_MAIN-}"}, None),
            ({"JAVA_HOME": "/usr/bin/nice {jdk}", "TOLVANE_CLASS": "-Xshare:auto"}, None),
            ({"JAVA_HOME": "/usr/bin/env LC_ALL=C.UTF-8 {jdk}"}, ["CGI"]),
            # The expansion never sees what the server filled from the
            # request: a header's words would be the launcher's options.
            ({"TOLVANE_CLASS": "$HTTP_X CGI", "HTTP_X": "-cp /tmp"}, None),
            ({"TOLVANE_CLASS": '-Dua="$HTTP_USER_AGENT" CGI', "HTTP_USER_AGENT": "x"}, None),
            ({"TOLVANE_CLASS": "-Dh=${SERVER_NAME-none} CGI", "SERVER_NAME": "h"},
             ["-Dh=none", "CGI"]),
            ({"TOLVANE_CLASS": '-Dp="$SERVER_PORT" CGI', "SERVER_PORT": "80"}, ["-Dp=80", "CGI"]),
            # Apache's mod_ssl always sets SSL_TLS_SNI, the name the client
            # sent in its TLS hello (any bytes but NUL); its signature ends
            # in the Host header's name.
            ({"TOLVANE_CLASS": "$SSL_TLS_SNI CGI", "SSL_TLS_SNI": "-cp /tmp"}, None),
            ({"TOLVANE_CLASS": "-Dsig=$SERVER_SIGNATURE CGI",
              "SERVER_SIGNATURE": "<address>Apache Server at -jar Port 80</address>"}, None),
            # mod_include hands a CGI it includes the including page's path
            # info and query, decoded or raw; mod_ssl with SRP the user name
            # of the client's hello; lighttpd's mod_extforward the Host
            # header that the proxy's Forwarded host= replaced.
            ({"TOLVANE_CLASS": "-Dd=$DOCUMENT_PATH_INFO CGI", "DOCUMENT_PATH_INFO": "/x -cp /tmp"},
             None),
            ({"TOLVANE_CLASS": "-Dd=$DOCUMENT_ARGS CGI", "DOCUMENT_ARGS": "-jar+/*"}, None),
            ({"TOLVANE_CLASS": "$SSL_SRP_USER CGI", "SSL_SRP_USER": "-cp /tmp"}, None),
            ({"TOLVANE_CLASS": "-Dh=$_L_EXTFORWARD_ACTUAL_HOST CGI",
              "_L_EXTFORWARD_ACTUAL_HOST": "h -cp /tmp"}, None),
            # No POSIX server names a request's variable in lower case: an
            # http_proxy is the server's own, as it always was.
            ({"TOLVANE_CLASS": "-Dp=${http_proxy} CGI", "http_proxy": "http://proxy:3128"},
             ["-Dp=http://proxy:3128", "CGI"]),
        ]
        paths = ("/bin/sh", "/usr/bin/id", "/x.java", "-version", "/\n", ";id", "/;touch C",
                 "$(touch C)", "`touch C`", "\ntouch C", "'; touch C; '", "/x; touch C #")
        for config, words in configs:
            for p in paths:
                p = p.replace("C", canary)
                got = run({**get, **config, "PATH_INFO": p})
                check("PATH_INFO %r with %r" % (p, config), (got[0], got[3], os.path.exists(canary)),
                      (0, words + [p], False) if words else (1, None, False))
                if os.path.exists(canary):
                    os.remove(canary)

        # An expansion of more words than usual (empty ones, where IFS is
        # not a blank): the launcher gets them all or the request is
        # refused; the gateway neither hangs nor dies of it.
        many = 60000
        env = {**get, "PATH_INFO": "/p", "PATH": ROOT + "/path:/usr/bin:/bin",
               "TOLVANE_CLASS": "CGI; IFS=:; set -- java CGI $(printf %%%ds | tr ' ' :)" % many}
        log = tempfile.mkdtemp(dir=ROOT)
        try:
            p = subprocess.run([GATEWAY], env={**env, "FAKE_LOG": log}, capture_output=True,
                               timeout=30)
            got = (p.returncode, p.stdout)
        except subprocess.TimeoutExpired:
            got = ("no answer in 30 s", b"")
        args = recorded(log, "args")
        got += (args and args.split(b"\0")[:-1],)
        ran = got == (0, OK, [b"CGI"] + [b""] * many + [b"/p"])
        refused = got == (1, page(SERVER, "invalid environment variable to 'TOLVANE_CLASS'."), None)
        check("%d empty words" % many, ran or refused or (got[0], got[1][-200:]), True)

    # The log line: a client's URI, query or path can neither end it, nor
    # add a field, nor send a terminal its controls (ESC [ and U+009B, the
    # CSI of 8-bit controls); UTF-8 text stays readable.
    bad = page(SERVER, "undefined environment variable to 'QUERY_STRING'.")
    msg = b"tolvane: undefined environment variable to 'QUERY_STRING'. method=GET uri="
    long_uri = b"/" + b"u" * 100000
    rows = [
        # request variables, what the line gives for the URI
        ({"REQUEST_URI": b"/x\ntolvane: forged exit=0"}, b"/x\\x0atolvane:\\x20forged\\x20exit=0"),
        ({"REQUEST_URI": b"/\x1b[2J\xc2\x9b2J\xc2\x85\xc2\xa0caf\xc3\xa9\xe6\x97\xa5\\"},
         b"/\\x1b[2J\\xc2\\x9b2J\\xc2\\x85\xc2\xa0caf\xc3\xa9\xe6\x97\xa5\\x5c"),
        ({"SCRIPT_NAME": b"/app", "PATH_INFO": b"/p q\r"},
         b"/app/p\\x20q\\x0d"),
        ({"REQUEST_URI": long_uri}, long_uri),
        # Bytes outside UTF-8 (0x9B alone is an 8-bit terminal's CSI), and
        # what a decoder must not take for UTF-8 (overlong, surrogate).
        ({"REQUEST_URI": b"/\x9b2J\xff\xc3(\xc0\xaf\xed\xa0\x80\xf0\x9f\x98\x80"},
         b"/\\x9b2J\\xff\\xc3(\\xc0\\xaf\\xed\\xa0\\x80\xf0\x9f\x98\x80"),
        # IIS: PATH_INFO holds SCRIPT_NAME already. Elsewhere PATH_INFO is
        # the path after it, whatever it starts with; a path that only
        # starts with SCRIPT_NAME's text is another path.
        ({"SCRIPT_NAME": b"/cgi/t.exe", "PATH_INFO": b"/cgi/t.exe/cart",
          "SERVER_SOFTWARE": b"Microsoft-IIS/10.0"}, b"/cgi/t.exe/cart"),
        ({"SCRIPT_NAME": b"/app", "PATH_INFO": b"/app/x"}, b"/app/app/x"),
        ({"SCRIPT_NAME": b"/app", "PATH_INFO": b"/apple",
          "SERVER_SOFTWARE": b"Microsoft-IIS/10.0"}, b"/app/apple"),
    ]
    if WIN:
        # The server's UTF-16 reaches the log through the ANSI code page
        # (1252 here): a byte outside UTF-8 there is escaped, › (0x9B, an
        # 8-bit CSI) too.
        rows = [row for row in rows if not re.search(rb"[\x80-\xff]", b"".join(row[0].values()))]
        rows.append(({"REQUEST_URI": "/\x1b[2J\u203a2J caf\u00e9\\"},
                     b"/\\x1b[2J\\x9b2J\\x20caf\\xe9\\x5c"))
    for env, uri in rows:
        got = run({"REQUEST_METHOD": "GET", **env})
        check("log line of %.60r" % env, (got[0], got[1], said(got[2])),
              (1, bad, msg + uri + b" utc=T\n"))
    # The command line that a failure quotes holds PATH_INFO: its blanks
    # are escaped, so it cannot put fields ahead of the real ones.
    env = {**get, "FAKE_EXIT": "2", "REQUEST_URI": "/app/real",
           "PATH_INFO": "/x' method=GET uri=/forged exit=0 ms=1 '\u203a" if WIN else
           b"/x' method=GET uri=/forged exit=0 ms=1 '\x9b"}
    got = run(env)
    fields = said(got[2]).split(b" ")
    check("a forged log line", (said(got[2]), [f for f in fields if f.startswith(b"uri=")]),
          (logline(message(got[1]), env, "exit=2"), [b"uri=/app/real"]))

    # Random text: any bytes on POSIX; on Windows any ASCII without cmd.exe,
    # and through it what cmd.exe may get is delivered and one forbidden
    # character anywhere makes it refused.
    rng = random.Random(int(os.environ.get("SEED", "7")))
    forbidden = '"%!^&|<>()\t\n\x1f\x7f'
    safe = [chr(c) for c in range(0x20, 0x7f) if chr(c) not in forbidden]
    for _ in range(60 if WIN else 300):
        if WIN:
            p = "".join(rng.choice(safe) for _ in range(rng.randrange(1, 32))).encode()
            bad = bytearray(p)
            bad.insert(rng.randrange(len(p) + 1), ord(rng.choice(forbidden)))
            got = run({**get, **batch, "PATH_INFO": bytes(bad)})
            check("random %r" % bad, got[:2], (1, page(BAD, "unsafe environment variable to 'PATH_INFO'.")))
            got = run({**get, **shell, "PATH_INFO": bytes(bad)})
            check("random %r" % bad, (got[0], got[3]), (0, ["CGI", bad.decode()]))
            text = bytes(rng.randrange(1, 128) for _ in range(rng.randrange(1, 48)))
            got = run({**get, "PATH_INFO": text})
            check("random %r" % text, (got[0], got[3]), (0, ["CGI", text.decode()]))
        else:
            p = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 48)))
        got = run({**get, **(batch if WIN else {}), "PATH_INFO": p})
        check("random %r" % p, (got[0], got[3]), (0, ["CGI", p.decode("latin-1")]))


def streams():
    post = {"REQUEST_METHOD": "POST"}
    big = os.urandom(3 << 20)
    expect("body beyond the pipe buffer", {**post, "CONTENT_LENGTH": str(len(big))},
           big, 0, OK, ["CGI"], big)
    expect("launcher that does not read", {**post, "CONTENT_LENGTH": str(len(big)),
                                           "FAKE_NOREAD": "1"}, big, 0, OK, ["CGI"], None)
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    got = run(get, argv=["-x", "--help"])
    check("arguments are ignored", got[:2] + got[3:], (0, OK, ["CGI"], b"q"))

    # Pieces with pauses in between, then more than was announced while the
    # input stays open: the gateway must take exactly its bytes and go on.
    feeder = ("import sys,time\nfor piece in (b'hello ', b'wor', b'ld!', b'extra'):\n"
              "    sys.stdout.buffer.write(piece); sys.stdout.flush(); time.sleep(0.3)\n"
              "time.sleep(30)\n")
    # A server may hand the input down non-blocking, too.
    for blocking in (True,) if WIN else (True, False):
        src = subprocess.Popen([sys.executable, "-c", feeder], stdout=subprocess.PIPE)
        os.set_blocking(src.stdout.fileno(), blocking)
        start = time.monotonic()
        got = run({**post, "CONTENT_LENGTH": "12"}, stdin=src.stdout)
        check("body in pieces, input left open%s" % (", non-blocking" * (not blocking)),
              (got[0], got[4], time.monotonic() - start < 10), (0, b"hello world!", True))
        src.kill()
        src.wait()
    if not WIN:
        signals()


def signals():
    """Descriptors, signals and broken pipes: POSIX only."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    stray = os.pipe()
    got = run(get, pass_fds=stray)  # run() checks the launcher saw only 0, 1, 2
    check("stray descriptors", got[0], 0)
    got = run({**get, "QUERY_STRING": "crash"})
    check("launcher killed", got[:2], (1, page(SERVER, "exit failure to 'java CGI'.")))

    # What a server or a supervisor above it may hand down through exec.
    def limit(what, n):
        return lambda: resource.setrlimit(what, (n, n))
    stack = limit(resource.RLIMIT_STACK, 32 << 10)
    fds = limit(resource.RLIMIT_NOFILE, 3)
    quoted = {**get, "PATH_INFO": "/a'b", "FAKE_EXIT": "2"}
    inherited = [
        # label, set-up before exec, environment, output, SIGHUP of the launcher
        ("SIGCHLD ignored", ignoring(signal.SIGCHLD), get, OK, b"default"),
        ("SIGHUP ignored", ignoring(signal.SIGHUP), get, OK, b"ignored"),
        ("SIGTERM and SIGCHLD blocked", blocking(signal.SIGTERM, signal.SIGCHLD), get, OK,
         b"default"),
        ("32 KiB stack", stack, get, OK, b"default"),
        ("32 KiB stack, failing", stack, quoted,
         OK + page(SERVER, "exit failure to 'java CGI /a'b'."), b"default"),
        ("32 KiB stack, no method", stack, {}, page(SERVER, "undefined environment variable to "
                                                    "'REQUEST_METHOD'."), None),
        ("3 descriptors", fds, get,
         page(UNAVAILABLE, "cannot execute java command."), None),
    ]
    if SANITIZED:  # the sanitizers' runtime is loaded from files of its own
        inherited = [row for row in inherited if row[1] is not fds]
    for label, setup, env, out, hup in inherited:
        got = run(env, hup=hup, preexec_fn=setup)
        ran = "exit=2" if out.startswith(OK) else None
        check(label, (got[0], got[1], said(got[2])), (0, out, b"") if out == OK else
              (1, out, logline(message(out), env, ran)))

    # A server that gives up on a request signals the gateway: nothing that
    # the request started may outlive it, not even a launcher that ignores
    # SIGTERM.
    for word, limit, setup in (("sleep", None, None), ("stubborn", None, None),
                               ("stubborn", "60", None),
                               ("sleep", "60", blocking(signal.SIGTERM, signal.SIGCHLD))):
        log = tempfile.mkdtemp(dir=ROOT)
        env = {"REQUEST_METHOD": "GET", "QUERY_STRING": word, "FAKE_LOG": log,
               "PATH": ROOT + "/path:/usr/bin:/bin", **({"TOLVANE_TIMEOUT": limit} if limit else {})}
        gw = subprocess.Popen([GATEWAY], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                              preexec_fn=setup)
        pid = None
        for _ in range(100):
            try:
                pid = int(open(log + "/pid").read())
                break
            except (FileNotFoundError, ValueError):
                time.sleep(0.05)
        time.sleep(0.2)
        gw.terminate()
        start = time.monotonic()
        while pid and not gone(pid) and time.monotonic() - start < 10:
            time.sleep(0.05)
        check("SIGTERM, %s launcher, limit %s%s" % (word, limit, ", blocked" * bool(setup)),
              (gw.wait(5), pid is not None, time.monotonic() - start < 5, gw.stderr.read()),
              (-15, True, True, b""))

    # Standard output gone: closed outright, or a reader that has left.
    for label, prepare in (("closed", "exec >&-"), ("broken", "exec > >(true); sleep 0.2")):
        sh = subprocess.run(["bash", "-c", '%s; "$0"; echo $? >&2' % prepare, GATEWAY],
                            env={}, capture_output=True, timeout=30)
        check("standard output %s" % label, said(sh.stderr),
              logline("undefined environment variable to 'REQUEST_METHOD'.", {}) + b"1\n")

    # A standard output handed down non-blocking, its reader slow: the
    # program's response fills the pipe, and the page must wait its turn.
    for before, env, response, msg in (
            (b"y" * 65536, {}, b"", "undefined environment variable to 'REQUEST_METHOD'."),
            (b"", {**get, "FAKE_FILL": "65536", "FAKE_EXIT": "2"}, b"x" * 65536,
             "exit failure to 'java CGI'.")):
        r, w = os.pipe()
        os.set_blocking(w, False)
        os.write(w, before)  # what came before, held up in the pipe
        log = tempfile.mkdtemp(dir=ROOT)
        gw = subprocess.Popen([GATEWAY], stdout=w, stderr=subprocess.DEVNULL,
                              env={**env, "FAKE_LOG": log, "PATH": ROOT + "/path:/usr/bin:/bin"})
        os.close(w)
        time.sleep(1)
        with os.fdopen(r, "rb") as f:
            out = f.read()
        check("page behind %d bytes, non-blocking output" % len(before + response),
              (gw.wait(10), out), (1, before + response + page(SERVER, msg)))

    # The program's response, larger than the pipe, through the same
    # output: whole, as the launcher never sees it non-blocking.
    r, w = os.pipe()
    os.set_blocking(w, False)
    gw = subprocess.Popen([GATEWAY], stdout=w, stderr=subprocess.PIPE, env={
        **get, "FAKE_FILL": "300000", "FAKE_LOG": tempfile.mkdtemp(dir=ROOT),
        "PATH": ROOT + "/path:/usr/bin:/bin"})
    os.close(w)
    time.sleep(1)
    with os.fdopen(r, "rb") as f:
        out = f.read()
    check("a response beyond the pipe, non-blocking output",
          (gw.wait(10), out, gw.stderr.read()), (0, b"x" * 300000, b""))

    # A socket as standard output, non-blocking, its reader slow: no
    # description of its own can be opened for it, and the response must
    # still arrive whole, and the socket be given back as it came.
    ours, theirs = socket.socketpair()
    theirs.setblocking(False)
    gw = subprocess.Popen([GATEWAY], stdout=theirs, stderr=subprocess.PIPE, env={
        **get, "FAKE_FILL": "3000096", "FAKE_LOG": tempfile.mkdtemp(dir=ROOT),
        "PATH": ROOT + "/path:/usr/bin:/bin"})
    kept = os.dup(theirs.fileno())  # the description's flags, once it is over
    theirs.close()
    time.sleep(1)
    ours.settimeout(10)
    out = []
    try:  # the whole response, or what came before the writers gave up
        while sum(map(len, out)) < 3000096 and (piece := ours.recv(1 << 16)):
            out.append(piece)
    except TimeoutError:
        pass
    out = b"".join(out)
    check("a 3 MB response through a non-blocking socket",
          (gw.wait(10), len(out), out == b"x" * 3000096, gw.stderr.read(), os.get_blocking(kept)),
          (0, 3000096, True, b"", False))
    os.close(kept)
    ours.close()

    # A request that fails before or without a launcher gives the socket
    # back as it came too.
    for env in ({"JAVA_HOME": "/none"}, {"TOLVANE_CLASS": "$NONE"}, {"TOLVANE_CLASS": "-Xss1m"}):
        ours, theirs = socket.socketpair()
        theirs.setblocking(False)
        gw = subprocess.Popen([GATEWAY], stdout=theirs, stderr=subprocess.DEVNULL,
                              env={**get, **env, "PATH": ROOT + "/path:/usr/bin:/bin"})
        kept = os.dup(theirs.fileno())
        theirs.close()
        check("a non-blocking socket given back, %r" % env, (gw.wait(10), os.get_blocking(kept)),
              (1, False))
        os.close(kept)
        ours.close()

    # A pipe that cannot be opened anew (no descriptor left for it; a
    # server that made it as another user; no /proc) must still not reach
    # the launcher non-blocking: the response would arrive cut, as a
    # success.
    def another_user():
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
    setups = [] if SANITIZED else [  # the sanitizers' runtime needs descriptors of its own
        ("a descriptor limit of 5", lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (5, 5)))]
    if os.geteuid() == 0:
        setups.append(("another user's pipe", another_user))
    # A gateway and a launcher that another user can run: a checkout under
    # /root (a fresh machine's) is root's alone.
    home = tempfile.mkdtemp()
    os.makedirs(home + "/bin")
    shutil.copy(LAUNCHER, home + "/bin/java")
    shutil.copy(GATEWAY, home + "/tolvane")
    os.chmod(home, 0o755)
    for label, setup in setups:
        r, w = os.pipe()
        os.set_blocking(w, False)
        gw = subprocess.Popen([home + "/tolvane"], stdout=w, stderr=subprocess.PIPE, preexec_fn=setup,
                              env={**get, "FAKE_FILL": "300000", "JAVA_HOME": home})
        os.close(w)
        time.sleep(1)
        with os.fdopen(r, "rb") as f:
            out = f.read()
        check("a response beyond the pipe, non-blocking output, %s" % label,
              (gw.wait(10), len(out), gw.stderr.read()), (0, 300000, b""))
    shutil.rmtree(home)

    # The same for standard error, the server's log: the line waits its turn,
    # the shell's reason for a launcher not run too.
    for env, lines in (({}, [logline("undefined environment variable to 'REQUEST_METHOD'.", {})]),
                       ({**get, "JAVA_HOME": "/none"},
                        [b"tolvane: /none/bin/java: not found\n",
                         logline("exit failure to '/none/bin/java CGI'.", get, "")])):
        r, w = os.pipe()
        os.set_blocking(w, False)
        before = 0
        try:
            while True:
                before += os.write(w, b"y" * 1024)
        except BlockingIOError:
            pass
        gw = subprocess.Popen([GATEWAY], stdout=subprocess.DEVNULL, stderr=w,
                              env={**env, "PATH": ROOT + "/path:/usr/bin:/bin"})
        os.close(w)
        time.sleep(1)
        with os.fdopen(r, "rb") as f:
            err = f.read()[before:]
        check("log line behind a full non-blocking standard error, %r" % env,
              (gw.wait(10), said(err)), (1, b"".join(lines)))

    # An environment too large for exec: the same failure with or without
    # the shell. The gateway itself starts under the usual stack limit;
    # the launcher's exec meets a lowered one.
    bulk = {"BULK%d" % i: "b" * 100000 for i in range(2)}
    for env, name in (({}, "{jdk}/bin/java"), ({"TOLVANE_CP": "$X"}, "/bin/sh")):
        env = {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": "1", "JAVA_HOME": "{jdk}", **env}
        line = fill("{jdk}/bin/java%s CGI" % (" -cp $X" if "TOLVANE_CP" in env else ""))
        full = {**{k: fill(v) for k, v in env.items()}, **bulk, "PATH": ROOT + "/path:/usr/bin:/bin",
                "FAKE_LOG": tempfile.mkdtemp(dir=ROOT)}
        gw = subprocess.Popen([GATEWAY], env=full, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE)
        # Once its own exec is over: an exec in progress writes back the
        # limit it started with. The gateway waits for its body meanwhile.
        time.sleep(0.2)
        resource.prlimit(gw.pid, resource.RLIMIT_STACK, (512 << 10, 512 << 10))  # exec: 128 KiB
        out, err = gw.communicate(b"x", timeout=30)
        failure = page(SERVER, "exit failure to '%s'." % line)
        check("environment too large for exec, %s" % name, (gw.returncode, out, said(err)),
              (1, failure, ("tolvane: %s: Argument list too long\n" % fill(name)).encode() +
               logline(message(failure), env, "")))

    # A gateway killed outright takes its program with it, even one that
    # ignores SIGTERM.
    log = tempfile.mkdtemp(dir=ROOT)
    gw = subprocess.Popen([GATEWAY], stdout=subprocess.DEVNULL, env={
        **get, "QUERY_STRING": "stubborn", "FAKE_LOG": log, "PATH": ROOT + "/path:/usr/bin:/bin"})
    for _ in range(100):
        if os.path.exists(log + "/sigmask"):
            break
        time.sleep(0.05)
    pid = int(open(log + "/pid").read())
    time.sleep(0.2)
    gw.kill()
    check("SIGKILL, stubborn launcher", (gw.wait(5), all_gone([pid], within=1)), (-9, True))


    # The group's number is the launcher's pid, free once it is reaped: a
    # signal that comes later (lighttpd's after the response, while the
    # page waits for a slow reader) must not reach a group that took the
    # number. A pid namespace of our own lets the test hand it over.
    # (A chroot, such as a fresh root, may not let us make one: then skip.)
    if os.geteuid() == 0 and shutil.which("unshare") and subprocess.run(
            ["unshare", "-pf", "--mount-proc", "true"], capture_output=True).returncode == 0:
        probe = r"""
import os, signal, sys, time
gateway, log = sys.argv[1:3]
r, w = os.pipe()
os.write(w, b"y" * (65536 - 100))  # room for the program's answer, not for the page
gw = os.fork()
if gw == 0:
    os.dup2(w, 1)
    os.execve(gateway, [gateway], {"REQUEST_METHOD": "GET", "QUERY_STRING": "q",
              "FAKE_EXIT": "2", "FAKE_LOG": log, "PATH": os.environ["PATH"]})
while not os.path.exists(log + "/pid"):
    time.sleep(0.05)
launcher = int(open(log + "/pid").read())
while os.path.exists("/proc/%d" % launcher):
    time.sleep(0.05)
with open("/proc/sys/kernel/ns_last_pid", "w") as f:
    f.write(str(launcher - 1))
stranger = os.fork()
if stranger == 0:
    os.setpgid(0, 0)
    time.sleep(30)
    os._exit(0)
time.sleep(0.2)
os.kill(gw, signal.SIGTERM)
time.sleep(0.5)
print(stranger == launcher, os.waitpid(stranger, os.WNOHANG)[0] == 0)
"""
        log = tempfile.mkdtemp(dir=ROOT)
        p = subprocess.run(["unshare", "-pf", "--mount-proc", sys.executable, "-c", probe,
                            os.path.abspath(GATEWAY), log], capture_output=True, timeout=30,
                           env={"PATH": ROOT + "/path:/usr/bin:/bin"})
        check("a stranger's group with the number of the launcher's", p.stdout or p.stderr[-400:], b"True True\n")


def windows():
    """What the launcher's own reading of its line, cmd.exe, the code page
    and the job make different on Windows."""
    get, post = {"REQUEST_METHOD": "GET"}, {"REQUEST_METHOD": "POST"}
    unsafe = page(BAD, "unsafe environment variable to 'PATH_INFO'.")
    # A configuration in cmd.exe's syntax, which the gateway expands; a
    # java.cmd first on PATH, which cmd.exe runs.
    shell = {"TOLVANE_CLASS": "%TOLVANE_MAIN%", "TOLVANE_MAIN": "CGI"}
    batch = scripted()
    rows = [
        # environment, standard input, status, output, launcher args, its input
        # Bytes both ways: no line end changed, no 0x1A taken for the end,
        # and not one byte taken past the body.
        ({**post, "CONTENT_LENGTH": "4"}, b"a\r\nb", 0, OK, ["CGI"], b"a\r\nb"),
        ({**post, "CONTENT_LENGTH": "3"}, b"a\r\nb", 0, OK, ["CGI"], b"a\r\n"),
        ({**post, "CONTENT_LENGTH": "4"}, b"ab\r\n", 0, OK, ["CGI"], b"ab\r\n"),
        ({**post, "CONTENT_LENGTH": "3"}, b"ab\n", 0, OK, ["CGI"], b"ab\n"),
        ({**post, "CONTENT_LENGTH": "3"}, b"ab\r", 0, OK, ["CGI"], b"ab\r"),
        ({**post, "CONTENT_LENGTH": "3"}, b"a\x1ab", 0, OK, ["CGI"], b"a\x1ab"),
        ({**post, "CONTENT_LENGTH": "2"}, b"a\x1a", 0, OK, ["CGI"], b"a\x1a"),
        ({**post, "CONTENT_LENGTH": "8"}, b'{\n"a":1}', 0, OK, ["CGI"], b'{\n"a":1}'),
        ({**post, "CONTENT_LENGTH": "4"}, b"a\r\nbEXTRA", 0, OK, ["CGI"], b"a\r\nb"),
        ({**post, "CONTENT_LENGTH": "6"}, b"\0\r\n\x1a\n\r", 0, OK, ["CGI"], b"\0\r\n\x1a\n\r"),
        ({**post, **batch, "CONTENT_LENGTH": "6"}, b"a\r\n\x1ab\nEXTRA", 0, OK, ["CGI"],
         b"a\r\n\x1ab\n"),
        ({**post, "CONTENT_LENGTH": "5"}, b"a\r\nb", 1, page(BAD, "cannot read stdin."), None, None),
        ({**get, "QUERY_STRING": "a\nb"}, b"", 0, OK, ["CGI"], b"a\nb"),
        ({"request_method": "GET", "query_string": "q", "path_info": "/p"}, b"", 0, OK,
         ["CGI", "/p"], b"q"),
        # Bodies of every method, as a POST's.
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "4"}, b"a\r\nb", 0, OK, ["CGI"], b"a\r\nb"),
        ({"REQUEST_METHOD": "PATCH", **batch, "CONTENT_LENGTH": "3"}, b"a\x1ab", 0, OK, ["CGI"],
         b"a\x1ab"),
        ({"REQUEST_METHOD": "DELETE", "CONTENT_LENGTH": " 2 "}, b"ab", 0, OK, ["CGI"], b"ab"),
        ({"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "0x3"}, b"abc", 1,
         page(BAD, "cannot read stdin."), None, None),
        # Through cmd.exe its syntax in PATH_INFO is refused; without it,
        # the configuration's %NAME% expanded by the gateway, it is one
        # argument (see hostile()).
        ({**get, **batch, "QUERY_STRING": "", "PATH_INFO": "/<b>&amp;</b>"}, b"", 1, unsafe,
         None, None),
        ({**get, **batch, "QUERY_STRING": "", "PATH_INFO": "/100%s%n%%"}, b"", 1, unsafe,
         None, None),
        ({**get, **batch, "QUERY_STRING": "", "PATH_INFO": "/a(1)"}, b"", 1, unsafe, None, None),
        ({**get, **batch, "QUERY_STRING": "", "PATH_INFO": "/a b\\"}, b"", 0, OK,
         ["CGI", "/a b\\"], b""),
        ({**get, **shell, "QUERY_STRING": "", "PATH_INFO": "/<b>&amp;</b>"}, b"", 0, OK,
         ["CGI", "/<b>&amp;</b>"], b""),
        ({**get, **shell, "QUERY_STRING": "", "PATH_INFO": "/100%s%n%%"}, b"", 0, OK,
         ["CGI", "/100%s%n%%"], b""),
        # A JDK 8 launcher that keeps its count of backslashes across * and ?
        # reads a quote after them otherwise: the quoting ends inside
        # PATH_INFO, and the rest is more arguments, * expanded to the
        # working directory's files. The gateway cannot tell which JDK it
        # starts: a backslash run before * or ? is refused.
        ({**get, "FAKE_JDK8": "1", "QUERY_STRING": "", "PATH_INFO": '/x\\*" *'}, b"", 1, unsafe,
         None, None),
        ({**get, "FAKE_JDK8": "1", "QUERY_STRING": "", "PATH_INFO": "/x\\?\\"}, b"", 1, unsafe,
         None, None),
        ({**get, "FAKE_JDK8": "1", "QUERY_STRING": "", "PATH_INFO": '/x*\\" *'}, b"", 0, OK,
         ["CGI", '/x*\\" *'], b""),
    ]
    bad = "/．．／"  # best fit would make it /../
    rows += [
        # Refused where it is used, and in the order it is used.
        ({**get, "QUERY_STRING": bad, "PATH_INFO": bad}, b"", 1,
         page(BAD, "unsafe environment variable to 'QUERY_STRING'."), None, None),
        ({**post, "CONTENT_LENGTH": "1", "QUERY_STRING": bad}, b"x", 0, OK, ["CGI"], b"x"),
        ({**get, "QUERY_STRING": "", "PATH_INFO": "/x" * 2046 + bad}, b"", 1,
         page(URI, "command line too long."), None, None),
        ({**get, "QUERY_STRING": "", "PATH_INFO": bad}, b"", 1, unsafe, None, None),
        # Longer than GetEnvironmentVariableW reports, and still checked.
        ({**get, "QUERY_STRING": "q" * 40000}, b"", 0, OK, ["CGI"], b"q" * 40000),
        ({**get, "QUERY_STRING": "q" * 40000 + bad}, b"", 1,
         page(BAD, "unsafe environment variable to 'QUERY_STRING'."), None, None),
    ]
    for env, stdin, status, out, args, data in rows:
        expect("windows %.200r" % env, env, stdin, status, out, args, data)
    launcher_rules()
    code_page()
    arguments(shell, batch)
    expansion(batch)
    code_page_932(batch)
    code_page_65001()
    site(shell, batch)
    share(batch)
    job(batch)


def scripted():
    """The environment that puts a java.cmd first on PATH, which only
    cmd.exe can run; it runs the stand-in with its arguments."""
    folder = ROOT + "/scripted"
    if not os.path.exists(folder):
        os.makedirs(folder)
        with open(folder + "/java.cmd", "w") as f:
            f.write('@"%s" %%*\r\n' % native(ROOT + "/path/java.exe").replace("/", "\\"))
    return {"WINEPATH": native(folder) + ";" + native(ROOT + "/path")}


def wide(log, name):
    """What the stand-in recorded in UTF-16, or None."""
    data = recorded(log, name)
    return None if data is None else data.decode("utf-16-le")


def launcher_rules():
    """The stand-in splits its line as the JDK's launcher does: the cases
    the JDK's own test of its cmdtoargs.c writes down, and its expansion of
    * and ? outside quotes in the program's arguments (here after CGI), in
    a folder that holds abcXdef and x.abc."""
    folder = ROOT + "/wild"
    os.makedirs(folder)
    for name in ("abcXdef", "x.abc"):
        open(os.path.join(folder, name), "w").close()
    rows = [
        # the line after "java CGI", the program's arguments
        ("abcd", ["abcd"]),
        ('"a b c d"', ["a b c d"]),
        ('a"b c d"e', ["ab c de"]),
        (r'ab\"cd', ['ab"cd']),
        (r'"a b c d\\"', ["a b c d\\"]),
        (r'ab\\\"cd', ['ab\\"cd']),
        (r"a\\\c", [r"a\\\c"]),
        (r'"a\\\d"', [r"a\\\d"]),
        ('"a b c" d e', ["a b c", "d", "e"]),
        (r'"ab\"c"  "\\"  d', ['ab"c', "\\", "d"]),
        (r'a\\\c d"e f"g h', [r"a\\\c", "de fg", "h"]),
        (r'a\\\"b c d', [r'a\"b', "c", "d"]),
        (r'a\\\\"g c" d e', [r"a\\g c", "d", "e"]),
        ('"a b c""', ['a b c"']),
        ('""a b c""', ["a", "b", "c"]),
        ('"""a b c"""', ['"a b c"']),
        ('""""a b c""""', ['"a', "b", 'c"']),
        ('"""""a b c"""""', ['""a b c""']),
        (r'"C:\TEST A\\"', ["C:\\TEST A\\"]),
        (r'""C:\TEST A\\""', ["C:\\TEST", "A\\"]),
        ("abc*def", ["abcXdef"]),
        ('"abc*def"', ["abc*def"]),
        ("*.abc", ["x.abc"]),
        ('"*.abc"', ["*.abc"]),
        ("x.???", ["x.abc"]),
        ('"x.???"', ["x.???"]),
        ('a"bc*de"f', ["abc*def"]),
        ("nomatch*", ["nomatch*"]),
        (r"Z:\none\*", [r"Z:\none\*"]),
    ]
    for line, args in rows:
        log = tempfile.mkdtemp(dir=ROOT)
        p = subprocess.run(["wine", LAUNCHER], capture_output=True, cwd=folder, timeout=60, env={
            "FAKE_CMDLINE": "java CGI " + line, "FAKE_NOREAD": "1", "FAKE_LOG": log, "LC_ALL": "C.UTF-8",
            **{k: os.environ[k] for k in os.environ if k.startswith("WINE")}})
        check("the launcher's split of %r" % line, (p.returncode, recorded(log, "args")),
              (0, "".join(a + "\0" for a in ["CGI"] + args).encode()))
    # Wildcards after the class only, in the configuration's words too.
    log = tempfile.mkdtemp(dir=ROOT)
    subprocess.run(["wine", LAUNCHER], capture_output=True, cwd=folder, timeout=60, env={
        "FAKE_CMDLINE": "java -cp * x.??? *.abc", "FAKE_NOREAD": "1", "FAKE_LOG": log,
        **{k: os.environ[k] for k in os.environ if k.startswith("WINE")}})
    check("the launcher's wildcards, after the class", recorded(log, "args"),
          b"-cp\0*\0x.???\0x.abc\0")
    # FAKE_JDK8: the launcher of JDK 8 updates whose next_arg keeps the count
    # of backslashes across a * or ?, which the next run of them adds to.
    for line, args in (('"a\\*\\"b c"', ["a\\*\\b", "c"]),
                       ('"a\\?\\\\b"', ["a\\?\\\\\\b"]),
                       ('"a\\*b\\" c"', ['a\\*b" c'])):
        log = tempfile.mkdtemp(dir=ROOT)
        p = subprocess.run(["wine", LAUNCHER], capture_output=True, cwd=folder, timeout=60, env={
            "FAKE_CMDLINE": "java CGI " + line, "FAKE_NOREAD": "1", "FAKE_LOG": log, "FAKE_JDK8": "1",
            "LC_ALL": "C.UTF-8", **{k: os.environ[k] for k in os.environ if k.startswith("WINE")}})
        check("the JDK 8 launcher's split of %r" % line, (p.returncode, recorded(log, "args")),
              (0, "".join(a + "\0" for a in ["CGI"] + args).encode()))


def code_page():
    """The server sets the environment in UTF-16; the launcher reads its
    line in the ANSI code page, 1252 under wine here. PATH_INFO that the
    code page holds reaches the program exactly; any other is refused, never
    handed on as a look-alike or a '?', which could be a quote and put * or
    a file of the site's in the program's arguments. A QUERY_STRING the code
    page lacks is refused too."""
    rows = [
        # text the server set, whether the code page holds it
        ("/café/Ñandú/über", True),
        ("/price/€", True),  # 0x80 in 1252, not in Latin-1
        ("\u00adcp", True),  # a soft hyphen stays one (0xAD), not a dash
        ("/a\u203ab", True),  # › is 0x9B, an 8-bit CSI in the log
        ("/．．／secret", False),
        ("/a＼b", False),
        ("/＂x", False),
        ("/x＂ C:/windows/*", False),  # best fit: "/x" C:/windows/*"
        ("/＂ *＂", False),
        ("/100％", False),
        ("/中文", False),
        ("/café/中", False),
        ("/😀", False),  # a surrogate pair
        ("/e\u0301", False),  # a combining accent the code page lacks
    ]
    get = {"REQUEST_METHOD": "GET"}
    unsafe = page(BAD, "unsafe environment variable to 'PATH_INFO'.")
    for text, held in rows:
        ansi = text.encode("cp1252") if held else b""
        for var, env, want in (
                # status, output, Java's args, input, UTF-16 command line, code page
                ("PATH_INFO", {**get, "QUERY_STRING": "q", "PATH_INFO": text},
                 (0, OK, "CGI\0%s\0" % text, b"q", 'java CGI "%s"' % text, b"1252") if held else
                 (1, unsafe, None, None, None, None)),
                ("QUERY_STRING", {**get, "QUERY_STRING": text},
                 (0, OK, "CGI\0", ansi, "java CGI", b"1252") if held else
                 (1, page(BAD, "unsafe environment variable to 'QUERY_STRING'."), None, None,
                  None, None))):
            log = tempfile.mkdtemp(dir=ROOT)
            got = run(env, log=log)
            check("code page %s=%r" % (var, text), (got[0], got[1], wide(log, "wargs"), got[4],
                  wide(log, "cmdline"), recorded(log, "acp")), want)
            if want[0] == 0:
                check("code page %s=%r (stderr)" % (var, text), got[2], b"")
            if held and var == "PATH_INFO":
                check("code page %s=%r, narrow" % (var, text), got[3], ["CGI", ansi.decode("latin-1")])


def arguments(shell, batch):
    """What the launcher is given, with and without cmd.exe, as it reads it
    back from its line."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    jdk17 = ROOT + "/Program Files (x86)/Java/jdk-17"
    os.makedirs(jdk17 + "/bin")
    shutil.copy(LAUNCHER, jdk17 + "/bin/java.exe")
    os.makedirs(ROOT + "/empty")
    os.makedirs(ROOT + "/here")
    with open(ROOT + "/here/java.exe", "wb") as f:
        f.write(b"not a program")
    ascii = "".join(map(chr, range(0x20, 0x7f)))
    home = {"JAVA_HOME": native(jdk17)}
    direct, cmd = "tolvane.exe", "cmd.exe"
    wild = native(ROOT + "/wild/").replace("/", "\\")
    rows = [
        # environment, the program's args, its parent, its command line
        ({"PATH_INFO": "/a b  c"}, ["CGI", "/a b  c"], direct, 'java CGI "/a b  c"'),
        ({"PATH_INFO": ascii}, ["CGI", ascii], direct, None),
        ({"PATH_INFO": ascii, "TOLVANE_CP": "a b.jar;c(1).jar"},
         ["-cp", "a", "b.jar;c(1).jar", "CGI", ascii], direct, None),
        ({"PATH_INFO": 'a\\\\"b\\'}, ["CGI", 'a\\\\"b\\'], direct, 'java CGI "a\\\\\\\\\\"b\\\\"'),
        ({"PATH_INFO": '\\"\\'}, ["CGI", '\\"\\'], direct, None),
        ({"PATH_INFO": '""'}, ["CGI", '""'], direct, 'java CGI "\\"\\""'),
        # * and ? in PATH_INFO are quoted, and the launcher expands them
        # not; in the configuration's words after the class it does.
        ({"PATH_INFO": wild + "x*"}, ["CGI", wild + "x*"], direct, None),
        ({"PATH_INFO": wild + "x.???"}, ["CGI", wild + "x.???"], direct, None),
        ({"PATH_INFO": '/" ' + wild + 'x*'}, ["CGI", '/" ' + wild + "x*"], direct, None),
        ({"TOLVANE_CLASS": "CGI " + wild + "x.???", "PATH_INFO": wild + "x.???"},
         ["CGI", wild + "x.abc", wild + "x.???"], direct, None),
        ({**shell, "PATH_INFO": "/a\\"}, ["CGI", "/a\\"], direct, None),
        ({**batch, "PATH_INFO": "/a\\"}, ["CGI", "/a\\"], cmd, None),
        ({**batch, "PATH_INFO": "/a b*?"}, ["CGI", "/a b*?"], cmd, None),
        # JAVA_HOME where the installers put it: one path, blanks and all.
        ({**home, "PATH_INFO": "/p"}, ["CGI", "/p"], direct, '"%s/bin/java" CGI "/p"' % native(jdk17)),
        ({**home, **shell, "TOLVANE_CP": "a b.jar", "PATH_INFO": "/p"},
         ["-cp", "a", "b.jar", "CGI", "/p"], direct, None),
        ({**home, "TOLVANE_CP": '"a b.jar"', "PATH_INFO": "/p"},
         ["-cp", "a b.jar", "CGI", "/p"], direct, None),
        # A tab is a blank to the launcher.
        ({"TOLVANE_CP": "a\tb"}, ["-cp", "a", "b", "CGI"], direct, None),
        # java as cmd.exe finds it along PATH: a java.cmd first is run by
        # cmd.exe. The working directory, which holds a java.exe that does
        # not run, is not searched, with cmd.exe or without.
        ({**batch, "PATH_INFO": "/p"}, ["CGI", "/p"], cmd, None),
        ({**batch, "TOLVANE_CLASS": "%TOLVANE_MAIN% x", "TOLVANE_MAIN": "CGI", "PATH_INFO": "/p"},
         ["CGI", "x", "/p"], cmd, None),
    ]
    for env, args, parent, line in rows:
        log = tempfile.mkdtemp(dir=ROOT)
        got = run({**get, **env}, log=log, cwd=ROOT + "/here")
        check("arguments %r" % env, (got[0], got[1], got[4], wide(log, "wargs"),
                                     recorded(log, "parent")),
              (0, OK, b"q", "".join(a + "\0" for a in args), parent.encode()))
        if line:
            check("command line of %r" % env, wide(log, "cmdline"), line)
    # Missing, whichever way it is looked for: as cmd.exe's failure. One in
    # the working directory is not run.
    for env, line in (({"WINEPATH": native(ROOT + "/empty")}, "java CGI"),
                      ({"WINEPATH": native(ROOT + "/empty"), **shell}, "java %TOLVANE_MAIN%"),
                      ({"JAVA_HOME": native(ROOT + "/empty"), "PATH_INFO": "/p"},
                       native(ROOT + "/empty") + "/bin/java CGI /p")):
        got = run({**get, **env}, cwd=ROOT + "/path")
        check("missing launcher %r" % env, (got[0], got[1], got[3]),
              (1, page(SERVER, "exit failure to '%s'." % line), None))


def expansion(batch):
    """The configuration's %NAME%, expanded by the gateway as cmd.exe
    expands a command line, and split as the launcher splits it: whatever
    the expansion makes, PATH_INFO is the program's last argument or the
    request is refused, before anything starts."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    rows = [
        # configuration, the launcher's words before PATH_INFO (None: refused)
        ({"TOLVANE_CLASS": "%M%", "M": "CGI"}, ["CGI"]),
        ({"TOLVANE_CLASS": "%m%", "M": "CGI"}, ["CGI"]),
        ({"TOLVANE_CP": "%APP%\\lib\\a.jar", "APP": "C:\\App"}, ["-cp", "C:\\App\\lib\\a.jar", "CGI"]),
        ({"TOLVANE_CP": '"%APP%\\a b.jar"', "APP": "C:\\My App"}, ["-cp", "C:\\My App\\a b.jar", "CGI"]),
        ({"TOLVANE_CLASS": '-Da="x  y" %M%', "M": "CGI"}, ["-Da=x  y", "CGI"]),
        ({"TOLVANE_CLASS": "%M%", "M": "-Da=1 CGI"}, ["-Da=1", "CGI"]),
        # A name of none stays as it stands, as cmd.exe leaves it: a class
        # that loads nothing, and PATH_INFO stays the program's.
        ({"TOLVANE_CLASS": "-Xshare:auto %APP_MAIN%"}, ["-Xshare:auto", "%APP_MAIN%"]),
        ({"TOLVANE_CLASS": "%A %B% C%", "B": "x"}, ["%A", "x", "C%"]),
        ({"TOLVANE_CLASS": "%%M%%", "M": "CGI"}, ["%CGI%"]),
        ({"TOLVANE_CLASS": "100% CGI"}, ["100%", "CGI"]),
        ({"TOLVANE_CLASS": "CGI !M!", "M": "x"}, ["CGI", "!M!"]),
        # Expansions that leave no class.
        ({"TOLVANE_CLASS": "-Xshare:auto %EMPTY%", "EMPTY": ""}, None),
        ({"TOLVANE_CLASS": "%BLANK%", "BLANK": " \t "}, None),
        ({"TOLVANE_CLASS": "-Xss1m %OPTS%", "OPTS": "-Da=1"}, None),
        ({"TOLVANE_CLASS": "%M%", "M": "-cp x"}, None),
        ({"TOLVANE_CLASS": "%M%", "M": "@app.args"}, None),
        # What cmd.exe would make otherwise than the gateway can.
        ({"TOLVANE_CLASS": "%M:~0,3%", "M": "CGIX"}, None),
        ({"TOLVANE_CLASS": "%M:X=%", "M": "CGIX"}, None),
        ({"TOLVANE_CP": "%CD%\\classes"}, None),
        ({"TOLVANE_CLASS": "%M%", "M": "CGI & calc"}, None),
        ({"TOLVANE_CLASS": "%M%", "M": "CGI ^"}, None),
        ({"TOLVANE_CLASS": "CGI >NUL"}, None),
        ({"TOLVANE_CLASS": "CGI | more"}, None),
        ({"TOLVANE_CLASS": "CGI 2>&1"}, None),
        ({"TOLVANE_CLASS": "CGI\n"}, None),
        ({"TOLVANE_CLASS": "CGI\r"}, None),
        # A client's text never reaches the configuration: a quote (or a
        # look-alike of one) would end the quoting the configuration put
        # around it, and the words after it are the client's, a source file
        # to run or a class path. Set or not, in any case.
        ({"TOLVANE_CLASS": "-Dua=%HTTP_USER_AGENT% CGI", "HTTP_USER_AGENT": "x＂ *"}, None),
        ({"TOLVANE_CLASS": '-Dua="%HTTP_USER_AGENT%" CGI', "HTTP_USER_AGENT": "x y"}, None),
        ({"TOLVANE_CLASS": '-Dua="%http_user_agent%" CGI', "HTTP_USER_AGENT": "x y"}, None),
        ({"TOLVANE_CLASS": '-Dx="%HTTP_X_NONE%" CGI'}, None),
        ({"TOLVANE_CLASS": '-Dq="%QUERY_STRING%" CGI'}, None),
        ({"TOLVANE_CLASS": '-Dh="%SERVER_NAME%" CGI', "SERVER_NAME": "h"}, None),
        ({"TOLVANE_CLASS": '-Dh="%SERVER_PORT%" CGI', "SERVER_PORT": "80"}, ["-Dh=80", "CGI"]),
        ({"TOLVANE_CLASS": '-Ds="%SSL_TLS_SNI%" CGI', "SSL_TLS_SNI": 'x" /x.java "'}, None),
        ({"TOLVANE_CLASS": '-Ds="%ssl_tls_sni%" CGI', "SSL_TLS_SNI": "x"}, None),
        ({"TOLVANE_CLASS": '-Ds="%SERVER_SIGNATURE%" CGI', "SERVER_SIGNATURE": "x"}, None),
        # IIS's own: the Basic password, the path, a raw header.
        ({"TOLVANE_CLASS": '-Dp="%AUTH_PASSWORD%" CGI', "AUTH_PASSWORD": 'x" /x.java "'}, None),
        ({"TOLVANE_CLASS": '-Du="%url%" CGI', "URL": "/x"}, None),
        ({"TOLVANE_CLASS": '-Dh="%HEADER_X%" CGI', "HEADER_X": "x"}, None),
        # A name with '=' names none: Windows' runtime would find it at the
        # start of the Host header's text and give the rest.
        ({"TOLVANE_CLASS": '-Dh="%SERVER_NAME=a%" CGI', "SERVER_NAME": 'a=x" -cp C:\\x "'},
         ["-Dh=%SERVER_NAME=a%", "CGI"]),
        ({"TOLVANE_CLASS": "%M=a%", "M": "a=-cp x CGI"}, ["%M=a%"]),
        ({"TOLVANE_CLASS": '-Dua="%HTTP_USER_AGENT%" CGI', "HTTP_USER_AGENT": 'x" /x.java "'}, None),
        ({"TOLVANE_CLASS": '-Dua="%HTTP_USER_AGENT%" CGI',
          "HTTP_USER_AGENT": 'x" -cp C:\\uploads -Dy="'}, None),
        # Words as the launcher reads them, quotes and backslashes and all.
        ({"TOLVANE_CLASS": '"-cp" x'}, None),
        ({"TOLVANE_CLASS": '""-cp"" x'}, None),
        ({"TOLVANE_CLASS": '-c"p" x'}, None),
        ({"TOLVANE_CLASS": '"-Da=1 CGI"'}, None),
        ({"TOLVANE_CLASS": '"""-cp""" x'}, ['"-cp"', "x"]),
        ({"TOLVANE_CLASS": r'\"-cp\" x'}, ['"-cp"', "x"]),
        ({"TOLVANE_CLASS": r'\\"-cp\\" x'}, ["\\-cp\\", "x"]),
        ({"TOLVANE_CLASS": r'\\\"-cp x'}, ['\\"-cp', "x"]),
        ({"TOLVANE_CLASS": r'-cp\ x'}, ["-cp\\", "x"]),
        # The launcher splits a word that starts with --source and holds a
        # blank again at its blanks (a script's #! line passes its options
        # so): -cp takes CGI, and PATH_INFO is the source file it runs.
        ({"TOLVANE_CLASS": '"--source 17 -cp" CGI'}, None),
        # A quote the configuration leaves open would take PATH_INFO in.
        ({"TOLVANE_CLASS": 'CGI "'}, None),
        ({"TOLVANE_CLASS": '%M% "x', "M": "CGI"}, None),
    ]
    invalid = page(SERVER, "invalid environment variable to 'TOLVANE_CLASS'.")
    for config, words in rows:
        for path in ("/x.java", '/a b" *', "-version")[:3 if words else 2]:
            got = run({**get, **config, "PATH_INFO": path})
            check("%%NAME%% in %r, PATH_INFO %r" % (config, path), got[:2] + got[3:4],
                  (0, OK, words + [path]) if words else (1, invalid, None))
    # A quote left open takes nothing in where no PATH_INFO follows.
    for config in ({"TOLVANE_CLASS": 'CGI "'}, {"TOLVANE_CLASS": '%M% "x', "M": "CGI"}):
        got = run({**get, **config})
        check("%%NAME%% in %r, no PATH_INFO" % config, got[0], 0)
    # Through cmd.exe, what it would read again is refused, and the same
    # words reach the launcher.
    for config, words in (({"TOLVANE_CLASS": "%M%", "M": "CGI"}, ["CGI"]),
                          ({"TOLVANE_CLASS": "%M%", "M": "CGI %PATH%"}, None),
                          ({"TOLVANE_CLASS": "CGI %UNDEFINED_X%"}, None),
                          ({"TOLVANE_CLASS": "%M% 100%", "M": "CGI"}, None),
                          ({"TOLVANE_CLASS": "CGI !PATH!"}, None),
                          ({"TOLVANE_CLASS": "-Xss1m %OPTS%", "OPTS": "-Da=1"}, None)):
        got = run({**get, **batch, **config, "PATH_INFO": "/x.java"})
        check("%%NAME%% through cmd.exe, %r" % config, got[:2] + got[3:4],
              (0, OK, words + ["/x.java"]) if words else (1, invalid, None))


def code_page_932(batch):
    """A double-byte code page: 表 is 95 5C and ポ is 83 7C in code page 932,
    a trail byte that a byte scan takes for a backslash or a bar. ¥ is no
    character of its own there: best fit makes it 5C, a backslash. wine
    takes its code page from the locale, made here for the run."""
    japanese = {"LOCPATH": locale("ja_JP"), "LC_ALL": "ja_JP.UTF-8"}
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q", **japanese}
    rows = [
        # environment, the program's args, its parent
        ({"PATH_INFO": "/表"}, ["CGI", "/表"], "tolvane.exe"),
        ({"PATH_INFO": "/ポ"}, ["CGI", "/ポ"], "tolvane.exe"),
        ({"PATH_INFO": '/表" *'}, ["CGI", '/表" *'], "tolvane.exe"),
        ({"PATH_INFO": "/表\\"}, ["CGI", "/表\\"], "tolvane.exe"),
        ({"TOLVANE_CLASS": "%M%", "M": "CGI", "PATH_INFO": "/ポ/表"}, ["CGI", "/ポ/表"], "tolvane.exe"),
        ({"PATH_INFO": '/表*\\" *', "FAKE_JDK8": "1"}, ["CGI", '/表*\\" *'], "tolvane.exe"),
        ({**batch, "PATH_INFO": "/表"}, ["CGI", "/表"], "cmd.exe"),
        ({**batch, "PATH_INFO": "/ポ/表"}, ["CGI", "/ポ/表"], "cmd.exe"),
        ({"TOLVANE_CP": "ポ.jar", "TOLVANE_CLASS": "表", "PATH_INFO": "/表"},
         ["-cp", "ポ.jar", "表", "/表"], "tolvane.exe"),
        ({"JAVA_HOME": "{jdk}", "TOLVANE_CP": "%TOLVANE_MAIN%", "TOLVANE_MAIN": "表",
          "PATH_INFO": "/ポ"}, ["-cp", "表", "CGI", "/ポ"], "tolvane.exe"),
    ]
    for env, args, parent in rows:
        log = tempfile.mkdtemp(dir=ROOT)
        got = run({**get, **env}, log=log)
        narrow = [a.encode("cp932").decode("latin-1") for a in args]
        check("code page 932 %r" % env, (got[0], got[1], got[3], wide(log, "wargs"),
                                         recorded(log, "acp"), recorded(log, "parent")),
              (0, OK, narrow, "".join(a + "\0" for a in args), b"932", parent.encode()))
    unsafe = (1, page(BAD, "unsafe environment variable to 'PATH_INFO'."))
    for env in ({"PATH_INFO": '/¥" *'}, {"PATH_INFO": "/¥"}, {"PATH_INFO": "/😀"},
                {**batch, "PATH_INFO": "/ポ|x"}):
        got = run({**get, **env})
        check("code page 932, refused %r" % env, got[:2] + got[3:4], (*unsafe, None))


def code_page_65001():
    """The system's code page UTF-8 ("Use Unicode UTF-8 for worldwide
    language support"): every text is exact there. wine takes it from a
    locale that Windows gives no ANSI code page, such as Hindi."""
    utf8 = {"LOCPATH": locale("hi_IN"), "LC_ALL": "hi_IN.UTF-8"}
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q", **utf8}
    for path in ("/中文/表", "/😀", "/x＂ C:/windows/*", "/＂ *＂", "/¥\\", "/．．／", "/e\u0301",
                 "/café/€\u00ad", '/" * ? \\'):
        log = tempfile.mkdtemp(dir=ROOT)
        got = run({**get, "PATH_INFO": path}, log=log)
        check("code page 65001 %r" % path, (got[0], got[1], got[3], wide(log, "wargs"),
                                            recorded(log, "acp")),
              (0, OK, ["CGI", path.encode().decode("latin-1")], "CGI\0%s\0" % path, b"65001"))


def locale(name):
    """A folder holding the locale name in UTF-8, made for the run."""
    locales = os.path.join(ROOT, "locale")
    os.makedirs(locales, exist_ok=True)
    made = subprocess.run(["localedef", "-i", name, "-f", "UTF-8", locales + "/%s.UTF-8" % name],
                          capture_output=True)
    check("%s locale made" % name, (made.returncode, made.stderr), (0, b""))
    return locales


def site(shell, batch):
    """Never a java.exe of the site's, which is the working directory: not
    along a PATH entry relative to it, nor from a JAVA_HOME that is."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    invalid = page(SERVER, "invalid environment variable to 'JAVA_HOME'.")
    rows = [
        # environment, output (None: the stand-in ran)
        ({"WINEPATH": ".;" + native(ROOT + "/empty")}, page(SERVER, "exit failure to 'java CGI'.")),
        ({"WINEPATH": "path;" + native(ROOT + "/empty")}, page(SERVER, "exit failure to 'java CGI'.")),
        ({"WINEPATH": "path\\;" + native(ROOT + "/empty"), **shell},
         page(SERVER, "exit failure to 'java %TOLVANE_MAIN%'.")),
        ({"WINEPATH": '"path";Z:path;\\path;' + native(ROOT + "/empty")},
         page(SERVER, "exit failure to 'java CGI'.")),
        ({"WINEPATH": "path;" + native(ROOT + "/path")}, None),
        ({"JAVA_HOME": "jdk"}, invalid),
        ({"JAVA_HOME": ""}, invalid),
        ({"JAVA_HOME": "Z:jdk"}, invalid),
        ({"JAVA_HOME": "\\jdk"}, invalid),
        ({"JAVA_HOME": '"{jdk}"'}, invalid),
        ({"JAVA_HOME": "jdk", **batch}, invalid),
        ({"JAVA_HOME": "{jdk}"}, None),
        ({"JAVA_HOME": native(JDK).replace("/", "\\")}, None),
        ({"JAVA_HOME": "\\\\?\\" + native(JDK).replace("/", "\\")}, None),
    ]
    for env, out in rows:
        got = run({**get, **env}, cwd=ROOT)
        check("the site's java.exe, %r" % env, got[:2] + got[3:4],
              (0, OK, ["CGI"]) if out is None else (1, out, None))


def share(batch):
    """A site on a share (\\\\server\\share): cmd.exe would run in the Windows
    folder instead (Microsoft documents it; wine's cmd.exe does not do it),
    so a launcher that needs cmd.exe is refused there; without it the
    launcher runs in the share. wine's shares are its dosdevices/unc."""
    name = os.path.basename(ROOT)
    unc = os.path.join(os.environ["WINEPREFIX"], "dosdevices", "unc", "tolvane")
    os.makedirs(unc, exist_ok=True)
    os.symlink(ROOT, os.path.join(unc, name))
    try:
        folder = "\\\\tolvane\\%s\\here" % name
        get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q", "PATH_INFO": "/p"}
        log = tempfile.mkdtemp(dir=ROOT)
        got = run(get, log=log, within=folder)
        check("in a share", (got[0], got[1], got[3], wide(log, "cwd")), (0, OK, ["CGI", "/p"], folder))
        got = run({**get, **batch}, within=folder)
        failure = page(SERVER, "exit failure to 'java CGI /p'.")
        check("in a share, through cmd.exe", (got[0], got[1], got[3], said(got[2])),
              (1, failure, None, b"tolvane: cmd.exe: a UNC working directory is not supported\n" +
               logline(message(failure), get, "")))
    finally:
        os.remove(os.path.join(unc, name))


def stand_ins(log):
    """The stand-ins still running that record into log: wine keeps the
    environment they started with."""
    mark = b"\0FAKE_LOG=" + log.encode() + b"\0"
    pids = []
    for pid in os.listdir("/proc"):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if mark in b"\0" + f.read():
                    pids.append(int(pid))
        except (OSError, ValueError):
            pass
    return [p for p in pids if not gone(p)]


def ran_ms(stderr):
    """The run time the log line gives, or None."""
    found = re.search(rb" ms=(\d+) ", stderr)
    return found and int(found[1])


def job(batch):
    """TOLVANE_TIMEOUT ends the job, and a gateway ended by its server
    takes the job with it, with or without cmd.exe between. The request
    ends when the launcher does: what it leaves behind, holding the pipe
    it does not read and the response, is ended with it. Timed by the
    gateway's own log where it gives one: wine's start, on a busy machine,
    can take seconds of its own."""
    big = os.urandom(5 << 20)
    post = {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(len(big))}
    for config, path, line in (({}, "/<x>", "java CGI /&lt;x&gt;"), (batch, "/x", "java CGI /x")):
        # Three seconds, as a busy machine can take more than one to start
        # a program under wine, and a launcher that never got to run shows
        # nothing of the limit.
        get = {"REQUEST_METHOD": "GET", "PATH_INFO": path, "TOLVANE_TIMEOUT": "3"}
        late = page(TIMEOUT, "time limit exceeded to '%s'." % line)
        rows = [
            # label, environment, standard input, output
            ("silent", {**get, "QUERY_STRING": "sleep"}, b"", late),
            ("after its response", {**get, "QUERY_STRING": "hang"}, b"", OK + late),
            ("never reading 5 MB", {**get, **post, "FAKE_NOREAD": "sleep"}, big, late),
        ]
        for label, env, stdin, out in rows:
            log = tempfile.mkdtemp(dir=ROOT)
            got = run({**env, **config}, stdin, log=log)
            if not os.path.exists(log + "/pid"):
                print("the stand-in never ran under %r; starting again" % label)
                shutil.rmtree(log)
                log = tempfile.mkdtemp(dir=ROOT)
                got = run({**env, **config}, stdin, log=log)
            # The deadline is on the system's tick, some 16 ms coarse.
            ms = ran_ms(got[2])
            # The stand-in is gone soon after the answer.
            end = time.monotonic() + 10
            while stand_ins(log) and time.monotonic() < end:
                time.sleep(0.05)
            check("job, %s%s" % (label, ", cmd.exe" * bool(config)),
                  (got[0], got[1], "3 to 6 s" if ms and 2980 <= ms < 6000 else ms,
                   os.path.exists(log + "/pid"), stand_ins(log)),
                  (1, out, "3 to 6 s", True, []))

        # A launcher that does not read a body of 1 MiB and leaves a process
        # behind that holds the pipe and the response: the request ends
        # with the launcher, limit or none, and nothing written later gets
        # into the response.
        body = os.urandom(1 << 20)
        for limit in ({}, {"TOLVANE_TIMEOUT": "30"}):
            env = {"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": str(len(body)), "FAKE_NOREAD": "linger",
                   **limit, **config}
            log = tempfile.mkdtemp(dir=ROOT)
            start = time.monotonic()
            got = run(env, body, log=log)
            took = time.monotonic() - start
            end = time.monotonic() + 10
            while stand_ins(log) and time.monotonic() < end:
                time.sleep(0.05)
            check("job, a process left behind holding the pipe%s%s" % (
                ", limit" * bool(limit), ", cmd.exe" * bool(config)),
                  (got[0], got[1], said(got[2]), took < 20, os.path.exists(log + "/child"),
                   stand_ins(log)),
                  (0, OK, b"", True, True, []))

        # The server ends the gateway: the job's last handle closes.
        log = tempfile.mkdtemp(dir=ROOT)
        env = {"REQUEST_METHOD": "GET", "QUERY_STRING": "sleep", "FAKE_LOG": log,
               "WINEPATH": native(ROOT + "/path"), "PATH": ROOT + "/path:/usr/bin:/bin",
               "LC_ALL": "C.UTF-8", **config,
               **{k: os.environ[k] for k in ("WINEPREFIX", "WINEDEBUG") if k in os.environ}}
        # wine now and then loses a program it starts (see run()): a
        # stand-in that never came is given a second start.
        for attempt in range(2):
            gw = subprocess.Popen(["wine", GATEWAY], env=env, stdout=subprocess.DEVNULL)
            end = time.monotonic() + 30
            while not os.path.exists(log + "/pid") and time.monotonic() < end and gw.poll() is None:
                time.sleep(0.05)
            before = stand_ins(log)
            gw.kill()
            gw.wait()
            if before:
                break
            print("wine started no stand-in under %r; starting again" % config)
        end = time.monotonic() + 10
        while stand_ins(log) and time.monotonic() < end:
            time.sleep(0.05)
        check("job, gateway killed%s" % (", cmd.exe" * bool(config)),
              (len(before) > 0, stand_ins(log)), (True, []))


def limits():
    """TOLVANE_TIMEOUT: which values count everywhere, what a limit does on
    POSIX."""
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    invalid = page(SERVER, "invalid environment variable to 'TOLVANE_TIMEOUT'.")
    for value in ("", "0", "00", "-1", "+5", "5s", " 5", "5 ", "1.5", "0x10", "86401", "9" * 40):
        expect("TOLVANE_TIMEOUT %r" % value, {**get, "TOLVANE_TIMEOUT": value}, b"", 1, invalid,
               None, None)
    for value in ("1", "007", "86400"):
        expect("TOLVANE_TIMEOUT %r" % value, {**get, "TOLVANE_TIMEOUT": value}, b"", 0, OK,
               ["CGI"], b"q")
    # Read after the launcher's variables: their failures come first.
    expect("TOLVANE_TIMEOUT after a line too long",
           {**get, "TOLVANE_CP": "x" * 4096, "TOLVANE_TIMEOUT": "x"}, b"", 1,
           page(SERVER, "command line too long."), None, None)
    if WIN:
        return

    late = page(TIMEOUT, "time limit exceeded to 'java CGI /&lt;x&gt;'.")
    big = os.urandom(5 << 20).replace(b"\0", b"\1")
    post = {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(len(big))}
    chld = ignoring(signal.SIGCHLD)
    rows = [
        # label, environment, standard input, set-up before exec, output, seconds from, to
        # [, processes recorded]
        ("silent", {**get, "QUERY_STRING": "sleep"}, b"", None, late, 1, 4),
        ("ignoring SIGTERM", {**get, "QUERY_STRING": "stubborn"}, b"", None, late, 3, 6),
        ("its child ignoring SIGTERM", {**get, "QUERY_STRING": "fork"}, b"", None, late, 1, 4, 2),
        ("gone to another group", {**get, "QUERY_STRING": "regroup"}, b"", None, late, 1, 4),
        ("after its response", {**get, "QUERY_STRING": "hang"}, b"", None, OK + late, 1, 4),
        ("never reading 5 MB", {**post, "FAKE_NOREAD": "sleep"}, big, None, late, 1, 4),
        ("ignoring SIGTERM, SIGCHLD ignored", {**get, "QUERY_STRING": "stubborn"}, b"", chld,
         late, 3, 6),
    ]
    for label, env, stdin, setup, out, least, most, *processes in rows:
        start = time.monotonic()
        got = run({**env, "PATH_INFO": "/<x>", "TOLVANE_TIMEOUT": "1"}, stdin, preexec_fn=setup)
        took = time.monotonic() - start
        pids = recorded_pids()
        check("limit, " + label, (got[0], got[1], least <= took < most, len(pids),
                                  all_gone(pids)), (1, out, True, (processes or [1])[0], True))

    # The limit holds while the shell expands the configuration, too.
    start = time.monotonic()
    env = {**get, "TOLVANE_CLASS": "$(sleep 60; echo CGI)", "TOLVANE_TIMEOUT": "1"}
    got = run(env)
    late = page(TIMEOUT, "time limit exceeded to 'java $(sleep 60; echo CGI)'.")
    check("limit, expanding the configuration", (got[0], got[1], got[3], said(got[2]),
                                                 time.monotonic() - start < 4),
          (1, late, None, logline(message(late), env, "signal=15"), True))
    # Also for a shell that is done with its output but not with its work.
    start = time.monotonic()
    got = run({**get, "TOLVANE_CLASS": "CGI; exec >/dev/null; sleep 10", "TOLVANE_TIMEOUT": "1"})
    check("limit, expanding the configuration, its output closed",
          (got[0], got[1], got[3], time.monotonic() - start < 4),
          (1, page(TIMEOUT, "time limit exceeded to 'java CGI; exec &gt;/dev/null; sleep 10'."),
           None, True))

    # A server's SIGTERM while the shell expands the configuration ends the
    # request at once, and what the expansion started with it; no launcher
    # starts after it.
    log = tempfile.mkdtemp(dir=ROOT)
    gw = subprocess.Popen([GATEWAY], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env={
        **get, "FAKE_LOG": log, "PATH": ROOT + "/path:/usr/bin:/bin",
        "TOLVANE_CLASS": "$(sh -c 'echo $$ >%s/expanding; exec sleep 30'; echo CGI)" % log})
    end = time.monotonic() + 10
    while not recorded(log, "expanding") and time.monotonic() < end:
        time.sleep(0.05)
    time.sleep(0.2)
    sleeper = int(recorded(log, "expanding") or 0)
    gw.terminate()
    start = time.monotonic()
    try:
        status = gw.wait(10)
    except subprocess.TimeoutExpired:
        status = "still running after 10 s"
        gw.kill()
        gw.wait()
    check("SIGTERM while the configuration expands",
          (status, time.monotonic() - start < 3, sleeper > 0 and all_gone([sleeper], within=3),
           recorded(log, "pid")), (-15, True, True, None))
    if sleeper and not gone(sleeper):
        os.kill(sleeper, signal.SIGKILL)

    # The grace is for the program's own ending: its SIGTERM handler gets
    # its 300 ms, as a JVM's shutdown hooks would, on a line the shell
    # expanded too; the grace ends when nothing of the group is left, and
    # the log has the status the handler ended with.
    shell = {**get, "QUERY_STRING": "hook", "TOLVANE_CP": "$CLASSES", "CLASSES": "c"}
    start = time.monotonic()
    got = run({**shell, "TOLVANE_TIMEOUT": "1"})
    took = time.monotonic() - start
    late = page(TIMEOUT, "time limit exceeded to 'java -cp $CLASSES CGI'.")
    check("limit, a program's handler",
          (got[0], got[1], said(got[2]), os.path.exists(last_log + "/hooked"), 1.2 < took < 2.5),
          (1, late, logline(message(late), shell, "exit=0"), True, True))
    log = tempfile.mkdtemp(dir=ROOT)
    gw = subprocess.Popen([GATEWAY], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env={
        **shell, "FAKE_LOG": log, "PATH": ROOT + "/path:/usr/bin:/bin"})
    for _ in range(100):
        if os.path.exists(log + "/sigmask"):
            break
        time.sleep(0.05)
    time.sleep(0.2)
    gw.terminate()
    check("SIGTERM, a program's handler",
          (gw.wait(10), os.path.exists(log + "/hooked")), (-15, True))

    # A program that ended in time is in time, even when the gateway, held
    # up, sees it end only past the deadline.
    log = tempfile.mkdtemp(dir=ROOT)
    env = {**get, "QUERY_STRING": "nap", "TOLVANE_TIMEOUT": "2", "FAKE_LOG": log,
           "PATH": ROOT + "/path:/usr/bin:/bin"}
    gw = subprocess.Popen([GATEWAY], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for _ in range(100):
        if os.path.exists(log + "/pid"):
            break
        time.sleep(0.05)
    gw.send_signal(signal.SIGSTOP)
    time.sleep(3)
    gw.send_signal(signal.SIGCONT)
    out = gw.communicate(timeout=30)[0]
    check("limit, ended in time, seen late", (gw.returncode, out), (0, OK))

    # A SIGHUP that the server ignores stays ignored while the limit runs.
    log = tempfile.mkdtemp(dir=ROOT)
    env = {**get, "QUERY_STRING": "sleep", "TOLVANE_TIMEOUT": "2", "FAKE_LOG": log,
           "PATH": ROOT + "/path:/usr/bin:/bin"}
    gw = subprocess.Popen([GATEWAY], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          preexec_fn=ignoring(signal.SIGHUP))
    for _ in range(100):
        if os.path.exists(log + "/sighup"):
            break
        time.sleep(0.05)
    gw.send_signal(signal.SIGHUP)
    out = gw.communicate(timeout=30)[0]
    check("limit, SIGHUP ignored", (gw.returncode, out, open(log + "/sighup", "rb").read()),
          (1, page(TIMEOUT, "time limit exceeded to 'java CGI'."), b"ignored"))


TABLES = {"intake": intake, "command_lines": command_lines, "hostile": hostile,
          "streams": streams, "windows": windows, "limits": limits}
TABLES[TABLE]()
shutil.rmtree(ROOT)
finish()
