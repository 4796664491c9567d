import java.io.BufferedOutputStream;
import java.io.FileDescriptor;
import java.io.FileOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.math.BigDecimal;
import java.math.BigInteger;
import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * The request and the response of a Java program behind the Tolvane gateway,
 * in one file that needs nothing but the JDK (Java 11 or later): copy it
 * beside your program.
 *
 * <pre>
 * public class App implements Tolvane.Handler {
 *     public static void main(String[] args) {
 *         Tolvane.serve(args, new App());
 *     }
 *
 *     public void handle(Tolvane.Request request, Tolvane.Response response) throws Exception {
 *         response.send("text/html", "&lt;p&gt;Hello, ".concat(Tolvane.html(request.param("name"))));
 *     }
 * }
 * </pre>
 *
 * Text is UTF-8 throughout: parameters, multipart headers and the response
 * text. A handler answers once, with send, redirect, allow or stream.
 *
 * This file avoids regular expressions (String.split, replaceAll), lambdas,
 * String.format and string concatenation with '+': the JVM builds classes
 * for each of them when a request first uses one, which every request pays
 * for in start-up time.
 */
public final class Tolvane {
    private Tolvane() {
    }

    /**
     * The most fields a request may have (the name=value pairs of its query
     * string and of a form body, and the text fields of a multipart body,
     * together) and the most parts of a multipart body. Beyond them the
     * request is a BadRequest before they take memory: a body of a million
     * tiny fields costs hundreds of bytes each, and would hold gigabytes. A
     * program that takes more sets them in main, before serve.
     */
    public static int maxFields = 1000, maxParts = 100;

    /** What the program does with a request; see serve. */
    public interface Handler {
        void handle(Request request, Response response) throws Exception;
    }

    /**
     * A request the client got wrong (a body cut short, a malformed
     * multipart body). The runner answers it with 400 and its message, which
     * the client sees; a handler may throw one too.
     */
    public static final class BadRequest extends RuntimeException {
        private static final long serialVersionUID = 1;

        public BadRequest(String message) {
            super(message);
        }
    }

    /**
     * Runs the program for the request the gateway passed on: reads it,
     * gives it to the handler and returns once the response is out. What
     * the handler throws is written to standard error, which is the
     * server's log, and answered with the program's own page: 400 for a
     * BadRequest, 500 for anything else (see run for a response already
     * under way). Return from main after it, and the exit status is 0 in
     * every case: on any other the gateway adds its own error page, which
     * names the command line. Not System.exit: from JDK 21 on it logs
     * through System.Logger, which loads hundreds of classes.
     */
    public static void serve(String[] args, Handler handler) {
        OutputStream out = new FileOutputStream(FileDescriptor.out);
        Request request = null;
        Throwable failure = null;
        try {
            request = Request.read(args);
        } catch (Throwable e) {
            failure = e;
        }
        if (failure == null) {
            run(request, new Response(request, out), handler);
        } else {
            // What is known of a request that could not be read: its
            // method, so that a HEAD gets no body.
            Response response = new Response(new Request(env("REQUEST_METHOD", "GET"), "", "",
                    null, null), out);
            fail(response, failure);
            finish(response);
        }
    }

    /**
     * Runs handler on a request as serve does, without ending the program:
     * for tests, and for a program that reads its request itself. A handler
     * that throws after its response began (stream) has sent its status and
     * headers already: the failure is logged and the body ends where it
     * stopped. Declare a Content-Length before stream when the size is
     * known, so that a client can tell a body cut short. A handler that
     * returns without answering is a fault too (500).
     */
    public static void run(Request request, Response response, Handler handler) {
        try {
            handler.handle(request, response);
            if (!response.started())
                throw new IllegalStateException("the handler sent no response");
        } catch (Throwable e) {
            fail(response, e);
        }
        finish(response);
    }

    private static void fail(Response response, Throwable e) {
        boolean bad = e instanceof BadRequest;
        if (bad) {
            System.err.print("Tolvane: 400 Bad Request: ");
            System.err.println(e.getMessage());
        } else {
            e.printStackTrace();
        }
        if (response.started())
            return;
        response.reset();
        int code = bad ? 400 : 500;
        StringBuilder page = new StringBuilder("<!DOCTYPE html>\n<title>").append(code).append(' ')
                .append(reason(code)).append("</title>\n<h1>").append(reason(code)).append("</h1>\n");
        if (bad)
            page.append("<p>").append(html(e.getMessage())).append("</p>\n");
        try {
            response.status(code).send("text/html", page.toString());
        } catch (IOException f) {
            f.printStackTrace();
        }
    }

    private static void finish(Response response) {
        try {
            response.finish();
        } catch (IOException e) {
            e.printStackTrace();
        }
    }

    /** One request, read whole when the program starts. */
    public static final class Request {
        /** REQUEST_METHOD: GET, POST, HEAD, ... */
        public final String method;
        /** The path after the gateway's URL (PATH_INFO), "" for none. */
        public final String path;
        /** QUERY_STRING as the client sent it, still encoded. */
        public final String query;
        /**
         * The body, exactly CONTENT_LENGTH bytes, for every method but GET
         * and HEAD; empty when there is none.
         */
        public final byte[] body;

