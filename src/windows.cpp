// The Windows platform. The launcher runs in a job object of its own, with
// a byte pipe to its standard input and the three standard handles alone.
//
// java.exe does not read the UTF-16 argument list: it takes its command line
// in the ANSI code page and splits it by rules of its own, expanding * and ?
// outside quotes in the program's arguments. So the command line is made in
// that code page and split here as the launcher will split it, and the
// request is refused unless PATH_INFO comes back out of it as the last
// argument, exactly. The configuration's %NAME% are expanded here, as
// cmd.exe would expand them, and what they make is split and checked the
// same way; cmd.exe itself runs only a java.cmd or java.bat found on PATH.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "platform.h"

static HANDLE to_child = INVALID_HANDLE_VALUE;
static HANDLE written;       // the event our writes complete on
static HANDLE child;         // the launcher, or the cmd.exe that runs it
static HANDLE job;           // holds child and all it starts; nullptr: none
static ULONGLONG deadline;   // on GetTickCount64; 0: no limit

// The error page goes out in the runtime's text mode, CR LF and all, as
// it always has; the request data is read past the runtime (sys_read).
void sys_init()
{
}

// Reserved address space is no commitment: a client that announces a
// gigabyte commits only what it sends.
char *sys_reserve(size_t n)
{
	return static_cast<char *>(VirtualAlloc(nullptr, n, MEM_RESERVE, PAGE_NOACCESS));
}

bool sys_grant(char *p, size_t n)
{
	return VirtualAlloc(p, n, MEM_COMMIT, PAGE_READWRITE) != nullptr;
}

// Straight from the handle: the runtime's text mode would take CR LF for
// one byte and 0x1A for the end, and its buffer would read ahead of the
// body into whatever the server sends after it.
size_t sys_read(char *buf, size_t n)
{
	HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
	size_t got = 0;
	while (got < n) {
		DWORD want = n - got < (1u << 30) ? n - got : 1u << 30, piece = 0;
		if (!ReadFile(in, buf + got, want, &piece, nullptr) || piece == 0)
			break;
		got += piece;
	}
	return got;
}

// The value of the first variable of that name, its case ignored as getenv
// ignores it, in the server's own UTF-16; nullptr when absent. The block is
// read itself, not through GetEnvironmentVariableW, which reports no value
// longer than 32767 characters. It lives as long as the request.
static const wchar_t *wide_env(const char *name)
{
	static const wchar_t *block = GetEnvironmentStringsW();
	if (!block)
		return nullptr;
	size_t len = strlen(name);
	for (const wchar_t *e = block; *e; e += wcslen(e) + 1) {
		size_t i = 0;
		while (i < len && e[i] < 0x80 && toupper(e[i]) == toupper(name[i]))
			i++;
		if (i == len && e[len] == L'=')
			return e + len + 1;
	}
	return nullptr;
}

// The runtime's getenv gives the server's text converted to the ANSI code
// page, where a character the code page lacks becomes a look-alike ("best
// fit": a full-width ．．／ becomes ../) or a '?'. The value is exact when it
// reads back through the code page as the server's text. Converting the
// server's text without best fit instead would fail where the ANSI code
// page is UTF-8, which takes no such flag.
bool sys_exact(const char *name, const char *value)
{
	// n counts the NUL.
	int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, nullptr, 0);
	const wchar_t *theirs = wide_env(name);
	if (n <= 0 || !theirs)
		return false;
	wchar_t *ours = static_cast<wchar_t *>(calloc(static_cast<size_t>(n), sizeof *ours));
	bool exact = ours && MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, ours, n) == n &&
	             wcscmp(ours, theirs) == 0;
	free(ours);
	return exact;
}

// text in the ANSI code page, exactly, into out (size bytes, NUL included):
// no look-alike, no default character, and the same text when read back. A
// launcher with the fix for JDK-8337506 converts its line with
// WC_COMPOSITECHECK too, which would join a letter and a combining mark
// that the code page holds apart: the text must come out the same that way.
// UTF-8 takes none of these flags, and holds every text.
static bool ansi(const wchar_t *text, char *out, int size)
{
	static wchar_t back[1 << 15];
	static char joined[1 << 15];
	BOOL lossy = FALSE;
	if (GetACP() == CP_UTF8) {
		if (WideCharToMultiByte(CP_ACP, WC_ERR_INVALID_CHARS, text, -1, out, size, nullptr, nullptr) <= 0)
			return false;
	} else {
		int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text, -1, out, size, nullptr, &lossy);
		if (n <= 0 || lossy)
			return false;
		int k = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK | WC_DEFAULTCHAR,
		                            text, -1, joined, sizeof joined, nullptr, nullptr);
		if (k != n || memcmp(joined, out, n) != 0)
			return false;
	}
	return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, out, -1, back, sizeof back / sizeof *back) > 0 &&
	       wcscmp(back, text) == 0;
}

