// The POSIX platform: /bin/sh as the command interpreter, or none where the
// line needs none. The launcher is started with vfork and exec, so that we
// hold its process id ourselves and can bind its life to ours before it
// runs.
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "platform.h"

extern char **environ;

static pid_t child = -1;  // the launcher, until it is reaped
static pid_t group = -1;  // its process group, until nothing of it is left
static int status = -1;   // the launcher's (or expanding shell's), once reaped
static int to_child = -1;
static bool limited;
static timespec deadline; // on CLOCK_MONOTONIC, when limited

static const int passed_on[] = {SIGTERM, SIGINT, SIGHUP};

// The signals we pass on, held back or let through again; before: the mask
// to return to.
static void hold(sigset_t *before)
{
	sigset_t held;
	sigemptyset(&held);
	for (int sig : passed_on)
		sigaddset(&held, sig);
	sigprocmask(SIG_BLOCK, &held, before);
}

// Reaps the launcher once it has ended; whether it has. Its status is kept
// for sys_wait. Between the reaping and the forgetting of its pid no
// handler may run: it would signal a pid that may be another process's by
// then. Async-signal-safe: pass_on calls it from a handler.
static bool reaped()
{
	if (child < 0)
		return true;
	sigset_t before;
	hold(&before);
	int st;
	pid_t r = waitpid(child, &st, WNOHANG);
	if (r != 0 && !(r == -1 && errno == EINTR)) {
		status = r == child ? st : -1;
		child = -1;
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return child < 0;
}

// Whether anything of the launcher's process group is left. Once nothing
// is, its number is free for another group, which must never get our
// signals: we stop asking about it for good.
static bool group_left()
{
	if (group > 0 && kill(-group, 0) == -1 && errno == ESRCH)
		group = -1;
	return group > 0;
}

// What the launcher started and left behind comes to us (see sys_spawn):
// once dead, it is reaped here, for a zombie still counts as one of its
// group. The launcher's own status is kept.
static void reap_orphans()
{
	for (;;) {
		siginfo_t info = {};
		if (waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid == 0)
			return;
		if (info.si_pid != child)
			waitpid(info.si_pid, nullptr, 0);
		else if (!reaped())
			return;
	}
}

// What we started would run on unseen once we are gone. So the launcher
// gets its own process group, and ending the request ends all of it: a
// SIGTERM, then after a grace a SIGKILL for what is left. The grace is for
// the whole group: a shell that ran the JVM dies at once, and the JVM's
// shutdown hooks still need their time. It ends early only when nothing
// of the group is left. The launcher itself is signalled by its pid as
// well, while it is unreaped: it may have moved to another group, and
// left alive it would keep our wait from ending. Only async-signal-safe
// calls: pass_on runs it from a handler.
static void end_group()
{
	if (group > 0)
		kill(-group, SIGTERM);
	if (child > 0)
		kill(child, SIGTERM);
	const timespec tick = {0, 20000000}; // 20 ms
	for (int ticks = 100; ticks > 0; ticks--) {
		reap_orphans();
		if (reaped() && !group_left())
			return;
		nanosleep(&tick, nullptr);
	}
	if (group_left())
		kill(-group, SIGKILL);
	if (child > 0)
		kill(child, SIGKILL);
}

// A server ends a request it gave up on (a timeout, a client gone) by
// signalling us. lighttpd also does so for every response it has taken whole
// while the program is still ending: that is routine, so it is not logged.
static void pass_on(int sig)
{
	if (child > 0 || group > 0)
		end_group();
	signal(sig, SIG_DFL);
	raise(sig);
}

// CGI gives a program the three standard streams and nothing else,
// whatever the server may have let slip through to us. Without
// close_range (older kernels and C libraries), the descriptors are looked
// up, or else tried one by one.
static void close_strays()
{
#if defined(SYS_close_range) && !defined(TOLVANE_CLOSE_LOOP)
	if (syscall(SYS_close_range, 3, ~0U, 0) == 0)
		return;
#endif
	if (DIR *d = opendir("/proc/self/fd")) {
		while (dirent *e = readdir(d)) {
			int fd = atoi(e->d_name);
			if (fd > 2 && fd != dirfd(d))
				close(fd);
		}
		closedir(d);
		return;
	}
	for (long fd = 3, max = sysconf(_SC_OPEN_MAX); fd < max; fd++)
		close(fd);
}

// Writes all of buf to fd, waiting where a server handed it down
// non-blocking (or the launcher made it so) and its reader is slow: a plain
// write would drop what did not fit.
static ssize_t whole(int fd, const char *buf, size_t n)
{
	size_t done = 0;
	while (done < n) {
		ssize_t w = write(fd, buf + done, n - done);
		if (w > 0) {
			done += w;
		} else if (w == -1 && errno == EAGAIN) {
			pollfd out = {fd, POLLOUT, 0};
			poll(&out, 1, -1);
		} else if (w == 0 || errno != EINTR) {
			return done > 0 ? (ssize_t)done : -1;
		}
	}
	return done;
}

#ifdef __GLIBC__
// The standard streams' writes; the cookie is the descriptor.
static ssize_t patient(void *fd, const char *buf, size_t n)
{
	return whole(static_cast<int>(reinterpret_cast<intptr_t>(fd)), buf, n);
}
#endif

void sys_init()
{
	// With a standard descriptor closed, the pipe to the launcher could
	// take its number and the launcher would read or write the wrong thing.
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) == -1)
			open("/dev/null", O_RDWR);
	close_strays();
	// Clearing O_NONBLOCK instead would change it for all who share the
	// description: the server, and the launcher that writes the response.
