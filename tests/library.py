#!/usr/bin/env python3
"""examples/CGI.java and its helper examples/Tolvane.java with the real JVM,
through the gateway under lighttpd (examples/lighttpd.conf) as a browser
would use them, and through the gateway alone as the README's hand test
runs it.

usage: library.py GATEWAY EXAMPLES README"""
import hashlib
import http.client
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

from tally import check, finish

GATEWAY, EXAMPLES, README = map(os.path.abspath, sys.argv[1:4])
ROOT = tempfile.mkdtemp(prefix="tolvane-library-")
os.chmod(ROOT, 0o755)
JDK = os.path.dirname(os.path.dirname(os.path.realpath(shutil.which("javac"))))


def serve():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    env = {**os.environ, "PORT": str(port), "TOLVANE_ROOT": ROOT, "TOLVANE": GATEWAY,
           "JAVA_HOME": JDK, "TOLVANE_CP": ROOT + "/classes"}
    server = subprocess.Popen(["lighttpd", "-D", "-f", EXAMPLES + "/lighttpd.conf"], env=env,
                              stdout=subprocess.DEVNULL, start_new_session=True)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return server, port
        except OSError:
            time.sleep(0.1)
    sys.exit("lighttpd did not start")


def request(port, method, url, body=None, headers={}):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    c.request(method, url, body=body, headers=headers)
    r = c.getresponse()
    return r.status, {k: r.getheader(k) for k in ("Content-Type", "Content-Length", "Location",
                                                   "Allow") if r.getheader(k)}, r.read()


def multipart(fields):
    """A browser's multipart/form-data body: (name, filename or None, bytes)."""
    boundary = "----WebKitFormBoundary7MA4YWxkTrZu0gW"
    body = b""
    for name, filename, data in fields:
        body += b"--%s\r\nContent-Disposition: form-data; name=\"%s\"" % (
            boundary.encode(), name.encode())
        if filename is not None:
            body += b"; filename=\"%s\"\r\nContent-Type: application/octet-stream" % filename.encode()
        body += b"\r\n\r\n" + data + b"\r\n"
    body += b"--%s--\r\n" % boundary.encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def greeting(name):
    page = ("<!DOCTYPE html>\n<title>Greeting</title>\n<p>Hello, %s!</p>\n"
            "<form method=post><input name=name><button>Greet</button></form>\n" % name).encode()
    return 200, {"Content-Type": "text/html; charset=utf-8", "Content-Length": str(len(page))}, page


def redirect(location):
    see = ("See %s\n" % location).encode()
    return 303, {"Content-Type": "text/plain; charset=utf-8", "Content-Length": str(len(see)),
                 "Location": location}, see


def sha(data):
    return hashlib.sha256(data).hexdigest()


