/* Stand-in for the Java launcher. It drains its input and answers with a
 * fixed CGI response. It records what it was given (args, NUL-separated;
 * input; argv0; pid; sigpipe; sighup; sigmask, whether any signal is blocked;
 * fds; pwd, its PWD; parent, the name of its parent process) in the folder
 * FAKE_LOG, or else in JAVA_HOME/log when that exists, so that tests behind
 * a web server can read it too.
 *
 * On Windows it reads its arguments as the JDK's java.exe does, not as the
 * C runtime would: its command line in the ANSI code page (GetCommandLineA,
 * or FAKE_CMDLINE when set), split by the launcher's rules, and the
 * program's arguments that hold a * or ? outside quotes expanded as file
 * names. args holds them as that code page's bytes, wargs as the Java
 * program's strings (UTF-16); also cmdline, its command line in UTF-16,
 * acp, the ANSI code page, cwd, its working directory (UTF-16), inherited,
 * how many inheritable handles it holds besides its standard three, and
 * parent, the file name of its parent process.
 *
 * FAKE_JDK8 makes it split its line as the launcher of the JDK 8 updates
 * that keep the count of backslashes across a * or ?.
 *
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
 * 2 after answering, "crash" makes it die of SIGKILL before. The dispositions
 * of SIGPIPE and SIGHUP are recorded too. On Windows "linger" makes it leave
 * a process behind that holds all its handles, records its pid as child,
 * writes "late" to the response after 5 seconds and ends after 40. */
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

static int log_path(char *path, size_t size, const char *name)
{
	const char *dir = getenv("FAKE_LOG");
	if (dir)
		snprintf(path, size, "%s/%s", dir, name);
	else if (getenv("JAVA_HOME"))
		snprintf(path, size, "%s/log/%s", getenv("JAVA_HOME"), name);
	else
		return 0;
	return 1;
}

static FILE *record(const char *name)
{
	char path[4096];
	return log_path(path, sizeof path, name) ? fopen(path, "wb") : NULL;
}

/* A pid goes under a scratch name first: a test that sees the file may read
 * it at once, and must never read it empty. */
static void record_pid(const char *name)
{
	char scratch[64], from[4096], to[4096];
	FILE *f;
	snprintf(scratch, sizeof scratch, "%s.part", name);
	if (!log_path(from, sizeof from, scratch) || !log_path(to, sizeof to, name) ||
	    !(f = fopen(from, "wb")))
		return;
	fprintf(f, "%d", (int)getpid());
	fclose(f);
	rename(from, to);
}

#ifdef _WIN32
/* One argument of a command line as the JDK's launcher takes it apart (its
 * next_arg in libjli/cmdtoargs.c), in the ANSI code page, a whole character
 * at a time: a blank outside quotes ends it; a quote opens or closes
 * quoting, but one that follows a quote while quoting is off is kept and
 * turns it on; backslashes before a quote are halved, an odd run keeping the
 * quote, and stay as they are before anything else. *wild: it holds a * or ?
 * outside quotes. Returns where the next one starts, NULL after the last. */
static const char *launcher_arg(const char *s, char *out, int *wild)
{
	int quotes = 0, slashes = 0, separator = 0, i, run, kept = 0;
	int jdk8 = getenv("FAKE_JDK8") != NULL;
	unsigned prev = 0, ch = 0;
	int len;

	*wild = 0;
	for (; (len = (int)(CharNextExA(CP_ACP, s, 0) - s)) > 0; prev = ch, s += len) {
		ch = len == 1 ? (unsigned char)*s : 0xffff;
		if (separator && ch != ' ' && ch != '\t')
			break;
		if (ch == '\\') {
			slashes += 1 + kept;
			kept = 0;
			continue;
		}
		if (ch == '"') {
			for (i = 0; i < slashes / 2; i++)
				*out++ = '\\';
			if (prev == '\\' && slashes % 2 == 1)
				*out++ = '"';
			else if (prev == '\\')
				quotes++;
			else if (prev == '"' && quotes % 2 == 0)
				quotes++, *out++ = '"';
			else if (quotes == 0)
				quotes++;
			else
				quotes--;
			slashes = kept = 0;
			continue;
		}
		for (run = slashes; slashes > 0; slashes--)
			*out++ = '\\';
		/* FAKE_JDK8: the count is not reset at * or ?, and a run of
		 * backslashes after them adds it (next_arg in the launcher of JDK 8
		 * updates before the fix, where * and ? lack "slashes = 0"). */
		if (jdk8 && (ch == '*' || ch == '?'))
			kept = prev == '\\' ? run : prev == '*' || prev == '?' ? kept : 0;
		else
			kept = 0;
		if ((ch == ' ' || ch == '\t') && quotes % 2 == 0) {
			separator = 1;
			continue;
		}
		if ((ch == '*' || ch == '?') && quotes % 2 == 0)
			*wild = 1;
		memcpy(out, s, len);
		out += len;
	}
	for (; slashes > 0; slashes--)
		*out++ = '\\';
	*out = '\0';
	return len > 0 ? s : NULL;
}

