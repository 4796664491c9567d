// The POSIX platform: /bin/sh as the command interpreter, started with
// posix_spawn so that we hold the child's process id ourselves.
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
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform.h"

extern char **environ;

// The shell replaces itself with the launcher instead of forking it: one
// process less per request, and the child we wait for is the launcher.
const char shell_prefix[] = "exec ";
const char shell_suffix[] = "";

static pid_t child = -1;
static int to_child = -1;
static bool limited;
static timespec deadline; // on CLOCK_MONOTONIC, when limited

// What we started would run on unseen once we are gone. So the launcher
// gets its own process group, and ending the request ends all of it: a
// SIGTERM, then after a grace a SIGKILL for what is left, sent while the
// launcher's pid is still unreaped and so still names its group. Only
// async-signal-safe calls: pass_on runs it from a handler.
static void end_group()
{
	kill(-child, SIGTERM);
	const timespec tick = {0, 100000000}; // 100 ms
	siginfo_t info = {};
	int ticks = 20;
	while (waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
		if (info.si_pid != 0 || ticks-- == 0) {
			kill(-child, SIGKILL);
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
		if (r > 0)
			got += r;
		else if (r == 0 || errno != EINTR)
			break;
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
bool sys_quote(char *out, const char *arg)
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

bool sys_spawn(const char *text)
{
	int fds[2];
	if (pipe2(fds, O_CLOEXEC) == -1)
		return false;

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

	char *argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
	                const_cast<char *>(text), nullptr};
	pid_t pid;
	int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, argv, environ);
	if (rc == 0)
		child = pid;
	sigprocmask(SIG_SETMASK, &before, nullptr);
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attr);
	close(fds[0]);
	if (rc != 0) {
		close(fds[1]);
		return false;
	}
	to_child = fds[1];
	return true;
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

// The text is measured a piece at a time, just before the piece goes into
// the pipe, so that the launcher's copy finds it still in the cache.
void sys_feed(const char *data)
{
	const size_t piece = 1 << 20;
	size_t n = strnlen(data, piece);
#ifdef F_SETPIPE_SZ
	// A default pipe holds 64 KiB, so a large body would cost us and the
	// launcher a wake-up for each 64 KiB. Where the system refuses a larger
	// pipe, the default still works.
	if (n == piece)
		fcntl(to_child, F_SETPIPE_SZ, piece);
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
		if (n == 0)
			n = strnlen(data, piece);
	}
}

// Whether the child ends before the deadline. SIGCHLD is held back while
// we look, so one that comes between the look and the wait stays pending
// and ends the wait at once.
static bool ends_in_time()
{
	sigset_t chld, before;
	sigemptyset(&chld);
	sigaddset(&chld, SIGCHLD);
	sigprocmask(SIG_BLOCK, &chld, &before);
	bool ended = false;
	for (int ms; !ended && (ms = left()) > 0;) {
		siginfo_t info = {};
		if (waitid(P_PID, child, &info, WEXITED | WNOHANG | WNOWAIT) == -1 ||
		    info.si_pid != 0) {
			ended = true;
		} else {
			const timespec wait = {ms / 1000, ms % 1000 * 1000000L};
			sigtimedwait(&chld, nullptr, &wait);
		}
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return ended;
}

ending sys_wait()
{
	close(to_child);
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
	if (!in_time)
		return late;
	return status == 0 ? clean : failure;
}