def through_server(port):
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    # UTF-8 text with markup in it, as a browser encodes it
    sent = "Zoë <b>&amp; 日本 ✓"
    encoded = "Zo%C3%AB+%3Cb%3E%26amp%3B+%E6%97%A5%E6%9C%AC+%E2%9C%93"
    # A file with every byte value, NULs and line ends, and the delimiter's
    # own beginning, which must not end the part.
    binary = bytes(range(256)) * 64 + b"\r\n--\r\n------WebKitFormBoundary" + os.urandom(1 << 20)
    files, files_type = multipart([("note", None, sent.encode()), ("a", "a.bin", binary),
                                   ("b", "空.txt", b""), ("c", "c.bin", b"\r\n")])
    text, text_type = multipart([("name", None, sent.encode())])
    # Another client's way: a quoted boundary, a preamble, a name with "; ".
    odd = (b"preamble\r\n--b=1\r\nContent-Disposition: form-data; filename=\"x; name=y.bin\"; "
           b"name=\"f\"\r\n\r\nabc\r\n--b=1--")
    odd_type = {"Content-Type": 'multipart/form-data; boundary="b=1"'}
    smuggled = b'Content-Disposition: form-data; name="s"; filename="s.txt"\r\n\r\nx\r\n'
    rows = [
        # method, URL, body, request headers, expected status, headers, body
        ("POST", "/app/greet", "name=" + encoded, form, redirect("/app/greet?name=" + encoded)),
        ("GET", "/app/greet?name=" + encoded, None, {},
         greeting("Zoë &lt;b&gt;&amp;amp; 日本 ✓")),
        ("POST", "/app/greet", text, text_type, redirect("/app/greet?name=" + encoded)),
        # A malformed escape is left as sent, quotes are escaped.
        ("GET", "/app/greet?name=%zz%22%27&x", None, {}, greeting("%zz&quot;&#39;")),
        # The server drops a HEAD's body; the program sends none and the
        # same length as for the GET.
        ("HEAD", "/app/greet?name=" + encoded, None, {},
         greeting("Zoë &lt;b&gt;&amp;amp; 日本 ✓")[:2] + (b"",)),
        # An empty POST reaches the program.
        ("POST", "/app/greet", "", form, redirect("/app/greet?name=")),
        ("POST", "/app/files", files, files_type,
         (200, {"Content-Type": "text/plain; charset=utf-8"},
          ("a a.bin %d %s\nb 空.txt 0 %s\nc c.bin 2 %s\n" % (
              len(binary), sha(binary), sha(b""), sha(b"\r\n"))).encode())),
        ("POST", "/app/files", odd, odd_type,
         (200, {"Content-Type": "text/plain; charset=utf-8"},
          ("f x; name=y.bin 3 %s\n" % sha(b"abc")).encode())),
        # A quoted parameter is text: the parts are those of the real boundary.
        ("POST", "/app/files", b"--evil\r\n" + smuggled.replace(b"s.txt", b"e.txt") + b"--evil--\r\n"
         b"--real\r\n" + smuggled + b"--real--", {"Content-Type": 'multipart/form-data; x="; boundary=evil"; boundary=real'},
         (200, {"Content-Type": "text/plain; charset=utf-8"}, ("s s.txt 1 %s\n" % sha(b"x")).encode())),
        # A body cut short is refused by the program's own page.
        ("POST", "/app/files", files[:len(files) // 2], files_type,
         (400, {"Content-Type": "text/html; charset=utf-8"}, b"<!DOCTYPE html>\n<title>400 Bad Request"
          b"</title>\n<h1>Bad Request</h1>\n<p>a multipart body cut short</p>\n")),
        # File names safe on Windows too: no device, no character it refuses.
        ("POST", "/app/files", *multipart([("a", "CON.txt", b"x"), ("b", "a<b>.txt", b"")]),
         (200, {"Content-Type": "text/plain; charset=utf-8"},
          ("a _CON.txt 1 %s\nb a_b_.txt 0 %s\n" % (sha(b"x"), sha(b""))).encode())),
        # A header line a filter in front reads otherwise, and more fields
        # than the helper takes, are the program's 400.
        ("POST", "/app/files", b"--b\r\nX-Note: a\r\n " + smuggled + b"--b--", {"Content-Type": "multipart/form-data; boundary=b"},
         (400, {"Content-Type": "text/html; charset=utf-8"}, b"<!DOCTYPE html>\n<title>400 Bad Request</title>\n"
          b"<h1>Bad Request</h1>\n<p>a multipart part with a header line read more ways than one</p>\n")),
        ("POST", "/app/greet", "a=1&" * 1000 + "name=x", form,
         (400, {"Content-Type": "text/html; charset=utf-8"}, b"<!DOCTYPE html>\n<title>400 Bad Request</title>\n"
          b"<h1>Bad Request</h1>\n<p>a request of more than 1000 fields</p>\n")),
        ("GET", "/app/files", None, {},
         (405, {"Content-Type": "text/plain; charset=utf-8", "Content-Length": "23", "Allow": "POST"},
          b"405 Method Not Allowed\n")),
    ]
    for method, url, body, headers, want in rows:
        got = request(port, method, url, body.encode() if isinstance(body, str) else body, headers)
        if "Content-Length" not in want[1]:
            got[1].pop("Content-Length", None)  # the hashes' length is no concern here
        check("%s %s" % (method, url[:60]), got, want)


def by_hand():
    """The README's hand test, run as written in a folder with the classes,
    the gateway's path changed to this build's."""
    line = re.search(r"^ +(REQUEST_METHOD=GET .* build/tolvane)$", open(README).read(),
                     re.M).group(1).replace(" build/tolvane", " " + GATEWAY)
    env = {"PATH": JDK + "/bin:/usr/bin:/bin"}  # java from PATH, as after the demo
    got = subprocess.run(["sh", "-c", line], cwd=ROOT, env=env, capture_output=True)
    check("the README's hand test", (got.returncode, got.stdout.split(b"\n\n", 1)[1:]),
          (0, [b"method: GET\nargument: \ndata: a=1\n"]))
    # No server in between: what the program itself writes for a HEAD.
    env.update(REQUEST_METHOD="HEAD", QUERY_STRING="name=x", PATH_INFO="/greet",
               TOLVANE_CP=ROOT + "/classes")
    got = subprocess.run([GATEWAY], cwd=ROOT, env=env, capture_output=True)
    check("HEAD without a server", (got.returncode, got.stdout),
          (0, b"Status: 200 OK\nContent-Type: text/html; charset=utf-8\nContent-Length: %s\n\n"
           % greeting("x")[1]["Content-Length"].encode()))


def main():
    subprocess.run(["javac", "-d", ROOT + "/classes", EXAMPLES + "/CGI.java",
                    EXAMPLES + "/Tolvane.java"], check=True)
    by_hand()
    server, port = serve()
    try:
        through_server(port)
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(10)
    shutil.rmtree(ROOT, ignore_errors=True)
    finish()


main()
