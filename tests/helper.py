#!/usr/bin/env python3
"""examples/Tolvane.java, the helper beside examples/CGI.java, with each JDK
installed in /usr/lib/jvm, default-java first: the tables of
tests/helper/HelperTest.java; a warning-free compile for Java 11, the oldest
the docs name; bytecode free of what makes the JVM build or load classes at
start-up; the classes a request loads, against a budget; and the examples of
docs/program.md, compiled and run, through the gateway too.

usage: helper.py TOP GATEWAY"""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

import tally
from tally import check, finish

TOP, GATEWAY = map(os.path.abspath, sys.argv[1:3])
HELPER, CGI = TOP + "/examples/Tolvane.java", TOP + "/examples/CGI.java"
GSON = "/usr/share/java/gson.jar"  # libgoogle-gson-java, as docs/program.md says
WORK = tempfile.mkdtemp(prefix="tolvane-helper-")

# A request may load this many classes more than a program that prints one
# line. Measured here: 18 to 22 on JDK 17, 25 to 35 on JDK 25, where the
# helper before loaded 100 and 114 (JDK 17), 216 and 237 (JDK 25) for the
# form's GET and POST. One '+' adds 84 (JDK 17) to 195 (JDK 25), a lambda 90
# to 175, a first regular expression 14 or more: FORBIDDEN names them too.
BUDGET = 50
FORBIDDEN = ("java.util.regex.", "java.lang.invoke.StringConcatFactory",
             "java.lang.invoke.LambdaMetafactory", "java.util.Formatter")
# In the bytecode: an invokedynamic is a '+' or a lambda; the rest are
# regular expressions and Formatter behind a plain-looking call.
BYTECODE = ("invokedynamic", "java/util/regex", "java/util/Formatter", "String.format",
            "String.split", "String.replaceAll", "String.replaceFirst", "String.matches",
            "PrintStream.printf", "PrintStream.format")


def jdks():
    found, seen = [], set()
    for home in ["/usr/lib/jvm/default-java"] + sorted(glob.glob("/usr/lib/jvm/*")):
        real = os.path.realpath(home)
        if os.path.exists(home + "/bin/javac") and real not in seen:
            seen.add(real)
            found.append(home)
    return found


def run(args, **kw):
    return subprocess.run(args, capture_output=True, timeout=600, **kw)


def compiled(label, jdk, *args):
    p = run([jdk + "/bin/javac", *args])
    check("%s compiles" % label, (p.returncode, p.stdout + p.stderr), (0, b""))
    return p.returncode == 0


def tables(jdk, classes):
    p = run([jdk + "/bin/java", "-cp", classes, "HelperTest"], text=True)
    for line in p.stdout.splitlines():
        if not re.match(r"\d+ passed, \d+ failed$", line):
            print(line)
    counts = re.search(r"^(\d+) passed, (\d+) failed$", p.stdout, re.M)
    if counts:
        tally.passed += int(counts[1])
        tally.failed += int(counts[2])
    check("HelperTest ends with its count", (p.returncode, bool(counts)),
          (1 if counts and int(counts[2]) else 0, True))
    if p.stderr:
        print(p.stderr)


def bytecode(jdk, classes):
    for name in sorted(glob.glob(classes + "/Tolvane*.class")) + [classes + "/CGI.class"]:
        text = run([jdk + "/bin/javap", "-v", "-p", "-c", name], text=True).stdout
        check("what %s uses" % os.path.basename(name), [w for w in BYTECODE if w in text], [])


def loaded(jdk, classes, main, env, body=b"", args=()):
    log = WORK + "/classes.log"
    p = run([jdk + "/bin/java", "-Xlog:class+load:file=" + log, "-cp", classes, main, *args],
            input=body, env={"PATH": "/usr/bin:/bin", **env})
    names = [line.split("] ", 1)[1].split(" ", 1)[0]
             for line in open(log) if "[class,load]" in line]
    return p.stdout.split(b"\n", 1)[0], set(names), len(names)


def budget(jdk, classes):
    with open(WORK + "/Trivial.java", "w") as f:
        f.write('public class Trivial { public static void main(String[] a) { '
                'System.out.print("Status: 200 OK\\n\\n"); } }\n')
    run([jdk + "/bin/javac", "-d", WORK + "/trivial", WORK + "/Trivial.java"])
    _, base, base_count = loaded(jdk, WORK + "/trivial", "Trivial", {})
    form = {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "application/x-www-form-urlencoded"}
    upload = (b"--b\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nZo\xc3\xab\r\n--b\r\n"
              b"Content-Disposition: form-data; name=\"f\"; filename=\"a.bin\"\r\n"
              b"Content-Type: application/octet-stream\r\n\r\n\x00\x01\r\n--b--\r\n")
    routes = [
        # what, environment, body, argument, the response's first line
        ("a GET", {"REQUEST_METHOD": "GET", "QUERY_STRING": "a=1&b=%20x"}, b"", (), b"Status: 200 OK"),
        ("a GET of the form", {"REQUEST_METHOD": "GET", "QUERY_STRING": "name=Zo%C3%AB"}, b"",
         ("/greet",), b"Status: 200 OK"),
        ("a form POST", {**form, "CONTENT_LENGTH": "14"}, b"name=Zo%C3%AB+", ("/greet",),
         b"Status: 303 See Other"),
        # the echo route: /files adds SHA-256, whose provider the JDK sets up
        # with lambdas of its own
        ("a multipart upload", {"REQUEST_METHOD": "POST", "CONTENT_LENGTH": str(len(upload)),
                                "CONTENT_TYPE": "multipart/form-data; boundary=b"}, upload, (),
         b"Status: 200 OK"),
        ("a JSON PUT", {"REQUEST_METHOD": "PUT", "CONTENT_LENGTH": "7",
                        "CONTENT_TYPE": "application/json"}, b'{"a":1}', ("/n",), b"Status: 200 OK"),
    ]
    for what, env, body, args, status in routes:
        first, names, count = loaded(jdk, classes, "CGI", env, body, args)
        extra = count - base_count
        print("%s: %s loads %d classes, %d more than a trivial program" % (jdk, what, count, extra))
        check("%s: answered" % what, first, status)
        check("%s: %d classes more than a trivial program, at most %d" % (what, extra, BUDGET),
              extra <= BUDGET, True)
        check("%s: nothing forbidden loaded" % what,
              sorted(n for n in names - base if n.startswith(FORBIDDEN)), [])