// The length of the character that s starts with, in the ANSI code page, as
// the launcher steps through its line: a double-byte character's trail byte
// (表 is 95 5C, ポ is 83 7C in code page 932) is no backslash or bar.
// Asked of kernel32 rather than user32's CharNextExA, which would load
// user32 into every request.
static size_t step(const char *s)
{
	if (!*s)
		return 0;
	return IsDBCSLeadByteEx(CP_ACP, static_cast<BYTE>(*s)) && s[1] ? 2 : 1;
}

// One argument of a command line as the JDK's launcher takes it apart (its
// libjli/cmdtoargs.c), from s into out. A blank outside quotes ends it; a
// quote turns quoting on or off, but one that comes right after a quote
// while quoting is off is kept, and turns it on; a run of backslashes
// before a quote is halved, an odd one keeping the quote, and any other run
// stays as it is. *wild: a * or ? stood outside quotes, and the launcher
// expands the argument as file names when it is the program's. Returns
// where the next argument starts, nullptr after the last.
static const char *next_word(const char *s, char *out, bool *wild)
{
	int quotes = 0, slashes = 0, prev = 0;
	bool blank = false;
	*wild = false;
	for (size_t n; (n = step(s)) > 0; s += n) {
		int c = n == 1 ? static_cast<unsigned char>(*s) : 0x100; // 0x100: none of these
		bool space = c == ' ' || c == '\t';
		if (blank && !space)
			return *out = '\0', s;
		if (c == '\\') {
			slashes++;
		} else if (c == '"') {
			for (int i = 0; i < slashes / 2; i++)
				*out++ = '\\';
			if (slashes % 2 == 1)
				*out++ = '"';
			else if (slashes > 0)
				quotes++;
			else if (prev == '"' && quotes % 2 == 0)
				quotes++, *out++ = '"';
			else
				quotes += quotes == 0 ? 1 : -1;
			slashes = 0;
		} else {
			for (; slashes > 0; slashes--)
				*out++ = '\\';
			if (space && quotes % 2 == 0) {
				blank = true;
			} else {
				*wild = *wild || ((c == '*' || c == '?') && quotes % 2 == 0);
				memcpy(out, s, n);
				out += n;
			}
		}
		prev = c;
	}
	for (; slashes > 0; slashes--)
		*out++ = '\\';
	*out = '\0';
	return nullptr;
}

// The arguments of line as the launcher takes them apart, its own name
// first, into args, their text into words, and into wild whether it would
// expand each as file names. How many, 0 when more than max.
static size_t split(const char *line, char *words, char **args, bool *wild, size_t max)
{
	size_t k = 0;
	for (const char *s = line; s && k < max; k++) {
		args[k] = words;
		s = next_word(s, words, &wild[k]);
		words += strlen(words) + 1;
		if (!s)
			return k + 1;
	}
	return 0;
}

// A line in the ANSI code page, under way, in a buffer of CreateProcessW's
// size. A piece that does not fit sets full; nothing starts from a full line.
static char line_a[32768];
static size_t used;
static bool full;

static void put(const char *s, size_t n)
{
	if (n >= sizeof line_a - used) {
		full = true;
		return;
	}
	memcpy(line_a + used, s, n);
	used += n;
	line_a[used] = '\0';
}

static void put(const char *s)
{
	put(s, strlen(s));
}

static void put_repeated(char c, size_t n)
{
	while (n-- > 0)
		put(&c, 1);
}

// One argument as the launcher takes it apart again (next_word): quoted,
// so that blanks stay inside it and the launcher expands no * or ? in it;
// a backslash run doubled where a quote follows it, that quote escaped.
static void put_argument(const char *arg)
{
	put("\"");
	size_t slashes = 0;
	for (size_t n; (n = step(arg)) > 0; arg += n) {
		if (n == 1 && *arg == '\\') {
			slashes++;
			continue;
		}
		put_repeated('\\', n == 1 && *arg == '"' ? 2 * slashes + 1 : slashes);
		put(arg, n);
		slashes = 0;
	}
	put_repeated('\\', 2 * slashes);
	put("\"");
}

