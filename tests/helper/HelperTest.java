import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * examples/Tolvane.java and the handler of examples/CGI.java, without the
 * gateway: tables of ordinary and hostile requests, the runner, and the
 * request as read from a real environment and standard input (a child JVM).
 * Prints "N passed, M failed".
 *
 * usage: java -cp CLASSES HelperTest
 */
public class HelperTest {
    static int passed, failed;

    static void check(String label, Object got, Object want) {
        if (Arrays.deepEquals(new Object[] {got}, new Object[] {want})) {
            passed++;
        } else {
            failed++;
            System.out.printf("FAIL %s%n  got:  %s%n  want: %s%n", label, show(got), show(want));
        }
    }

    static String show(Object o) {
        String s = o instanceof byte[] ? new String((byte[]) o, StandardCharsets.ISO_8859_1)
                : o instanceof Object[] ? Arrays.deepToString((Object[]) o) : String.valueOf(o);
        s = s.replace("\r", "\\r").replace("\n", "\\n");
        return s.length() > 400 ? s.substring(0, 400) + "..." : s;
    }

    static byte[] bytes(String s) {
        return s.getBytes(StandardCharsets.UTF_8);
    }

    static Map<String, String> headers(String... pairs) {
        Map<String, String> m = new LinkedHashMap<>();
        for (int i = 0; i < pairs.length; i += 2)
            m.put(pairs[i], pairs[i + 1]);
        return m;
    }

    /** The request, or "400: message" for one refused. */
    static Object request(String method, String query, String type, byte[] body) {
        try {
            return new Tolvane.Request(method, "/x", query,
                    type == null ? headers() : headers("Content-Type", type), body);
        } catch (Tolvane.BadRequest e) {
            return "400: " + e.getMessage();
        }
    }

    /** A request that must have been read: a refusal fails the row and stands as an empty one. */
    static Tolvane.Request must(String label, Object request) {
        if (request instanceof Tolvane.Request)
            return (Tolvane.Request) request;
        check(label + " read", request, "a request");
        return get("GET");
    }

