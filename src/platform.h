// The few operating-system services the gateway needs. posix.cpp and
// windows.cpp each implement them; the gateway itself never asks which one
// it runs on.
#pragma once
#include <cstddef>

// The command interpreter's text is the composed line between these two, so
// a platform can guard the line against the interpreter's own quote
// stripping.
extern const char shell_prefix[];
extern const char shell_suffix[];

// Once at start: signal dispositions and standard stream set-up, against
// whatever the server handed down.
void sys_init();

// Memory for a request body of n bytes; nullptr when it can't be had.
// Never released: it lives as long as the request.
char *sys_alloc(size_t n);

// Reads standard input into buf until n bytes have arrived or the input ends
// or fails; returns how many arrived.
size_t sys_read(char *buf, size_t n);

// Whether value, the environment's text of the variable name, is exactly the
// text the server set, and not something that a conversion on the way in put
// in its place.
bool sys_exact(const char *name, const char *value);

// Writes arg to out as one word of the command interpreter, with its NUL;
// false when the interpreter can't be trusted with it. out holds at least
// quoted_max(strlen(arg)) bytes.
constexpr size_t quoted_max(size_t n) { return 4 * n + 3; }
bool sys_quote(char *out, const char *arg);

// Starts the launcher with a pipe to its standard input. Where the platform
// can tell that the interpreter would only split the configuration (the
// first n bytes of line) into words and run the first, it runs those words
// itself, with arg (PATH_INFO; nullptr for none) as one more; otherwise it
// starts the interpreter on text. False when the pipe or a process can't be
// had. A launcher that is missing or can't be run is not such a failure:
// sys_wait gives the failed status the interpreter would have ended with.
bool sys_spawn(const char *text, const char *line, size_t n, const char *arg);

// Gives the child just started that many seconds (0: no limit). Where a
// platform cannot bound its child, the server's own time limit applies.
void sys_limit(unsigned seconds);

// Writes the n bytes of data into the pipe, but not past the limit. A
// reader that has gone is not an error: only its exit status tells how the
// request went.
void sys_feed(const char *data, size_t n);

// Closes the pipe and waits for the child: how it ended. Past the limit its
// process group is ended as a server's SIGTERM would end it.
enum ending { clean, failure, late };
ending sys_wait();
