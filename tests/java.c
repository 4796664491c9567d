/* Stand-in for the Java launcher. It drains its input and answers with a
 * fixed CGI response. It records what it was given (args, NUL-separated;
 * input; argv0; pid; sigpipe; sighup; sigmask, whether any signal is blocked;
 * fds; pwd, its PWD; parent, the name of its parent process; on Windows also
 * cmdline, its command line in UTF-16
 * before any code page has had a say, wargs, its args as the runtime's wide
 * parser takes them from it, in UTF-16, acp, the ANSI code page that its
 * argv went through, and parent, the file name of its parent process) in the folder FAKE_LOG, or else in JAVA_HOME/log
 * when that exists, so that tests behind a web server can read it too.
 * FAKE_EXIT sets its exit status; FAKE_FILL=N makes its response N bytes of x;
 * FAKE_NOREAD makes it go on without reading,
 * taking its value for the input below. An input of "sleep" makes it sleep a
 * minute before answering, "stubborn" the same ignoring SIGTERM, "hang" the
 * same after answering, "fork" the same with a child in its process group
 * that ignores SIGTERM (its pid recorded as child), "regroup" the same after
 * moving itself into its parent's process group, "hook" the same with a
 * SIGTERM handler that takes 300 ms to record hooked, as a JVM's shutdown
 * hook would, "nap" makes it sleep a
 * second before answering, "fail" makes it exit with
 * 2 after answering, "crash" makes it die of SIGKILL before. The dispositions of SIGPIPE and SIGHUP are recorded too. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <windows.h>
#include <tlhelp32.h>
typedef struct { int newmode; } startup;
int __wgetmainargs(int *, wchar_t ***, wchar_t ***, int, startup *);
#define sleep(s) Sleep((s) * 1000)
#define getpid _getpid
#else
#include <dirent.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

static char hooked[4096];

static void hook(int sig)
{
	const struct timespec pause = {0, 300000000};
	(void)sig;
	nanosleep(&pause, NULL);
	close(open(hooked, O_WRONLY | O_CREAT, 0644));
	_exit(0);
}
#endif

static FILE *record(const char *name)
{
	const char *dir = getenv("FAKE_LOG");
	char path[4096];
	if (dir)
		snprintf(path, sizeof path, "%s/%s", dir, name);
	else if (getenv("JAVA_HOME"))
		snprintf(path, sizeof path, "%s/log/%s", getenv("JAVA_HOME"), name);
	else
		return NULL;
	return fopen(path, "wb");
}

int main(int argc, char **argv)
{
	static char buf[1 << 16];
	char word[16] = "";
	size_t n, got = 0;
	FILE *f;
	int i;

#ifdef _WIN32
	/* The gateway's text-mode pipe is under test: see its bytes as they are. */
	_setmode(0, _O_BINARY);
	_setmode(1, _O_BINARY);
#endif
	if ((f = record("args"))) {
		for (i = 1; i < argc; i++)
			fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
		fclose(f);
	}
	if ((f = record("argv0"))) {
		fputs(argv[0], f);
		fclose(f);
	}
	if ((f = record("pid"))) {
		fprintf(f, "%d", (int)getpid());
		fclose(f);
	}
#ifdef _WIN32
	if ((f = record("cmdline"))) {
		fwrite(GetCommandLineW(), sizeof(wchar_t), wcslen(GetCommandLineW()), f);
		fclose(f);
	}
	if ((f = record("acp"))) {
		fprintf(f, "%u", GetACP());
		fclose(f);
	}
	if ((f = record("wargs"))) {
		int wargc;
		wchar_t **wargv, **wenv;
		startup si = {0};
		__wgetmainargs(&wargc, &wargv, &wenv, 0, &si);
		for (i = 1; i < wargc; i++)
			fwrite(wargv[i], sizeof(wchar_t), wcslen(wargv[i]) + 1, f);
		fclose(f);
	}
	if ((f = record("parent"))) {
		HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
		PROCESSENTRY32 e;
		DWORD parent = 0;
		BOOL more;
		e.dwSize = sizeof e;
		for (more = Process32First(snap, &e); more; more = Process32Next(snap, &e))
			if (e.th32ProcessID == GetCurrentProcessId())
				parent = e.th32ParentProcessID;
		for (more = Process32First(snap, &e); more; more = Process32Next(snap, &e))
			if (parent && e.th32ProcessID == parent)
				fputs(e.szExeFile, f);
		CloseHandle(snap);
		fclose(f);
	}