        private final String script;
        private final Map<String, String> headers = new HashMap<>();
        private final Map<String, List<String>> queries = new LinkedHashMap<>();
        private final Map<String, List<String>> fields = new LinkedHashMap<>();
        private final List<Part> parts = new ArrayList<>();
        private final Map<String, String> cookies = new LinkedHashMap<>();
        private int count; // fields so far, against maxFields

        /**
         * A request made from its parts, as a test makes one: headers by
         * their HTTP names ("Content-Type", "Cookie"), in any case. The
         * body is parsed as the gateway's would be, and a malformed one
         * throws BadRequest.
         */
        public Request(String method, String path, String query, Map<String, String> headers,
                byte[] body) {
            this(method, "", path, query, headers, body);
        }

        /** The same, with the URL path the program answers under (script()). */
        public Request(String method, String script, String path, String query,
                Map<String, String> headers, byte[] body) {
            this.method = method == null ? "GET" : method;
            this.script = script == null ? "" : script;
            this.path = path == null ? "" : path;
            this.query = query == null ? "" : query;
            this.body = body == null ? new byte[0] : body;
            if (headers != null)
                for (Map.Entry<String, String> h : headers.entrySet())
                    this.headers.put(key(h.getKey()), h.getValue());
            byte[] q = this.query.getBytes(StandardCharsets.UTF_8);
            pairs(q, 0, q.length, queries);
            String type = header("Content-Type");
            String media = type == null ? "" : media(type);
            if (media.equals("application/x-www-form-urlencoded"))
                pairs(this.body, 0, this.body.length, fields);
            else if (media.equals("multipart/form-data"))
                multipart(boundary(type));
            cookies(header("Cookie"));
        }

        /**
         * Reads the request the gateway passes on: the CGI variables
         * (PATH_INFO among them, also the last argument), and, for any
         * method but GET and HEAD, CONTENT_LENGTH bytes of body on standard
         * input (none when CONTENT_LENGTH is unset or empty, CGI's "no
         * body"; a value other than blanks, digits, blanks is a BadRequest,
         * as the gateway's own reading has it). A GET's standard input
         * holds its query string and a HEAD's nothing: both take the query
         * from QUERY_STRING, and answer alike. A body shorter than
         * announced is a BadRequest.
         */
        public static Request read(String[] args) throws IOException {
            String method = env("REQUEST_METHOD", "GET");
            Map<String, String> headers = new HashMap<>();
            for (Map.Entry<String, String> e : System.getenv().entrySet()) {
                String name = e.getKey();
                // CONTENT_TYPE and CONTENT_LENGTH are the server's; nginx also
                // passes a client's own Content-Type as HTTP_CONTENT_TYPE,
                // which would win or lose by the HashMap's order.
                if (name.startsWith("HTTP_") && !name.equals("HTTP_CONTENT_TYPE")
                        && !name.equals("HTTP_CONTENT_LENGTH"))
                    headers.put(name.substring(5), e.getValue());
                else if (name.equals("CONTENT_TYPE") || name.equals("CONTENT_LENGTH"))
                    headers.put(name, e.getValue());
            }
            byte[] body = new byte[0];
            String announced = System.getenv("CONTENT_LENGTH");
            if (!method.equals("GET") && !method.equals("HEAD") && announced != null
                    && !announced.isEmpty()) {
                int length = length(announced);
                body = System.in.readNBytes(length);
                if (body.length < length)
                    throw new BadRequest(new StringBuilder("the body ended after ")
                            .append(body.length).append(" of its ").append(length)
                            .append(" bytes").toString());
            }
            // PATH_INFO from the environment, which the JVM reads exactly on
            // every system (on Windows in UTF-16, where an argument passes
            // through the ANSI code page); the gateway's last argument where
            // there is none, as in a run by hand.
            return new Request(method, env("SCRIPT_NAME", ""), env("PATH_INFO",
                    args.length > 0 ? args[args.length - 1] : ""), env("QUERY_STRING", ""),
                    headers, body);
        }

        /**
         * A request header by its HTTP name ("User-Agent"), in any case;
         * null when the client sent none. The server passes the headers on
         * as HTTP_* variables, Content-Type and Content-Length as they are.
         */
        public String header(String name) {
            return headers.get(key(name));
        }

        /** Every request header, by its name in lower case ("user-agent"). */
        public Map<String, String> headers() {
            return headers;
        }

        /** The URL path the gateway answers under (SCRIPT_NAME), as "/app". */
        public String script() {
            return script;
        }

        /** The first value of a query string parameter, or null. */
        public String query(String name) {
            return first(queries.get(name));
        }

        /**
         * The first value of a form field, from a form body or a multipart
         * text field (a part without a file name), or null.
         */
        public String form(String name) {
            return first(fields.get(name));
        }

        /**
         * The form's value, else the query string's: what the user typed
         * wins over what the form's URL carried. Null when neither has it.
         */
        public String param(String name) {
            String value = form(name);
            return value != null ? value : query(name);
        }