/* Where the program's own arguments start: after the class (or -jar FILE,
 * -m MODULE), the options before it taking their values as the launcher's
 * do, the next word unless it starts with '-'. */
static int first_program_arg(char **args, int n)
{
	static const char *const valued[] = {
	    "-cp", "-classpath", "--class-path", "-p", "--module-path", "--upgrade-module-path",
	    "--add-modules", "--enable-native-access", "--limit-modules", "--add-exports",
	    "--add-opens", "--add-reads", "--patch-module", "--describe-module", "-d", "--source"};
	int i, j, value = 0;

	for (i = 1; i < n; i++) {
		if (args[i][0] != '-') {
			if (!value)
				return i + 1;
			value = 0;
			continue;
		}
		if (strncmp(args[i], "--module=", 9) == 0)
			return i + 1;
		for (value = 0, j = 0; j < (int)(sizeof valued / sizeof *valued); j++)
			value |= strcmp(args[i], valued[j]) == 0;
	}
	return n;
}

/* The launcher's arguments after its own name, * and ? in the program's
 * expanded as the launcher does (its LauncherHelper.expandArgs): every file
 * the pattern matches, or the pattern itself where none does. */
static char *launcher_args(const char *line, int *count)
{
	static char words[1 << 16], out[1 << 20], *args[1 << 12];
	static int wild[1 << 12];
	char *w = words, *o = out;
	const char *s = line;
	int n = 0, i, first;

	do {
		args[n] = w;
		s = launcher_arg(s, w, &wild[n]);
		w += strlen(w) + 1;
		n++;
	} while (s && n < (int)(sizeof args / sizeof *args));
	first = first_program_arg(args, n);
	*count = 0;
	for (i = 1; i < n; i++) {
		WIN32_FIND_DATAA found;
		HANDLE h = i >= first && wild[i] ? FindFirstFileA(args[i], &found) : INVALID_HANDLE_VALUE;
		int matched = 0;
		size_t dir = 0, at;
		const char *c;
		for (c = args[i]; *c; c = CharNextExA(CP_ACP, c, 0))
			if (*c == '\\' || *c == '/')
				dir = c - args[i] + 1;
		while (h != INVALID_HANDLE_VALUE) {
			if (strcmp(found.cFileName, ".") != 0 && strcmp(found.cFileName, "..") != 0) {
				for (at = 0; at < dir; at++)
					*o++ = args[i][at] == '/' ? '\\' : args[i][at];
				o += sprintf(o, "%s", found.cFileName) + 1;
				matched++;
				++*count;
			}
			if (!FindNextFileA(h, &found)) {
				FindClose(h);
				h = INVALID_HANDLE_VALUE;
			}
		}
		if (!matched) {
			o += sprintf(o, "%s", args[i]) + 1;
			++*count;
		}
	}
	return out;
}

/* Inheritable handles besides the standard three: what a parent let slip
 * through to us. Counted before we open anything of our own, as the
 * runtime's files are inheritable too. */
static int strays(void)
{
	ULONG_PTR v;
	int n = 0;
	for (v = 4; v < 1 << 16; v += 4) {
		HANDLE h = (HANDLE)v;
		DWORD flags;
		if (GetHandleInformation(h, &flags) && (flags & HANDLE_FLAG_INHERIT) &&
		    h != GetStdHandle(STD_INPUT_HANDLE) && h != GetStdHandle(STD_OUTPUT_HANDLE) &&
		    h != GetStdHandle(STD_ERROR_HANDLE))
			n++;
	}
	return n;
}