#ifdef __GLIBC__
	// Standard error is the server's log, which may be a pipe as slow.
	const cookie_io_functions_t io = {nullptr, patient, nullptr, nullptr};
	if (FILE *out = fopencookie(reinterpret_cast<void *>(1), "w", io))
		stdout = out;
	if (FILE *err = fopencookie(reinterpret_cast<void *>(2), "w", io))
		stderr = err;
#endif
	// A launcher that does not read its input, or a server that stops
	// reading our output, must give a failed write, not a dead gateway.
	signal(SIGPIPE, SIG_IGN);
	// An ignored SIGCHLD survives exec, and with it no child can be waited
	// for: a program that ended well would look failed.
	signal(SIGCHLD, SIG_DFL);
	// A blocked signal is a server's passing state (one that waits for its
	// signals in sigwait or signalfd and forgot to unblock them), not a
	// choice: blocked, SIGTERM would reach neither us nor, through exec,
	// the launcher, which the shell would have unblocked.
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
	// A signal the server ignores (SIGHUP under nohup) stays ignored, for
	// us and, through exec, for the launcher: it is not ours to pass on.
	for (int sig : passed_on) {
		struct sigaction old;
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN) {
			struct sigaction sa = {};
			sa.sa_handler = pass_on;
			sa.sa_flags = SA_RESTART;
			for (int other : passed_on)
				sigaddset(&sa.sa_mask, other);
			sigaction(sig, &sa, nullptr);
		}
	}
}

size_t sys_read(char *buf, size_t n)
{
	size_t got = 0;
	while (got < n) {
		ssize_t r = read(0, buf + got, n - got);
		if (r > 0) {
			got += r;
		} else if (r == -1 && errno == EAGAIN) {
			// A server may hand its descriptor down non-blocking: that
			// the body has not all come yet is no end of it.
			pollfd in = {0, POLLIN, 0};
			poll(&in, 1, -1);
		} else if (r == 0 || errno != EINTR) {
			break;
		}
	}
	return got;
}

// Address space alone, which no system counts as memory given, not even
// one that counts every writable page (strict overcommit).
char *sys_reserve(size_t n)
{
	void *p = mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
	if (p == MAP_FAILED)
		return nullptr;
#ifdef MADV_HUGEPAGE
	// Reading a large body into fresh memory takes a page fault every
	// 4 KiB, which dominates the read; huge pages take one every 2 MiB.
	if (n >= 4 << 20)
		madvise(p, n, MADV_HUGEPAGE);
#endif
	return static_cast<char *>(p);
}

bool sys_grant(char *p, size_t n)
{
	return mprotect(p, n, PROT_READ | PROT_WRITE) == 0;
}

// The environment is bytes, and we read them as the server wrote them.
bool sys_exact(const char *, const char *)
{
	return true;
}

