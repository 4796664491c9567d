import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;

/**
 * A sample program behind the Tolvane gateway: it answers every request with
 * what the request gave it. The gateway hands over the query string of a GET
 * or the body of a POST on standard input, and the request's extra path as
 * the first argument; everything written to standard output is the response.
 */
public class CGI {
    public static void main(String[] args) throws IOException {
        byte[] data = System.in.readAllBytes();
        String head = "Content-Type: text/plain\n\n"
                + "method: " + System.getenv("REQUEST_METHOD") + "\n"
                + "argument: " + (args.length > 0 ? args[0] : "") + "\n"
                + "data: ";
        OutputStream out = System.out;
        out.write(head.getBytes(StandardCharsets.UTF_8));
        out.write(data);
        out.write('\n');
        out.flush();
    }
}
