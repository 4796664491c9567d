#!/usr/bin/env python3
"""End to end through a real web server and the real JVM with examples/CGI.java.

usage: servers.py GATEWAY EXAMPLES SERVER"""
import hashlib
import http.client
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import time

GATEWAY, EXAMPLES, SERVER = sys.argv[1:4]
ROOT = tempfile.mkdtemp(prefix="tolvane-%s-" % SERVER)
passed = failed = 0


def check(label, got, want):
    global passed, failed
    if got == want:
        passed += 1
    else:
        failed += 1
        print("FAIL %s\n  got:  %.300r\n  want: %.300r" % (label, got, want))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def java_home():
    return os.path.dirname(os.path.dirname(os.path.realpath(shutil.which("javac"))))


def lighttpd(env):
    return subprocess.Popen(["lighttpd", "-D", "-f", os.path.join(EXAMPLES, "lighttpd.conf")],
                            env=env, stdout=subprocess.DEVNULL)


def serve():
    classes = os.path.join(ROOT, "classes")
    subprocess.run(["javac", "-d", classes, os.path.join(EXAMPLES, "CGI.java")], check=True)
    port = free_port()
    env = {**os.environ, "PORT": str(port), "TOLVANE_ROOT": ROOT, "TOLVANE": GATEWAY,
           "JAVA_HOME": java_home(), "TOLVANE_CP": classes}
    server = {"lighttpd": lighttpd}[SERVER](env)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port)).close()
            return server, port
        except OSError:
            time.sleep(0.1)
    server.kill()
    sys.exit("%s did not start" % SERVER)


def request(port, method, url, body=None, headers={}):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=120)
    c.request(method, url, body=body, headers=headers)
    r = c.getresponse()
    return r.getheader("Content-Type"), r.read()


def echo(method, argument, data):
    return "text/plain", b"method: %s\nargument: %s\ndata: %s\n" % (
        method.encode(), argument.encode(), data)


def main():
    server, port = serve()
    try:
        form = {"Content-Type": "application/x-www-form-urlencoded"}
        upload = os.urandom(5 << 20).replace(b"\0", b"\1")
        rows = [
            # method, URL, body, expected content type and body
            ("GET", "/app/cart/7?a=1&b=%20x+y", None, echo("GET", "/cart/7", b"a=1&b=%20x+y")),
            ("POST", "/app/form", b"name=Ada&lang=java", echo("POST", "/form", b"name=Ada&lang=java")),
            ("GET", "/broken/x", None, ("text/html", (
                "<html>\n  <head>\n    <title>ERROR - [Tolvane]</title>\n  </head>\n"
                "  <body>\n    exit failure to '%s/bin/java -cp %s/classes NoSuchClass /x'.\n"
                "  </body>\n</html>\n" % (java_home(), ROOT)).encode())),
        ]
        for method, url, body, want in rows:
            check("%s %s" % (method, url), request(port, method, url, body, form), want)
        _, got = request(port, "POST", "/app/upload", upload, {"Content-Type": "application/octet-stream"})
        check("5 MB upload", hashlib.sha256(got).hexdigest(),
              hashlib.sha256(echo("POST", "/upload", upload)[1]).hexdigest())
    finally:
        server.terminate()
        server.wait()
    shutil.rmtree(ROOT)
    print("%d passed, %d failed" % (passed, failed))
    sys.exit(1 if failed else 0)


main()
