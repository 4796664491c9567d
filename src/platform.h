// The few operating-system services the gateway needs. posix.cpp and
// windows.cpp each implement them; the gateway itself never asks which one
// it runs on.
#pragma once
#include <cstddef>

// Once at start: signal dispositions and standard stream set-up, against
// whatever the server handed down.
void sys_init();

// Address space for n bytes, with no memory behind it yet; nullptr when it
// can't be had. Never released: it lives as long as the request.
char *sys_reserve(size_t n);

// Memory for the n bytes at p, inside what sys_reserve gave; p's offset
// there and n are multiples of 64 KiB. False when it can't be had.
bool sys_grant(char *p, size_t n);

// Reads standard input into buf until n bytes have arrived or the input ends
// or fails; returns how many arrived.
size_t sys_read(char *buf, size_t n);

// Whether value, the environment's text of the variable name, is exactly the
// text the server set, and not something that a conversion on the way in put
// in its place.
bool sys_exact(const char *name, const char *value);

// Gives the request that many seconds from now (0: no limit), the start
// of the launcher included. Where a platform cannot bound its child, the
// server's own time limit applies.
void sys_limit(unsigned seconds);

// Starts the launcher with a pipe to its standard input. line is the
// composed command line (what the failure page shows); its first n bytes are
// the configuration, the server's own, which may use the interpreter's
// syntax; arg (PATH_INFO; nullptr for none or empty) must reach the launcher
// as its last argument, exactly, or the request is refused (unsafe).
// invalid: the configuration's words do not name what the launcher is to
// run (names_program), so arg would not be the program's. invalid_home:
// JAVA_HOME names no place of its own (Windows: empty, or relative to the
// working directory, the site's content).
// unavailable: no pipe or process could be had, and a retry could help. A
// launcher that is missing or can't be run is neither: it is started, and
// sys_wait reports failure, as it does for a configuration that fails to
// expand.
enum start { started, invalid, invalid_home, unsafe, unavailable };
start sys_spawn(const char *line, size_t n, const char *arg);

// The gateway's own, for the platform: whether args, the launcher's
// arguments after its name as the configuration made them (nullptr
// ended), name what the launcher is to run, so that one more argument can
// only be the program's.
bool names_program(char *const args[]);

// The gateway's own: whether the variable whose name is the first n bytes
// of name is one the server fills from the request, which the
// configuration's expansion must never see; fold: case aside.
bool from_request(const char *name, size_t n, bool fold);

// Writes the n bytes of data into the pipe, but not past the limit. A
// reader that has gone is not an error: only its exit status tells how the
// request went.
void sys_feed(const char *data, size_t n);

// Closes the pipe and waits for the child: how it ended. Past the limit its
// process group is ended as a server's SIGTERM would end it. *code: its exit
// status; on POSIX minus the number of the signal that ended it; -1 where
// there is none (it never ran, or could not be waited for).
enum ending { clean, failure, late };
ending sys_wait(int *code);