// cmd.exe's own variables, which it makes up where the environment has
// none of that name: their values are out of our sight.
static bool dynamic(const char *name)
{
	static const char *const names[] = {"CD", "DATE", "TIME", "RANDOM", "ERRORLEVEL",
	                                    "CMDEXTVERSION", "CMDCMDLINE", "HIGHESTNUMANODENUMBER"};
	for (const char *n : names)
		if (_stricmp(name, n) == 0)
			return true;
	return false;
}

// The first n bytes of s with their %NAME% expanded as cmd.exe expands a
// command line (not a batch file), put on the line: a variable's value in
// its place; a name of none left as it stands, its closing % free to open
// another; a lone % kept. A value must be the server's text exactly
// (sys_exact), since a look-alike of a client's character could be a quote
// or a blank and change the words. False for what cmd.exe would make
// otherwise than we can: its modifiers (%NAME:~1,2%, %NAME:a=b%) and its
// own variables. False too for a variable the server fills from the
// request: a client's quote would end the configuration's quoting.
static bool put_expanded(const char *s, size_t n)
{
	for (size_t i = 0; i < n;) {
		const char *close = s[i] == '%' ? static_cast<const char *>(memchr(s + i + 1, '%', n - i - 1))
		                                : nullptr;
		if (!close) {
			put(s + i, 1);
			i++;
			continue;
		}
		char name[256];
		size_t len = close - (s + i + 1);
		if (len >= sizeof name)
			return false;
		memcpy(name, s + i + 1, len);
		name[len] = '\0';
		char *colon = strchr(name, ':');
		if (colon)
			*colon = '\0';
		if (from_request(name, strlen(name), true))
			return false;
		// No variable's name holds '=' but cmd.exe's own (=C:): the
		// runtime's lookup, and ours, would find one in another's text,
		// %SERVER_NAME=a% in a Host header of "a=x -cp y".
		const char *value = len > 0 && !strchr(name, '=') ? getenv(name) : nullptr;
		if ((value && colon) || (!value && len > 0 && dynamic(name)))
			return false;
		if (value && !sys_exact(name, value))
			return false;
		if (value) {
			put(value);
			i = close - s + 1;
		} else {
			put(s + i, len + 1);
			i = close - s;
		}
	}
	return true;
}

// Whether the text from s to end holds none of the characters that would
// make cmd.exe do more than hand the line on: its escape, its operators,
// and control characters but the tab; nor any of more: for a line that
// cmd.exe is to read itself, % and ! too, and for text it reads inside a
// quoted argument, quotes, parentheses and the tab.
static bool plain(const char *s, const char *end, const char *more)
{
	for (size_t n; s < end && (n = step(s)) > 0; s += n) {
		unsigned char c = *s;
		if (n == 1 && ((c < 0x20 && c != '\t') || c == 0x7f || strchr("^&|<>", c) ||
		               (*more && strchr(more, c))))
			return false;
	}
	return true;
}

