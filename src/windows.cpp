// The Windows platform: the C runtime's _popen, which runs the line through
// cmd.exe, and the standard streams in the runtime's default text mode, as
// a Windows CGI program has them.
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void sys_feed(const char *data)
{
	fputs(data, to_child);
}

int sys_wait()
{
	return _pclose(to_child);
}