        /** Every value of a parameter: the form's, then the query string's. */
        public List<String> params(String name) {
            List<String> all = new ArrayList<>();
            List<String> some = fields.get(name);
            if (some != null)
                all.addAll(some);
            some = queries.get(name);
            if (some != null)
                all.addAll(some);
            return all;
        }

        /** The query string's parameters, in the order first sent. */
        public Map<String, List<String>> queries() {
            return queries;
        }

        /** The form's fields, in the order first sent; files are in parts(). */
        public Map<String, List<String>> fields() {
            return fields;
        }

        /** The parts of a multipart/form-data body, files included. */
        public List<Part> parts() {
            return parts;
        }

        /** The first part of that name, or null. */
        public Part part(String name) {
            for (Part p : parts)
                if (p.name.equals(name))
                    return p;
            return null;
        }

        /** A cookie the client sent, as sent (no decoding), or null. */
        public String cookie(String name) {
            return cookies.get(name);
        }

        /** Every cookie; of two of one name, the first, as RFC 6265 orders them. */
        public Map<String, String> cookies() {
            return cookies;
        }

        private void cookies(String header) {
            if (header == null)
                return;
            for (int i = 0; i < header.length(); ) {
                int semi = header.indexOf(';', i);
                if (semi < 0)
                    semi = header.length();
                int eq = i;
                while (eq < semi && header.charAt(eq) != '=')
                    eq++;
                if (eq < semi) {
                    String name = header.substring(i, eq).trim();
                    String value = header.substring(eq + 1, semi).trim();
                    if (value.length() > 1 && value.charAt(0) == '"'
                            && value.charAt(value.length() - 1) == '"')
                        value = value.substring(1, value.length() - 1);
                    if (!name.isEmpty())
                        cookies.putIfAbsent(name, value);
                }
                i = semi + 1;
            }
        }

        private static String boundary(String type) {
            Map<String, String> p = parameters(type);
            if (p == null)
                throw new BadRequest("a malformed multipart Content-Type");
            String b = p.get("boundary");
            if (b == null || b.isEmpty())
                throw new BadRequest("a multipart Content-Type without a boundary");
            for (int i = 0; i < b.length(); i++)
                if (b.charAt(i) < ' ' || b.charAt(i) > '~')
                    throw new BadRequest("a multipart boundary of other than ASCII text");
            return b;
        }

        // A multipart/form-data body (RFC 7578, RFC 2046): delimiter lines
        // of CR LF "--" boundary, the first of which may open the body
        // without the line end; the last ends in "--". A body that never
        // gets to that last one was cut short, and is refused rather than
        // read as the parts before the cut.
        private void multipart(String boundary) {
            byte[] b = body;
            byte[] d = new StringBuilder("\r\n--").append(boundary).toString()
                    .getBytes(StandardCharsets.ISO_8859_1);
            int at; // just after the boundary in hand
            if (starts(b, 0, d, 2) && after(b, d.length - 2) != NONE) {
                at = d.length - 2;
            } else {
                int first = delimiter(b, d, 0);
                if (first < 0)
                    throw new BadRequest("a multipart body without its boundary");
                at = first + d.length;
            }
            for (int begin; (begin = after(b, at)) != CLOSE; ) {
                int next = delimiter(b, d, begin);
                if (next < 0)
                    throw new BadRequest("a multipart body cut short");
                if (parts.size() == maxParts)
                    throw new BadRequest(new StringBuilder("a multipart body of more than ")
                            .append(maxParts).append(" parts").toString());
                Part part = Part.of(b, begin, next);
                parts.add(part);
                if (part.rawFilename == null) {
                    field();
                    add(fields, part.name, part.text());
                }
                at = next + d.length;
            }
        }

        // name=value pairs between '&', in one pass.
        private void pairs(byte[] b, int from, int to, Map<String, List<String>> into) {
            for (int start = from; start < to; ) {
                int end = start, eq = -1;
                for (; end < to && b[end] != '&'; end++)
                    if (eq < 0 && b[end] == '=')
                        eq = end;
                if (end > start) {
                    field();
                    add(into, decode(b, start, eq < 0 ? end : eq), eq < 0 ? "" : decode(b, eq + 1, end));
                }
                start = end + 1;
            }
        }

        private void field() {
            if (++count > maxFields)
                throw new BadRequest(new StringBuilder("a request of more than ").append(maxFields)
                        .append(" fields").toString());
        }
    }

    /** One part of a multipart/form-data body. */
    public static final class Part {
        /** The form field's name. */
        public final String name;
        /**
         * The file's name, safe to use in a path on any system: the last
         * segment of what the client sent (after its last '/', '\' or
         * ':'), without control characters, bidirectional marks (U+200E,
         * U+202E, ...), blanks at either end or dots at the end; '_' for
         * each of " * ? | < >, which Windows refuses in a name, and a '_'
         * before a name Windows takes for a device (CON, nul.txt, COM1).
         * Null for a text field and where nothing is left: a file input
         * left empty, ".", "..". Storing under a name of your own is safer
         * still.
         */
        public final String filename;
        /**
         * The file's name as the client sent it, for display only (escape
         * it): null for a text field, "" for a file input left empty.
         * Browsers send '"' as %22, CR as %0D and LF as %0A; those are
         * decoded here.
         */
        public final String rawFilename;
        /** The part's Content-Type, null when it had none. */
        public final String type;
        /** The part's content, byte for byte. */
        public final byte[] data;