// Where the configuration holds nothing the shell could act on (every byte
// is one of these, or the blank between words), we split it into words
// ourselves and save a process per request. A "=" is the shell's only in
// the words before the command, where it makes an assignment: after the
// first word it is a byte like any other, as in the JVM's -XX:Name=value
// options. So is a "*", which goes to the launcher as it stands: it
// expands a class path's lib/* itself, into every jar there. In the first
// word it is the shell's pattern, as JAVA_HOME=/usr/lib/jvm/java-17-* has
// always been.
static bool plain(const char *line, size_t n)
{
	size_t word = 0;
	for (size_t i = 0; i < n; i++) {
		char c = line[i];
		if (c != ' ' && (i == 0 || line[i - 1] == ' '))
			word++;
		if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') &&
		    !memchr(" /._-+,:@%", c, 10) && !((c == '=' || c == '*') && word > 1))
			return false;
	}
	return true;
}

// The launcher's words, then PATH_INFO; they live as long as the request.
// One slot before argv[0] stays free for the shell, should the launcher
// turn out to be a script without "#!". A word the shell makes may be
// empty: one byte, its NUL.
static char words[1 << 16];
static char *slots[sizeof words + 3];

// The words of the line's first n bytes, split at runs of blanks.
static char **split(const char *line, size_t n)
{
	memcpy(words, line, n);
	words[n] = '\0';
	char **argv = slots + 1;
	size_t k = 0;
	for (char *p = words; *p;) {
		if (*p == ' ') {
			*p++ = '\0';
			continue;
		}
		argv[k++] = p;
		p += strcspn(p, " ");
	}
	argv[k] = nullptr;
	return argv;
}

// The shell exports PWD to what it runs, naming the working directory; the
// launcher should not see the difference.
static void set_pwd()
{
	const char *pwd = getenv("PWD");
	struct stat named, here;
	if (pwd && *pwd == '/' && stat(pwd, &named) == 0 && stat(".", &here) == 0 &&
	    named.st_dev == here.st_dev && named.st_ino == here.st_ino)
		return;
	char cwd[4096];
	if (getcwd(cwd, sizeof cwd))
		setenv("PWD", cwd, 1);
}

// A standard output handed down non-blocking is the launcher's too, and a
// JVM drops what a slow reader's full pipe or socket refuses (its
// PrintStream keeps the error to itself): the response arrives cut, as a
// success. A pipe or terminal is opened anew for the launcher, a
// description of its own that blocks, and ours stays as the server set it;
// opened without waiting, since a pipe whose reader has gone would hold
// the open for ever. What cannot be opened anew (a socket; a pipe without
// /proc, or another user's) has its description made blocking while the
// launcher runs, and its flags given back after. The server's end of a
// pipe or socket pair is a description of its own; a server that handed
// down its own connection waits for us meanwhile.
static int launch_out = 1;
static int out_flags = -1; // standard output's flags to give back, if changed

static void blocking_output()
{
	struct stat st;
	int flags = fcntl(1, F_GETFL);
	if (flags == -1 || !(flags & O_NONBLOCK) || fstat(1, &st) == -1)
		return;
	if (S_ISREG(st.st_mode))
		return; // a file's writes never wait, blocking or not
	if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
		int fd = open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
		if (fd != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0) {
			launch_out = fd;
			return;
		}
		if (fd != -1)
			close(fd);
	}
	if (fcntl(1, F_SETFL, flags & ~O_NONBLOCK) == 0)
		out_flags = flags;
}

static void restore_output()
{
	if (out_flags != -1)
		fcntl(1, F_SETFL, out_flags);
	out_flags = -1;
}

// What the child needs between vfork and exec. It shares our memory until
// exec, so it makes only system calls, and tells us why an exec failed
// through failed_exec.
static pid_t gateway;
static sigset_t launch_mask;
static volatile int failed_exec;

static pid_t fork_exec(const char *file, char *const argv[], char *const envp[], int in, int out)
{
	failed_exec = 0;
	pid_t pid = vfork();
	if (pid != 0)
		return pid;
#ifdef PR_SET_PDEATHSIG
	// A gateway killed outright (SIGKILL, a crash) runs no code to end
	// the launcher: the kernel does it. One that died before this took
	// effect has a new parent for us by now.
	if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != gateway)
		_exit(127);
#endif
	setpgid(0, 0);
	dup2(in, 0);
	if (out != 1)
		dup2(out, 1);
	// Our handlers must not run in the child before exec, which would set
	// them to the default anyway. SIGPIPE we ignore, and an ignored
	// signal survives exec: the launcher gets the default back, as if the
	// server had started it.
	struct sigaction dfl = {};
	dfl.sa_handler = SIG_DFL;
	for (int sig : passed_on) {
		struct sigaction old;
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == pass_on)
			sigaction(sig, &dfl, nullptr);
	}
	sigaction(SIGPIPE, &dfl, nullptr);
	sigprocmask(SIG_SETMASK, &launch_mask, nullptr);
	execve(file, argv, envp);
	failed_exec = errno;
	_exit(127);
}

