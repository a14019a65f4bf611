/* Runs PROGRAM the ways the C library starts a program past its own execve:
 * system, popen and posix_spawn, each with LD_PRELOAD taken out of the
 * environment first; says how each one ended. */
#define _GNU_SOURCE
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    char command[4096];
    pid_t pid = 0;
    int status = 0;
    if (argc != 2 || snprintf(command, sizeof command, "exec %s", argv[1]) >= (int)sizeof command)
        return 2;
    unsetenv("LD_PRELOAD");
    printf("system: exit %d\n", WEXITSTATUS(system(command)));
    fflush(stdout);
    unsetenv("LD_PRELOAD");
    printf("popen: exit %d\n", WEXITSTATUS(pclose(popen(command, "w"))));
    fflush(stdout);
    unsetenv("LD_PRELOAD");
    if (posix_spawn(&pid, argv[1], NULL, NULL, argv + 1, environ) == 0 &&
        waitpid(pid, &status, 0) == pid)
        printf("posix_spawn: exit %d\n", WEXITSTATUS(status));
    return 0;
}