// Whether a file of that name is there to be run.
static bool exists(const wchar_t *file)
{
	DWORD a = GetFileAttributesW(file);
	return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// A path that names the same place whatever the working directory is: a
// drive's root (C:\) or a share (\\server\share). Any other is looked for
// from the working directory, a CGI program's being the site's content.
static bool absolute(const wchar_t *p, size_t len)
{
	bool slash0 = len > 0 && (p[0] == L'\\' || p[0] == L'/');
	bool slash1 = len > 1 && (p[1] == L'\\' || p[1] == L'/');
	if (slash0 && slash1)
		return len > 2;
	return len > 2 && iswalpha(p[0]) && p[1] == L':' && (p[2] == L'\\' || p[2] == L'/');
}

// java along PATH, as cmd.exe looks for it: each entry in turn (quotes
// around one dropped, empty ones skipped), in each the extensions of
// PATHEXT in turn. Neither the working directory, which cmd.exe would
// search first (unless NoDefaultCurrentDirectoryInExePath is set), nor an
// entry relative to it (".", "bin") is searched: a CGI program's working
// directory is the site's content, and a java.exe put there must not run.
// Writes the file to out; false when none is found. *exe tells whether the
// first found is java.exe, which we can run ourselves: a java.cmd or
// java.bat first needs cmd.exe.
static bool search(wchar_t *out, size_t size, bool *exe)
{
	const wchar_t *path = wide_env("PATH");
	const wchar_t *exts = wide_env("PATHEXT");
	if (!exts || !*exts)
		exts = L".COM;.EXE;.BAT;.CMD";
	for (const wchar_t *dir = path; dir && *dir;) {
		const wchar_t *end = wcschr(dir, L';');
		size_t len = end ? static_cast<size_t>(end - dir) : wcslen(dir);
		const wchar_t *d = dir;
		dir = end ? end + 1 : dir + len;
		if (len >= 2 && d[0] == L'"' && d[len - 1] == L'"') {
			d++;
			len -= 2;
		}
		if (!absolute(d, len))
			continue;
		for (const wchar_t *ext = exts; *ext;) {
			const wchar_t *stop = wcschr(ext, L';');
			size_t elen = stop ? static_cast<size_t>(stop - ext) : wcslen(ext);
			bool slash = d[len - 1] == L'\\' || d[len - 1] == L'/';
			if (elen > 0 && len + 1 + 4 + elen < size) {
				wmemcpy(out, d, len);
				size_t at = len;
				if (!slash)
					out[at++] = L'\\';
				wmemcpy(out + at, L"java", 4);
				wmemcpy(out + at + 4, ext, elen);
				out[at + 4 + elen] = L'\0';
				if (exists(out)) {
					*exe = elen == 4 && _wcsnicmp(ext, L".exe", 4) == 0;
					return true;
				}
			}
			ext = stop ? stop + 1 : ext + elen;
		}
	}
	return false;
}

// A failure that another try, later, could get past.
static bool passing(DWORD e)
{
	return e == ERROR_NOT_ENOUGH_MEMORY || e == ERROR_OUTOFMEMORY || e == ERROR_NO_SYSTEM_RESOURCES ||
	       e == ERROR_COMMITMENT_LIMIT || e == ERROR_NOT_ENOUGH_QUOTA ||
	       e == ERROR_TOO_MANY_OPEN_FILES || e == ERROR_PIPE_BUSY;
}

// The pipe is a named one, with our end overlapped, so that a write to a
// launcher that does not read can be given up at the deadline, or once the
// launcher has ended. Its name is ours alone: the first instance, and the
// only one. The launcher's end is inheritable; ours is not, or the launcher
// would never see the end of its input.
static HANDLE open_pipe()
{
	wchar_t name[64];
	swprintf(name, sizeof name / sizeof *name, L"\\\\.\\pipe\\tolvane-%lu-%llu",
	         GetCurrentProcessId(), GetTickCount64());
	to_child = CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED |
	                                  FILE_FLAG_FIRST_PIPE_INSTANCE,
	                            PIPE_TYPE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
	                            1 << 16, 0, 0, nullptr);
	if (to_child == INVALID_HANDLE_VALUE)
		return INVALID_HANDLE_VALUE;
	SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
	HANDLE theirs = CreateFileW(name, GENERIC_READ, 0, &inherit, OPEN_EXISTING, 0, nullptr);
	written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
	if (theirs == INVALID_HANDLE_VALUE || !written) {
		CloseHandle(to_child);
		to_child = INVALID_HANDLE_VALUE;
		if (theirs != INVALID_HANDLE_VALUE)
			CloseHandle(theirs);
		return INVALID_HANDLE_VALUE;
	}
	return theirs;
}

// Our standard output and error as the launcher's, in copies it can
// inherit: the server need not have made ours inheritable. nullptr where
// there is none to copy.
static HANDLE inheritable(DWORD which)
{
	HANDLE h = GetStdHandle(which), copy;
	if (!h || h == INVALID_HANDLE_VALUE ||
	    !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
	                     DUPLICATE_SAME_ACCESS))
		return nullptr;
	return copy;
}

// The job ends everything in it when its last handle closes, which is ours:
// a server that ends the gateway (IIS's CGI timeout, httpd's Timeout) ends
// the Java program and all it started with it.
static HANDLE make_job()
{
	HANDLE j = CreateJobObjectW(nullptr, nullptr);
	JOBOBJECT_EXTENDED_LIMIT_INFORMATION info = {};
	info.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
	if (j && !SetInformationJobObject(j, JobObjectExtendedLimitInformation, &info, sizeof info)) {
		CloseHandle(j);
		return nullptr;
	}
	return j;
}