/* What "linger" leaves behind: a copy of us that holds every handle we
 * hold, our input's pipe among them, and writes to the response late. We
 * end once it runs, which it tells by the event whose handle it finds in
 * FAKE_LINGER. */
static void linger(void)
{
	char self[MAX_PATH], handle[32];
	SECURITY_ATTRIBUTES inherit = {sizeof inherit, NULL, TRUE};
	HANDLE running = CreateEventA(&inherit, TRUE, FALSE, NULL);
	STARTUPINFOA si;
	PROCESS_INFORMATION pi;
	memset(&si, 0, sizeof si);
	si.cb = sizeof si;
	si.dwFlags = STARTF_USESTDHANDLES;
	si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
	si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
	si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
	GetModuleFileNameA(NULL, self, sizeof self);
	snprintf(handle, sizeof handle, "%llu", (unsigned long long)(ULONG_PTR)running);
	SetEnvironmentVariableA("FAKE_LINGER", handle);
	if (CreateProcessA(self, "java", NULL, NULL, TRUE, 0, NULL, NULL, &si, &pi)) {
		WaitForSingleObject(running, 30000);
		CloseHandle(pi.hThread);
		CloseHandle(pi.hProcess);
	}
}

static int lingering(void)
{
	record_pid("child");
	SetEvent((HANDLE)(ULONG_PTR)strtoull(getenv("FAKE_LINGER"), NULL, 10));
	Sleep(5000);
	fputs("late\n", stdout);
	fflush(stdout);
	Sleep(35000);
	return 0;
}
#endif

int main(int argc, char **argv)
{
	static char buf[1 << 16];
	char word[16] = "";
	size_t n, got = 0;
	FILE *f;
	int i;

#ifdef _WIN32
	int stray = strays();
	int count;
	const char *line = getenv("FAKE_CMDLINE") ? getenv("FAKE_CMDLINE") : GetCommandLineA();
	char *args = launcher_args(line, &count), *a;

	(void)argc;
	if (getenv("FAKE_LINGER"))
		return lingering();
	/* The gateway's text-mode pipe is under test: see its bytes as they are. */
	_setmode(0, _O_BINARY);
	_setmode(1, _O_BINARY);
	if ((f = record("args"))) {
		for (a = args, i = 0; i < count; i++, a += strlen(a) + 1)
			fwrite(a, 1, strlen(a) + 1, f);
		fclose(f);
	}
	if ((f = record("wargs"))) {
		static wchar_t wide[1 << 16];
		for (a = args, i = 0; i < count; i++, a += strlen(a) + 1) {
			int n = MultiByteToWideChar(CP_ACP, 0, a, -1, wide, sizeof wide / sizeof *wide);
			fwrite(wide, sizeof(wchar_t), n > 0 ? n : 0, f);
		}
		fclose(f);
	}
	if ((f = record("inherited"))) {
		fprintf(f, "%d", stray);
		fclose(f);
	}
	if ((f = record("cwd"))) {
		static wchar_t dir[32768];
		DWORD n = GetCurrentDirectoryW(sizeof dir / sizeof *dir, dir);
		fwrite(dir, sizeof(wchar_t), n, f);
		fclose(f);
	}
#else
	if ((f = record("args"))) {
		for (i = 1; i < argc; i++)
			fwrite(argv[i], 1, strlen(argv[i]) + 1, f);
		fclose(f);
	}
#endif
	if ((f = record("argv0"))) {
		fputs(argv[0], f);
		fclose(f);
	}
	record_pid("pid");
#ifdef _WIN32
	if ((f = record("cmdline"))) {
		fwrite(GetCommandLineW(), sizeof(wchar_t), wcslen(GetCommandLineW()), f);
		fclose(f);
	}
	if ((f = record("acp"))) {
		fprintf(f, "%u", GetACP());
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
		record_pid("child");
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
#ifdef _WIN32
	if (strcmp(word, "linger") == 0)
		linger();
#endif
	return getenv("FAKE_EXIT") ? atoi(getenv("FAKE_EXIT")) : 0;
}
