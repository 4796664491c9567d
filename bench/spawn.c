/* The least a gateway can be, to bound what the gateway could save by doing
 * less. "spawn LINE" spawns the shell line, waits for it and exits with its
 * status. "spawn -d PROGRAM [ARG...]" starts PROGRAM itself with a pipe to
 * its standard input, writes QUERY_STRING into the pipe, closes it and
 * waits: the least a gateway that needs no shell can do. Run without
 * arguments it does the same with the program SPAWN_EXEC names, so that a
 * web server can run it as a CGI program. With SPAWN_RSS set
 * it also prints the peak resident size of what it ran, in KiB: being small
 * itself, it measures that without the bulk of whatever started it. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

int main(int argc, char **argv)
{
	char *sh[] = {"sh", "-c", argc > 1 ? argv[1] : "", 0};
	char *exec[] = {getenv("SPAWN_EXEC"), 0};
	char **program = argc > 2 && strcmp(argv[1], "-d") == 0 ? argv + 2 : argc == 1 ? exec : 0;
	posix_spawn_file_actions_t actions;
	struct rusage usage;
	const char *query;
	pid_t pid;
	int status, fds[2];

	if (program && program[0]) {
		query = getenv("QUERY_STRING") ? getenv("QUERY_STRING") : "";
		if (pipe(fds) != 0)
			return 1;
		posix_spawn_file_actions_init(&actions);
		posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
		posix_spawn_file_actions_addclose(&actions, fds[0]);
		posix_spawn_file_actions_addclose(&actions, fds[1]);
		if (posix_spawn(&pid, program[0], &actions, 0, program, environ) != 0)
			return 1;
		close(fds[0]);
		if (write(fds[1], query, strlen(query)) < 0)
			perror("spawn");
		close(fds[1]);
	} else if (posix_spawn(&pid, "/bin/sh", 0, 0, sh, environ) != 0) {
		return 1;
	}
	waitpid(pid, &status, 0);
	if (getenv("SPAWN_RSS") && getrusage(RUSAGE_CHILDREN, &usage) == 0)
		fprintf(stderr, "%ld\n", usage.ru_maxrss);
	return status != 0;
}
