// tolvane: a CGI gateway that answers each request with a Java program.
//
// The web server runs us once per request. We take the request data (the
// query string of a GET, the body of a POST, nothing otherwise), start the
// Java launcher with it on its standard input, and wait. The Java program
// writes the response itself, to the standard output it inherits from us.
#include <cctype>
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

// The length of the well-formed UTF-8 sequence that s starts with, 0 where
// it starts none.
static int utf8(const unsigned char *s)
{
	unsigned char c = s[0];
	int n = c >= 0xc2 && c <= 0xdf ? 2 : c >= 0xe0 && c <= 0xef ? 3 : c >= 0xf0 && c <= 0xf4 ? 4 : 0;
	unsigned char low = c == 0xe0 ? 0xa0 : c == 0xf0 ? 0x90 : 0x80;
	unsigned char high = c == 0xed ? 0x9f : c == 0xf4 ? 0x8f : 0xbf;
	for (int i = 1; i < n; i++)
		if (s[i] < (i == 1 ? low : 0x80) || s[i] > (i == 1 ? high : 0xbf))
			return 0;
	return n;
}

// The log is the server's, and a client chose much of what goes into it: a
// byte that could end the line or pass for a field's end is written as an
// escape. So is every byte outside well-formed UTF-8, and a control
// character in it (U+0080 to U+009F): a terminal showing the log may obey
// 0x9B or U+009B as it obeys ESC [. blanks: whether a blank is one too, as
// it is inside a field.
static void logged(const char *text, bool blanks)
{
	for (auto s = reinterpret_cast<const unsigned char *>(text); *s;) {
		int n = *s < 0x80 ? 1 : utf8(s);
		bool escape = n == 0 || (n == 2 && s[0] == 0xc2 && s[1] <= 0x9f) || *s < 0x20 ||
		              *s == 0x7f || *s == '\\' || (blanks && *s == ' ');
		if (n == 0)
			n = 1;
		for (int i = 0; i < n; i++, s++)
			if (escape)
				fprintf(stderr, "\\x%02x", *s);
			else
				putc(*s, stderr);
	}
}

static void field(const char *name, const char *value)
{
	fprintf(stderr, " %s=", name);
	logged(value, true);
}

