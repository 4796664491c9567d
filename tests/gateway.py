#!/usr/bin/env python3
"""Black-box tests of the gateway binary against the stand-in launcher.

usage: gateway.py GATEWAY LAUNCHER TABLE

A GATEWAY ending in .exe is the Windows build; it runs under wine, with
WINEPREFIX and WINEDEBUG taken from the environment.

Each row names the environment and standard input of one request, the exit
status and exact output expected, and what the launcher must have received
(None: it must not have been started)."""
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

from tally import check, finish

GATEWAY, LAUNCHER, TABLE = sys.argv[1:4]
WIN = GATEWAY.endswith(".exe")
ROOT = tempfile.mkdtemp(prefix="tolvane-test-")
JDK = os.path.join(ROOT, "jdk")
os.makedirs(JDK + "/bin")
os.makedirs(ROOT + "/path")
for folder in (JDK + "/bin", ROOT + "/path"):
    shutil.copy(LAUNCHER, folder + ("/java.exe" if WIN else "/java"))

OK = b"Content-Type: text/plain\n\nok\n"  # the stand-in writes binary even on Windows


def native(path):
    """A path as the gateway's platform writes it."""
    return "Z:" + path if WIN else path


def page(msg):
    return ("Content-Type: text/html\n\n<html>\n  <head>\n"
            "    <title>ERROR - [Tolvane]</title>\n  </head>\n  <body>\n"
            "    %s\n  </body>\n</html>\n" % msg).replace("\n", "\r\n" if WIN else "\n").encode()


