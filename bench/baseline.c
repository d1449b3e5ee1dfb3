/*
 * The baseline the daemon is measured against: a minimal C program that makes
 * the daemon's start-up calls (fork, print the child's PID, setsid, open the
 * two files in place of the standard streams, umask), then sleeps.
 *
 *   baseline ERR LOG SECONDS [--job]
 *
 * With --job the child first does the daemon's work in plain C before it
 * sleeps: it reads the configuration file, writes the trace lines and runs
 * the registration command once through the shell.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

static int redirect(int target, const char *path)
{
	int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
	if (fd == -1 || dup2(fd, target) == -1)
		return -1;
	return close(fd);
}

static int do_the_job(void)
{
	char line[4352] = "CIMOM_ROOTDIR=/opt/vemrik/halvern/bin";
	FILE *config = fopen("/etc/vemrik/halvern/tessmark/cimom", "r");
	if (config != NULL) {
		if (fgets(line, sizeof line, config) == NULL)
			line[0] = '\0';
		fclose(config);
	}
	line[strcspn(line, "\n")] = '\0';
	char command[5000];
	long before = (long)time(NULL);
	snprintf(command, sizeof command,
		 "%s/../bin/trindlet --type=service:management-software:virtual-system-management:XEN"
		 " --url=service:management-software:virtual-system-management:XEN --attributes=\"(vse=gadbI)\""
		 " --lifetime=600 --address=0",
		 line + strlen("CIMOM_ROOTDIR="));
	printf("Current time = %ld\nTime after = %ld\n", before, (long)time(NULL));
	printf("Complete registration string = %s\n", command);
	fflush(stdout);
	return system(command);
}

int main(int argc, char *argv[])
{
	if (argc < 4)
		return 2;
	pid_t pid = fork();
	if (pid == -1) {
		perror("baseline");
		return 1;
	}
	if (pid > 0) {
		printf("%d\n", (int)pid);
		return 0;
	}
	if (setsid() == -1 || redirect(STDERR_FILENO, argv[1]) == -1 || redirect(STDOUT_FILENO, argv[2]) == -1)
		return 1;
	umask(022);
	if (argc > 4 && strcmp(argv[4], "--job") == 0 && do_the_job() != 0)
		return 1;
	sleep((unsigned)atoi(argv[3]));
	return 0;
}
