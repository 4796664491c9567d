// The Windows platform: the C runtime's _popen, which runs the line through
// cmd.exe, and the standard streams in the runtime's default text mode, as
// a Windows CGI program has them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "platform.h"

// cmd /c strips the first and the last quote of a line that begins with
// one: these are the quotes it strips, so the line's own stay.
const char shell_prefix[] = "\"";
const char shell_suffix[] = "\"";

static FILE *to_child;

// Windows has no SIGPIPE: a broken pipe is only a failed write.
void sys_init()
{
}

char *sys_alloc(size_t n)
{
	return static_cast<char *>(malloc(n));
}

// In text mode CR LF arrives as LF and counts once, and Ctrl-Z ends the
// input.
size_t sys_read(char *buf, size_t n)
{
	return fread(buf, 1, n, stdin);
}

// The server sets the environment in UTF-16; the runtime's getenv gives it
// converted to the ANSI code page, where a character the code page lacks
// becomes a look-alike ("best fit": a full-width ．．／ becomes ../) or a '?'.
// _wgetenv is no witness: in a program with a narrow main, Microsoft's
// runtime makes its wide environment from the narrow one. The process's
// environment block still holds the server's text, so the value is exact
// when it reads back through the code page as that text. Converting the
// server's text without best fit instead would fail where the ANSI code
// page is UTF-8, which takes no such flag.
bool sys_exact(const char *name, const char *value)
{
	wchar_t wide_name[32];
	if (!MultiByteToWideChar(CP_ACP, 0, name, -1, wide_name, sizeof wide_name / sizeof *wide_name))
		return false;
	// n counts the NUL; a longer text set by the server doesn't fit in n and
	// gives its size instead.
	int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, nullptr, 0);
	if (n <= 0)
		return false;
	wchar_t *ours = static_cast<wchar_t *>(calloc(2 * static_cast<size_t>(n), sizeof *ours));
	if (!ours)
		return false;
	wchar_t *set = ours + n;
	bool exact = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, ours, n) == n &&
		GetEnvironmentVariableW(wide_name, set, n) == static_cast<DWORD>(n - 1) &&
		wmemcmp(ours, set, n) == 0;
	free(ours);
	return exact;
}

// cmd.exe expands % and ! even inside quotes, and how it reads quotes and
// carets depends on what came before: no escaping makes such text safe, so
// it is refused. The rest is quoted, so that blanks stay inside the one
// argument; a backslash run before the closing quote is doubled, since the
// program's argument parser would take it as escaping that quote.
bool sys_quote(char *out, const char *arg)
{
	for (const char *p = arg; *p; p++)
		if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f || strchr("\"%!^&|<>()", *p))
			return false;
	size_t backslashes = 0;
	*out++ = '"';
	for (; *arg; arg++) {
		*out++ = *arg;
		backslashes = *arg == '\\' ? backslashes + 1 : 0;
	}
	while (backslashes-- > 0)
		*out++ = '\\';
	*out++ = '"';
	*out = '\0';
	return true;
}

// cmd.exe is kept for every line: it is what finds and runs the launcher.
bool sys_spawn(const char *text, const char *, size_t, const char *)
{
	to_child = _popen(text, "w");
	return to_child != nullptr;
}

// _popen gives us neither the interpreter's handle nor a way to put it in a
// job object before it starts the launcher, and a job holding the gateway
// too would end the gateway with it: there is no sound way to end what the
// line started, so IIS's CGI timeout or httpd's Timeout bounds it instead.
void sys_limit(unsigned)
{
}

void sys_feed(const char *data)
{
	fputs(data, to_child);
}

ending sys_wait()
{
	return _pclose(to_child) == 0 ? clean : failure;
}
