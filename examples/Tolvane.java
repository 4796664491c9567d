import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;

/**
 * The request and the response of a Java program behind the Tolvane gateway,
 * in one file that needs nothing but the JDK: copy it beside your program.
 *
 * <pre>
 * Tolvane.Request request = Tolvane.Request.read(args);
 * Tolvane.Response response = new Tolvane.Response(request);
 * response.send("text/html; charset=utf-8",
 *     "&lt;p&gt;Hello, " + Tolvane.html(request.param("name")) + "&lt;/p&gt;");
 * </pre>
 *
 * Text is UTF-8 throughout: parameters, multipart headers and the response
 * text. A program answers once, with send or redirect.
 */
public final class Tolvane {
    private Tolvane() {
    }

    /** One request, read whole when the program starts. */
    public static final class Request {
        /** REQUEST_METHOD: GET, POST, HEAD, ... */
        public final String method;
        /** The path after the gateway's URL (PATH_INFO), "" for none. */
        public final String path;
        /** QUERY_STRING as the client sent it, still encoded. */
        public final String query;
        /** The body of a POST, exactly CONTENT_LENGTH bytes; empty otherwise. */
        public final byte[] body;

        private final Map<String, List<String>> params = new LinkedHashMap<>();
        private final List<Part> parts = new ArrayList<>();

        private Request(String method, String path, String query, byte[] body) {
            this.method = method;
            this.path = path;
            this.query = query;
            this.body = body;
            collect(query);
            String type = header("Content-Type");
            String form = type == null ? "" : type.toLowerCase(Locale.ROOT);
            if (form.startsWith("application/x-www-form-urlencoded"))
                collect(new String(body, StandardCharsets.UTF_8));
            else if (form.startsWith("multipart/form-data"))
                split(body, boundary(type));
        }

        /**
         * Reads the request: the gateway passes PATH_INFO as the first
         * argument and a POST's body on standard input. A GET's standard
         * input holds its query string and a HEAD's nothing, so the query is
         * taken from QUERY_STRING for both, and they answer alike.
         */
        public static Request read(String[] args) throws IOException {
            String method = env("REQUEST_METHOD", "GET");
            byte[] body = new byte[0];
            if (method.equals("POST")) {
                int length = -1;
                try {
                    length = Integer.parseInt(env("CONTENT_LENGTH", "").trim());
                } catch (NumberFormatException e) {
                    // no length: everything there is
                }
                body = length < 0 ? System.in.readAllBytes() : System.in.readNBytes(length);
            }
            return new Request(method, args.length > 0 ? args[0] : env("PATH_INFO", ""),
                    env("QUERY_STRING", ""), body);
        }

        /**
         * A request header by its HTTP name ("User-Agent"), from the HTTP_*
         * variable the server sets; Content-Type and Content-Length come
         * without the prefix. Null when the client sent none.
         */
        public String header(String name) {
            String key = name.toUpperCase(Locale.ROOT).replace('-', '_');
            if (!key.equals("CONTENT_TYPE") && !key.equals("CONTENT_LENGTH"))
                key = "HTTP_".concat(key);
            return System.getenv(key);
        }

        /** The URL path the gateway answers under (SCRIPT_NAME), as "/app". */
        public String script() {
            return env("SCRIPT_NAME", "");
        }

        /**
         * The first value of a parameter from the query string, a form body
         * or a multipart text field (a part without a file name); null when
         * there is none.
         */
        public String param(String name) {
            List<String> values = params.get(name);
            return values == null ? null : values.get(0);
        }

        /** Every value of a parameter, in the order sent. */
        public List<String> params(String name) {
            return params.getOrDefault(name, List.of());
        }