    /** What a handler writes for a request, run as serve runs it, and what it logs. */
    static String[] respond(Tolvane.Request request, Tolvane.Handler handler) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(), err = new ByteArrayOutputStream();
        PrintStream was = System.err;
        System.setErr(new PrintStream(err, true));
        try {
            Tolvane.run(request, new Tolvane.Response(request, out), handler);
        } finally {
            System.setErr(was);
        }
        return new String[] {out.toString(StandardCharsets.UTF_8), err.toString(StandardCharsets.UTF_8)};
    }

    /** A response: its first lines, Content-Length for body, the body. */
    static String page(String top, String body) {
        return top + "Content-Length: " + bytes(body).length + "\n\n" + body;
    }

    /** The same response to a HEAD. */
    static String head(String page) {
        return page.substring(0, page.indexOf("\n\n") + 2);
    }

    static Tolvane.Request get(String method) {
        return new Tolvane.Request(method, "/x", "", null, null);
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 0) {
            serveForTheChild();
            return;
        }
        decoding();
        forms();
        multipart();
        filenames();
        hostile();
        limits();
        headersAndCookies();
        responses();
        json();
        runner();
        handler();
        fromTheEnvironment();
        System.out.printf("%d passed, %d failed%n", passed, failed);
        System.exit(failed == 0 ? 0 : 1);
    }

    static void decoding() {
        String[][] rows = {
            // sent, decoded
            {"a+b%20c", "a b c"},
            {"%41%5a%5A%7e", "AZZ~"},
            {"%e2%9c%93%E2%9C%93", "✓✓"},
            // raw and escaped characters outside the BMP come through whole
            {"😀", "😀"},
            {"%F0%9F%98%80", "😀"},
            {"日本%E8%AA%9E", "日本語"},
            // malformed escapes are kept as sent
            {"%zz%2%", "%zz%2%"},
            {"100%", "100%"},
            {"%%41", "%A"},
            // only ASCII hex digits: fullwidth and Arabic-Indic digits are no escape
            {"%２Ｆ..%٢ｆ", "%２Ｆ..%٢ｆ"},
            // a truncated UTF-8 sequence becomes one replacement character
            {"%F0%9F", "\uFFFD"},
            {"", ""},
        };
        for (String[] row : rows)
            check("decode " + row[0], Tolvane.decode(row[0]), row[1]);
    }

    static void forms() {
        String form = "application/x-www-form-urlencoded";
        Object[][] rows = {
            // method, query, Content-Type, body, name; query(name), form(name), param(name), params(name)
            {"POST", "name=Q", form, "name=B", "name", "Q", "B", "B", List.of("B", "Q")},
            {"GET", "a=1&a=2&b", null, "", "a", "1", null, "1", List.of("1", "2")},
            {"GET", "a=1&a=2&b", null, "", "b", "", null, "", List.of("")},
            {"GET", "&&=x&a==b&", null, "", "a", "=b", null, "=b", List.of("=b")},
            {"GET", "&&=x&a==b&", null, "", "", "x", null, "x", List.of("x")},
            {"PUT", "", form, "k=%F0%9F%98%80+😀", "k", null, "😀 😀", "😀 😀", List.of("😀 😀")},
            {"PATCH", "", "Application/X-WWW-Form-Urlencoded ; charset=UTF-8", "a=1", "a", null, "1", "1",
                List.of("1")},
            // another type: the body is no form
            {"POST", "", "application/x-www-form-urlencodedX", "a=1", "a", null, null, null, List.of()},
            {"POST", "", "text/plain", "a=1", "a", null, null, null, List.of()},
            {"POST", "", null, "a=1", "a", null, null, null, List.of()},
            {"GET", "x=%zz", form, "", "x", "%zz", null, "%zz", List.of("%zz")},
        };
        for (Object[] r : rows) {
            Tolvane.Request q = must("form", request((String) r[0], (String) r[1], (String) r[2],
                    bytes((String) r[3])));
            String n = (String) r[4];
            check("form " + Arrays.toString(Arrays.copyOf(r, 5)),
                    new Object[] {q.query(n), q.form(n), q.param(n), q.params(n)},
                    Arrays.copyOfRange(r, 5, 9));
        }
    }

    /** The parts as "name|raw file name|file name|type|text", or the refusal. */
    static String parts(Object request) {
        if (!(request instanceof Tolvane.Request))
            return (String) request;
        StringBuilder b = new StringBuilder();
        Tolvane.Request q = (Tolvane.Request) request;
        for (Tolvane.Part p : q.parts())
            b.append(p.name).append('|').append(p.rawFilename).append('|').append(p.filename).append('|')
                    .append(p.type).append('|').append(p.text()).append(';');
        return b.append(" fields ").append(q.fields()).toString();
    }

    static final String CD = "Content-Disposition: form-data; ";

    static void multipart() {
        String mp = "multipart/form-data; boundary=";
        String[][] rows = {
            // Content-Type, body, parts and form fields or the refusal
            {mp + "b", "--b\r\n" + CD + "name=\"t\"\r\n\r\nZoë 😀\r\n--b\r\n" + CD
                + "name=\"f\"; filename=\"a.txt\"\r\nContent-Type: text/plain\r\n\r\nx\r\ny\r\n--b--\r\n",
                "t|null|null|null|Zoë 😀;f|a.txt|a.txt|text/plain|x\r\ny; fields {t=[Zoë 😀]}"},
            // a preamble, a quoted boundary, an epilogue, transport padding
            {"multipart/form-data; boundary=\"b=1\"", "preamble\r\n--b=1  \r\n" + CD
                + "filename=\"x; name=y.bin\"; name=\"f\"\r\n\r\nabc\r\n--b=1--\r\nepilogue",
                "f|x; name=y.bin|x; name=y.bin|null|abc; fields {}"},
            // the parameter inside quotes is text: the boundary is real's
            {"multipart/form-data; x=\"; boundary=evil\"; boundary=real",
                "--evil\r\n" + CD + "name=e\r\n\r\nE\r\n--evil--\r\n--real\r\n" + CD
                + "name=r\r\n\r\nR\r\n--real--",
                "r|null|null|null|R; fields {r=[R]}"},
            // the boundary's beginning, or the boundary without a line end
            // after it, is content
            {mp + "b", "--b\r\n" + CD + "name=a\r\n\r\n\r\n--\r\n--bc\r\n--b x\r\n--b--",
                "a|null|null|null|\r\n--\r\n--bc\r\n--b x; fields {a=[\r\n--\r\n--bc\r\n--b x]}"},
            // an empty file input: a file part all the same, not a field
            {mp + "b", "--b\r\n" + CD + "name=\"f\"; filename=\"\"\r\nContent-Type: application/octet-stream"
                + "\r\n\r\n\r\n--b--", "f||null|application/octet-stream|; fields {}"},
            // header names in any case; a part without headers beyond the name
            {mp + "B", "--B\r\ncontent-disposition: Form-Data; NAME=\"N\"\r\n\r\nv\r\n--B--",
                "N|null|null|null|v; fields {N=[v]}"},
            {mp + "b", "--b\r\n" + CD + "name=a\r\n\r\n1\r\n--b\r\n" + CD + "name=a\r\n\r\n2\r\n--b--",
                "a|null|null|null|1;a|null|null|null|2; fields {a=[1, 2]}"},
            // no blank after the colon, a tab, an empty value, controls but
            // CR and LF in a value: read one way only
            {mp + "b", "--b\r\nContent-Disposition:form-data;name=a\r\nX-Empty:\r\n"
                + "Content-Type:\ttext/plain\t\r\nX-C: \u0001\u007f\r\n\r\nv\r\n--b--",
                "a|null|null|text/plain|v; fields {a=[v]}"},
            // refused: what a parser could read otherwise, or not at all
            {mp + "b", "--b\r\n" + CD + "name=a\r\n\r\nshort", "400: a multipart body cut short"},
            {mp + "b", "", "400: a multipart body without its boundary"},
            {mp + "b", "no delimiter at all", "400: a multipart body without its boundary"},
            {mp + "b", "--b\r\n" + CD + "name=a\r\n\r\nx\r\n--b\r\n", "400: a multipart body cut short"},
            {"multipart/form-data", "--b--", "400: a multipart Content-Type without a boundary"},
            {mp + "a; boundary=b", "--b--", "400: a malformed multipart Content-Type"},
            {mp + "a; boundary*=UTF-8''b", "--b--", "400: a malformed multipart Content-Type"},
            {"multipart/form-data; boundary*0=b", "--b--", "400: a malformed multipart Content-Type"},
            {mp + "\"b", "--b--", "400: a malformed multipart Content-Type"},
            {mp + "b c", "--b--", "400: a malformed multipart Content-Type"},
            {mp + "b", "--b\r\nContent-Type: text/plain\r\n\r\nx\r\n--b--",
                "400: a multipart part without a form-data name"},
            {mp + "b", "--b\r\nContent-Disposition: attachment; name=a\r\n\r\nx\r\n--b--",
                "400: a multipart part without a form-data name"},
            {mp + "b", "--b\r\n" + CD + "name=\"a\r\n\r\nx\r\n--b--",
                "400: a multipart part without a form-data name"},
            {mp + "b", "--b\r\n" + CD + "name=a\r\n" + CD + "name=b\r\n\r\nx\r\n--b--",
                "400: a multipart part with two Content-Dispositions"},
            {mp + "b", "--b\r\n" + CD + "name=a\r\nx\r\n--b--",
                "400: a multipart part without the end of its headers"},
            {mp + "b", "--b\r\n" + CD + "name=a; name=b\r\n\r\nx\r\n--b--",
                "400: a multipart part without a form-data name"},
        };
        for (String[] r : rows)
            check("multipart " + show(r[0] + " " + r[1]), parts(request("POST", "", r[0], bytes(r[1]))), r[2]);

        // Part headers that RFC 5322 reads otherwise, as a filter in front
        // may: a line that starts with a blank continues the line before it
        // (Python's email package sees no Content-Disposition in either), and
        // a field name ends at its colon, blanks included. Refused, as a
        // second Content-Disposition is, rather than read as a file part.
        String[] misread = {
            "--b\r\nX-Note: a\r\n " + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nX-Note: a\r\n\t" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nContent-Disposition : form-data; name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nContent-Disposition\t: form-data; name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            // RFC 7578 4.2: filename* MUST NOT be used; a parser that follows
            // RFC 6266 4.3 takes it over filename, and sees a.txt
            "--b\r\n" + CD + "name=\"f\"; filename=\"evil.jsp\"; filename*=UTF-8''a.txt\r\n\r\nx\r\n--b--",
            // RFC 2231's pieces, which Python joins into the file evil.jsp
            "--b\r\n" + CD + "name=\"f\"; filename*0=\"evil\"; filename*1=\".jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\n" + CD + "name=\"f\"; name*=UTF-8''g; filename=\"a.txt\"\r\n\r\nx\r\n--b--",
            // a lone LF or CR ends a line for Python, which sees the file in
            // the first two, and "b\"" as the first line of content in the
            // others
            "--b\r\nX-Note: a\n" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nX-Note: a\r" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\n" + CD + "name=\"f\"; x=\"a\nb\"\r\n\r\nx\r\n--b--",
            "--b\r\n" + CD + "name=\"f\"; x=\"a\rb\"\r\n\r\nx\r\n--b--",
            // a name with a blank or a character outside ASCII, or no colon,
            // ends the headers for Python: no Content-Disposition after it;
            // a line with no name at all is no RFC 5322 header either
            "--b\r\nx\r\n" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nFrom a\r\n" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\n: a\r\n" + CD + "name=\"f\"; filename=\"evil.jsp\"\r\n\r\nx\r\n--b--",
            "--b\r\nContent-Disposi\u00f6n: x\r\n" + CD + "name=\"f\"\r\n\r\nx\r\n--b--",
        };
        for (String body : misread) {
            Object got = request("POST", "", mp + "b", bytes(body));
            check("multipart, read otherwise by RFC 5322: " + show(body),
                    got instanceof String && ((String) got).startsWith("400: ") ? "refused" : parts(got), "refused");
        }

        // Every byte value in a file, the delimiter's own start among them.
        byte[] all = new byte[256 * 4 + 8];
        for (int i = 0; i < all.length - 8; i++)
            all[i] = (byte) i;
        System.arraycopy(bytes("\r\n--b\r-\n"), 0, all, all.length - 8, 8);
        ByteArrayOutputStream body = new ByteArrayOutputStream();
        body.writeBytes(bytes("--b\r\n" + CD + "name=f; filename=all.bin\r\n\r\n"));
        body.writeBytes(all);
        body.writeBytes(bytes("\r\n--b--\r\n"));
        Tolvane.Part f = must("every byte", request("POST", "", mp + "b", body.toByteArray())).part("f");
        check("multipart: every byte value", f == null ? null : f.data, all);
        check("multipart: a file", f == null ? null : f.isFile(), true);
    }

    static void filenames() {
        String[][] rows = {
            // sent in the quoted filename, rawFilename, filename
            {"../../x.jsp", "../../x.jsp", "x.jsp"},
            {"/etc/passwd", "/etc/passwd", "passwd"},
            {"C:\\Users\\a\\b.txt", "C:\\Users\\a\\b.txt", "b.txt"},
            {"C:evil.txt", "C:evil.txt", "evil.txt"},
            {"..", "..", null},
            {".", ".", null},
            {"a/..", "a/..", null},
            {". .", ". .", null},
            {"x.txt. ", "x.txt. ", "x.txt"},
            {"  spaced.txt", "  spaced.txt", "spaced.txt"},
            {"a\u0001b\u007f\u0085.txt", "a\u0001b\u007f\u0085.txt", "ab.txt"},
            {"dir/", "dir/", null},
            {"", "", null},
            {"空.txt", "空.txt", "空.txt"},
            {".htaccess", ".htaccess", ".htaccess"},
            // as browsers escape a quote, CR and LF; any other % is the name's
            {"say %22hi%22.txt", "say \"hi\".txt", "say _hi_.txt"},
            // what Windows refuses in a name, and the marks that reorder
            // text ("txt.exe" shown as "exe.txt")
            {"a*b?c|d<e>f.txt", "a*b?c|d<e>f.txt", "a_b_c_d_e_f.txt"},
            {"evil\u202etxt.exe", "evil\u202etxt.exe", "eviltxt.exe"},
            {"\u200fa\u200e\u061c\u202a\u202c\u2066\u2069.txt\u2067\u2068", "\u200fa\u200e\u061c\u202a\u202c\u2066\u2069.txt\u2067\u2068", "a.txt"},
            {"x.txt\u200f.", "x.txt\u200f.", "x.txt"},
            // Windows devices get a '_' before them; names that only look
            // like one stay as they are
            {"CON", "CON", "_CON"},
            {"nul.tar.gz", "nul.tar.gz", "_nul.tar.gz"},
            {"con .txt", "con .txt", "_con .txt"},
            {"CON.", "CON.", "_CON"},
            {"a:Com\u00b2", "a:Com\u00b2", "_Com\u00b2"},
            {"NUL\u200e.txt", "NUL\u200e.txt", "_NUL.txt"},
            {"conout$.log", "conout$.log", "_conout$.log"},
            {"COM10.txt", "COM10.txt", "COM10.txt"},
            {"CONSOLE", "CONSOLE", "CONSOLE"},
            {"LPT", "LPT", "LPT"},
            {"xnul", "xnul", "xnul"},
            {"a.con", "a.con", "a.con"},
            {"COM\u2074", "COM\u2074", "COM\u2074"},
            {"a%0D%0Ab.txt", "a\r\nb.txt", "ab.txt"},
            {"100%25.txt", "100%25.txt", "100%25.txt"},
            {"..%2F..%2Fx", "..%2F..%2Fx", "..%2F..%2Fx"},
        };
        for (String[] r : rows) {
            String body = "--b\r\n" + CD + "name=f; filename=\"" + r[0] + "\"\r\n\r\nx\r\n--b--";
            Tolvane.Part p = must("filename", request("POST", "", "multipart/form-data; boundary=b",
                    bytes(body))).part("f");
            check("filename " + show(r[0]), p == null ? null : new String[] {p.rawFilename, p.filename},
                    new String[] {r[1], r[2]});
        }
        // On Windows these name devices in every folder (the console, the
        // bit bucket, serial and parallel ports), with or without a suffix:
        // new File(dir, filename) would write the upload there, or read
        // from the console, not a file.
        String[] devices = {"CON", "con.txt", "NUL", "nul.tar.gz", "PRN", "AUX.log", "COM1", "com9.jsp",
            "LPT1", "lpt3.txt", "LPT0", "CONIN$", "CONOUT$", "COM\u00b9", "con .txt", "x/../NUL", "NUL:"};
        for (String raw : devices) {
            String body = "--b\r\n" + CD + "name=f; filename=\"" + raw + "\"\r\n\r\nx\r\n--b--";
            Tolvane.Part p = must("filename", request("POST", "", "multipart/form-data; boundary=b",
                    bytes(body))).part("f");
            String safe = p == null ? null : p.filename;
            check("filename " + show(raw) + " is no Windows device: " + safe, device(safe), false);
        }
        check("a field name as browsers escape it", parts(request("POST", "", "multipart/form-data; boundary=b",
                bytes("--b\r\n" + CD + "name=\"a%22b\"\r\n\r\nx\r\n--b--"))), "a\"b|null|null|null|x; fields {a\"b=[x]}");
    }

    /**
     * Whether Windows opens a device for that name, in any folder: the
     * reserved names of Microsoft's "Naming Files, Paths, and Namespaces",
     * which says NUL.txt and NUL.tar.gz are NUL too, and the console's.
     */
    static boolean device(String name) {
        if (name == null)
            return false;
        int dot = name.indexOf('.');
        String stem = (dot < 0 ? name : name.substring(0, dot)).trim().toUpperCase(java.util.Locale.ROOT);
        return List.of("CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$").contains(stem)
                || stem.length() == 4 && (stem.startsWith("COM") || stem.startsWith("LPT"))
                && "0123456789\u00b9\u00b2\u00b3".indexOf(stem.charAt(3)) >= 0;
    }

    /** The thread's CPU time for making the request, in ms, and how it ended. */
    static Object[] timed(Map<String, String> headers, byte[] body) {
        ThreadMXBean bean = ManagementFactory.getThreadMXBean();
        long start = bean.getCurrentThreadCpuTime();
        Object got;
        try {
            got = new Tolvane.Request("POST", "/x", "", headers, body);
        } catch (Tolvane.BadRequest e) {
            got = "400: " + e.getMessage();
        }
        long ms = (bean.getCurrentThreadCpuTime() - start) / 1000000;
        return new Object[] {ms, got instanceof String ? got : "parsed"};
    }

    static byte[] repeat(String piece, int size) {
        return bytes(piece.repeat(size / piece.length()));
    }

    static void hostile() {
        int mb4 = 4 << 20;
        String mp = "multipart/form-data; boundary=";
        String longBoundary = "x".repeat(1000);
        // Time alone, with the limits out of the way: a program that
        // raised them as far as they go still reads in linear time.
        int fields = Tolvane.maxFields, parts = Tolvane.maxParts;
        Tolvane.maxFields = Tolvane.maxParts = Integer.MAX_VALUE;
        Object[][] rows = {
            // Content-Type, body: each read in linear time
            {mp + "b", bytes("--b\r\n" + CD + "name=a" + ";".repeat(mb4) + "\r\n\r\nx\r\n--b--"), "parsed"},
            {mp + "b", bytes("--b\r\n" + CD + "name=a; x=" + "\"".repeat(mb4)),
                "400: a multipart body cut short"},
            {mp + "b", bytes("--b\r\n" + CD + "name=a; x=\"" + "\\\"".repeat(mb4 / 2) + "\r\n\r\nx\r\n--b--"),
                "400: a multipart part without a form-data name"},
            {mp + "b", bytes("--b\r\n" + CD + "name=a; " + "a=;".repeat(mb4 / 3) + "\r\n\r\nx\r\n--b--"),
                "400: a multipart part without a form-data name"},
            {mp + "b", repeat("\r\n--", mb4), "400: a multipart body without its boundary"},
            {mp + "b", repeat("--b\r\n", mb4), "400: a multipart part without the end of its headers"},
            {mp + "b", bytes("--b\r\n" + CD + "name=a\r\n\r\n" + "\r\n--b-\r\n--b\r-\r\n-".repeat(mb4 / 20)
                + "\r\n--b--"), "parsed"},
            {mp + longBoundary, bytes("--" + longBoundary + "\r\n" + CD + "name=a\r\n\r\n"
                + ("\r\n--" + longBoundary.substring(1)).repeat(mb4 / 1004) + "\r\n--" + longBoundary + "--"),
                "parsed"},
            {mp + "b", repeat("--b\r\n" + CD + "name=a\r\n\r\n\r\n", mb4), "400: a multipart body cut short"},
            {mp + "b", bytes("--b\r\n" + "\r\n".repeat(mb4 / 2)), "400: a multipart body cut short"},
            {mp + "b", bytes("--b\r\n" + "X: y\r\n".repeat(mb4 / 6) + CD + "name=a\r\n\r\nx\r\n--b--"), "parsed"},
            {mp + "b", bytes("--b\r\n" + "x\r\n".repeat(mb4 / 3) + CD + "name=a\r\n\r\nx\r\n--b--"),
                "400: a multipart part with a header line read more ways than one"},
            {mp + "b", bytes("--b\r\n" + "x".repeat(mb4) + "\r\n" + CD + "name=a\r\n\r\nx\r\n--b--"),
                "400: a multipart part with a header line read more ways than one"},
            {mp + "b", bytes("--b\r\n" + CD + "name=a\r\nX: " + "\r".repeat(mb4) + "\r\n\r\nx\r\n--b--"),
                "400: a multipart part with a header line read more ways than one"},
            {mp + ";".repeat(mb4) + "b", bytes("--b--"), "400: a malformed multipart Content-Type"},
            {"multipart/form-data; " + ";".repeat(mb4) + "boundary=b", bytes("--b--"), "parsed"},
            {"application/x-www-form-urlencoded", repeat("&=%%2&a=+%", mb4), "parsed"},
        };
        for (Object[] r : rows) {
            Object[] got = timed(headers("Content-Type", (String) r[0]), (byte[]) r[1]);
            String label = "hostile " + show(((String) r[0]).substring(0, Math.min(60, ((String) r[0]).length()))
                    + " " + show(Arrays.copyOf((byte[]) r[1], 60)));
            check(label, got[1], r[2]);
            // A quadratic parse of any of these takes minutes.
            check(label + " in under a second of CPU, not " + got[0] + " ms", (long) got[0] < 1000, true);
        }
        Object[] got = timed(headers("Cookie", "a;".repeat(mb4 / 2) + "b=1"), null);
        check("hostile Cookie in under a second of CPU, not " + got[0] + " ms", (long) got[0] < 1000, true);
        Tolvane.maxFields = fields;
        Tolvane.maxParts = parts;
    }

    /** The bytes the thread allocated making the request, and how it ended. */
    static Object[] allocated(String type, byte[] body) {
        com.sun.management.ThreadMXBean bean = (com.sun.management.ThreadMXBean) ManagementFactory.getThreadMXBean();
        long start = bean.getCurrentThreadAllocatedBytes();
        Object got = request("POST", "", type, body);
        return new Object[] {bean.getCurrentThreadAllocatedBytes() - start, counted(got)};
    }

    /** How many fields (query and form) and parts a request holds, or its refusal. */
    static String counted(Object request) {
        if (!(request instanceof Tolvane.Request))
            return (String) request;
        Tolvane.Request q = (Tolvane.Request) request;
        int fields = 0;
        for (List<String> values : q.queries().values())
            fields += values.size();
        for (List<String> values : q.fields().values())
            fields += values.size();
        return fields + " fields, " + q.parts().size() + " parts";
    }

    static void limits() {
        String form = "application/x-www-form-urlencoded", mp = "multipart/form-data; boundary=b";
        String text = "--b\r\n" + CD + "name=t\r\n\r\nx\r\n", file = "--b\r\n" + CD + "name=f; filename=a\r\n\r\nx\r\n";
        int shipped = -1, fields = Tolvane.maxFields, parts = Tolvane.maxParts;
        Object[][] rows = {
            // maxFields, maxParts (-1: as shipped), query, Content-Type, body; what was read, or the refusal
            {shipped, shipped, "a&".repeat(1000), null, "", "1000 fields, 0 parts"},
            {shipped, shipped, "a&".repeat(1001), null, "", "400: a request of more than 1000 fields"},
            {shipped, shipped, "q=1&".repeat(600), form, "f=2&".repeat(400), "1000 fields, 0 parts"},
            {shipped, shipped, "q=1&".repeat(600), form, "f=2&".repeat(401), "400: a request of more than 1000 fields"},
            // empty pairs are no fields
            {shipped, shipped, "", form, "&".repeat(100000) + "=", "1 fields, 0 parts"},
            {shipped, shipped, "", mp, file.repeat(100) + "--b--", "0 fields, 100 parts"},
            {shipped, shipped, "", mp, file.repeat(101) + "--b--", "400: a multipart body of more than 100 parts"},
            // a multipart text field is a field and a part
            {shipped, shipped, "q&".repeat(950), mp, text.repeat(50) + "--b--", "1000 fields, 50 parts"},
            {shipped, shipped, "q&".repeat(951), mp, text.repeat(50) + "--b--", "400: a request of more than 1000 fields"},
            // raised, lowered
            {5000, 1000, "", form, "a=1&".repeat(5000), "5000 fields, 0 parts"},
            {5000, 1000, "", mp, file.repeat(1000) + "--b--", "0 fields, 1000 parts"},
            {5000, 1000, "", mp, file.repeat(1001) + "--b--", "400: a multipart body of more than 1000 parts"},
            {0, 0, "", form, "", "0 fields, 0 parts"},
            {0, 0, "a", null, "", "400: a request of more than 0 fields"},
            {shipped, 0, "", mp, file + "--b--", "400: a multipart body of more than 0 parts"},
        };
        for (Object[] r : rows) {
            Tolvane.maxFields = (int) r[0] < 0 ? fields : (int) r[0];
            Tolvane.maxParts = (int) r[1] < 0 ? parts : (int) r[1];
            check("limits " + r[0] + " " + r[1] + " " + show(((String) r[2]).substring(0, Math.min(20, ((String) r[2]).length())))
                    + " " + show(((String) r[4]).substring(0, Math.min(60, ((String) r[4]).length()))),
                    counted(request("POST", (String) r[2], (String) r[3], bytes((String) r[4]))), r[5]);
        }
        Tolvane.maxFields = fields;
        Tolvane.maxParts = parts;

        // The shapes that held hundreds of megabytes (a form of millions of
        // fields, a body of empty parts) are refused before they take
        // memory; under limits raised out of the way, each field or part
        // costs a few hundred bytes at most, garbage included.
        int mb4 = 4 << 20, many = Integer.MAX_VALUE;
        StringBuilder distinct = new StringBuilder();
        int names = 0;
        for (; distinct.length() < mb4; names++)
            distinct.append(Integer.toString(names, 36)).append("=1&");
        Object[][] memory = {
            // maxFields, maxParts, Content-Type, body, fields and parts in it, bytes allocated at most
            {fields, parts, form, repeat("a=1&", mb4), "400: a request of more than 1000 fields", 1L << 20},
            {fields, many, mp, repeat(text, mb4), "400: a request of more than 1000 fields", 1L << 20},
            {fields, parts, mp, repeat(file, mb4), "400: a multipart body of more than 100 parts", 1L << 20},
            {many, many, form, repeat("a=1&", mb4), mb4 / 4 + " fields, 0 parts", 200L * (mb4 / 4)},
            {many, many, form, bytes(distinct.toString()), names + " fields, 0 parts", 300L * names},
            {many, many, mp, bytes(file.repeat(mb4 / file.length()) + "--b--"), "0 fields, " + mb4 / file.length() + " parts",
                1000L * (mb4 / file.length())},
        };
        for (Object[] r : memory) {
            Tolvane.maxFields = (int) r[0];
            Tolvane.maxParts = (int) r[1];
            Object[] got = allocated((String) r[2], (byte[]) r[3]);
            String label = "memory " + r[0] + " " + r[1] + " " + show(Arrays.copyOf((byte[]) r[3], 40));
            check(label, got[1], r[4]);
            check(label + ": " + got[0] + " bytes allocated, at most " + r[5], (long) got[0] <= (long) r[5], true);
        }
        Tolvane.maxFields = fields;
        Tolvane.maxParts = parts;
    }

    static void headersAndCookies() {
        Tolvane.Request q = new Tolvane.Request("GET", "/x", "", headers("User-Agent", "curl/8",
                "X_Forwarded_For", "1.2.3.4", "content-length", "0"), null);
        String[][] rows = {
            // asked for, value
            {"User-Agent", "curl/8"}, {"user-agent", "curl/8"}, {"USER_AGENT", "curl/8"},
            {"X-Forwarded-For", "1.2.3.4"}, {"Content-Length", "0"}, {"Referer", null},
        };
        for (String[] r : rows)
            check("header " + r[0], q.header(r[0]), r[1]);

        String[][] cookies = {
            // Cookie header, name, value
            {"a=1; b=2", "b", "2"},
            {"a=1;b=2", "b", "2"},
            {" a = \"x y\" ; b=", "a", "x y"},
            {" a = \"x y\" ; b=", "b", ""},
            {"a=1; a=2", "a", "1"},
            {"junk; c=3", "c", "3"},
            {"junk; c=3", "junk", null},
            {"=x; d=%20", "d", "%20"},
            {"e=a=b", "e", "a=b"},
            {"", "a", null},
        };
        for (String[] r : cookies)
            check("cookie " + r[0] + " " + r[1], new Tolvane.Request("GET", "/", "", headers("Cookie", r[0]),
                    null).cookie(r[1]), r[2]);
        check("no Cookie header", get("GET").cookies(), Map.of());
    }

    /** The bytes a response writes after calls made on it, or the exception it threw. */
    interface Calls {
        void on(Tolvane.Response r) throws Exception;
    }

    static String written(String method, Calls calls) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        Tolvane.Response r = new Tolvane.Response(get(method), out);
        try {
            calls.on(r);
        } catch (Exception e) {
            return e.getClass().getSimpleName() + " after " + out.toString(StandardCharsets.ISO_8859_1);
        }
        return out.toString(StandardCharsets.ISO_8859_1);
    }

    static void responses() {
        String ok = "Status: 200 OK\n";
        Object[][] rows = {
            // method, calls, what is written
            {"GET", (Calls) r -> r.send("text/plain", "é"),
                ok + "Content-Type: text/plain; charset=utf-8\nContent-Length: 2\n\n\u00c3\u00a9"},
            {"GET", (Calls) r -> r.send("text/html; charset=ISO-8859-1", "é"),
                ok + "Content-Type: text/html; charset=ISO-8859-1\nContent-Length: 1\n\n\u00e9"},
            {"GET", (Calls) r -> r.send("application/json", "{}"),
                ok + "Content-Type: application/json\nContent-Length: 2\n\n{}"},
            {"GET", (Calls) r -> r.send("text/plain", new byte[] {'a'}),
                ok + "Content-Type: text/plain\nContent-Length: 1\n\na"},
            {"HEAD", (Calls) r -> r.send("text/plain", "abc"),
                ok + "Content-Type: text/plain; charset=utf-8\nContent-Length: 3\n\n"},
            {"GET", (Calls) r -> r.status(201).header("X-A", "1 2\t3").send("text/plain", new byte[0]),
                "Status: 201 Created\nX-A: 1 2\t3\nContent-Type: text/plain\nContent-Length: 0\n\n"},
            {"POST", (Calls) r -> r.redirect("/app/x?y=1"), page("Status: 303 See Other\nLocation: /app/x?y=1\n"
                + "Content-Type: text/plain; charset=utf-8\n", "See /app/x?y=1\n")},
            {"GET", (Calls) r -> r.status(308).redirect("/b"), "Status: 308 Permanent Redirect\nLocation: /b\n"
                + "Content-Type: text/plain; charset=utf-8\nContent-Length: 7\n\nSee /b\n"},
            {"GET", (Calls) r -> r.status(404).redirect("/b"), "Status: 303 See Other\nLocation: /b\n"
                + "Content-Type: text/plain; charset=utf-8\nContent-Length: 7\n\nSee /b\n"},
            {"HEAD", (Calls) r -> r.redirect("/b"), "Status: 303 See Other\nLocation: /b\n"
                + "Content-Type: text/plain; charset=utf-8\nContent-Length: 7\n\n"},
            {"GET", (Calls) r -> r.cookie("s", "a-b_c.1", "Path=/app", "HttpOnly", "SameSite=Lax")
                .send("text/plain", new byte[0]), ok + "Set-Cookie: s=a-b_c.1; Path=/app; HttpOnly; SameSite=Lax\n"
                + "Content-Type: text/plain\nContent-Length: 0\n\n"},
            {"GET", (Calls) r -> r.cookie("s", "", "Max-Age=0").send("text/plain", new byte[0]),
                ok + "Set-Cookie: s=; Max-Age=0\nContent-Type: text/plain\nContent-Length: 0\n\n"},
            {"DELETE", (Calls) r -> r.status(204).send("text/plain", "dropped"),
                "Status: 204 No Content\nContent-Type: text/plain; charset=utf-8\n\n"},
            {"GET", (Calls) r -> r.status(304).send("text/plain", new byte[] {'x'}),
                "Status: 304 Not Modified\nContent-Type: text/plain\n\n"},
            // 405 in one call; a HEAD counts as a GET
            {"PUT", (Calls) r -> r.allow("GET", "POST"), "Status: 405 Method Not Allowed\nAllow: GET, POST\n"
                + "Content-Type: text/plain; charset=utf-8\nContent-Length: 23\n\n405 Method Not Allowed\n"},
            {"HEAD", (Calls) r -> {
                if (r.allow("GET"))
                    r.send("text/plain", new byte[0]);
            }, ok + "Content-Type: text/plain\nContent-Length: 0\n\n"},
            {"HEAD", (Calls) r -> r.allow("POST"), "Status: 405 Method Not Allowed\nAllow: POST\n"
                + "Content-Type: text/plain; charset=utf-8\nContent-Length: 23\n\n"},
            // a stream: the headers go first, then the body as written
            {"GET", (Calls) r -> {
                r.header("Content-Length", "5");
                try (OutputStream o = r.stream("application/octet-stream")) {
                    o.write(bytes("ab"));
                    o.write(bytes("cde"));
                }
            }, ok + "Content-Length: 5\nContent-Type: application/octet-stream\n\nabcde"},
            {"HEAD", (Calls) r -> {
                try (OutputStream o = r.stream("text/plain")) {
                    o.write(bytes("dropped"));
                }
            }, ok + "Content-Type: text/plain\n\n"},
            // refused: a header that would add headers, a bad status, twice
            {"GET", (Calls) r -> r.header("X", "a\r\nSet-Cookie: x=1"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.header("X", "a\nb"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.header("X", "a\0b"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.header("X Y", "a"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.header("X:", "a"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.header("Status", "200"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.redirect("/a\r\nX: y"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.cookie("s", "a b"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.cookie("s", "a;b"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.cookie("s", "\"q\""), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.cookie("s=t", "v"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.cookie("s", "v", "Path=/; Secure"), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.status(99), "IllegalArgumentException after "},
            {"GET", (Calls) r -> r.status(600), "IllegalArgumentException after "},
            {"GET", (Calls) r -> {
                r.send("text/plain", new byte[0]);
                r.send("text/plain", new byte[0]);
            }, "IllegalStateException after " + ok + "Content-Type: text/plain\nContent-Length: 0\n\n"},
            {"GET", (Calls) r -> {
                r.send("text/plain", new byte[0]);
                r.status(500);
            }, "IllegalStateException after " + ok + "Content-Type: text/plain\nContent-Length: 0\n\n"},
        };
        for (int i = 0; i < rows.length; i++)
            check("response row " + (i + 1), written((String) rows[i][0], (Calls) rows[i][1]), rows[i][2]);

        Object[][] reasons = {
            // code, phrase: the IANA registry's, else the class's
            {100, "Continue"}, {103, "Early Hints"}, {200, "OK"}, {204, "No Content"}, {206, "Partial Content"},
            {301, "Moved Permanently"}, {304, "Not Modified"}, {307, "Temporary Redirect"},
            {308, "Permanent Redirect"}, {400, "Bad Request"}, {410, "Gone"}, {413, "Content Too Large"},
            {418, "Client Error"}, {422, "Unprocessable Content"}, {429, "Too Many Requests"},
            {451, "Unavailable For Legal Reasons"}, {501, "Not Implemented"}, {504, "Gateway Timeout"},
            {511, "Network Authentication Required"}, {199, "Informational"}, {299, "Successful"},
            {399, "Redirection"}, {499, "Client Error"}, {599, "Server Error"}, {600, "Unknown"},
            {99, "Unknown"}, {-1, "Unknown"},
        };
        for (Object[] r : reasons)
            check("reason " + r[0], Tolvane.reason((int) r[0]), r[1]);
    }

    static void json() {
        Map<String, Object> ordered = new LinkedHashMap<>();
        ordered.put("z", 1);
        ordered.put("a", List.of(true, false));
        ordered.put("n", null);
        Object[][] rows = {
            // value, JSON
            {null, "null"},
            {"plain", "\"plain\""},
            {"q\"b\\s/\n\r\t\b\f\u0001\u001f", "\"q\\\"b\\\\s/\\n\\r\\t\\u0008\\u000c\\u0001\\u001f\""},
            {"</script><!--&", "\"\\u003c/script\\u003e\\u003c!--\\u0026\""},
            {"😀 é \u2028", "\"😀 é \\u2028\""},
            {"lone \ud800 \udc00", "\"lone \\ud800 \\udc00\""},
            {'c', "\"c\""},
            {42, "42"}, {-7L, "-7"}, {(short) 3, "3"}, {(byte) -1, "-1"},
            {1.5, "1.5"}, {-0.25f, "-0.25"}, {1e21, "1.0E21"},
            {new java.math.BigDecimal("12345678901234567890.5"), "12345678901234567890.5"},
            {new java.math.BigInteger("123456789012345678901234"), "123456789012345678901234"},
            {true, "true"},
            {ordered, "{\"z\":1,\"a\":[true,false],\"n\":null}"},
            {Map.of(), "{}"}, {List.of(), "[]"},
            {new Object[] {"a", 1, new int[0].length, List.of(Map.of("k", "v"))}, "[\"a\",1,0,[{\"k\":\"v\"}]]"},
            {Map.of(1, "one"), "{\"1\":\"one\"}"},
        };
        for (Object[] r : rows)
            check("json " + show(r[0]), Tolvane.json(r[0]), r[1]);
        Object[] refused = {Double.NaN, Float.POSITIVE_INFINITY, new Object(), List.of(new StringBuilder("ok"), new Thread())};
        for (Object r : refused) {
            String got;
            try {
                got = Tolvane.json(r);
            } catch (IllegalArgumentException e) {
                got = "refused";
            }
            check("json refuses " + r.getClass().getSimpleName(), got, "refused");
        }
    }

    static final String PAGE500 = page("Status: 500 Internal Server Error\nContent-Type: text/html; charset=utf-8\n",
            "<!DOCTYPE html>\n<title>500 Internal Server Error</title>\n<h1>Internal Server Error</h1>\n");

    static void runner() {
        Object[][] rows = {
            // method, handler, output, what the log holds (or null: nothing)
            {"GET", (Tolvane.Handler) (q, r) -> r.send("text/plain", "fine"),
                "Status: 200 OK\nContent-Type: text/plain; charset=utf-8\nContent-Length: 4\n\nfine", null},
            {"GET", (Tolvane.Handler) (q, r) -> {
                throw new IllegalStateException("db password=secret at /srv/app");
            }, PAGE500, "java.lang.IllegalStateException: db password=secret at /srv/app\n\tat "},
            // what was set before the fault is not sent
            {"GET", (Tolvane.Handler) (q, r) -> {
                r.status(201).header("X-Half", "done").cookie("s", "1");
                throw new IOException("disk full");
            }, PAGE500, "java.io.IOException: disk full\n\tat "},
            {"HEAD", (Tolvane.Handler) (q, r) -> {
                throw new RuntimeException("x");
            }, head(PAGE500), "java.lang.RuntimeException: x\n\tat "},
            {"GET", (Tolvane.Handler) (q, r) -> {
                throw new Tolvane.BadRequest("no <name> given");
            }, page("Status: 400 Bad Request\nContent-Type: text/html; charset=utf-8\n", "<!DOCTYPE html>\n"
                + "<title>400 Bad Request</title>\n<h1>Bad Request</h1>\n<p>no &lt;name&gt; given</p>\n"), "Tolvane: 400 Bad Request: no <name> given\n"},
            {"GET", (Tolvane.Handler) (q, r) -> {
            }, PAGE500, "java.lang.IllegalStateException: the handler sent no response\n\tat "},
            {"GET", (Tolvane.Handler) HelperTest::recurse, PAGE500, "java.lang.StackOverflowError\n\tat "},
            // under way: the body stops where it stopped, nothing is added
            {"GET", (Tolvane.Handler) (q, r) -> {
                OutputStream o = r.stream("text/plain");
                o.write(bytes("part"));
                throw new IOException("source gone");
            }, "Status: 200 OK\nContent-Type: text/plain\n\npart", "java.io.IOException: source gone\n\tat "},
        };
        for (int i = 0; i < rows.length; i++) {
            String[] got = respond(get((String) rows[i][0]), (Tolvane.Handler) rows[i][1]);
            String want = (String) rows[i][3];
            check("runner row " + (i + 1), got[0], rows[i][2]);
            check("runner row " + (i + 1) + " log", want == null ? got[1] : got[1].startsWith(want),
                    want == null ? "" : true);
        }
    }

    static void recurse(Tolvane.Request q, Tolvane.Response r) {
        recurse(q, r);
    }

    // examples/CGI.java's handler, as docs/program.md tests a handler.
    static void handler() {
        String ok = "Status: 200 OK\n";
        Map<String, String> form = headers("Content-Type", "application/x-www-form-urlencoded");
        Object[][] rows = {
            // method, path, query, headers, body, output
            {"POST", "/greet", "", form, "name=Zo%C3%AB+%26", page("Status: 303 See Other\n"
                + "Location: /app/greet?name=Zo%C3%AB+%26\nContent-Type: text/plain; charset=utf-8\n",
                "See /app/greet?name=Zo%C3%AB+%26\n")},
            {"GET", "/greet", "name=%3Cb%3E", Map.of(), "", page(ok + "Content-Type: text/html; charset=utf-8\n",
                "<!DOCTYPE html>\n<title>Greeting</title>\n<p>Hello, &lt;b&gt;!</p>\n"
                + "<form method=post><input name=name><button>Greet</button></form>\n")},
            {"DELETE", "/greet", "", Map.of(), "", page("Status: 405 Method Not Allowed\nAllow: GET, POST\n"
                + "Content-Type: text/plain; charset=utf-8\n", "405 Method Not Allowed\n")},
            {"PUT", "/n", "q=1", Map.of(), "{\"a\":1}", page(ok + "Content-Type: text/plain\n",
                "method: PUT\nargument: /n\ndata: {\"a\":1}\n")},
            {"GET", "", "q=1", Map.of(), "", page(ok + "Content-Type: text/plain\n",
                "method: GET\nargument: \ndata: q=1\n")},
            {"HEAD", "", "q=1", Map.of(), "", head(page(ok + "Content-Type: text/plain\n",
                "method: HEAD\nargument: \ndata: \n"))},
            // the file input left empty has no name to list
            {"POST", "/files", "", headers("Content-Type", "multipart/form-data; boundary=b"),
                "--b\r\n" + CD + "name=f; filename=\"../e\"\r\n\r\n\r\n--b\r\n" + CD
                + "name=g; filename=\"\"\r\n\r\n\r\n--b--", page(ok + "Content-Type: text/plain; charset=utf-8\n",
                // the SHA-256 of nothing (FIPS 180-4's test vectors)
                "f e 0 e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n")},
        };
        for (Object[] r : rows) {
            @SuppressWarnings("unchecked")
            Tolvane.Request q = new Tolvane.Request((String) r[0], "/app", (String) r[1], (String) r[2],
                    (Map<String, String>) r[3], bytes((String) r[4]));
            String[] got = respond(q, new CGI());
            check("CGI " + r[0] + " " + r[1], got, new String[] {(String) r[5], ""});
        }
    }

    // The child's side of fromTheEnvironment: the request as serve reads it.
    static void serveForTheChild() {
        Tolvane.serve(new String[] {"/arg"}, new Tolvane.Handler() {
            public void handle(Tolvane.Request q, Tolvane.Response r) throws IOException {
                StringBuilder b = new StringBuilder(q.method).append(' ').append(q.path).append(' ')
                        .append(q.script()).append(' ').append(q.query).append(" [")
                        .append(new String(q.body, StandardCharsets.ISO_8859_1)).append("] ua=")
                        .append(q.header("User-Agent")).append(" ct=").append(q.header("content-type"))
                        .append(" a=").append(q.param("a"));
                r.send("text/plain", b.toString().getBytes(StandardCharsets.ISO_8859_1));
            }
        });
    }

    /** The environment with 60 more header variables. */
    static Map<String, String> many(Map<String, String> env) {
        for (int i = 0; i < 60; i++)
            env.put("HTTP_X_" + i, "1");
        return env;
    }

    static String child(Map<String, String> env, byte[] stdin) throws Exception {
        ProcessBuilder pb = new ProcessBuilder(System.getProperty("java.home") + "/bin/java", "-cp",
                System.getProperty("java.class.path"), "HelperTest", "child");
        pb.environment().clear();
        pb.environment().putAll(env);
        pb.redirectError(ProcessBuilder.Redirect.DISCARD);
        Process p = pb.start();
        try (OutputStream in = p.getOutputStream()) {
            in.write(stdin);
        } catch (IOException e) {
            // a child that did not read it all
        }
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.ISO_8859_1);
        String body = out.substring(out.indexOf("\n\n") + 2);
        return p.waitFor() + " " + out.substring(8, 11) + " " + body;
    }

    static void fromTheEnvironment() throws Exception {
        String bad = "<!DOCTYPE html>\n<title>400 Bad Request</title>\n<h1>Bad Request</h1>\n";
        Object[][] rows = {
            // environment, standard input, exit status, status and body
            {headers("REQUEST_METHOD", "GET", "QUERY_STRING", "a=1", "SCRIPT_NAME", "/app",
                "HTTP_USER_AGENT", "t/1"), "a=1", "0 200 GET /arg /app a=1 [] ua=t/1 ct=null a=1"},
            {headers("REQUEST_METHOD", "PUT", "CONTENT_LENGTH", "7", "CONTENT_TYPE", "application/json"),
                "{\"a\":1}", "0 200 PUT /arg   [{\"a\":1}] ua=null ct=application/json a=null"},
            {headers("REQUEST_METHOD", "PATCH", "CONTENT_LENGTH", "3", "CONTENT_TYPE",
                "application/x-www-form-urlencoded", "QUERY_STRING", "a=q"), "a=f", "0 200 PATCH /arg  a=q [a=f] "
                + "ua=null ct=application/x-www-form-urlencoded a=f"},
            {headers("REQUEST_METHOD", "DELETE", "CONTENT_LENGTH", "2"), "\0\377",
                "0 200 DELETE /arg   [\0\377] ua=null ct=null a=null"},
            {headers("REQUEST_METHOD", "DELETE"), "", "0 200 DELETE /arg   [] ua=null ct=null a=null"},
            {headers("REQUEST_METHOD", "DELETE", "CONTENT_LENGTH", ""), "", "0 200 DELETE /arg   [] ua=null ct=null a=null"},
            // read as the gateway reads the length: blanks or tabs, digits,
            // blanks or tabs; anything else is no length (behind another
            // gateway, "+0" or "0x3" read as 0 would drop the body unread)
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", " \t5 \t"), "hello world",
                "0 200 POST /arg   [hello] ua=null ct=null a=null"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", " \t5x"), "hello world",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "+0"), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "0x3"), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "\n3"), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "5 5"), "hello world",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "DELETE", "CONTENT_LENGTH", " "), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "PUT", "CONTENT_LENGTH", "0"), "abc", "0 200 PUT /arg   [] ua=null ct=null a=null"},
            // CONTENT_TYPE is the server's; a client's second Content-Type
            // may come as HTTP_CONTENT_TYPE (nginx passes every header on),
            // and which of the two a HashMap gives last depends on how many
            // variables there are: here, with 60 headers more
            {many(headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "3", "CONTENT_TYPE",
                "application/x-www-form-urlencoded", "HTTP_CONTENT_TYPE", "multipart/form-data; boundary=b")),
                "a=f", "0 200 POST /arg   [a=f] ua=null ct=application/x-www-form-urlencoded a=f"},
            // a GET's standard input holds the query, a HEAD's nothing
            {headers("REQUEST_METHOD", "GET", "CONTENT_LENGTH", "3"), "abc", "0 200 GET /arg   [] ua=null ct=null a=null"},
            {headers("REQUEST_METHOD", "HEAD", "QUERY_STRING", "a=1"), "", "0 200 "},
            // refused, with the program's own page and exit status 0
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "5"), "abc",
                "0 400 " + bad + "<p>the body ended after 3 of its 5 bytes</p>\n"},
            {headers("REQUEST_METHOD", "PUT", "CONTENT_LENGTH", "x"), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "PUT", "CONTENT_LENGTH", "-1"), "abc",
                "0 400 " + bad + "<p>an invalid Content-Length</p>\n"},
            {headers("REQUEST_METHOD", "PUT", "CONTENT_LENGTH", "99999999999"), "abc",
                "0 400 " + bad + "<p>a body too large to hold</p>\n"},
            {headers("REQUEST_METHOD", "POST", "CONTENT_LENGTH", "4", "CONTENT_TYPE", "multipart/form-data; boundary=b"),
                "--b-", "0 400 " + bad + "<p>a multipart body without its boundary</p>\n"},
            {headers("REQUEST_METHOD", "HEAD", "CONTENT_TYPE", "multipart/form-data"), "", "0 400 "},
        };
        for (Object[] r : rows) {
            @SuppressWarnings("unchecked")
            Map<String, String> env = (Map<String, String>) r[0];
            check("read " + env, child(env, ((String) r[1]).getBytes(StandardCharsets.ISO_8859_1)), r[2]);
        }
    }
}
