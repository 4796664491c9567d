// The Windows platform. The launcher runs in a job object of its own, with
// a byte pipe to its standard input. cmd.exe stands between only when the
// configuration uses its syntax; PATH_INFO reaches the launcher in the
// server's UTF-16 either way.
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

// A command line under way, in a buffer of CreateProcessW's size. A piece
// that does not fit sets full; nothing is started from a full line.
static wchar_t command[32768];
static size_t used;
static bool full;

static void add(const wchar_t *s, size_t n)
{
	if (n >= sizeof command / sizeof *command - used) {
		full = true;
		return;
	}
	wmemcpy(command + used, s, n);
	used += n;
	command[used] = L'\0';
}

// No text at all (a conversion that failed) is as good as one too long.
static void add(const wchar_t *s)
{
	if (s)
		add(s, wcslen(s));
	else
		full = true;
}

static void add_repeated(wchar_t c, size_t n)
{
	while (n-- > 0)
		add(&c, 1);
}

// One argument as the runtime's parser and the JDK launcher's take it
// apart again: quoted, so that blanks stay inside it and the launcher does
// not expand a * or ? in it; a backslash run doubled where a quote follows
// it, that quote escaped.
static void add_argument(const wchar_t *arg)
{
	add(L"\"");
	size_t backslashes = 0;
	for (; *arg; arg++) {
		if (*arg == L'\\') {
			backslashes++;
			continue;
		}
		add_repeated(L'\\', *arg == L'"' ? 2 * backslashes + 1 : backslashes);
		add(arg, 1);
		backslashes = 0;
	}
	add_repeated(L'\\', 2 * backslashes);
	add(L"\"");
}

// The characters that make cmd.exe do more than split a line into words:
// variables (% and, with delayed expansion, !), its escape, its operators,
// quotes, and control characters. Blanks and parentheses are plain in a
// simple command. The text is UTF-16, made by the code page's own
// conversion, so a double-byte character's trail byte (表 is 95 5C, ポ is
// 83 7C in code page 932) is no backslash or bar here.
static bool plain(const wchar_t *s)
{
	for (; *s; s++)
		if (*s < 0x20 || *s == 0x7f || wcschr(L"%!^&|<>\"", *s))
			return false;
	return true;
}

// The configuration, the first n bytes of line, in UTF-16 through the ANSI
// code page, as the narrow environment gave it to us.
static wchar_t *widen(const char *line, size_t n)
{
	static wchar_t wide[4096];
	int k = n ? MultiByteToWideChar(CP_ACP, 0, line, static_cast<int>(n), wide,
	                                sizeof wide / sizeof *wide - 1) : 0;
	if (n && k <= 0)
		return nullptr;
	wide[k] = L'\0';
	return wide;
}

// Whether a file of that name is there to be run.
static bool exists(const wchar_t *file)
{
	DWORD a = GetFileAttributesW(file);
	return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// java along PATH, as cmd.exe looks for it: each entry in turn (quotes
// around one dropped, empty ones skipped), in each the extensions of
// PATHEXT in turn. The working directory is not searched first, as cmd.exe
// would unless NoDefaultCurrentDirectoryInExePath is set: a CGI program's
// working directory is the server's content, and a java.exe put there must
// not be run. Writes the file to out; false when none is found. *exe tells
// whether the first found is java.exe, which we can run ourselves: a
// java.cmd or java.bat first needs cmd.exe.
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
		if (len == 0)
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
// launcher that does not read can be given up at the deadline. Its name is
// ours alone: the first instance, and the only one. The launcher's end is
// inheritable; ours is not, or the launcher would never see the end of its
// input.
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
// inherit: the server need not have made ours inheritable.
static HANDLE inheritable(DWORD which)
{
	HANDLE h = GetStdHandle(which), copy;
	if (!h || h == INVALID_HANDLE_VALUE ||
	    !DuplicateHandle(GetCurrentProcess(), h, GetCurrentProcess(), &copy, 0, TRUE,
	                     DUPLICATE_SAME_ACCESS))
		return h;
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
// list is refused, and the process is assigned while still suspended, so
// that nothing it starts can slip out of the job.
alignas(8) static unsigned char attributes[256];

static LPPROC_THREAD_ATTRIBUTE_LIST job_list()
{
	auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes);
	SIZE_T size = 0;
	InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
	if (size == 0 || size > sizeof attributes || !InitializeProcThreadAttributeList(list, 1, 0, &size))
		return nullptr;
	if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job, sizeof job, nullptr,
	                               nullptr)) {
		DeleteProcThreadAttributeList(list);
		return nullptr;
	}
	return list;
}