        /** Every parameter, in the order first sent. */
        public Map<String, List<String>> params() {
            return params;
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

        private void add(String name, String value) {
            List<String> values = params.get(name);
            if (values == null)
                params.put(name, values = new ArrayList<>());
            values.add(value);
        }

        private void collect(String encoded) {
            for (String pair : encoded.split("&")) {
                if (pair.isEmpty())
                    continue;
                int eq = pair.indexOf('=');
                add(decode(eq < 0 ? pair : pair.substring(0, eq)),
                        eq < 0 ? "" : decode(pair.substring(eq + 1)));
            }
        }

        private static String boundary(String type) {
            for (String attribute : type.split(";")) {
                String a = attribute.trim();
                if (a.regionMatches(true, 0, "boundary=", 0, 9)) {
                    String b = a.substring(9);
                    return b.length() > 1 && b.startsWith("\"") && b.endsWith("\"")
                            ? b.substring(1, b.length() - 1) : b;
                }
            }
            return null;
        }

        // The body is bytes: a file's content may hold anything but the
        // delimiter, so it is searched as bytes and never decoded.
        private void split(byte[] b, String boundary) {
            if (boundary == null || boundary.isEmpty())
                return;
            byte[] dash = ("--" + boundary).getBytes(StandardCharsets.ISO_8859_1);
            byte[] delimiter = ("\r\n--" + boundary).getBytes(StandardCharsets.ISO_8859_1);
            // The first delimiter opens the body, without a line end, or
            // follows a preamble.
            int at = dash.length;
            if (!starts(b, 0, dash)) {
                at = find(b, delimiter, 0);
                if (at < 0)
                    return;
                at += delimiter.length;
            }
            while (at + 2 <= b.length && b[at] == '\r' && b[at + 1] == '\n') {
                int head = at + 2;
                int end = find(b, "\r\n\r\n".getBytes(StandardCharsets.ISO_8859_1), head);
                if (end < 0)
                    return;
                int next = find(b, delimiter, end + 4);
                if (next < 0)
                    return;
                Part part = Part.of(new String(b, head, end - head, StandardCharsets.UTF_8),
                        java.util.Arrays.copyOfRange(b, end + 4, next));
                if (part != null) {
                    parts.add(part);
                    if (part.filename == null)
                        add(part.name, part.text());
                }
                at = next + delimiter.length;
            }
        }
    }

    /** One part of a multipart/form-data body. */
    public static final class Part {
        /** The form field's name. */
        public final String name;
        /** The file's name as the client gave it, null for a text field. */
        public final String filename;
        /** The part's Content-Type, null when it had none. */
        public final String type;
        /** The part's content, byte for byte. */
        public final byte[] data;

        private Part(String name, String filename, String type, byte[] data) {
            this.name = name;
            this.filename = filename;
            this.type = type;
            this.data = data;
        }

        /** The content as UTF-8 text. */
        public String text() {
            return new String(data, StandardCharsets.UTF_8);
        }

        private static Part of(String head, byte[] data) {
            String name = null, filename = null, type = null;
            for (String line : head.split("\r\n")) {
                int colon = line.indexOf(':');
                if (colon < 0)
                    continue;
                String key = line.substring(0, colon).trim().toLowerCase(Locale.ROOT);
                String value = line.substring(colon + 1).trim();
                if (key.equals("content-type"))
                    type = value;
                if (key.equals("content-disposition")) {
                    Map<String, String> a = attributes(value);
                    name = a.get("name");
                    filename = a.get("filename");
                }
            }
            return name == null ? null : new Part(name, filename, type, data);
        }

        // The attributes of a Content-Disposition, read in turn, since a
        // quoted file name may hold "; name=". Browsers escape a quote in a
        // name as %22 and send every other character as it is.
        private static Map<String, String> attributes(String value) {
            Map<String, String> found = new LinkedHashMap<>();
            int i = value.indexOf(';');
            while (i >= 0 && i < value.length()) {
                int eq = value.indexOf('=', i);
                int semi = value.indexOf(';', i + 1);
                if (eq < 0)
                    break;
                if (semi >= 0 && semi < eq) { // an attribute without a value
                    i = semi;
                    continue;
                }
                String key = value.substring(i + 1, eq).trim().toLowerCase(Locale.ROOT);
                int end;
                String v;
                if (eq + 1 < value.length() && value.charAt(eq + 1) == '"') {
                    int close = value.indexOf('"', eq + 2);
                    end = close < 0 ? value.length() : close + 1;
                    v = value.substring(eq + 2, close < 0 ? value.length() : close);
                } else {
                    end = value.indexOf(';', eq);
                    end = end < 0 ? value.length() : end;
                    v = value.substring(eq + 1, end).trim();
                }
                found.putIfAbsent(key, v);
                i = value.indexOf(';', end);
            }
            return found;
        }
    }

