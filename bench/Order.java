import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.time.Duration;
import java.time.LocalDate;
import java.time.ZoneId;
import java.time.ZonedDateTime;
import java.time.format.DateTimeFormatter;
import java.util.Map;
import java.util.TreeMap;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;

/**
 * A program of the kind a request may run: it parses its form data with a
 * regular expression, gathers it with streams and lambdas, and dates the
 * answer with java.time. It loads a few hundred classes beside CGI's few.
 */
public class Order {
    private static final Pattern FIELD = Pattern.compile("([^&=]+)=([^&]*)");

    public static void main(String[] args) throws IOException {
        String data = new String(System.in.readAllBytes(), StandardCharsets.UTF_8);
        Map<String, String> form = new TreeMap<>();
        Matcher m = FIELD.matcher(data);
        while (m.find())
            form.put(m.group(1), m.group(2));
        int qty = form.entrySet().stream()
                .filter(e -> e.getKey().startsWith("qty"))
                .mapToInt(e -> Integer.parseInt(e.getValue()))
                .sum();
        String fields = form.entrySet().stream()
                .map(e -> e.getKey() + ": " + e.getValue())
                .collect(Collectors.joining("\n"));
        ZonedDateTime now = ZonedDateTime.now(ZoneId.of("Europe/Berlin"));
        LocalDate ships = now.toLocalDate().plusDays(qty > 1 ? 3 : 1);
        System.out.print("Content-Type: text/plain\n\n" + fields + "\n"
                + "ships: " + ships.format(DateTimeFormatter.ofPattern("EEEE d MMMM uuuu"))
                + " (in " + Duration.between(now, ships.atStartOfDay(now.getZone())).toHours()
                + " h)\n");
    }
}