// Where the system can (from Windows 10 1607), the process is created in
// the job: a gateway ended by its server between a start and an assignment
// would leave the launcher suspended and in no job, for ever. Elsewhere the
// job is refused, and the process is assigned while still suspended, so
// that nothing it starts can slip out of the job. And it inherits the
// standard handles alone, not every inheritable handle we hold (our own
// standard input, a pipe the server left inheritable), where the system
// takes a list of them (from Vista).
alignas(8) static unsigned char attributes[512];

static LPPROC_THREAD_ATTRIBUTE_LIST attribute_list(HANDLE *handles, size_t n)
{
	auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
	SIZE_T size = 0;
	InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
	if (size == 0 || size > sizeof attributes || !InitializeProcThreadAttributeList(list, 2, 0, &size))
		return nullptr;
	bool in_job = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job,
	                                        nullptr, nullptr);
	bool listed = n > 0 && UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
	                                                  n * sizeof *handles, nullptr, nullptr);
	if (!in_job && !listed) {
		DeleteProcThreadAttributeList(list);
		return nullptr;
	}
	return list;
}

// Starts file with the wide command line. A system that does not let us
// put it in a job of ours (before Windows 8, a gateway that a server put in
// a job of its own) runs it without one: the limit then ends the process
// we started, and the server's job the rest.
static wchar_t command[32768];

static start run(const wchar_t *file, HANDLE input)
{
	HANDLE handles[3] = {input};
	size_t n = 1;
	STARTUPINFOEXW si = {};
	si.StartupInfo.cb = sizeof si;
	si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
	si.StartupInfo.hStdInput = input;
	if ((si.StartupInfo.hStdOutput = inheritable(STD_OUTPUT_HANDLE)))
		handles[n++] = si.StartupInfo.hStdOutput;
	if ((si.StartupInfo.hStdError = inheritable(STD_ERROR_HANDLE)))
		handles[n++] = si.StartupInfo.hStdError;
	si.lpAttributeList = attribute_list(handles, n);
	// IIS starts us without a console: Windows would make one, a conhost
	// process per request, for a launcher started without this flag.
	DWORD flags = CREATE_SUSPENDED | (GetConsoleCP() == 0 ? CREATE_NO_WINDOW : 0);
	PROCESS_INFORMATION pi;
	BOOL ok = CreateProcessW(file, command, nullptr, nullptr, TRUE,
	                         flags | (si.lpAttributeList ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr,
	                         nullptr, &si.StartupInfo, &pi);
	DWORD why = GetLastError();
	if (!ok && why == ERROR_INVALID_PARAMETER && si.lpAttributeList) {
		// Windows 7 takes no console handle in the list.
		si.lpAttributeList = nullptr;
		ok = CreateProcessW(file, command, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
		                    &si.StartupInfo, &pi);
		why = GetLastError();
	}
	for (size_t i = 0; i < n; i++)
		CloseHandle(handles[i]);
	if (!ok) {
		// A launcher that can't be run fails as cmd.exe's would.
		CloseHandle(to_child);
		to_child = INVALID_HANDLE_VALUE;
		return passing(why) ? unavailable : started;
	}
	BOOL held = FALSE;
	if (!si.lpAttributeList || !IsProcessInJob(pi.hProcess, job, &held) || !held)
		held = AssignProcessToJobObject(job, pi.hProcess);
	if (!held) {
		CloseHandle(job);
		job = nullptr;
	}
	ResumeThread(pi.hThread);
	CloseHandle(pi.hThread);
	child = pi.hProcess;
	return started;
}

// The launcher's file: JAVA_HOME's java.exe, as one path whatever it
// holds, or the first java on PATH. *exe: whether it is a program we can
// run ourselves. False when there is none to be had.
static wchar_t file[32768];

static bool launcher(const wchar_t *home, bool *exe)
{
	const size_t room = sizeof file / sizeof *file;
	*exe = true;
	if (home)
		return swprintf(file, room, L"%ls\\bin\\java.exe", home) > 0;
	return search(file, room, exe);
}

// Whether s holds a backslash right before a * or ?. JDK 8's launcher
// keeps its count of a backslash run across the wildcard after it, and
// adds the next run to it: it reads "a\*\"b c" as a\*\b and c, the
// quote ending the quoting, so that the rest is more words, their *
// expanded. Later launchers read such text right, but we cannot tell
// which one we start.
static bool backslash_wild(const char *s)
{
	bool after = false;
	for (size_t n; (n = step(s)) > 0; s += n) {
		if (after && n == 1 && (*s == '*' || *s == '?'))
			return true;
		after = n == 1 && *s == '\\';
	}
	return false;
}

// The request's line, as the launcher will take it apart: its name, the
// configuration's words, and path (PATH_INFO, or nullptr) as the last. The
// words must name what the launcher is to run (names_program), and path
// must come back out of the line as one argument, exactly, that the
// launcher does not expand. The line is left in line_a, the words ending
// at words_end.
static size_t words_end;

static start compose(const char *name, const char *config, size_t n, const char *path)
{
	static char words[2][sizeof line_a + 1];
	static char *args[2][sizeof line_a / 2 + 2];
	static bool wild[sizeof line_a / 2 + 2];
	const size_t max = sizeof line_a / 2 + 1;
	used = 0;
	full = false;
	put(name);
	size_t from = used;
	if (!put_expanded(config, n) || full || !plain(line_a + from, line_a + used, ""))
		return invalid;
	words_end = used;
	size_t k = split(line_a, words[0], args[0], wild, max);
	args[0][k] = nullptr;
	if (k == 0 || !names_program(args[0] + 1))
		return invalid;
	if (!path)
		return started;
	if (backslash_wild(path))
		return unsafe;
	put(" ");
	put_argument(path);
	size_t all = split(line_a, words[1], args[1], wild, max);
	if (full)
		return unsafe;
	// A quote that the configuration left open would take PATH_INFO in.
	for (size_t i = 0; i < k; i++)
		if (i >= all || strcmp(args[0][i], args[1][i]) != 0)
			return invalid;
	return all == k + 1 && !wild[k] && strcmp(args[1][k], path) == 0 ? started : unsafe;
}

// line_a from its byte from on, as the wide command line after prefix and
// before suffix. The launcher converts it back to the ANSI code page: it
// must come back as it was.
static bool widen(const wchar_t *prefix, size_t from, const wchar_t *suffix)
{
	static char back[sizeof line_a];
	size_t at = wcslen(prefix), room = sizeof command / sizeof *command, n = used - from;
	wmemcpy(command, prefix, at);
	int k = n ? MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line_a + from, static_cast<int>(n),
	                                command + at, static_cast<int>(room - at - 1)) : 0;
	if (n && (k <= 0 || WideCharToMultiByte(CP_ACP, 0, command + at, k, back, sizeof back, nullptr,
	                                        nullptr) != static_cast<int>(n) ||
	          memcmp(back, line_a + from, n) != 0))
		return false;
	at += k;
	size_t tail = wcslen(suffix);
	if (at + tail >= room)
		return false;
	wmemcpy(command + at, suffix, tail + 1);
	return true;
}