#else
	if ((f = record("sigpipe"))) {
		struct sigaction sa;
		sigaction(SIGPIPE, NULL, &sa);
		fputs(sa.sa_handler == SIG_DFL ? "default" : "changed", f);
		fclose(f);
	}
	if ((f = record("sighup"))) {
		struct sigaction sa;
		sigaction(SIGHUP, NULL, &sa);
		fputs(sa.sa_handler == SIG_IGN ? "ignored" : "default", f);
		fclose(f);
	}
	if ((f = record("sigmask"))) {
		sigset_t set;
		int sig, blocked = 0;
		sigprocmask(SIG_BLOCK, NULL, &set);
		for (sig = 1; sig < 32; sig++)
			blocked |= sigismember(&set, sig) == 1;
		fputs(blocked ? "blocked" : "none", f);
		fclose(f);
	}
	if ((f = record("pwd"))) {
		fputs(getenv("PWD") ? getenv("PWD") : "(unset)", f);
		fclose(f);
	}
	if ((f = record("parent"))) {
		char path[64];
		FILE *comm;
		snprintf(path, sizeof path, "/proc/%d/comm", (int)getppid());
		if ((comm = fopen(path, "rb"))) {
			while ((n = fread(buf, 1, sizeof buf, comm)) > 0)
				fwrite(buf, 1, n, f);
			fclose(comm);
		}
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
	if (getenv("FAKE_NOREAD")) {
		strncpy(word, getenv("FAKE_NOREAD"), sizeof word - 1);
	} else {
		f = record("input");
		while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) {
			if (got < sizeof word - 1)
				memcpy(word + got, buf, n < sizeof word - 1 - got ? n : sizeof word - 1 - got);
			got += n;
			if (f)
				fwrite(buf, 1, n, f);
		}
		if (f)
			fclose(f);
	}
#ifndef _WIN32
	if (strcmp(word, "fork") == 0 && fork() == 0) {
		signal(SIGTERM, SIG_IGN);
		if ((f = record("child"))) {
			fprintf(f, "%d", (int)getpid());
			fclose(f);
		}
		sleep(60);
		_exit(0);
	}
	if (strcmp(word, "crash") == 0)
		raise(SIGKILL);
	if (strcmp(word, "regroup") == 0)
		setpgid(0, getpgid(getppid()));
	if (strcmp(word, "hook") == 0 && getenv("FAKE_LOG")) {
		snprintf(hooked, sizeof hooked, "%s/hooked", getenv("FAKE_LOG"));
		signal(SIGTERM, hook);
	}
#endif
	if (getenv("FAKE_FILL")) {
		for (n = atoi(getenv("FAKE_FILL")); n > 0; n--)
			putchar('x');
		fflush(stdout);
		return getenv("FAKE_EXIT") ? atoi(getenv("FAKE_EXIT")) : 0;
	}
	if (strcmp(word, "hang") == 0) {
		fputs("Content-Type: text/plain\n\nok\n", stdout);
		fflush(stdout);
	}
	if (strcmp(word, "stubborn") == 0)
		signal(SIGTERM, SIG_IGN);
	if (strcmp(word, "nap") == 0)
		sleep(1);
	if (strcmp(word, "sleep") == 0 || strcmp(word, "stubborn") == 0 ||
	    strcmp(word, "hang") == 0 || strcmp(word, "fork") == 0 || strcmp(word, "regroup") == 0 ||
	    strcmp(word, "hook") == 0)
		sleep(60);
	fputs("Content-Type: text/plain\n\nok\n", stdout);
	if (strcmp(word, "fail") == 0)
		return 2;
	return getenv("FAKE_EXIT") ? atoi(getenv("FAKE_EXIT")) : 0;
}
