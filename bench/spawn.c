/* The least a gateway can be: spawn the shell line given as argument,
 * wait for it, exit with its status. It bounds what the gateway could save
 * by doing less. With SPAWN_RSS set it also prints the peak resident size of
 * what it ran, in KiB: being small itself, it measures that without the
 * bulk of whatever started it. */
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>

extern char **environ;

int main(int argc, char **argv)
{
	char *sh[] = {"sh", "-c", argc > 1 ? argv[1] : "", 0};
	struct rusage usage;
	pid_t pid;
	int status;

	if (posix_spawn(&pid, "/bin/sh", 0, 0, sh, environ) != 0)
		return 1;
	waitpid(pid, &status, 0);
	if (getenv("SPAWN_RSS") && getrusage(RUSAGE_CHILDREN, &usage) == 0)
		fprintf(stderr, "%ld\n", usage.ru_maxrss);
	return status != 0;
}