// Returns 0 once started, else why not. Until it is reaped the child is
// ours to end, with its group: a signal or the deadline ends it. A signal
// that came between the start and our learning its pid would leave it
// behind: such a signal is held back until we know. The child gets the
// mask we had.
static int spawn(const char *file, char *const argv[], int in, int out,
                 char *const envp[] = environ)
{
	hold(&launch_mask);
	pid_t pid = fork_exec(file, argv, envp, in, out);
	int why = pid == -1 ? errno : failed_exec;
	if (pid != -1 && why)
		while (waitpid(pid, nullptr, 0) == -1 && errno == EINTR)
			;
	if (!why)
		child = group = pid;
	sigprocmask(SIG_SETMASK, &launch_mask, nullptr);
	return why;
}

// A file that the system does not know how to run, the shell runs as a
// script of its own.
static int exec_file(const char *file, char **argv, int in)
{
	int rc = spawn(file, argv, in, launch_out);
	if (rc == ENOEXEC) {
		char *name = argv[0];
		argv[-1] = const_cast<char *>("/bin/sh");
		argv[0] = const_cast<char *>(file);
		rc = spawn("/bin/sh", argv - 1, in, launch_out);
		argv[0] = name;
	}
	return rc;
}

// Runs argv as the shell's exec would: a name with a slash as it stands,
// any other name from the first regular file of that name on PATH on (the
// shell's own list without PATH), each tried in turn. Returns 0 once
// started, else why not: ENOENT for a name found nowhere.
static int launch(char **argv, int in)
{
	if (strchr(argv[0], '/'))
		return exec_file(argv[0], argv, in);
	static char file[4096];
	size_t len = strlen(argv[0]);
	int why = ENOENT;
	bool found = false;
	const char *path = getenv("PATH");
	if (!path)
		path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
	for (const char *dir = path, *end;; dir = end + 1) {
		end = strchrnul(dir, ':');
		size_t at = end - dir;
		// An empty entry is the working directory, as the shell reads it.
		if (at + 1 + len < sizeof file) {
			memcpy(file, dir, at);
			if (at > 0)
				file[at++] = '/';
			memcpy(file + at, argv[0], len + 1);
			struct stat st;
			found = found || (stat(file, &st) == 0 && S_ISREG(st.st_mode));
			int rc = found ? exec_file(file, argv, in) : ENOENT;
			if (rc == 0 || rc == EAGAIN || rc == ENOMEM)
				return rc;
			if (rc != ENOENT && rc != ENOTDIR)
				why = rc;
		}
		if (!*end)
			return why;
	}
}

// What the shell would have said, where we stood in for it.
static void say(const char *name, int why)
{
	const char *reason = why == ENOENT ? "not found" : strerror(why);
	static char line[4096 + 128];
	int n = snprintf(line, sizeof line, "tolvane: %s: %.4096s\n", name, reason);
	if (n > 0 && (size_t)n < sizeof line)
		whole(2, line, n);
}

static int left();
static bool ends_in_time();
static bool expired; // the deadline passed while the configuration expanded

// Our environment without what the server filled from the request: the
// configuration is expanded in it, so that a reference to a client's text
// fails the expansion (-u) instead of making words of it.
static char **request_free()
{
	size_t n = 0;
	while (environ[n])
		n++;
	static char **env; // once a request
	env = static_cast<char **>(calloc(n + 1, sizeof *env));
	for (size_t i = 0, k = 0; env && i < n; i++)
		if (!from_request(environ[i], strcspn(environ[i], "="), false))
			env[k++] = environ[i];
	return env;
}