        /** A part as a test makes one: rawFilename null for a text field. */
        public Part(String name, String rawFilename, String type, byte[] data) {
            this.name = name;
            this.rawFilename = rawFilename;
            this.filename = safe(rawFilename);
            this.type = type;
            this.data = data;
        }

        /** Whether it came from a file input (even one left empty). */
        public boolean isFile() {
            return rawFilename != null;
        }

        /** The content as UTF-8 text. */
        public String text() {
            return new String(data, StandardCharsets.UTF_8);
        }

        // The part between two delimiters: header lines, an empty line, the
        // content. Its name is required (RFC 7578). A filter in front that
        // reads the headers otherwise sees other fields than the program
        // gets, so what RFC 5322 and a lenient reader (Python's email
        // package) could take another way is refused: a second
        // Content-Disposition, a folded line, blanks before the colon, a
        // line without one (which ends the headers there), a lone CR or LF
        // (a line end there).
        private static Part of(byte[] b, int from, int to) {
            // A part without headers starts with its empty line.
            int blank = starts(b, from, CRLF, 0) ? from - 2 : find(b, BLANK, from, to);
            if (blank < 0)
                throw new BadRequest("a multipart part without the end of its headers");
            String head = blank < from ? "" : new String(b, from, blank - from, StandardCharsets.UTF_8);
            String disposition = null, type = null;
            for (int i = 0; i < head.length(); ) {
                int end = head.indexOf("\r\n", i);
                if (end < 0)
                    end = head.length();
                // The name up to the first character that cannot be in one,
                // never further: that had better be the colon.
                int colon = i;
                while (colon < end && head.charAt(colon) > ' ' && head.charAt(colon) < 127
                        && head.charAt(colon) != ':')
                    colon++;
                String value = colon == i || colon == end || head.charAt(colon) != ':' ? null
                        : head.substring(blanks(head, colon + 1), end);
                if (value == null || value.indexOf('\r') >= 0 || value.indexOf('\n') >= 0)
                    throw new BadRequest("a multipart part with a header line read more ways than one");
                if (named(head, i, colon, "content-type"))
                    type = value.trim();
                if (named(head, i, colon, "content-disposition")) {
                    if (disposition != null)
                        throw new BadRequest("a multipart part with two Content-Dispositions");
                    disposition = value.trim();
                }
                i = end + 2;
            }
            Map<String, String> p = disposition == null ? null : parameters(disposition);
            if (p == null || !p.get("").equals("form-data") || p.get("name") == null)
                throw new BadRequest("a multipart part without a form-data name");
            String filename = p.get("filename");
            return new Part(browser(p.get("name")), filename == null ? null : browser(filename),
                    type, Arrays.copyOfRange(b, blank + 4, to));
        }

        private static boolean named(String head, int from, int to, String name) {
            return to - from == name.length() && head.regionMatches(true, from, name, 0, to - from);
        }

        private static String safe(String raw) {
            if (raw == null)
                return null;
            int from = Math.max(raw.lastIndexOf('/'), Math.max(raw.lastIndexOf('\\'),
                    raw.lastIndexOf(':'))) + 1;
            StringBuilder b = new StringBuilder();
            for (int i = from; i < raw.length(); i++) {
                char c = raw.charAt(i);
                if ("\"*?|<>".indexOf(c) >= 0)
                    b.append('_');
                else if (!Character.isISOControl(c) && !bidi(c))
                    b.append(c);
            }
            // Windows drops dots and blanks at the end of a name, so ". ."
            // would open "..": they go here on every system.
            int end = b.length();
            while (end > 0 && (b.charAt(end - 1) == '.' || b.charAt(end - 1) == ' '))
                end--;
            int start = 0;
            while (start < end && b.charAt(start) == ' ')
                start++;
            if (start == end)
                return null;
            String name = b.substring(start, end);
            return device(name) ? "_".concat(name) : name;
        }

        // The marks that turn the order text shows in (U+202E shows
        // "exe.txt" for "txt.exe"): a name should read as it is.
        private static boolean bidi(char c) {
            return c == '\u061c' || c == '\u200e' || c == '\u200f' || (c >= '\u202a' && c <= '\u202e')
                    || (c >= '\u2066' && c <= '\u2069');
        }

        // Whether Windows opens a device for that name in any folder: its
        // reserved names and the console's, in any case, with any suffix
        // after the first dot and blanks before it (Microsoft's "Naming
        // Files, Paths, and Namespaces": NUL.txt and NUL.tar.gz are NUL).
        private static boolean device(String name) {
            int stem = name.indexOf('.');
            if (stem < 0)
                stem = name.length();
            while (stem > 0 && name.charAt(stem - 1) == ' ')
                stem--;
            if (stem == 4 && (name.regionMatches(true, 0, "COM", 0, 3)
                    || name.regionMatches(true, 0, "LPT", 0, 3)))
                return "0123456789\u00b9\u00b2\u00b3".indexOf(name.charAt(3)) >= 0;
            for (String d : DEVICES)
                if (stem == d.length() && name.regionMatches(true, 0, d, 0, stem))
                    return true;
            return false;
        }