def run(env, stdin=b"", argv=(), log=None, **popen):
    """Runs one request; returns status, stdout, stderr, and the launcher's
    arguments and input (None when it did not run). The launcher records
    into log, a fresh folder unless given."""
    log = log or tempfile.mkdtemp(dir=ROOT)
    full = {"PATH": ROOT + "/path:/usr/bin:/bin", "FAKE_LOG": log}
    if WIN:
        # wine reads the environment's bytes in the locale's encoding, so
        # UTF-8 lets a row set any text in the UTF-16 the gateway is given.
        full.update({k: os.environ[k] for k in ("WINEPREFIX", "WINEDEBUG") if k in os.environ},
                    WINEPATH=native(ROOT + "/path"), LC_ALL="C.UTF-8")
    full = {k.encode(): v.encode() for k, v in full.items()}
    for k, v in env.items():
        full[k.encode()] = v if isinstance(v, bytes) else v.replace("{jdk}", native(JDK)).encode()
    io = {"stdin": stdin} if hasattr(stdin, "fileno") else {"input": stdin}
    p = subprocess.run(["wine"] * WIN + [GATEWAY, *argv], env=full, capture_output=True,
                       timeout=60, **io, **popen)

    def recorded(name):
        try:
            with open(os.path.join(log, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return None
    args = recorded("args")
    if args is not None and not WIN:
        # Whatever the row, a launcher that ran must have started as the
        # server would start it: default SIGPIPE, only the standard streams.
        check("sigpipe of %r" % env, recorded("sigpipe"), b"default")
        check("descriptors of %r" % env, recorded("fds"), b"0\n1\n2\n")
    if args is not None:
        args = [a.decode("latin-1") for a in args.split(b"\0")[:-1]]
    return p.returncode, p.stdout, p.stderr, args, recorded("input")


def gone(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def expect(label, env, stdin, status, out, args, data):
    got = run(env, stdin)
    check(label, (got[0], got[1], got[3], got[4]), (status, out, args, data))
    check(label + " (stderr)", got[2], b"")


def intake():
    get, post = {"REQUEST_METHOD": "GET"}, {"REQUEST_METHOD": "POST"}
    nomem, noread = page("cannot allocate memory."), page("cannot read stdin.")
    rows = [
        # environment, standard input, status, output, launcher args, its input
        ({}, b"", 1, page("undefined environment variable to 'REQUEST_METHOD'."), None, None),
        (get, b"", 1, page("undefined environment variable to 'QUERY_STRING'."), None, None),
        ({**get, "QUERY_STRING": ""}, b"", 0, OK, ["CGI"], b""),
        ({**get, "QUERY_STRING": "a=1&b=%20x+y"}, b"x", 0, OK, ["CGI"], b"a=1&b=%20x+y"),
        ({"REQUEST_METHOD": "HEAD"}, b"", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": "DELETE", "CONTENT_LENGTH": "3"}, b"abc", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": "get", "QUERY_STRING": "q"}, b"", 0, OK, ["CGI"], b""),
        ({"REQUEST_METHOD": ""}, b"", 0, OK, ["CGI"], b""),
        (post, b"abc", 1, page("undefined environment variable to 'CONTENT_LENGTH'."), None, None),
        ({**post, "CONTENT_LENGTH": "0"}, b"", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "-0"}, b"", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "abc"}, b"abc", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": "10"}, b"1234567", 1, noread, None, None),
        ({**post, "CONTENT_LENGTH": " \t12"}, b"hello world!", 0, OK, ["CGI"], b"hello world!"),
        ({**post, "CONTENT_LENGTH": "12abc"}, b"hello world!", 0, OK, ["CGI"], b"hello world!"),
        ({**post, "CONTENT_LENGTH": "+5"}, b"hello world!", 0, OK, ["CGI"], b"hello"),
        ({**post, "CONTENT_LENGTH": "5", "QUERY_STRING": "q=1"}, b"a=b&c", 0, OK, ["CGI"], b"a=b&c"),
        ({**post, "CONTENT_LENGTH": "5"}, b"ab\0cd", 0, OK, ["CGI"], b"ab"),
        ({**post, "CONTENT_LENGTH": "-1"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "-5"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "2147483647"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "4294967298"}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "9" * 40}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "-" + "9" * 40}, b"abc", 1, nomem, None, None),
        ({**post, "CONTENT_LENGTH": "-2147483649"}, b"abc", 1, nomem, None, None),
    ]
    if not WIN:  # wine may not grant the 2 GiB
        rows.append(({**post, "CONTENT_LENGTH": "2147483646"}, b"abc", 1, noread, None, None))
    for env, stdin, status, out, args, data in rows:
        expect("intake %r" % env, env, stdin, status, out, args, data)


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
        ({"TOLVANE_CP": ""}, "java -cp  CGI", ["-cp", "CGI"]),
        ({"TOLVANE_CLASS": "", "PATH_INFO": "/x"}, "java  /x", ["/x"]),
        ({"PATH_INFO": ""}, "java CGI ", ["CGI"]),
        ({"TOLVANE_CP": long_cp}, "java -cp %s CGI" % long_cp, ["-cp", long_cp, "CGI"]),
        ({"PATH_INFO": quotes}, "java CGI " + quotes, ["CGI", quotes]),
        # An absent launcher is the interpreter's failure, not ours.
        ({"JAVA_HOME": "{jdk}/none"}, "{jdk}/none/bin/java CGI", None),
    ]
    if not WIN:  # cmd.exe gets no such PATH_INFO: see windows()
        rows += [
            ({"PATH_INFO": "/<b>&amp;</b>"}, "java CGI /&lt;b&gt;&amp;amp;&lt;/b&gt;",
             ["CGI", "/<b>&amp;</b>"]),
            ({"PATH_INFO": "/100%s%n%%"}, "java CGI /100%s%n%%", ["CGI", "/100%s%n%%"]),
        ]
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": "q"}
    for env, line, args in rows:
        label = "command line %r" % env
        line = line.replace("{jdk}", native(JDK))
        failure = page("exit failure to '%s'." % line)
        got = run({**get, **env})
        check(label, got[:2] + got[3:], (0, OK, args, b"q") if args else (1, failure, None, None))
        # Failing after writing: its response, then our page.
        got = run({**get, **env, "FAKE_EXIT": "2"})
        check(label + " failing", got[:2], (1, (OK if args else b"") + failure))

    for env in ({"TOLVANE_CP": long_cp + "x"}, {"PATH_INFO": quotes + "'"},
                {"JAVA_HOME": "/" * 4090, "PATH_INFO": "/a"}):
        got = run({**get, **env})
        check("too long %.40r" % env, got[:2] + got[3:4],
              (1, page("command line too long."), None))


