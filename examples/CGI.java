import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;

/**
 * A sample program behind the Tolvane gateway, built on Tolvane.java:
 *   /greet    a form: GET shows it, POST sends the browser back to it (303)
 *   /files    a multipart upload: the SHA-256 of each file sent
 *   else      what the request gave: method, path and request data
 * The gateway passes the path after its URL as the last argument and the
 * body of any method but GET and HEAD on standard input; standard output
 * is the response.
 */
public class CGI implements Tolvane.Handler {
    public static void main(String[] args) {
        Tolvane.serve(args, new CGI());
    }

    public void handle(Tolvane.Request request, Tolvane.Response response) throws Exception {
        switch (request.path) {
        case "/greet": greet(request, response); break;
        case "/files": files(request, response); break;
        default: echo(request, response);
        }
    }

    static void greet(Tolvane.Request request, Tolvane.Response response) throws Exception {
        if (!response.allow("GET", "POST"))
            return;
        String name = request.param("name");
        if (request.method.equals("POST")) {
            response.redirect(new StringBuilder(request.script()).append("/greet?name=")
                    .append(URLEncoder.encode(name == null ? "" : name, StandardCharsets.UTF_8))
                    .toString());
            return;
        }
        StringBuilder page = new StringBuilder("<!DOCTYPE html>\n<title>Greeting</title>\n");
        if (name != null)
            page.append("<p>Hello, ").append(Tolvane.html(name)).append("!</p>\n");
        page.append("<form method=post><input name=name><button>Greet</button></form>\n");
        response.send("text/html", page.toString());
    }

    // Each file's name as safe to show and store (Part.filename), its
    // length and its SHA-256; a file input left empty has no name.
    static void files(Tolvane.Request request, Tolvane.Response response) throws Exception {
        if (!response.allow("POST"))
            return;
        StringBuilder out = new StringBuilder();
        for (Tolvane.Part part : request.parts())
            if (part.filename != null)
                out.append(part.name).append(' ').append(part.filename).append(' ')
                        .append(part.data.length).append(' ').append(sha256(part.data)).append('\n');
        response.send("text/plain", out.toString());
    }

    // The request data as the gateway hands it over: a GET's query string,
    // the body of any other method, nothing for a HEAD.
    static void echo(Tolvane.Request request, Tolvane.Response response) throws Exception {
        byte[] data = request.method.equals("GET") ? request.query.getBytes(StandardCharsets.UTF_8)
                : request.method.equals("HEAD") ? new byte[0] : request.body;
        byte[] head = new StringBuilder("method: ").append(request.method).append("\nargument: ")
                .append(request.path).append("\ndata: ").toString().getBytes(StandardCharsets.UTF_8);
        byte[] body = new byte[head.length + data.length + 1];
        System.arraycopy(head, 0, body, 0, head.length);
        System.arraycopy(data, 0, body, head.length, data.length);
        body[body.length - 1] = '\n';
        response.send("text/plain", body);
    }

    static String sha256(byte[] data) throws Exception {
        StringBuilder hex = new StringBuilder();
        for (byte b : MessageDigest.getInstance("SHA-256").digest(data))
            hex.append(Character.forDigit(b >> 4 & 15, 16)).append(Character.forDigit(b & 15, 16));
        return hex.toString();
    }
}