        // Browsers escape three characters in a name or file name and leave
        // everything else, '%' included, as it is (the HTML standard's
        // multipart/form-data encoding).
        private static String browser(String s) {
            if (s.indexOf('%') < 0)
                return s;
            StringBuilder b = new StringBuilder(s.length());
            for (int i = 0; i < s.length(); i++) {
                char c = s.charAt(i);
                if (c == '%' && i + 2 < s.length()) {
                    String code = s.substring(i + 1, i + 3).toUpperCase(Locale.ROOT);
                    char was = code.equals("22") ? '"' : code.equals("0D") ? '\r'
                            : code.equals("0A") ? '\n' : 0;
                    if (was != 0) {
                        b.append(was);
                        i += 2;
                        continue;
                    }
                }
                b.append(c);
            }
            return b.toString();
        }
    }

    /**
     * The response: a status and headers, then the body, in one go (send,
     * redirect) or as a stream. Without a status it is 200 OK.
     */
    public static final class Response {
        private final boolean head;
        private final String method;
        private final OutputStream out;
        private int status = 200;
        private StringBuilder headers = new StringBuilder();
        private OutputStream body;

        /** A response to that request on standard output: to a HEAD, the headers alone. */
        public Response(Request request) {
            this(request, new FileOutputStream(FileDescriptor.out));
        }

        /** The same, written to out: a test reads it there. */
        public Response(Request request, OutputStream out) {
            this.head = request.method.equals("HEAD");
            this.method = request.method;
            this.out = out;
        }

        /** Sets the status, 100 to 599, before the response is sent. */
        public Response status(int code) {
            if (code < 100 || code > 599)
                throw new IllegalArgumentException(new StringBuilder("status ").append(code)
                        .toString());
            unsent();
            status = code;
            return this;
        }

        /** The status so far. */
        public int status() {
            return status;
        }

        /** Whether the status and headers have gone out. */
        public boolean started() {
            return body != null;
        }

        /**
         * Adds a header. The name must be an HTTP token and the value free
         * of control characters: a line end in a value (text from a request,
         * say) would let it add headers of its own. Status is set by
         * status(), and send sets Content-Type and Content-Length.
         */
        public Response header(String name, String value) {
            if (!token(name) || name.equalsIgnoreCase("Status") || !text(value, ""))
                throw new IllegalArgumentException("header ".concat(String.valueOf(name)));
            unsent();
            headers.append(name).append(": ").append(value).append('\n');
            return this;
        }

        /**
         * Sets a cookie: Set-Cookie with the value and each attribute, as
         * "Path=/app", "Max-Age=3600", "HttpOnly", "Secure" or
         * "SameSite=Lax". The value must be RFC 6265 cookie text (no blank,
         * '"', ',', ';' or '\'): encode anything else first, with
         * java.util.Base64's URL encoder, say. To delete a cookie, set it
         * with "Max-Age=0" and the Path it was set with.
         */
        public Response cookie(String name, String value, String... attributes) {
            if (!token(name) || !cookieText(value))
                throw new IllegalArgumentException("cookie ".concat(String.valueOf(name)));
            StringBuilder b = new StringBuilder(name).append('=').append(value);
            for (String a : attributes) {
                if (!text(a, ";"))
                    throw new IllegalArgumentException("cookie attribute ".concat(String.valueOf(a)));
                b.append("; ").append(a);
            }
            return header("Set-Cookie", b.toString());
        }

        /**
         * Sends the body as the given Content-Type, with its length. A 1xx,
         * 204 No Content or 304 Not Modified has no body (RFC 9110), so
         * none is sent, nor a length.
         */
        public void send(String type, byte[] body) throws IOException {
            boolean none = status < 200 || status == 204 || status == 304;
            header("Content-Type", type);
            if (!none)
                header("Content-Length", Integer.toString(body.length));
            begin();
            if (!head && !none)
                out.write(body);
            out.flush();
        }

        /**
         * Sends text in the type's charset, UTF-8 when it names none; a
         * text/* type without a charset gets "; charset=utf-8" added, so
         * that a browser reads it as it was written.
         */
        public void send(String type, String text) throws IOException {
            Map<String, String> p = parameters(type);
            String charset = p == null ? null : p.get("charset");
            if (charset == null && p != null && p.get("").startsWith("text/"))
                type = type.concat("; charset=utf-8");
            send(type, text.getBytes(charset == null ? StandardCharsets.UTF_8
                    : Charset.forName(charset)));
        }

        /**
         * Sends the client to location, with 303 See Other unless a 3xx
         * status was set: after a POST the browser asks for it with a GET.
         * A status is always sent with it, since a Location of a local
         * path with none asks the server to fetch that path itself.
         */
        public void redirect(String location) throws IOException {
            if (status < 300 || status > 399)
                status = 303;
            header("Location", location);
            send("text/plain; charset=utf-8", "See ".concat(location).concat("\n"));
        }

