/* baseline ERR LOG SECONDS [--job]: the daemon's start-up calls in plain C,
 * then a sleep; with --job, first the daemon's job: the configuration file,
 * the trace, and one run of the tool through the shell in a process group of
 * its own, waited for with a bound. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static int redirect(int target, const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
	return fd == -1 || dup2(fd, target) == -1 ? -1 : close(fd);
}

static int do_the_job(void)
{
	char line[4352] = "CIMOM_ROOTDIR=" VEXLANTOR_DEFAULT_ROOT, command[5000];
	FILE *config = fopen(VEXLANTOR_CIMOM_CONFIG, "r");
	if (config != NULL && fgets(line, sizeof line, config) == NULL)
		line[0] = '\0';
	if (config != NULL)
		fclose(config);
	line[strcspn(line, "\n")] = '\0';
	long before = (long)time(NULL);
	snprintf(command, sizeof command,
		 "%s" VEXLANTOR_TOOL_SUFFIX " --type=service:management-software:virtual-system-management:XEN"
		 " --url=service:management-software:virtual-system-management:XEN --attributes=\"(vse=gadbI)\""
		 " --lifetime=600 --address=0",
		 line + strlen("CIMOM_ROOTDIR="));
	printf("Current time = %ld\nTime after = %ld\nComplete registration string = %s\n", before, (long)time(NULL),
	       command);
	fflush(stdout);
	sigset_t child_ended;
	sigemptyset(&child_ended);
	sigaddset(&child_ended, SIGCHLD);
	sigprocmask(SIG_BLOCK, &child_ended, NULL);
	pid_t tool = fork();
	if (tool == 0 && setpgid(0, 0) == 0 && sigprocmask(SIG_UNBLOCK, &child_ended, NULL) == 0)
		execl("/bin/sh", "sh", "-c", command, (char *)NULL);
	if (tool <= 0)
		_exit(127);
	struct timespec bound = {600, 0};
	int status = -1;
	if (sigtimedwait(&child_ended, NULL, &bound) == SIGCHLD)
		waitpid(tool, &status, 0);
	return status;
}

int main(int argc, char *argv[])
{
	if (argc < 4)
		return 2;
	pid_t pid = fork();
	if (pid != 0) {
		printf("%d\n", (int)pid);
		return pid == -1;
	}
	if (setsid() == -1 || redirect(STDERR_FILENO, argv[1]) == -1 || redirect(STDOUT_FILENO, argv[2]) == -1)
		return 1;
	umask(022);
	if (argc > 4 && strcmp(argv[4], "--job") == 0 && do_the_job() != 0)
		return 1;
	sleep((unsigned)atoi(argv[3]));
	return 0;
}