    /** The response: status and headers, then the body in one go. */
    public static final class Response {
        private final boolean head;
        private int status = 200;
        private final StringBuilder headers = new StringBuilder();

        /** A response to that request: to a HEAD, the headers alone. */
        public Response(Request request) {
            head = request.method.equals("HEAD");
        }

        /** The status; without one the server answers 200 OK. */
        public Response status(int code) {
            if (code < 100 || code > 999)
                throw new IllegalArgumentException("status " + code);
            status = code;
            return this;
        }

        /**
         * Adds a header. A line end in a value would let it add headers of
         * its own (text from a request, say), so it is refused.
         */
        public Response header(String name, String value) {
            if (!plain(name) || !plain(value) || name.indexOf(':') >= 0)
                throw new IllegalArgumentException("header " + name);
            headers.append(name).append(": ").append(value).append('\n');
            return this;
        }

        /** Sends the body as the given Content-Type, with its length. */
        public void send(String type, byte[] body) throws IOException {
            header("Content-Type", type);
            header("Content-Length", Integer.toString(body.length));
            OutputStream out = System.out;
            StringBuilder top = new StringBuilder("Status: ").append(status).append(' ')
                    .append(reason(status)).append('\n').append(headers).append('\n');
            out.write(top.toString().getBytes(StandardCharsets.UTF_8));
            if (!head)
                out.write(body);
            out.flush();
        }

        /** Sends text, UTF-8 encoded. */
        public void send(String type, String text) throws IOException {
            send(type, text.getBytes(StandardCharsets.UTF_8));
        }

        /**
         * Sends the client to location with 303 See Other: after a POST the
         * browser asks for it with a GET. A status is always sent with it,
         * since a Location of a local path with none asks the server to
         * fetch that path itself.
         */
        public void redirect(String location) throws IOException {
            if (status == 200)
                status = 303;
            header("Location", location);
            send("text/plain; charset=utf-8", "See ".concat(location).concat("\n"));
        }
    }

    /** Text made safe to put in HTML, in content and in quoted attributes. */
    public static String html(String text) {
        if (text == null)
            return "";
        StringBuilder b = new StringBuilder(text.length());
        for (char c : text.toCharArray()) {
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
     * Decodes a form's text: '+' is a blank, %XX a byte, and the bytes are
     * UTF-8. A malformed escape stays as it was: a client's typo should not
     * end the request.
     */
    public static String decode(String s) {
        ByteArrayOutputStream out = new ByteArrayOutputStream(s.length());
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            int hi, lo;
            if (c == '+') {
                out.write(' ');
            } else if (c == '%' && i + 2 < s.length() && (hi = Character.digit(s.charAt(i + 1), 16)) >= 0
                    && (lo = Character.digit(s.charAt(i + 2), 16)) >= 0) {
                out.write(hi << 4 | lo);
                i += 2;
            } else {
                byte[] b = String.valueOf(c).getBytes(StandardCharsets.UTF_8);
                out.write(b, 0, b.length);
            }
        }
        return out.toString(StandardCharsets.UTF_8);
    }

    // Plain concatenation and lambdas are avoided here: each costs the JVM
    // a few milliseconds of start-up, which every request pays.
    private static boolean plain(String text) {
        for (int i = 0; i < text.length(); i++)
            if (text.charAt(i) == '\r' || text.charAt(i) == '\n' || text.charAt(i) == 0)
                return false;
        return true;
    }

    private static String env(String name, String otherwise) {
        String value = System.getenv(name);
        return value == null ? otherwise : value;
    }

    private static boolean starts(byte[] b, int at, byte[] with) {
        if (b.length - at < with.length)
            return false;
        for (int i = 0; i < with.length; i++)
            if (b[at + i] != with[i])
                return false;
        return true;
    }

    private static int find(byte[] b, byte[] what, int from) {
        for (int i = from; i + what.length <= b.length; i++)
            if (starts(b, i, what))
                return i;
        return -1;
    }

    private static String reason(int code) {
        switch (code) {
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 422: return "Unprocessable Content";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
        }
    }
}
