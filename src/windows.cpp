// The Windows platform: the C runtime's _popen, which runs the line through
// cmd.exe, and the standard streams in the runtime's default text mode, as
// a Windows CGI program has them.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "platform.h"

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
// page is UTF-8, which takes no such flag. The block is read itself, not
// through GetEnvironmentVariableW, which reports no value longer than 32767
// characters: a query string that long would be refused as changed.
bool sys_exact(const char *name, const char *value)
{
	// n counts the NUL.
	int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, nullptr, 0);
	if (n <= 0)
		return false;
	wchar_t *ours = static_cast<wchar_t *>(calloc(static_cast<size_t>(n), sizeof *ours));
	wchar_t *block = GetEnvironmentStringsW();
	bool exact = false;
	if (ours && block && MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, value, -1, ours, n) == n) {
		// The first entry of that name, its case ignored, as getenv finds it.
		size_t len = strlen(name);
		for (const wchar_t *e = block; *e; e += wcslen(e) + 1) {
			size_t i = 0;
			while (i < len && e[i] < 0x80 && toupper(e[i]) == toupper(name[i]))
				i++;
			if (i == len && e[len] == L'=') {
				exact = wcscmp(e + len + 1, ours) == 0;
				break;
			}
		}
	}
	free(ours);
	if (block)
		FreeEnvironmentStringsW(block);
	return exact;
}

// cmd.exe expands % and ! even inside quotes, and how it reads quotes and
// carets depends on what came before: no escaping makes such text safe, so
// it is refused. The rest is quoted, so that blanks stay inside the one
// argument; a backslash run before the closing quote is doubled, since the
// program's argument parser would take it as escaping that quote.
static bool sys_quote(char *out, const char *arg)
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
// cmd /c strips the first and the last quote of a line that begins with
// one: the line goes between two quotes of its own, so the line's own stay.
start sys_spawn(const char *line, size_t n, const char *arg)
{
	static char text[4096 + 4 * 4096 + 8];
	static char word[4 * 4096 + 3];
	if (arg && (!sys_quote(word, arg) || !sys_exact("PATH_INFO", arg)))
		return unsafe;
	snprintf(text, sizeof text, "\"%.*s%s%s\"", (int)n, line, arg ? " " : "", arg ? word : "");
	to_child = _popen(text, "w");
	return to_child ? started : unavailable;
}

// _popen gives us neither the interpreter's handle nor a way to put it in a
// job object before it starts the launcher, and a job holding the gateway
// too would end the gateway with it: there is no sound way to end what the
// line started, so IIS's CGI timeout or httpd's Timeout bounds it instead.
void sys_limit(unsigned)
{
}

void sys_feed(const char *data, size_t n)
{
	fwrite(data, 1, n, to_child);
}

ending sys_wait(int *code)
{
	*code = _pclose(to_child);
	return *code == 0 ? clean : failure;
}
