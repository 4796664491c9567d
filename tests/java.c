/* Stand-in for the Java launcher. It drains its input and answers with a
 * fixed CGI response. With FAKE_LOG naming a folder it records there what it
 * was given: args (NUL-separated), input, sigpipe, fds. FAKE_EXIT sets its
 * exit status, FAKE_NOREAD makes it exit without reading, FAKE_SLEEP makes
 * it sleep that many seconds first. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#define sleep(s) Sleep((s) * 1000)
#else
#include <dirent.h>
#include <signal.h>
#include <unistd.h>
#endif

static FILE *record(const char *name)
{
	const char *dir = getenv("FAKE_LOG");
	char path[4096];
	if (!dir)
		return NULL;
	snprintf(path, sizeof path, "%s/%s", dir, name);
	return fopen(path, "wb");
}

int main(int argc, char **argv)
{
	static char buf[1 << 16];
	FILE *f;
	size_t n;
	int i;

#ifdef _WIN32
	_setmode(0, _O_BINARY); /* the gateway's text-mode pipe is under test */
#endif
	if (getenv("FAKE_SLEEP"))
		sleep(atoi(getenv("FAKE_SLEEP")));
	if ((f = record("args"))) {
		for (i = 1; i < argc; i++)
			fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
		fclose(f);
	}
#ifndef _WIN32
	if ((f = record("sigpipe"))) {
		struct sigaction sa;
		sigaction(SIGPIPE, NULL, &sa);
		fputs(sa.sa_handler == SIG_DFL ? "default" : "changed", f);
		fclose(f);
	}
	if ((f = record("fds"))) {
		DIR *d = opendir("/proc/self/fd");
		struct dirent *e;
		while (d && (e = readdir(d)))
			if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(d) &&
			    atoi(e->d_name) != fileno(f))
				fprintf(f, "%s\n", e->d_name);
		if (d)
			closedir(d);
		fclose(f);
	}
#endif
	if (!getenv("FAKE_NOREAD")) {
		f = record("input");
		while ((n = fread(buf, 1, sizeof buf, stdin)) > 0)
			if (f)
				fwrite(buf, 1, n, f);
		if (f)
			fclose(f);
	}
	fputs("Content-Type: text/plain\n\nok\n", stdout);
	return getenv("FAKE_EXIT") ? atoi(getenv("FAKE_EXIT")) : 0;
}