def hostile():
    canary = os.path.join(ROOT, "pwned")
    get = {"REQUEST_METHOD": "GET", "QUERY_STRING": ""}
    refusal = (1, None, False)
    if WIN:
        # cmd.exe: refused before anything starts, or one argument.
        payloads = [(p, refusal) for p in (
            "& echo >C", "| echo >C", "&& echo >C", ">C", "<C", "%PATH%", "!PATH!", "^& echo >C",
            '"', '" & echo >C & "', "(echo >C)", "$(x)", "\necho >C", "a\x1a", "a\x7f", "a%")]
        payloads += [(p, None) for p in (
            "a b  c", "'", ";", "$x", "`x`", "a\\", "a\\\\", "\\\\server\\share", "*", "?",
            "~", "#", "-cp x", "a=b,c;d", "/x/y")]
    else:
        payloads = [(p, None) for p in (
            "; touch C", "&& touch C", "| touch C", "& touch C", "$(touch C)", "`touch C`",
            "' ; touch C ; '", "'$(touch C)'", '"; touch C; "', "\ntouch C", "\rtouch C\n",
            "> C", ">> C", "< /etc/passwd", "*", "/*", "~", "$HOME", "${IFS}touch${IFS}C",
            "a b  c", "\\", "'", "''", "'\\''", "\\'", "!!", "#", "-cp /tmp", "%PATH%")]
    for p, want in payloads:
        p = p.replace("C", native(canary))
        got = run({**get, "PATH_INFO": p})
        check("hostile %r" % p, (got[0], got[3], os.path.exists(canary)),
              want or (0, ["CGI", p], False))

    # Random text: any bytes on POSIX; on Windows what cmd.exe may get is
    # delivered and one forbidden character anywhere makes it refused.
    rng = random.Random(int(os.environ.get("SEED", "7")))
    forbidden = '"%!^&|<>()\t\n\x1f\x7f'
    safe = [chr(c) for c in range(0x20, 0x7f) if chr(c) not in forbidden]
    for _ in range(60 if WIN else 300):
        if WIN:
            p = "".join(rng.choice(safe) for _ in range(rng.randrange(1, 32))).encode()
            bad = bytearray(p)
            bad.insert(rng.randrange(len(p) + 1), ord(rng.choice(forbidden)))
            got = run({**get, "PATH_INFO": bytes(bad)})
            check("random %r" % bad, got[:2], (1, page("unsafe environment variable to 'PATH_INFO'.")))
        else:
            p = bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1, 48)))
        got = run({**get, "PATH_INFO": p})
        check("random %r" % p, (got[0], got[3]), (0, ["CGI", p.decode("latin-1")]))


def streams():
    post = {"REQUEST_METHOD": "POST"}
    big = os.urandom(3 << 20).translate(None, b"\0\r\x1a")
    # Text mode on Windows: each LF reaches the launcher as CR LF.
    received = big.replace(b"\n", b"\r\n") if WIN else big
    expect("body beyond the pipe buffer", {**post, "CONTENT_LENGTH": str(len(big))},
           big, 0, OK, ["CGI"], received)
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
    src = subprocess.Popen([sys.executable, "-c", feeder], stdout=subprocess.PIPE)
    start = time.monotonic()
    got = run({**post, "CONTENT_LENGTH": "12"}, stdin=src.stdout)
    check("body in pieces, input left open", (got[0], got[4], time.monotonic() - start < 10),
          (0, b"hello world!", True))
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
    check("launcher killed", got[:2], (1, page("exit failure to 'java CGI'.")))

    # A server that gives up on a request signals the gateway: nothing that
    # the request started may outlive it, not even a launcher that ignores
    # SIGTERM.
    for word in ("sleep", "stubborn"):
        log = tempfile.mkdtemp(dir=ROOT)
        env = {"REQUEST_METHOD": "GET", "QUERY_STRING": word, "FAKE_LOG": log,
               "PATH": ROOT + "/path:/usr/bin:/bin"}
        gw = subprocess.Popen([GATEWAY], env=env, stdout=subprocess.DEVNULL)
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
        check("SIGTERM, %s launcher" % word, (gw.wait(5), pid is not None,
              time.monotonic() - start < 5), (-15, True, True))

    # Standard output gone: closed outright, or a reader that has left.
    for label, prepare in (("closed", "exec >&-"), ("broken", "exec > >(true); sleep 0.2")):
        sh = subprocess.run(["bash", "-c", '%s; "$0"; echo $? >&2' % prepare, GATEWAY],
                            env={}, capture_output=True, timeout=30)
        check("standard output %s" % label, sh.stderr, b"1\n")