// The words the shell makes of the line's first n bytes: it only expands
// them (variables, quotes, $(...)) and prints them, each ending in a NUL,
// and never runs the launcher. The configuration is eval's text, so no
// ending of it (a newline, ";", "&", "|", "\", "#", a here-document) can
// reach the text of ours after it; PATH_INFO is no text of the shell's at
// all. An unset variable fails the expansion (-u): ${NAME-} is the way to
// mean nothing. So does a reference to a request's variable, which the
// shell never sees (request_free). The shell runs as the launcher would, in a group of its
// own that a signal or the deadline ends.
// nullptr with *how still started: the shell could not be run (*rc says
// why), failed (status) or ran out of time (expired), which sys_wait
// reports; with *how invalid: it gave nothing a launcher could be, or
// more than fits.
static char **expand(const char *line, size_t n, start *how, int *rc)
{
	static char text[4096];
	if (n >= sizeof text)
		return *how = invalid, nullptr;
	memcpy(text, line, n);
	text[n] = '\0';
	char *sh[] = {const_cast<char *>("sh"), const_cast<char *>("-uc"),
	              const_cast<char *>("eval \"shift; set -- $1\"; printf '%s\\0' \"$@\""),
	              const_cast<char *>("sh"), text, nullptr};
	char **env = request_free();
	int out[2], in = open("/dev/null", O_RDONLY | O_CLOEXEC);
	if (!env || in == -1 || pipe2(out, O_CLOEXEC) == -1) {
		if (in != -1)
			close(in);
		return *how = unavailable, nullptr;
	}
	*rc = spawn("/bin/sh", sh, in, out[1], env);
	close(in);
	close(out[1]);
	size_t got = 0;
	for (bool more = *rc == 0; more && got < sizeof words;) {
		pollfd ready = {out[0], POLLIN, 0};
		if (left() == 0 || (poll(&ready, 1, left()) == 0 && left() == 0)) {
			expired = true;
			break;
		}
		ssize_t r = read(out[0], words + got, sizeof words - got);
		if (r > 0)
			got += r;
		more = r > 0 || (r == -1 && errno == EINTR);
	}
	close(out[0]);
	if (*rc != 0)
		return nullptr;
	// A shell that closed its output may still be running: the deadline
	// holds until it has ended too.
	if (!expired && got < sizeof words && limited && !ends_in_time())
		expired = true;
	if (expired || got == sizeof words)
		end_group();
	siginfo_t info;
	while (!reaped())
		waitid(P_PID, child, &info, WEXITED | WNOWAIT);
	group = -1;
	if (expired || status != 0) {
		if (got == sizeof words && !expired)
			*how = invalid;
		return nullptr;
	}
	status = -1; // the launcher's is yet to come
	if (got == 0 || words[got - 1] != '\0')
		return *how = invalid, nullptr;
	char **argv = slots + 1;
	size_t k = 0;
	for (char *p = words; p < words + got; p += strlen(p) + 1)
		argv[k++] = p;
	argv[k] = nullptr;
	return argv;
}

// The launcher's own arguments among the words: those after the last word
// that names a java. A command before it (env, nice, timeout) is a
// wrapper's with its words, and the launcher always names a java, as the
// line is composed; a later word that names one too is its option's
// value or what it runs, after which the check can only be stricter.
static char **launcher_args(char **argv)
{
	char **after = nullptr;
	for (char **w = argv; *w; w++) {
		const char *base = strrchr(*w, '/');
		if (strcmp(base ? base + 1 : *w, "java") == 0)
			after = w + 1;
	}
	return after;
}

start sys_spawn(const char *line, size_t n, const char *arg)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) == -1)
		return unavailable;
	gateway = getpid();
#ifdef PR_SET_CHILD_SUBREAPER
	// What the launcher leaves behind as it dies comes to us rather than
	// to init, which may reap it only later: the grace can then end as
	// soon as all of it is dead.
	prctl(PR_SET_CHILD_SUBREAPER, 1);
#endif
	start how = started;
	int rc = 0;
	const char *name = "/bin/sh";
	char **argv = plain(line, n) ? split(line, n) : expand(line, n, &how, &rc);
	if (argv && (!launcher_args(argv) || !names_program(launcher_args(argv))))
		how = invalid;
	if (argv && how == started) {
		size_t k = 0;
		while (argv[k])
			k++;
		argv[k] = const_cast<char *>(arg);
		argv[k + 1] = nullptr;
		set_pwd();
		blocking_output();
		name = argv[0];
		rc = launch(argv, fds[0]);
		if (rc != 0)
			restore_output();
	}
	close(fds[0]);
	// Where only the process could not be had, there is no status to give.
	if (how != started || rc == EAGAIN || rc == ENOMEM) {
		close(fds[1]);
		return how != started ? how : unavailable;
	}
	// A launcher that can't be run leaves child unset: sys_wait then
	// reports the failure that the shell's exit status would have
	// reported, and the log gets what the shell would have said.
	if (rc != 0)
		say(name, rc);
	to_child = fds[1];
	return started;
}