// cmd.exe's working directory must be a drive's: on a share (\\server\share)
// it runs in the Windows folder instead, where the default class path "."
// and every relative path name other files. Said to the log as a shell
// would say why it ran nothing, past the runtime's buffer as the shell's
// words would come.
static bool drive_directory()
{
	static wchar_t dir[32768];
	DWORD n = GetCurrentDirectoryW(sizeof dir / sizeof *dir, dir);
	if (n < 2 || !((dir[0] == L'\\' || dir[0] == L'/') && (dir[1] == L'\\' || dir[1] == L'/')))
		return true;
	static const char said[] = "tolvane: cmd.exe: a UNC working directory is not supported\r\n";
	DWORD done;
	WriteFile(GetStdHandle(STD_ERROR_HANDLE), said, sizeof said - 1, &done, nullptr);
	return false;
}

start sys_spawn(const char *line, size_t n, const char *arg)
{
	// JAVA_HOME names the launcher wherever the gateway runs: empty, or
	// relative to the working directory (the site's content), it would
	// name a java.exe of the site's.
	const char *home = getenv("JAVA_HOME");
	const wchar_t *whome = home ? wide_env("JAVA_HOME") : nullptr;
	if (home && (!whome || !absolute(whome, wcslen(whome)) || strchr(home, '"')))
		return invalid_home;
	size_t skip = home ? strlen(home) + strlen("/bin/java") : strlen("java");

	// PATH_INFO as the server set it, in the code page the launcher reads.
	static char path[1 << 15];
	const wchar_t *wpath = arg ? wide_env("PATH_INFO") : nullptr;
	bool exact = !arg || (wpath && ansi(wpath, path, sizeof path));

	// A java found nowhere on PATH fails as cmd.exe's would; cmd.exe would
	// only have looked in the working directory besides.
	bool exe;
	if (!launcher(whome, &exe))
		return started;
	// The launcher's name leads the line as the configuration gives it,
	// quoted where it holds a blank.
	char name[4096 + 3];
	bool blank = home && strpbrk(home, " \t");
	snprintf(name, sizeof name, "%s%.*s%s", blank ? "\"" : "", static_cast<int>(skip), line,
	         blank ? "\"" : "");
	start how = compose(name, line + skip, n - skip, arg && exact ? path : nullptr);
	if (how != started)
		return how;
	if (!exact)
		return unsafe;
	size_t from = strlen(name);

	if (exe) {
		if (!widen(L"", 0, L""))
			return unsafe;
	} else {
		// cmd.exe reads % and ! even inside quotes, and how it reads quotes
		// and carets depends on what came before: nothing of the sort may
		// reach it, from the configuration's values or from PATH_INFO. /s
		// strips the first and the last quote and keeps the line's own, /d
		// keeps the machine's AutoRun commands from writing into the
		// response, /v:off reads ! as itself.
		wchar_t system[MAX_PATH], prefix[2 * MAX_PATH + 64];
		UINT len = GetSystemDirectoryW(system, MAX_PATH);
		if (len == 0 || len + 9 > MAX_PATH)
			return unavailable;
		if (!plain(line_a + from, line_a + words_end, "%!"))
			return invalid;
		if (arg && !plain(path, path + strlen(path), "\t\"%!()"))
			return unsafe;
		if (!drive_directory())
			return started;
		if (wcslen(file) > MAX_PATH)
			return unavailable;
		swprintf(prefix, sizeof prefix / sizeof *prefix, L"cmd.exe /d /v:off /s /c \"\"%ls\"", file);
		if (!widen(prefix, from, L"\""))
			return unsafe;
		swprintf(file, sizeof file / sizeof *file, L"%ls\\cmd.exe", system);
	}
	job = make_job();
	if (!job)
		return unavailable;
	HANDLE input = open_pipe();
	if (input == INVALID_HANDLE_VALUE)
		return unavailable;
	return run(file, input);
}