        /**
         * True when the request's method is one of methods (HEAD counts
         * as GET). Otherwise answers 405 Method Not Allowed with Allow
         * listing them, and is false:
         * <pre>if (!response.allow("POST")) return;</pre>
         */
        public boolean allow(String... methods) throws IOException {
            StringBuilder allowed = new StringBuilder();
            boolean get = false, ok = false;
            for (String m : methods) {
                allowed.append(allowed.length() > 0 ? ", " : "").append(m);
                get |= m.equals("GET");
                ok |= m.equals(method);
            }
            if (get && !ok && method.equals("HEAD"))
                ok = true;
            if (ok)
                return true;
            status(405).header("Allow", allowed.toString())
                    .send("text/plain", "405 Method Not Allowed\n");
            return false;
        }

        /**
         * Sends the status and headers and returns a stream for the body,
         * for one too large to hold: write to it and close it. No
         * Content-Length is sent unless set with header() beforehand; to a
         * HEAD, what is written is dropped.
         */
        public OutputStream stream(String type) throws IOException {
            header("Content-Type", type);
            begin();
            OutputStream to = head ? OutputStream.nullOutputStream() : out;
            body = new BufferedOutputStream(to, 65536);
            return body;
        }

        private void unsent() {
            if (body != null)
                throw new IllegalStateException("the response was sent already");
        }

        private void begin() throws IOException {
            unsent();
            StringBuilder top = new StringBuilder("Status: ").append(status).append(' ')
                    .append(reason(status)).append('\n').append(headers).append('\n');
            body = out;
            out.write(top.toString().getBytes(StandardCharsets.UTF_8));
        }

        private void reset() {
            status = 200;
            headers = new StringBuilder();
        }

        private void finish() throws IOException {
            if (body != null)
                body.flush();
            out.flush();
        }
    }

    /**
     * JSON for a value: a Map (keys as strings, in the map's order), a List
     * or other Iterable, an Object[], a String, a Number, a Boolean, null.
     * Anything else, and a NaN or infinite number, which JSON has no way to
     * write, is refused (IllegalArgumentException). '<', '>' and '&' are
     * escaped, so that the text may stand inside an HTML script element.
     */
    public static String json(Object value) {
        StringBuilder b = new StringBuilder();
        json(b, value);
        return b.toString();
    }

    private static void json(StringBuilder b, Object v) {
        if (v == null) {
            b.append("null");
        } else if (v instanceof CharSequence || v instanceof Character) {
            quote(b, v.toString());
        } else if (v instanceof Boolean || v instanceof Integer || v instanceof Long
                || v instanceof Short || v instanceof Byte) {
            b.append(v);
        } else if (v instanceof Double || v instanceof Float) {
            double d = ((Number) v).doubleValue();
            if (Double.isNaN(d) || Double.isInfinite(d))
                throw new IllegalArgumentException("JSON has no ".concat(v.toString()));
            b.append(v);
        } else if (v instanceof Map) {
            String comma = "";
            b.append('{');
            for (Map.Entry<?, ?> e : ((Map<?, ?>) v).entrySet()) {
                b.append(comma);
                comma = ",";
                quote(b, String.valueOf(e.getKey()));
                b.append(':');
                json(b, e.getValue());
            }
            b.append('}');
        } else if (v instanceof Iterable || v instanceof Object[]) {
            String comma = "";
            b.append('[');
            Iterable<?> items = v instanceof Object[] ? Arrays.asList((Object[]) v) : (Iterable<?>) v;
            for (Object item : items) {
                b.append(comma);
                comma = ",";
                json(b, item);
            }
            b.append(']');
        } else if (v instanceof BigInteger || v instanceof BigDecimal) {
            b.append(v);
        } else {
            throw new IllegalArgumentException("no JSON for ".concat(v.getClass().getName()));
        }
    }

