// The POSIX platform: /bin/sh as the command interpreter, or none where the
// line needs none; processes are started with posix_spawn so that we hold
// the child's process id ourselves.
#include <cerrno>
#include <cstdint>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

extern char **environ;

static pid_t child = -1;
static int to_child = -1;
static bool limited;
static timespec deadline; // on CLOCK_MONOTONIC, when limited

// What we started would run on unseen once we are gone. So the launcher
// gets its own process group, and ending the request ends all of it: a
// SIGTERM, then after a grace a SIGKILL for what is left, sent while the
// launcher's pid is still unreaped and so still names its group. The
// launcher itself is signalled by its pid as well: it may have moved to
// another group, and left alive it would keep our wait from ending. Only
// async-signal-safe calls: pass_on runs it from a handler.
static void end_group()
{
	kill(-child, SIGTERM);
	kill(child, SIGTERM);
	const timespec tick = {0, 100000000}; // 100 ms
	siginfo_t info = {};
	int ticks = 20;
	while (waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
		if (info.si_pid != 0 || ticks-- == 0) {
			kill(-child, SIGKILL);
			kill(child, SIGKILL);
			break;
		}
		nanosleep(&tick, nullptr);
	}
}

// A server ends a request it gave up on (a timeout, a client gone) by
// signalling us.
static void pass_on(int sig)
{
	if (child > 0)
		end_group();
	signal(sig, SIG_DFL);
	raise(sig);
}

static const int passed_on[] = {SIGTERM, SIGINT, SIGHUP};

void sys_init()
{
	// With a standard descriptor closed, the pipe to the launcher could
	// take its number and the launcher would read or write the wrong thing.
	for (int fd = 0; fd < 3; fd++)
		if (fcntl(fd, F_GETFD) == -1)
			open("/dev/null", O_RDWR);
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
		if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			signal(sig, pass_on);
	}
}

char *sys_alloc(size_t n)
{
	char *p = static_cast<char *>(malloc(n));
#ifdef MADV_HUGEPAGE
	// Reading a large body into fresh memory takes a page fault every
	// 4 KiB, which dominates the read; huge pages take one every 2 MiB.
	// Only whole huge pages inside the buffer can be advised.
	const uintptr_t huge = 2 << 20;
	uintptr_t start = (reinterpret_cast<uintptr_t>(p) + huge - 1) & ~(huge - 1);
	uintptr_t end = (reinterpret_cast<uintptr_t>(p) + n) & ~(huge - 1);
	if (p && start < end)
		madvise(reinterpret_cast<void *>(start), end - start, MADV_HUGEPAGE);
#endif
	return p;
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

// The environment is bytes, and we read them as the server wrote them.
bool sys_exact(const char *, const char *)
{
	return true;
}

// Nothing is special inside single quotes but the quote itself, which is
// closed, escaped and reopened.
static bool sys_quote(char *out, const char *arg)
{
	*out++ = '\'';
	for (; *arg; arg++) {
		if (*arg == '\'') {
			memcpy(out, "'\\''", 4);
			out += 4;
		} else {
			*out++ = *arg;
		}
	}
	*out++ = '\'';
	*out = '\0';
	return true;
}

// The shell is started only to split the line into words and run the first.
// Where the configuration holds nothing the shell could act on (every byte
// is one of these, or the blank between words), we do that ourselves and
// save a process per request.
static bool plain(const char *line, size_t n)
{
	for (size_t i = 0; i < n; i++) {
		char c = line[i];
		if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') &&
		    !memchr(" /._-+,:@%", c, 10))
			return false;
	}
	return true;
}

// The words of the line's first n bytes, split at runs of blanks, then arg;
// nullptr when that is more than fits, or when the first word may be the
// shell's own (":", "exec", "if"): it must be one with a slash, or the
// "java" we put there, which the shell looks for on PATH. Without PATH the
// shell searches a list of its own, and a "%" in PATH marks entries it reads
// in ways of its own: those are left to it too. The words
// live as long as the request; one slot before argv[0] stays free for the
// shell, should the launcher turn out to be a script without "#!".
static char words[4096];
static char *slots[sizeof words / 2 + 3];