void sys_limit(unsigned seconds)
{
	if (seconds > 0)
		deadline = GetTickCount64() + seconds * 1000ULL;
}

// Milliseconds to the deadline, 0 once it has passed.
static DWORD left()
{
	if (!deadline)
		return INFINITE;
	ULONGLONG now = GetTickCount64();
	return now < deadline ? static_cast<DWORD>(deadline - now) : 0;
}

// Each write is waited for only until the launcher ends or the deadline
// comes: a launcher that does not read must not hold us, and neither must
// a process it started that holds the pipe's other end and never reads.
void sys_feed(const char *data, size_t n)
{
	while (n > 0 && to_child != INVALID_HANDLE_VALUE) {
		OVERLAPPED o = {};
		o.hEvent = written;
		DWORD piece = n < (1u << 30) ? n : 1u << 30, done = 0;
		if (!WriteFile(to_child, data, piece, nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
			return;
		HANDLE either[] = {written, child};
		if (WaitForMultipleObjects(2, either, FALSE, left()) != WAIT_OBJECT_0) {
			CancelIoEx(to_child, &o);
			GetOverlappedResult(to_child, &o, &done, TRUE);
			return;
		}
		if (!GetOverlappedResult(to_child, &o, &done, FALSE) || done == 0)
			return;
		data += done;
		n -= done;
	}
}

// The request ends with the launcher: whatever it leaves in the job ends
// with it, all at once, so that nothing written after it reaches the
// response, and nothing holding our standard output keeps the server
// waiting for its end. Past the deadline the same; without a job, only the
// process we started can be ended.
ending sys_wait(int *code)
{
	*code = -1;
	if (to_child != INVALID_HANDLE_VALUE)
		CloseHandle(to_child);
	if (!child)
		return failure;
	bool in_time = WaitForSingleObject(child, left()) == WAIT_OBJECT_0;
	if (job)
		TerminateJobObject(job, 1);
	else if (!in_time)
		TerminateProcess(child, 1);
	if (!in_time) {
		WaitForSingleObject(child, 5000);
		return late;
	}
	DWORD status;
	if (!GetExitCodeProcess(child, &status))
		return failure;
	*code = static_cast<int>(status);
	return status == 0 ? clean : failure;
}
