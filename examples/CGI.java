import java.io.IOException;
import java.net.URLEncoder;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/**
 * A sample program behind the Tolvane gateway, built on Tolvane.java:
 *   /greet    a form: GET shows it, POST sends the browser back to it (303)
 *   /files    a multipart upload: the SHA-256 of each file sent
 *   else      what the request gave: method, path and request data
 * The gateway passes the path after its URL as the first argument and a
 * POST's body on standard input; standard output is the response.
 */
public class CGI {
    public static void main(String[] args) throws IOException {
        Tolvane.Request request = Tolvane.Request.read(args);
        Tolvane.Response response = new Tolvane.Response(request);
        switch (request.path) {
        case "/greet" -> greet(request, response);
        case "/files" -> files(request, response);
        default -> echo(request, response);
        }
    }

    static void greet(Tolvane.Request request, Tolvane.Response response) throws IOException {
        String name = request.param("name");
        if (request.method.equals("POST")) {
            response.redirect(request.script() + "/greet?name="
                    + URLEncoder.encode(name == null ? "" : name, StandardCharsets.UTF_8));
            return;
        }
        response.send("text/html; charset=utf-8", "<!DOCTYPE html>\n<title>Greeting</title>\n"
                + (name == null ? "" : "<p>Hello, " + Tolvane.html(name) + "!</p>\n")
                + "<form method=post><input name=name><button>Greet</button></form>\n");
    }

    static void files(Tolvane.Request request, Tolvane.Response response) throws IOException {
        if (!request.method.equals("POST")) {
            response.status(405).header("Allow", "POST").send("text/plain", "POST a form\n");
            return;
        }
        StringBuilder out = new StringBuilder();
        for (Tolvane.Part part : request.parts())
            if (part.filename != null)
                out.append(part.name).append(' ').append(part.filename).append(' ')
                        .append(part.data.length).append(' ').append(sha256(part.data)).append('\n');
        response.send("text/plain; charset=utf-8", out.toString());
    }

    // The request data as the gateway hands it over: a GET's query string,
    // a POST's body, nothing for any other method.
    static void echo(Tolvane.Request request, Tolvane.Response response) throws IOException {
        byte[] data = request.method.equals("POST") ? request.body
                : request.method.equals("GET") ? request.query.getBytes(StandardCharsets.UTF_8)
                : new byte[0];
        byte[] head = new StringBuilder("method: ").append(request.method).append("\nargument: ")
                .append(request.path).append("\ndata: ").toString().getBytes(StandardCharsets.UTF_8);
        byte[] body = new byte[head.length + data.length + 1];
        System.arraycopy(head, 0, body, 0, head.length);
        System.arraycopy(data, 0, body, head.length, data.length);
        body[body.length - 1] = '\n';
        response.send("text/plain", body);
    }

    static String sha256(byte[] data) {
        try {
            StringBuilder hex = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(data))
                hex.append(String.format("%02x", b));
            return hex.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }
}