static char **split(const char *line, size_t n, const char *arg)
{
	if (n >= sizeof words)
		return nullptr;
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
	const char *path = getenv("PATH");
	if (k == 0 || (!strchr(argv[0], '/') &&
	               (strcmp(argv[0], "java") != 0 || !path || strchr(path, '%'))))
		return nullptr;
	if (arg)
		argv[k++] = const_cast<char *>(arg);
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

static int spawn(const char *file, char *const argv[], const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr)
{
	pid_t pid;
	int rc = posix_spawn(&pid, file, actions, attr, argv, environ);
	if (rc == 0)
		child = pid;
	return rc;
}

// A file that the system does not know how to run, the shell runs as a
// script of its own.
static int start(const char *file, char **argv, const posix_spawn_file_actions_t *actions,
                 const posix_spawnattr_t *attr)
{
	int rc = spawn(file, argv, actions, attr);
	if (rc == ENOEXEC) {
		char *name = argv[0];
		argv[-1] = const_cast<char *>("/bin/sh");
		argv[0] = const_cast<char *>(file);
		rc = spawn("/bin/sh", argv - 1, actions, attr);
		argv[0] = name;
	}
	return rc;
}

// Runs argv as the shell's exec would: a name with a slash as it stands,
// any other name from the first regular file of that name on PATH on, each
// tried in turn. Returns 0 once started, else why not: ENOENT for a name
// found nowhere.
static int launch(char **argv, const posix_spawn_file_actions_t *actions,
                  const posix_spawnattr_t *attr)
{
	if (strchr(argv[0], '/'))
		return start(argv[0], argv, actions, attr);
	static char file[4096];
	size_t len = strlen(argv[0]);
	int why = ENOENT;
	bool found = false;
	for (const char *dir = getenv("PATH"), *end;; dir = end + 1) {
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
			int rc = found ? start(file, argv, actions, attr) : ENOENT;
			if (rc == 0 || rc == EAGAIN || rc == ENOMEM)
				return rc;
			if (rc != ENOENT && rc != ENOTDIR)
				why = rc;
		}
		if (!*end)
			return why;
	}
}

// The shell gets the configuration as it stands, then PATH_INFO quoted.
static char text[4096 * 5 + 8];

enum start sys_spawn(const char *line, size_t n, const char *arg)
{
	if (n >= sizeof text - 2 || (arg && strlen(arg) * 4 + 4 >= sizeof text - n))
		return unsafe;
	memcpy(text, line, n);
	text[n] = '\0';
	if (arg) {
		strcat(text, " ");
		sys_quote(text + n + 1, arg);
	}
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) == -1)
		return unavailable;

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
#if defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34)
	// CGI gives a program the three standard streams and nothing else,
	// whatever the server may have let slip through to us.
	posix_spawn_file_actions_addclosefrom_np(&actions, 3);
#endif

	// We ignore SIGPIPE, and an ignored signal survives exec: the launcher
	// gets the default back, as if the server had started it.
	posix_spawnattr_t attr;
	posix_spawnattr_init(&attr);
	sigset_t defaults;
	sigemptyset(&defaults);
	sigaddset(&defaults, SIGPIPE);
	posix_spawnattr_setsigdefault(&attr, &defaults);
	posix_spawnattr_setpgroup(&attr, 0);

	// A signal that came between the spawn and our learning the child's
	// pid would leave the child behind: hold it back until we know.
	sigset_t held, before;
	sigemptyset(&held);
	for (int sig : passed_on)
		sigaddset(&held, sig);
	sigprocmask(SIG_BLOCK, &held, &before);
	posix_spawnattr_setsigmask(&attr, &before);
	posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP |
	                                POSIX_SPAWN_SETSIGMASK);

	char **argv = plain(line, n) ? split(line, n, arg) : nullptr;
	int rc;
	if (argv) {
		set_pwd();
		rc = launch(argv, &actions, &attr);
	} else {
		char *sh[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
		              const_cast<char *>(text), nullptr};
		rc = spawn("/bin/sh", sh, &actions, &attr);
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attr);
	close(fds[0]);
	// Where only the process could not be had, there is no status to give.
	if (rc != 0 && (!argv || rc == EAGAIN || rc == ENOMEM)) {
		close(fds[1]);
		return unavailable;
	}
	// A launcher that can't be run leaves child unset: sys_wait then reports
	// the failure that the shell's exit status would have reported.
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
		siginfo_t info = {};
		ended = waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == -1 ||
		        info.si_pid != 0;
		int ms = left();
		if (ended || ms == 0)
			break;
		const timespec wait = {ms / 1000, ms % 1000 * 1000000L};
		sigtimedwait(&chld, nullptr, &wait);
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return ended;
}

ending sys_wait(int *code)
{
	*code = -1;
	close(to_child);
	// A launcher that could not be run at all fails as the shell's exec would.
	if (child < 0)
		return failure;
	bool in_time = !limited || ends_in_time();
	if (!in_time)
		end_group();
	int status;
	while (waitpid(child, &status, 0) == -1)
		if (errno != EINTR) {
			status = -1;
			break;
		}
	child = -1;
	if (status != -1)
		*code = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
	if (!in_time)
		return late;
	return status == 0 ? clean : failure;
}