// Starts file with the command line. A system that does not let us put it
// in a job of ours (before Windows 8, a gateway that a server put in a job
// of its own) runs it without one: the limit then ends the process we
// started, and the server's job the rest.
static start run(const wchar_t *file, HANDLE input)
{
	STARTUPINFOEXW si = {};
	si.StartupInfo.cb = sizeof si;
	si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
	si.StartupInfo.hStdInput = input;
	si.StartupInfo.hStdOutput = inheritable(STD_OUTPUT_HANDLE);
	si.StartupInfo.hStdError = inheritable(STD_ERROR_HANDLE);
	si.lpAttributeList = job_list();
	// IIS starts us without a console: Windows would make one, a conhost
	// process per request, for a launcher started without this flag.
	DWORD flags = CREATE_SUSPENDED | (GetConsoleCP() == 0 ? CREATE_NO_WINDOW : 0) |
	              (si.lpAttributeList ? EXTENDED_STARTUPINFO_PRESENT : 0);
	PROCESS_INFORMATION pi;
	BOOL ok = CreateProcessW(file, command, nullptr, nullptr, TRUE, flags, nullptr, nullptr,
	                         &si.StartupInfo, &pi);
	DWORD why = GetLastError();
	CloseHandle(input);
	if (si.StartupInfo.hStdOutput != GetStdHandle(STD_OUTPUT_HANDLE))
		CloseHandle(si.StartupInfo.hStdOutput);
	if (si.StartupInfo.hStdError != GetStdHandle(STD_ERROR_HANDLE))
		CloseHandle(si.StartupInfo.hStdError);
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

// The launcher's name, as the line gives it, leads its command line,
// quoted where it holds a blank; the rest of the configuration follows as
// it stands, for the launcher's parser to split at blanks as it would
// through cmd.exe; PATH_INFO is one more argument.
static void direct(const wchar_t *home, const wchar_t *rest, const wchar_t *path)
{
	bool blank = home && wcspbrk(home, L" \t");
	if (blank)
		add(L"\"");
	if (home)
		add(home);
	add(home ? L"/bin/java" : L"java");
	if (blank)
		add(L"\"");
	add(rest);
	if (path) {
		add(L" ");
		add_argument(path);
	}
}

// cmd.exe as _popen started it, with /s, so that it always strips the
// first and the last quote and keeps the line's own, and /d, so that no
// AutoRun command of the machine's writes into the response. The launcher
// is named by its path, quoted, unless JAVA_HOME brings quotes of its own:
// cmd.exe would split JAVA_HOME at a blank, and look for java in the
// working directory first. cmd.exe reads % and ! even inside quotes, and
// how it reads quotes and carets depends on what came before: no escaping
// makes such text safe in PATH_INFO, so it is refused. The rest goes
// quoted, a backslash run before the closing quote doubled.
static bool shell(const char *home, const wchar_t *whome, const char *line, size_t skip,
                  size_t n, const wchar_t *path)
{
	if (path && (!plain(path) || wcspbrk(path, L"()")))
		return false;
	add(L"cmd.exe /d /s /c \"");
	if (!home || !strchr(home, '"')) {
		add(L"\"");
		add(home ? whome : file);
		if (home)
			add(L"/bin/java");
		add(L"\"");
		add(widen(line + skip, n - skip));
	} else {
		add(widen(line, n));
	}
	if (path) {
		add(L" \"");
		add(path);
		size_t backslashes = 0;
		for (size_t i = wcslen(path); i > 0 && path[i - 1] == L'\\'; i--)
			backslashes++;
		add_repeated(L'\\', backslashes);
		add(L"\"");
	}
	add(L"\"");
	return true;
}

// Whether the configuration's words after the launcher's name, as the
// launcher splits a line without quotes (at blanks and tabs), name what it
// is to run. The text is the ANSI code page's, whose trail bytes are never
// a blank or a tab.
static bool names_program(const char *rest, size_t n)
{
	static char words[4096];
	static char *args[sizeof words / 2 + 1];
	if (n >= sizeof words)
		return false;
	memcpy(words, rest, n);
	words[n] = '\0';
	size_t k = 0;
	for (char *w = strtok(words, " \t"); w; w = strtok(nullptr, " \t"))
		args[k++] = w;
	args[k] = nullptr;
	return names_program(args);
}

start sys_spawn(const char *line, size_t n, const char *arg)
{
	// PATH_INFO as the server set it, not as the code page renders it.
	const wchar_t *path = arg ? wide_env("PATH_INFO") : nullptr;
	const wchar_t *config = widen(line, n);
	if ((arg && !path) || !config)
		return unsafe;
	bool plain_line = plain(config);
	const char *home = getenv("JAVA_HOME");
	const wchar_t *whome = home ? wide_env("JAVA_HOME") : nullptr;
	if (home && !whome)
		return unsafe;
	size_t skip = home ? strlen(home) + strlen("/bin/java") : strlen("java");
	// A java found nowhere on PATH fails as cmd.exe's would; cmd.exe would
	// only have looked in the working directory besides.
	bool exe;
	if (!launcher(whome, &exe))
		return started;
	bool ours = plain_line && exe;
	used = 0;
	full = false;
	if (ours) {
		if (!names_program(line + skip, n - skip))
			return invalid;
		direct(whome, widen(line + skip, n - skip), path);
	} else {
		wchar_t system[MAX_PATH];
		UINT len = GetSystemDirectoryW(system, MAX_PATH);
		if (len == 0 || len + 9 > MAX_PATH)
			return unavailable;
		if (!shell(home, whome, line, skip, n, path))
			return unsafe;
		swprintf(file, sizeof file / sizeof *file, L"%ls\\cmd.exe", system);
	}
	if (full)
		return unsafe;
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

// Each write is waited for only up to the deadline: a launcher that never
// reads must not hold us past it.
void sys_feed(const char *data, size_t n)
{
	while (n > 0 && to_child != INVALID_HANDLE_VALUE) {
		OVERLAPPED o = {};
		o.hEvent = written;
		DWORD piece = n < (1u << 30) ? n : 1u << 30, done = 0;
		if (!WriteFile(to_child, data, piece, nullptr, &o)) {
			if (GetLastError() != ERROR_IO_PENDING)
				return;
			if (WaitForSingleObject(written, left()) != WAIT_OBJECT_0) {
				CancelIoEx(to_child, &o);
				GetOverlappedResult(to_child, &o, &done, TRUE);
				return;
			}
		}
		if (!GetOverlappedResult(to_child, &o, &done, FALSE) || done == 0)
			return;
		data += done;
		n -= done;
	}
}

// Past the deadline the job is ended, all of it at once; without a job,
// the process we started.
ending sys_wait(int *code)
{
	*code = -1;
	if (to_child != INVALID_HANDLE_VALUE)
		CloseHandle(to_child);
	if (!child)
		return failure;
	if (WaitForSingleObject(child, left()) != WAIT_OBJECT_0) {
		if (job)
			TerminateJobObject(job, 1);
		else
			TerminateProcess(child, 1);
		WaitForSingleObject(child, 5000);
		return late;
	}
	DWORD status;
	if (!GetExitCodeProcess(child, &status))
		return failure;
	*code = static_cast<int>(status);
	return status == 0 ? clean : failure;
}