    private static void quote(StringBuilder b, String s) {
        b.append('"');
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            switch (c) {
            case '"': b.append("\\\""); break;
            case '\\': b.append("\\\\"); break;
            case '\n': b.append("\\n"); break;
            case '\r': b.append("\\r"); break;
            case '\t': b.append("\\t"); break;
            default:
                // A surrogate on its own is no character: escaped, it
                // reaches the reader as it was rather than as '?'.
                boolean pair = Character.isHighSurrogate(c) && i + 1 < s.length()
                        && Character.isLowSurrogate(s.charAt(i + 1));
                if (pair) {
                    b.append(c).append(s.charAt(++i));
                } else if (c < ' ' || c == '<' || c == '>' || c == '&' || c == '\u2028'
                        || c == '\u2029' || Character.isSurrogate(c)) {
                    b.append("\\u");
                    for (int shift = 12; shift >= 0; shift -= 4)
                        b.append(HEX.charAt(c >> shift & 15));
                } else {
                    b.append(c);
                }
            }
        }
        b.append('"');
    }

    /** Text made safe to put in HTML, in content and in quoted attributes; "" for null. */
    public static String html(String text) {
        if (text == null)
            return "";
        StringBuilder b = new StringBuilder(text.length());
        for (int i = 0; i < text.length(); i++) {
            char c = text.charAt(i);
            switch (c) {
            case '&': b.append("&amp;"); break;
            case '<': b.append("&lt;"); break;
            case '>': b.append("&gt;"); break;
            case '"': b.append("&quot;"); break;
            case '\'': b.append("&#39;"); break;
            default: b.append(c);
            }
        }
        return b.toString();
    }

    /**
     * Decodes a form's text: '+' is a blank, %XX (ASCII hex digits) a byte,
     * and the bytes are UTF-8. A malformed escape stays as it was: a
     * client's typo should not end the request.
     */
    public static String decode(String s) {
        byte[] b = s.getBytes(StandardCharsets.UTF_8);
        return decode(b, 0, b.length);
    }

    // On bytes, so that a character of any length, escaped or sent as it
    // is, comes out whole; never longer than what it decodes. Text with
    // nothing to decode takes no copy on the way.
    private static String decode(byte[] b, int from, int to) {
        int plain = from;
        while (plain < to && b[plain] != '+' && b[plain] != '%')
            plain++;
        if (plain == to)
            return new String(b, from, to - from, StandardCharsets.UTF_8);
        byte[] out = new byte[to - from];
        int n = 0;
        for (int i = from; i < to; i++) {
            int c = b[i], hi, lo;
            if (c == '+') {
                c = ' ';
            } else if (c == '%' && i + 2 < to && (hi = hex(b[i + 1])) >= 0
                    && (lo = hex(b[i + 2])) >= 0) {
                c = hi << 4 | lo;
                i += 2;
            }
            out[n++] = (byte) c;
        }
        return new String(out, 0, n, StandardCharsets.UTF_8);
    }

    private static int hex(byte c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    }

    // A list of one to start with: most names come once, and a list's
    // own first room is ten.
    private static void add(Map<String, List<String>> into, String name, String value) {
        List<String> values = into.get(name);
        if (values == null)
            into.put(name, values = new ArrayList<>(1));
        values.add(value);
    }

    private static String first(List<String> values) {
        return values == null ? null : values.get(0);
    }

    private static String key(String name) {
        return name.toLowerCase(Locale.ROOT).replace('_', '-');
    }

    private static String media(String type) {
        int semi = type.indexOf(';');
        return (semi < 0 ? type : type.substring(0, semi)).trim().toLowerCase(Locale.ROOT);
    }

    /**
     * A header value's parameters (RFC 9110 5.6.6, RFC 2045 5.1), in one
     * pass: the value before the first ';' under "", in lower case, then
     * each name, in lower case, with its value, a token or a quoted string.
     * A ';' inside quotes is text, so x="; boundary=evil" hides nothing.
     * Null for what could be read more ways than one: an open quote, a
     * name given twice, a name without a value, text after a value, and
     * RFC 2231's names with a '*' (filename*, filename*0): RFC 7578 has
     * none in a form, and a reader that knows them takes them over the
     * plain name (RFC 6266), or joins the pieces into a name of its own.
     */
    static Map<String, String> parameters(String s) {
        Map<String, String> found = new HashMap<>();
        int n = s.length(), i = s.indexOf(';');
        if (i < 0)
            i = n;
        found.put("", s.substring(0, i).trim().toLowerCase(Locale.ROOT));
        while (i < n) {
            i = blanks(s, i + 1);
            if (i == n || s.charAt(i) == ';')
                continue;
            int eq = i;
            while (eq < n && s.charAt(eq) != '=' && s.charAt(eq) != ';')
                eq++;
            String name = s.substring(i, eq).trim().toLowerCase(Locale.ROOT);
            if (eq == n || s.charAt(eq) != '=' || name.isEmpty() || name.indexOf('*') >= 0)
                return null;
            String value;
            i = blanks(s, eq + 1);
            if (i < n && s.charAt(i) == '"') {
                StringBuilder quoted = new StringBuilder();
                for (i++; ; i++) {
                    if (i == n)
                        return null;
                    char c = s.charAt(i);
                    if (c == '"')
                        break;
                    // Only \" and \\ are taken as escapes: browsers send
                    // a '\' in a file name as it is.
                    if (c == '\\' && i + 1 < n && (s.charAt(i + 1) == '"' || s.charAt(i + 1) == '\\'))
                        c = s.charAt(++i);
                    quoted.append(c);
                }
                value = quoted.toString();
                i++;
            } else {
                int start = i;
                while (i < n && s.charAt(i) != ';' && s.charAt(i) != ' ' && s.charAt(i) != '\t')
                    i++;
                value = s.substring(start, i);
            }
            i = blanks(s, i);
            if ((i < n && s.charAt(i) != ';') || found.put(name, value) != null)
                return null;
        }
        return found;
    }

    private static int blanks(String s, int i) {
        while (i < s.length() && (s.charAt(i) == ' ' || s.charAt(i) == '\t'))
            i++;
        return i;
    }

    /**
     * The reason phrase of a status: every code of the IANA registry, and
     * for any other the name of its class ("Client Error" for a 4xx).
     */
    public static String reason(int code) {
        switch (code) {
        case 100: return "Continue";
        case 101: return "Switching Protocols";
        case 102: return "Processing";
        case 103: return "Early Hints";
        case 200: return "OK";
        case 201: return "Created";
        case 202: return "Accepted";
        case 203: return "Non-Authoritative Information";
        case 204: return "No Content";
        case 205: return "Reset Content";
        case 206: return "Partial Content";
        case 207: return "Multi-Status";
        case 208: return "Already Reported";
        case 226: return "IM Used";
        case 300: return "Multiple Choices";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 305: return "Use Proxy";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 402: return "Payment Required";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 406: return "Not Acceptable";
        case 407: return "Proxy Authentication Required";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 410: return "Gone";
        case 411: return "Length Required";
        case 412: return "Precondition Failed";
        case 413: return "Content Too Large";
        case 414: return "URI Too Long";
        case 415: return "Unsupported Media Type";
        case 416: return "Range Not Satisfiable";
        case 417: return "Expectation Failed";
        case 421: return "Misdirected Request";
        case 422: return "Unprocessable Content";
        case 423: return "Locked";
        case 424: return "Failed Dependency";
        case 425: return "Too Early";
        case 426: return "Upgrade Required";
        case 428: return "Precondition Required";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 451: return "Unavailable For Legal Reasons";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 502: return "Bad Gateway";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        case 506: return "Variant Also Negotiates";
        case 507: return "Insufficient Storage";
        case 508: return "Loop Detected";
        case 510: return "Not Extended";
        case 511: return "Network Authentication Required";
        default: return code >= 100 && code < 600 ? CLASSES[code / 100] : "Unknown";
        }
    }

    private static final String[] CLASSES = {null, "Informational", "Successful",
        "Redirection", "Client Error", "Server Error"};
    private static final String HEX = "0123456789abcdef";
    private static final String[] DEVICES = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    private static final byte[] CRLF = {'\r', '\n'};
    private static final byte[] BLANK = {'\r', '\n', '\r', '\n'};
    private static final int NONE = -1, CLOSE = -2;

    private static String env(String name, String otherwise) {
        String value = System.getenv(name);
        return value == null ? otherwise : value;
    }

    // CONTENT_LENGTH as the gateway reads it: blanks (space, tab), decimal
    // digits, blanks, and nothing else. Behind a server or gateway that
    // passes "+0" or "0x3" on, a reading of atoi's would take no body where
    // the client sent some. Saturates, so that no number of digits wraps.
    private static int length(String s) {
        int i = blanks(s, 0), digits = i;
        long length = 0;
        for (; i < s.length() && s.charAt(i) >= '0' && s.charAt(i) <= '9'; i++)
            if (length <= Integer.MAX_VALUE)
                length = length * 10 + (s.charAt(i) - '0');
        if (i == digits || blanks(s, i) < s.length())
            throw new BadRequest("an invalid Content-Length");
        if (length > Integer.MAX_VALUE - 8)
            throw new BadRequest("a body too large to hold");
        return (int) length;
    }

    // Printable ASCII but separators (RFC 9110 5.6.2).
    private static boolean token(String s) {
        if (s == null || s.isEmpty())
            return false;
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c <= ' ' || c >= 127 || "\"(),/:;<=>?@[\\]{}".indexOf(c) >= 0)
                return false;
        }
        return true;
    }

    // Anything but control characters (a tab aside) and the characters in also.
    private static boolean text(String s, String also) {
        if (s == null)
            return false;
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if ((c < ' ' && c != '\t') || c == 127 || also.indexOf(c) >= 0)
                return false;
        }
        return true;
    }

    // RFC 6265's cookie-octet: visible ASCII but '"', ',', ';' and '\'.
    private static boolean cookieText(String s) {
        if (s == null)
            return false;
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c <= ' ' || c >= 127 || c == '"' || c == ',' || c == ';' || c == '\\')
                return false;
        }
        return true;
    }

    private static boolean starts(byte[] b, int at, byte[] with, int skip) {
        if (at < 0 || b.length - at < with.length - skip)
            return false;
        for (int i = skip; i < with.length; i++)
            if (b[at + i - skip] != with[i])
                return false;
        return true;
    }

    // The first what in b[from, to). A failed comparison costs no more than
    // it compared, and, for a delimiter, which holds its one CR first, the
    // positions it compared cannot start another: linear in the body.
    private static int find(byte[] b, byte[] what, int from, int to) {
        for (int i = from; i + what.length <= to; i++)
            if (b[i] == what[0] && starts(b, i, what, 0))
                return i;
        return NONE;
    }

    // The next delimiter line at or after from: CR LF "--" boundary, then
    // "--", or blanks and CR LF. Elsewhere those bytes are content.
    private static int delimiter(byte[] b, byte[] d, int from) {
        for (int i = find(b, d, from, b.length); i >= 0; i = find(b, d, i + 1, b.length))
            if (after(b, i + d.length) != NONE)
                return i;
        return NONE;
    }

    // What follows a boundary: CLOSE for "--", the next line's first byte
    // for blanks and CR LF, NONE for anything else.
    private static int after(byte[] b, int at) {
        if (at + 1 < b.length && b[at] == '-' && b[at + 1] == '-')
            return CLOSE;
        while (at < b.length && (b[at] == ' ' || b[at] == '\t'))
            at++;
        return at + 1 < b.length && b[at] == '\r' && b[at + 1] == '\n' ? at + 2 : NONE;
    }
}
