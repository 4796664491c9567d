// tolvane: a CGI gateway that answers each request with a Java program.
//
// The web server runs us once per request. We take the request data (the
// query string of a GET, the body of a POST, nothing otherwise), start the
// Java launcher with it on its standard input, and wait. The Java program
// writes the response itself, to the standard output it inherits from us.
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform.h"

// How the Java program went, for the log: whether it has ended, how long
// it ran, and its exit status or signal (-1: none to give).
static bool ended;
static long long ran_ms;
static int code = -1;

// The log is the server's, and a client chose much of what goes into it: a
// byte that could end the line or pass for a field's end is written as an
// escape, and so is a control character in UTF-8 (U+0080 to U+009F, where
// U+009B is a terminal's CSI, as ESC [ is), which a terminal showing the
// log may obey. blanks: whether a blank is one too, as it is inside a field.
static void logged(const char *s, bool blanks)
{
	for (; *s; s++) {
		unsigned char c = *s, next = s[1];
		bool c1 = c == 0xc2 && next >= 0x80 && next <= 0x9f;
		if (c < 0x20 || c == 0x7f || c == '\\' || (blanks && c == ' ') || c1)
			fprintf(stderr, "\\x%02x", c);
		else
			putc(c, stderr);
		if (c1)
			fprintf(stderr, "\\x%02x", *++s & 0xff);
	}
}

static void field(const char *name, const char *value)
{
	fprintf(stderr, " %s=", name);
	logged(value, true);
}