def answer(top, body):
    """A response: its first lines, Content-Length for body, the body."""
    return b"%sContent-Length: %d\n\n%s" % (top, len(body), body)


def docs(jdk):
    """docs/program.md's programs, each a block that starts with its file's name."""
    files = re.findall(r"```java\n// (\w+\.java)\n(.*?)```", open(TOP + "/docs/program.md").read(), re.S)
    check("docs/program.md's programs", sorted(f for f, _ in files),
          ["Hello.java", "Notes.java", "NotesTest.java"])
    src, classes = WORK + "/docs", WORK + "/docs/classes"
    os.makedirs(src, exist_ok=True)
    for name, text in files:
        with open(src + "/" + name, "w") as f:
            f.write("// %s\n%s" % (name, text))
    if not compiled("docs/program.md's programs, for Java 11,", jdk, "--release", "11", "-cp", GSON,
                    "-d", classes, HELPER, *[src + "/" + f for f, _ in files]):
        return
    p = run([jdk + "/bin/java", "-cp", classes + ":" + GSON, "NotesTest"])
    check("docs/program.md's NotesTest", (p.returncode, p.stdout), (0, b"NotesTest: passed\n"))

    notes, lib = WORK + "/notes", WORK + "/lib"
    os.makedirs(notes, exist_ok=True)
    # The library jars in a folder of their own, named by the JVM's wildcard,
    # which the gateway passes on as written.
    os.makedirs(lib, exist_ok=True)
    shutil.copy(GSON, lib)
    env = {"PATH": jdk + "/bin:/usr/bin:/bin", "TOLVANE_CP": classes + ":" + lib + "/*", "NOTES": notes,
           "SCRIPT_NAME": "/app", "QUERY_STRING": ""}
    coffee = '{"text": "café ☕"}'.encode()
    rows = [
        # class, environment, body, the response
        ("Notes", {"REQUEST_METHOD": "POST", "PATH_INFO": "/notes", "CONTENT_TYPE": "application/json",
                   "CONTENT_LENGTH": str(len(coffee))}, coffee,
         answer(b"Status: 201 Created\nLocation: /app/notes/1\nContent-Type: application/json\n",
                b'{"id":1,"text":%s}' % coffee[9:-1])),
        ("Notes", {"REQUEST_METHOD": "GET", "PATH_INFO": "/notes"}, b"",
         answer(b"Status: 200 OK\nContent-Type: application/json\n", b'[{"id":1,"text":%s}]' % coffee[9:-1])),
        ("Notes", {"REQUEST_METHOD": "GET", "PATH_INFO": "/notes/..%2F1"}, b"",
         answer(b"Status: 404 Not Found\nContent-Type: application/json\n", b'{"error":"no such page"}')),
        ("Hello", {"REQUEST_METHOD": "POST", "CONTENT_TYPE": "application/x-www-form-urlencoded",
                   "CONTENT_LENGTH": "8"}, b"name=Ada",
         answer(b"Status: 303 See Other\nSet-Cookie: name=QWRh; Max-Age=86400; HttpOnly; SameSite=Lax\n"
                b"Location: /app/\nContent-Type: text/plain; charset=utf-8\n", b"See /app/\n")),
    ]
    for main, request, body, want in rows:
        p = run([GATEWAY], input=body, env={**env, **request, "TOLVANE_CLASS": main})
        check("docs/program.md's %s %s %s" % (main, request["REQUEST_METHOD"], request.get("PATH_INFO", "")),
              (p.returncode, p.stdout), (0, want))


def main():
    homes = jdks()
    check("default-java is installed", homes[:1], ["/usr/lib/jvm/default-java"])
    if not os.path.exists(GSON):
        sys.exit("helper.py: %s is missing: apt-get install libgoogle-gson-java" % GSON)
    for jdk in homes:
        print("with %s" % os.path.realpath(jdk))
        classes = WORK + "/classes"
        shutil.rmtree(WORK, ignore_errors=True)
        os.makedirs(WORK)
        if compiled("Tolvane.java and CGI.java for Java 11", jdk, "--release", "11", "-Xlint:all", "-Werror",
                    "-d", WORK + "/release11", HELPER, CGI) and \
                compiled("Tolvane.java and CGI.java", jdk, "-Xlint:all", "-Werror", "-d", classes, HELPER, CGI) and \
                compiled("HelperTest.java", jdk, "-cp", classes, "-d", classes, TOP + "/tests/helper/HelperTest.java"):
            tables(jdk, classes)
            bytecode(jdk, classes)
            budget(jdk, classes)
        docs(jdk)
    shutil.rmtree(WORK, ignore_errors=True)
    finish()


main()