// One line on standard error, which every server keeps in a log of its
// own: the message, then what matches it to its request among many. No
// server adds the time to every line it takes from us, so we do. A command
// line quoted in the message holds PATH_INFO, the client's: its blanks are
// escaped too, so that nothing in it can pass for a field of ours.
static void note(const char *msg, const char *line)
{
	static char buf[1 << 16]; // one write for all but an absurd line
	setvbuf(stderr, buf, _IOFBF, sizeof buf);
	fputs("tolvane: ", stderr);
	logged(msg, false);
	if (line) {
		fputs(" '", stderr);
		logged(line, true);
		fputs("'.", stderr);
	}
	const char *method = getenv("REQUEST_METHOD");
	if (method)
		field("method", method);
	const char *uri = getenv("REQUEST_URI");
	if (uri) {
		field("uri", uri);
	} else {
		// The URI as the server decoded it, and its query as it came. IIS
		// sets PATH_INFO to the whole path, SCRIPT_NAME included; any other
		// server to the path after SCRIPT_NAME, which may start as it does.
		const char *script = getenv("SCRIPT_NAME"), *path = getenv("PATH_INFO");
		const char *query = getenv("QUERY_STRING"), *server = getenv("SERVER_SOFTWARE");
		size_t n = script ? strlen(script) : 0;
		if (script && path && server && strncmp(server, "Microsoft-IIS", 13) == 0 &&
		    strncmp(path, script, n) == 0 && (path[n] == '/' || !path[n]))
			script = nullptr;
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

// A failure message can quote PATH_INFO, which the client chose: printed
// raw, a crafted link would put its own markup on our page.
static void html(const char *text)
{
	for (const char *p = text; *p; p++) {
		switch (*p) {
		case '&': fputs("&amp;", stdout); break;
		case '<': fputs("&lt;", stdout); break;
		case '>': fputs("&gt;", stdout); break;
		default: putchar(*p);
		}
	}
}

// Every failure ends here: one small page, exit status 1. The status tells
// the client, monitors and caches who is at fault, as a server's own error
// answers do; without it the server would answer 200 OK. The page is for
// the client; the log line for whoever runs the server. line: a command
// line the message names, quoted after it.
[[noreturn]] static void error(const char *status, const char *msg, const char *line = nullptr)
{
	note(msg, line);
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
	html(msg);
	if (line) {
		fputs(" '", stdout);
		html(line);
		fputs("'.", stdout);
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

// Blanks, decimal digits, blanks: nothing else is a length, so that no
// stray character ("0x3", "3abc") makes a body of another length than the
// one that comes. Saturates, so that any number of digits stays outside
// the accepted range instead of wrapping into it.
static bool content_length(const char *s, long long *length)
{
	s += strspn(s, " \t");
	const char *digits = s;
	long long n = 0;
	for (; *s >= '0' && *s <= '9'; s++)
		if (n <= INT_MAX)
			n = n * 10 + (*s - '0');
	*length = n;
	return s != digits && !s[strspn(s, " \t")];
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

// Apache passes a chunked body with no length, only the client's
// Transfer-Encoding.
static bool chunked()
{
	return getenv("HTTP_TRANSFER_ENCODING") != nullptr;
}

// A body that comes with a GET or HEAD is no request data, but a server
// may wait for it to be read before it takes the response (Apache's
// mod_cgid does): it is read and dropped, as far as it comes, a chunked
// one to its end.
static void discard()
{
	const char *value = getenv("CONTENT_LENGTH");
	long long n;
	if (!value || !content_length(value, &n)) {
		if ((value && *value) || !chunked())
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

// The body of a POST, PUT, PATCH or any method but GET and HEAD, which
// passes on standard input as a POST's does. It is bytes, NUL among them:
// counted, never measured. Only a POST must have one: another method
// without a length (an empty CONTENT_LENGTH, the "no body" of CGI) runs
// with empty input. A chunked body without a length has no end we could
// pass on: it is read, so that the server sends the page, and refused.
static void body(bool required, const char **data, size_t *size)
{
	const char *value = getenv("CONTENT_LENGTH");
	if (!value || (!required && !*value)) {
		if (!required && !chunked())
			return;
		discard();
		error("411 Length Required", "undefined environment variable to 'CONTENT_LENGTH'.");
	}
	// The length is a 32-bit count, as it always was; an empty body,
	// announced in digits, is a request like any other.
	long long n;
	if (!content_length(value, &n))
		error("400 Bad Request", "cannot read stdin.");
	if (n >= INT_MAX)
		error("413 Content Too Large", "cannot allocate memory.");
	// Room for the whole body is reserved, and memory granted in steps as
	// the bytes come: a client that announces a gigabyte and sends ten
	// bytes costs 64 KiB. A step is an eighth of what came, so no more is
	// ever granted than that beyond the body, and few calls grant it.
	const size_t unit = 1 << 16;
	size_t room = (n / unit + 1) * unit;
	char *buf = sys_reserve(room);
	if (!buf)
		error("413 Content Too Large", "cannot allocate memory.");
	for (size_t granted = 0, got = 0; got < (size_t)n;) {
		size_t step = granted / 8 / unit * unit;
		step = step < unit ? unit : step < room - granted ? step : room - granted;
		if (!sys_grant(buf + granted, step))
			error("413 Content Too Large", "cannot allocate memory.");
		granted += step;
		size_t want = (granted < (size_t)n ? granted : n) - got;
		if (sys_read(buf + got, want) != want)
			error("400 Bad Request", "cannot read stdin.");
		got += want;
	}
	*data = buf;
	*size = n;
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

// A class path or class that is empty or only what the shell splits words
// at adds no word to the line, so the words after it move up: PATH_INFO,
// which the client chose, would become the class or, ending in .java, a
// source file the launcher compiles and runs.
static const char *word(const char *name)
{
	const char *value = getenv(name);
	if (value && !value[strspn(value, " \t\n")])
		error("500 Internal Server Error", "invalid environment variable to", name);
	return value;
}

// The launcher's options that take the next word as their value, unless it
// starts with '-'.
static bool valued(const char *option)
{
	static const char *const names[] = {
	    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path",
	    "--add-modules", "--enable-native-access", "--limit-modules", "--add-exports",
	    "--add-opens", "--add-reads", "--patch-module", "--describe-module", "-d", "--source"};
	for (const char *name : names)
		if (strcmp(option, name) == 0)
			return true;
	return false;
}

// Whether the variable of that name (its first n bytes) is one the server
// fills from the request: a client chose its text. The configuration's
// expansion never sees one, so that no header can add a word to the
// launcher's line or end the configuration's quoting. fold: the name's
// case aside, as Windows compares names. A POSIX name's case is its own,
// and no server there names a request's variable in lower case: an
// http_proxy is the server's.
bool from_request(const char *name, size_t n, bool fold)
{
	// A name that ends in '_' stands for every name it starts. Apache's
	// SERVER_SIGNATURE holds the Host header's name, and mod_ssl sets
	// SSL_TLS_SNI, the name in the client's TLS hello, on every request;
	// with SRP, SSL_SRP_USER, the user name in that hello. mod_include
	// gives a CGI it includes the including page's DOCUMENT_ARGS and
	// DOCUMENT_PATH_INFO. lighttpd's mod_extforward keeps the Host header
	// a proxy's Forwarded host= replaced in _L_EXTFORWARD_ACTUAL_HOST.
	// IIS's server variables that hold a client's text are here too, the
	// Basic password and raw headers among them, whichever it hands a CGI.
	static const char *const names[] = {
	    "HTTP_", "HEADER_", "REDIRECT_", "SSL_CLIENT_", "CERT_", "ORIG_", "ALL_HTTP", "ALL_RAW",
	    "AUTH_PASSWORD", "AUTH_TYPE", "AUTH_USER", "CACHE_URL", "CONTENT_LENGTH", "CONTENT_TYPE",
	    "DOCUMENT_ARGS", "DOCUMENT_NAME", "DOCUMENT_PATH_INFO", "DOCUMENT_URI", "LOGON_USER",
	    "PATH_INFO", "PATH_TRANSLATED", "QUERY_STRING", "QUERY_STRING_UNESCAPED", "REMOTE_HOST",
	    "REMOTE_IDENT", "REMOTE_USER", "REQUEST_METHOD", "REQUEST_URI", "SCRIPT_FILENAME",
	    "SCRIPT_NAME", "SCRIPT_URI", "SCRIPT_URL", "SERVER_NAME", "SERVER_SIGNATURE",
	    "SSL_SRP_USER", "SSL_TLS_SNI", "UNENCODED_URL", "UNMAPPED_REMOTE_USER", "URL",
	    "_L_EXTFORWARD_ACTUAL_HOST"};
	for (const char *known : names) {
		size_t len = strlen(known), i = 0;
		if (known[len - 1] == '_' ? n < len : n != len)
			continue;
		for (; i < len; i++) {
			char c = fold && name[i] >= 'a' && name[i] <= 'z' ? name[i] - 32 : name[i];
			if (c != known[i])
				break;
		}
		if (i == len)
			return true;
	}
	return false;
}

// How far the launcher has read its words: options, an option that takes
// the next word as its value, -m that takes the module to run, what it
// runs (named), or a JDK argument file (@FILE), whose words are out of our
// sight.
enum reading { options, value, module, named, unseen };

// One more word, as the launcher reads it: after its options, a class,
// -jar FILE, -m MODULE or a source file is what it runs, and the words
// after that are the program's. A word that starts with '-' is never an
// option's value, as the launcher takes none such.
static reading read_word(reading state, const char *a)
{
	if (a[0] == '@' && a[1] && a[1] != '@')
		return unseen;
	// The launcher splits a --source word that holds white space again
	// into words of its own, which we do not follow: refused too.
	if (strncmp(a, "--source", 8) == 0 && a[strcspn(a, " \t\n\v\f\r")])
		return unseen;
	if (state == value && a[0] != '-')
		return options;
	if (a[0] != '-' || (strncmp(a, "--module=", 9) == 0 && a[9]))
		return named;
	if (strcmp(a, "-m") == 0 || strcmp(a, "--module") == 0)
		return module;
	return valued(a) ? value : options;
}

// The launcher reads JDK_JAVA_OPTIONS ahead of its arguments, split at
// white space, a quoted part keeping its blanks.
static reading read_options(reading state, const char *env)
{
	static char word[4096];
	while (*env && state != unseen) {
		if (isspace(static_cast<unsigned char>(*env))) {
			env++;
			continue;
		}
		size_t n = 0;
		while (*env && !isspace(static_cast<unsigned char>(*env)) && n < sizeof word - 1) {
			if (*env == '"' || *env == '\'') {
				const char *close = strchr(env + 1, *env);
				if (!close)
					return unseen; // the launcher refuses it
				for (env++; env < close && n < sizeof word - 1; env++)
					word[n++] = *env;
				env = close + 1;
			} else {
				word[n++] = *env++;
			}
		}
		if (n == sizeof word - 1)
			return unseen;
		word[n] = '\0';
		state = read_word(state, word);
	}
	return state;
}

// Whether args, the launcher's arguments as the configuration made them,
// name what it is to run, read as the launcher reads them. Only then is
// one more argument, PATH_INFO, the program's own; else the client's text
// would be the class, a source file to compile and run, or an option.
// Where a JDK argument file's words come before what it runs, the line is
// refused: they could take the class for an option's value.
bool names_program(char *const args[])
{
	reading state = options;
	if (const char *env = getenv("JDK_JAVA_OPTIONS"))
		state = read_options(state, env);
	for (; *args && state != named && state != unseen; args++)
		state = read_word(state, *args);
	return state == named;
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

	// The limit is on all of it, the configuration's expansion included.
	auto began = std::chrono::steady_clock::now();
	sys_limit(time_limit());
	switch (sys_spawn(line, words, arg)) {
	case started:
		break;
	case invalid:
		error("500 Internal Server Error", "invalid environment variable to", "TOLVANE_CLASS");
	case invalid_home:
		error("500 Internal Server Error", "invalid environment variable to", "JAVA_HOME");
	case unsafe:
		error("400 Bad Request", "unsafe environment variable to 'PATH_INFO'.");
	case unavailable:
		error("503 Service Unavailable", "cannot execute java command.");
	}
	sys_feed(data, size);
	ending how = sys_wait(&code);
	ended = true;
	ran_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
	    std::chrono::steady_clock::now() - began).count();
	switch (how) {
	case clean:
		return;
	case failure:
		error("500 Internal Server Error", "exit failure to", line);
	case late:
		error("504 Gateway Timeout", "time limit exceeded to", line);
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
	if (strcmp(method, "GET") == 0) {
		discard();
		data = get(&size);
	} else if (strcmp(method, "HEAD") == 0) {
		discard();
	} else {
		body(strcmp(method, "POST") == 0, &data, &size);
	}
	run_tolvane(data, size);
	return 0;
}