// One line on standard error, which every server keeps in a log of its
// own: the message, then what matches it to its request among many. No
// server adds the time to every line it takes from us, so we do.
static void note(const char *msg)
{
	static char buf[1 << 16]; // one write for all but an absurd line
	setvbuf(stderr, buf, _IOFBF, sizeof buf);
	fputs("tolvane: ", stderr);
	logged(msg, false);
	const char *method = getenv("REQUEST_METHOD");
	if (method)
		field("method", method);
	const char *uri = getenv("REQUEST_URI");
	if (uri) {
		field("uri", uri);
	} else {
		// The URI as the server decoded it, and its query as it came.
		const char *script = getenv("SCRIPT_NAME"), *path = getenv("PATH_INFO");
		const char *query = getenv("QUERY_STRING");
		if (script || path) {
			fputs(" uri=", stderr);
			logged(script ? script : "", true);
			logged(path ? path : "", true);
			if (query && *query) {
				putc('?', stderr);
				logged(query, true);
			}
		}
	}
	if (ended) {
		if (code >= 0)
			fprintf(stderr, " exit=%d", code);
		else if (code < -1)
			fprintf(stderr, " signal=%d", -code);
		fprintf(stderr, " ms=%lld", ran_ms);
	}
	char stamp[32];
	time_t now = time(nullptr);
	if (strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", gmtime(&now)))
		fprintf(stderr, " utc=%s", stamp);
	putc('\n', stderr);
	fflush(stderr);
}

// Every failure ends here: one small page, exit status 1. The status tells
// the client, monitors and caches who is at fault, as a server's own error
// answers do; without it the server would answer 200 OK. The page is for
// the client; the log line for whoever runs the server.
[[noreturn]] static void error(const char *status, const char *msg)
{
	note(msg);
	fputs("Status: ", stdout);
	fputs(status, stdout);
	fputs("\n"
	      "Content-Type: text/html\n\n"
	      "<html>\n"
	      "  <head>\n"
	      "    <title>ERROR - [Tolvane]</title>\n"
	      "  </head>\n"
	      "  <body>\n"
	      "    ", stdout);
	// A failure message can quote PATH_INFO, which the client chose: printed
	// raw, a crafted link would put its own markup on our page.
	for (const char *p = msg; *p; p++) {
		switch (*p) {
		case '&': fputs("&amp;", stdout); break;
		case '<': fputs("&lt;", stdout); break;
		case '>': fputs("&gt;", stdout); break;
		default: putchar(*p);
		}
	}
	fputs("\n"
	      "  </body>\n"
	      "</html>\n", stdout);
	exit(1);
}

// A line that the configuration alone overflows is the server's fault; one
// that the client's PATH_INFO overflows is the client's.
template <size_t N>
static void append(char (&buf)[N], const char *s, const char *status = "500 Internal Server Error")
{
	size_t len = strlen(buf), n = strlen(s);
	if (n >= N - len)
		error(status, "command line too long.");
	memcpy(buf + len, s, n + 1);
}

// Parsed as atoi would, except that it saturates: a length of any number of
// digits must stay outside the accepted range instead of wrapping into it.
// False for a value without digits, which announces no length at all.
static bool content_length(const char *s, long long *length)
{
	while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
		s++;
	bool negative = *s == '-';
	if (*s == '-' || *s == '+')
		s++;
	long long n = 0;
	const char *digits = s;
	for (; *s >= '0' && *s <= '9'; s++)
		if (n <= INT_MAX)
			n = n * 10 + (*s - '0');
	*length = negative ? -n : n;
	return s != digits;
}

static const char *get(size_t *size)
{
	const char *query = getenv("QUERY_STRING");
	if (!query)
		error("500 Internal Server Error",
		    "undefined environment variable to 'QUERY_STRING'.");
	if (!sys_exact("QUERY_STRING", query))
		error("400 Bad Request", "unsafe environment variable to 'QUERY_STRING'.");
	*size = strlen(query);
	return query;
}

// A body that comes with another method is no request data, but a server
// may wait for it to be read before it takes the response (Apache's
// mod_cgid does): it is read and dropped, as far as it comes. Apache sets
// no length for a chunked body, only the client's Transfer-Encoding: such
// a body is read to its end.
static void discard()
{
	const char *value = getenv("CONTENT_LENGTH");
	long long n;
	if (!value || !content_length(value, &n)) {
		if (value || !getenv("HTTP_TRANSFER_ENCODING"))
			return;
		n = LLONG_MAX;
	}
	static char sink[65536];
	while (n > 0) {
		size_t piece = n < (long long)sizeof sink ? n : sizeof sink;
		size_t got = sys_read(sink, piece);
		if (got != piece)
			break;
		n -= got;
	}
}

// The body is bytes, NUL among them: it is counted, never measured.
static void post(const char **data, size_t *size)
{
	const char *value = getenv("CONTENT_LENGTH");
	if (!value) {
		discard(); // or the server may not send the page
		error("411 Length Required",
		    "undefined environment variable to 'CONTENT_LENGTH'.");
	}
	// The length is a 32-bit count and the buffer holds one byte more, so
	// INT_MAX and above are as unobtainable as any negative length. An
	// empty body, announced in digits, is a request like any other.
	long long n;
	if (!content_length(value, &n))
		error("400 Bad Request", "cannot read stdin.");
	if (n < 0 || n >= INT_MAX)
		error("413 Content Too Large", "cannot allocate memory.");
	// Lives until exit by design. Held here, not only in main's frame,
	// which is gone when the leak checker looks (gcc 14's LeakSanitizer
	// calls it a leak).
	static char *body;
	body = sys_alloc(n + 1);
	if (!body)
		error("413 Content Too Large", "cannot allocate memory.");
	*data = body;
	*size = n;
	if (sys_read(body, n) != (size_t)n)
		error("400 Bad Request", "cannot read stdin.");
	body[n] = '\0';
}

// Whole seconds from 1 to a day, in digits and nothing else: a value that a
// lenient parse would bend (" 5", "5s", "1.5") is a configuration mistake
// and is refused rather than guessed at. 0 stands for no limit.
static unsigned time_limit()
{
	const char *value = getenv("TOLVANE_TIMEOUT");
	if (!value)
		return 0;
	unsigned long n = 0;
	const char *p = value;
	for (; *p >= '0' && *p <= '9' && n <= 86400; p++)
		n = n * 10 + (*p - '0');
	if (p == value || *p || n < 1 || n > 86400)
		error("500 Internal Server Error",
		    "invalid environment variable to 'TOLVANE_TIMEOUT'.");
	return n;
}

// A failure of the Java program names its whole command line.
[[noreturn]] static void failed(const char *status, const char *what, const char *line)
{
	static char msg[4096 + 32];
	snprintf(msg, sizeof msg, "%s '%s'.", what, line);
	error(status, msg);
}

// A class path or class that is empty or only what the shell splits words
// at adds no word to the line, so the words after it move up: PATH_INFO,
// which the client chose, would become the class or, ending in .java, a
// source file the launcher compiles and runs.
static const char *word(const char *name)
{
	const char *value = getenv(name);
	if (value && !value[strspn(value, " \t\n")]) {
		static char msg[64];
		snprintf(msg, sizeof msg, "invalid environment variable to '%s'.", name);
		error("500 Internal Server Error", msg);
	}
	return value;
}

static void run_tolvane(const char *data, size_t size)
{
	const char *home = getenv("JAVA_HOME");
	const char *classpath = word("TOLVANE_CP");
	const char *name = word("TOLVANE_CLASS");
	const char *path = getenv("PATH_INFO");

	// Only the terminator is set: an initializer would clear the buffer
	// whole, touching memory that few requests reach. It is static because
	// a server may start us with a small stack limit.
	static char line[4096];
	line[0] = '\0';
	if (home) {
		append(line, home);
		append(line, "/bin/");
	}
	append(line, "java");
	if (classpath) {
		append(line, " -cp ");
		append(line, classpath);
	}
	append(line, " ");
	append(line, name ? name : "CGI");

	// The configuration is the server's own and may use the interpreter's
	// syntax; PATH_INFO comes from the URL and goes as one argument.
	size_t words = strlen(line); // the configuration ends here
	if (path) {
		append(line, " ", "414 URI Too Long");
		append(line, path, "414 URI Too Long");
	}
	const char *arg = path && *path ? path : nullptr; // an empty PATH_INFO is no argument
	unsigned limit = time_limit();

	auto began = std::chrono::steady_clock::now();
	switch (sys_spawn(line, words, arg)) {
	case started:
		break;
	case unsafe:
		error("400 Bad Request", "unsafe environment variable to 'PATH_INFO'.");
	case unavailable:
		error("503 Service Unavailable", "cannot execute java command.");
	}
	sys_limit(limit);
	sys_feed(data, size);
	ending how = sys_wait(&code);
	ended = true;
	ran_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
	    std::chrono::steady_clock::now() - began).count();
	switch (how) {
	case clean:
		return;
	case failure:
		failed("500 Internal Server Error", "exit failure to", line);
	case late:
		failed("504 Gateway Timeout", "time limit exceeded to", line);
	}
}

int main()
{
	sys_init();
	const char *method = getenv("REQUEST_METHOD");
	if (!method)
		error("500 Internal Server Error",
		    "undefined environment variable to 'REQUEST_METHOD'.");
	const char *data = "";
	size_t size = 0;
	if (strcmp(method, "POST") == 0)
		post(&data, &size);
	else
		discard();
	if (strcmp(method, "GET") == 0)
		data = get(&size);
	run_tolvane(data, size);
	return 0;
}