// The deadline is a point in time rather than a timer: nothing can fire
// between our look at the clock and the wait that follows it.
void sys_limit(unsigned seconds)
{
	if (seconds == 0)
		return;
	clock_gettime(CLOCK_MONOTONIC, &deadline);
	deadline.tv_sec += seconds;
	limited = true;
}

// Milliseconds to the deadline, 0 once it has passed; -1 without a limit.
static int left()
{
	if (!limited)
		return -1;
	timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	long long ms = (deadline.tv_sec - now.tv_sec) * 1000LL +
	               (deadline.tv_nsec - now.tv_nsec) / 1000000;
	return ms > 0 ? ms : 0;
}

// Linux can lend the pipe our pages instead of copying them in, leaving the
// launcher's read as the only copy. We never touch the request data again,
// so the pages it reads are the ones we lent.
static ssize_t put(const char *data, size_t n)
{
#ifdef __linux__
	struct iovec piece = {const_cast<char *>(data), n};
	ssize_t w = vmsplice(to_child, &piece, 1, limited ? SPLICE_F_NONBLOCK : 0);
	if (w >= 0 || (errno != EINVAL && errno != ENOSYS))
		return w;
#endif
	return write(to_child, data, n);
}

void sys_feed(const char *data, size_t n)
{
#ifdef F_SETPIPE_SZ
	// A default pipe holds 64 KiB, so a large body would cost us and the
	// launcher a wake-up for each 64 KiB. Where the system refuses a larger
	// pipe, the default still works.
	if (n >= 1 << 20)
		fcntl(to_child, F_SETPIPE_SZ, 1 << 20);
#endif
	// Under a limit a full pipe is waited for in poll, which ends at the
	// deadline, and not in a write, which would wait for a launcher that
	// never reads.
	if (limited)
		fcntl(to_child, F_SETFL, O_NONBLOCK);
	while (n > 0) {
		ssize_t w = put(data, n);
		if (w < 0 && errno == EAGAIN) {
			pollfd out = {to_child, POLLOUT, 0};
			int ms = left();
			if (ms == 0 || poll(&out, 1, ms) == 0)
				return;
			continue;
		}
		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return;
		data += w;
		n -= w;
	}
}

// Whether the child ends before the deadline. SIGCHLD is held back while
// we look, so one that comes between the look and the wait stays pending
// and ends the wait at once. We look before we read the clock: a child that
// ended in time was in time, even when a busy machine lets us see it only
// past the deadline.
static bool ends_in_time()
{
	sigset_t chld, before;
	sigemptyset(&chld);
	sigaddset(&chld, SIGCHLD);
	sigprocmask(SIG_BLOCK, &chld, &before);
	bool ended;
	for (;;) {
		ended = reaped();
		int ms = left();
		if (ended || ms == 0)
			break;
		const timespec wait = {ms / 1000, ms % 1000 * 1000000L};
		sigtimedwait(&chld, nullptr, &wait);
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return ended;
}

// The status the child ended with, as sys_wait gives it.
static int exit_code()
{
	if (status != -1 && WIFEXITED(status))
		return WEXITSTATUS(status);
	if (status != -1 && WIFSIGNALED(status))
		return -WTERMSIG(status);
	return -1;
}

ending sys_wait(int *code)
{
	close(to_child);
	// No launcher ran: the configuration failed to expand (the shell's
	// status is the failure's) or ran past the deadline, or the launcher
	// could not be run at all, which fails as the shell's exec would.
	if (child < 0 && group < 0) {
		*code = exit_code();
		return expired ? late : failure;
	}
	bool in_time = !limited || ends_in_time();
	if (!in_time)
		end_group();
	// Waited for without reaping, so that the reaping is done where no
	// handler can come between it and the pid's end. The request is over
	// once the launcher is reaped: its group's number, which may be free
	// by then and another group's soon, is forgotten in the same breath,
	// or a server's SIGTERM while we write the page (lighttpd sends one
	// after every response) would end a stranger's group.
	siginfo_t info;
	for (;;) {
		sigset_t before;
		hold(&before);
		bool over = reaped(); // or not ours to wait for: status -1
		if (over)
			group = -1;
		sigprocmask(SIG_SETMASK, &before, nullptr);
		if (over)
			break;
		waitid(P_PID, child, &info, WEXITED | WNOWAIT);
	}
	restore_output();
	*code = exit_code();
	if (!in_time)
		return late;
	return status == 0 ? clean : failure;
}