def windows():
    """What text mode and cmd.exe make different on Windows."""
    get, post = {"REQUEST_METHOD": "GET"}, {"REQUEST_METHOD": "POST"}
    unsafe = page("unsafe environment variable to 'PATH_INFO'.")
    rows = [
        # environment, standard input, status, output, launcher args, its input
        ({**post, "CONTENT_LENGTH": "3"}, b"a\r\nb", 0, OK, ["CGI"], b"a\r\nb"),
        ({**post, "CONTENT_LENGTH": "4"}, b"a\r\nb", 1, page("cannot read stdin."), None, None),
        ({**post, "CONTENT_LENGTH": "3"}, b"a\x1ab", 1, page("cannot read stdin."), None, None),
        ({**get, "QUERY_STRING": "a\nb"}, b"", 0, OK, ["CGI"], b"a\r\nb"),
        ({"request_method": "GET", "query_string": "q", "path_info": "/p"}, b"", 0, OK,
         ["CGI", "/p"], b"q"),
        ({**get, "QUERY_STRING": "", "PATH_INFO": "/<b>&amp;</b>"}, b"", 1, unsafe, None, None),
        ({**get, "QUERY_STRING": "", "PATH_INFO": "/100%s%n%%"}, b"", 1, unsafe, None, None),
    ]
    bad = "/．．／"  # best fit would make it /../
    rows += [
        # Refused where it is used, and in the order it is used.
        ({**get, "QUERY_STRING": bad, "PATH_INFO": bad}, b"", 1,
         page("unsafe environment variable to 'QUERY_STRING'."), None, None),
        ({**post, "CONTENT_LENGTH": "1", "QUERY_STRING": bad}, b"x", 0, OK, ["CGI"], b"x"),
        ({"request_method": "GET", "query_string": "q", "path_info": bad}, b"", 1, unsafe,
         None, None),
        ({**get, "QUERY_STRING": "", "PATH_INFO": "/x" * 2046 + bad}, b"", 1,
         page("command line too long."), None, None),
        # Longer than GetEnvironmentVariableW reports, and still checked.
        ({**get, "QUERY_STRING": "q" * 40000}, b"", 0, OK, ["CGI"], b"q" * 40000),
        ({**get, "QUERY_STRING": "q" * 40000 + bad}, b"", 1,
         page("unsafe environment variable to 'QUERY_STRING'."), None, None),
    ]
    for env, stdin, status, out, args, data in rows:
        expect("windows %r" % env, env, stdin, status, out, args, data)
    code_page()


def code_page():
    """The server sets the environment in UTF-16 and the gateway reads it in
    the ANSI code page, 1252 under wine here. Text the code page holds goes
    on as today; any other is refused, never handed on as a look-alike or a
    '?'."""
    rows = [
        # text the server set, whether the code page holds it
        ("/café/Ñandú/über", True),
        ("/price/€", True),  # 0x80 in 1252, not in Latin-1
        ("\u00adcp", True),  # a soft hyphen stays one (0xAD), not a dash
        ("/．．／secret", False),
        ("/a＼b", False),
        ("/＂x", False),
        ("/100％", False),
        ("/中文", False),
        ("/café/中", False),
        ("/😀", False),  # a surrogate pair
    ]
    get = {"REQUEST_METHOD": "GET"}
    for text, held in rows:
        ansi = text.encode("cp1252") if held else b""
        for var, env, passed in (
                ("PATH_INFO", {**get, "QUERY_STRING": "q", "PATH_INFO": text},
                 (["CGI", ansi.decode("latin-1")], b"q", 'java CGI "%s"' % text)),
                ("QUERY_STRING", {**get, "QUERY_STRING": text}, (["CGI"], ansi, "java CGI"))):
            # launcher args and input, its UTF-16 command line, its code page
            want = (0, OK, *passed, "1252") if held else (
                1, page("unsafe environment variable to '%s'." % var), None, None, None, None)
            log = tempfile.mkdtemp(dir=ROOT)
            got = run(env, log=log)

            def read(name, encoding):
                path = os.path.join(log, name)
                return open(path, "rb").read().decode(encoding) if os.path.exists(path) else None
            check("code page %s=%r" % (var, text), (got[0], got[1], got[3], got[4],
                  read("cmdline", "utf-16-le"), read("acp", "ascii")), want)
            check("code page %s=%r (stderr)" % (var, text), got[2], b"")


TABLES = {"intake": intake, "command_lines": command_lines, "hostile": hostile,
          "streams": streams, "windows": windows}
TABLES[TABLE]()
shutil.rmtree(ROOT)
finish()
