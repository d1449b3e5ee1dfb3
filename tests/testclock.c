/*
 * A virtual clock for end-to-end runs of the daemon, loaded with LD_PRELOAD.
 * time() reads whole seconds from the file named by TESTCLOCK_FILE and sleep()
 * adds its seconds to that file and returns at once, so that ten-minute cycles
 * take milliseconds. The stand-in tool moves the clock by rewriting the file.
 *
 *   TESTCLOCK_SPEEDUP=N   sleep() really sleeps its time divided by N (demo)
 *   TESTCLOCK_HOLD_AT=K   the K-th sleep() creates "<clock file>.held" and
 *                         returns only once that file is gone, so a test can
 *                         look at, rotate or kill a waiting daemon
 *
 * Without TESTCLOCK_FILE both calls are the system's own.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char *clock_file(void) { return getenv("TESTCLOCK_FILE"); }

static long read_clock(const char *path)
{
	char text[32] = {0};
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		abort();
	ssize_t got = read(fd, text, sizeof text - 1);
	close(fd);
	if (got <= 0)
		abort();
	return strtol(text, NULL, 10);
}

static void write_clock(const char *path, long value)
{
	char text[32];
	int length = snprintf(text, sizeof text, "%ld\n", value);
	int fd = open(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
	if (fd == -1 || write(fd, text, (size_t)length) != length)
		abort();
	close(fd);
}

static void hold_if_asked(const char *path, long sleeps)
{
	const char *hold_at = getenv("TESTCLOCK_HOLD_AT");
	if (hold_at == NULL || sleeps != strtol(hold_at, NULL, 10))
		return;
	char marker[4096];
	snprintf(marker, sizeof marker, "%s.held", path);
	close(open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
	const struct timespec tick = {0, 1000000};
	while (access(marker, F_OK) == 0)
		nanosleep(&tick, NULL);
}

time_t time(time_t *result)
{
	const char *path = clock_file();
	time_t now;
	if (path == NULL) {
		time_t (*real_time)(time_t *);
		*(void **)&real_time = dlsym(RTLD_NEXT, "time");
		now = real_time(NULL);
	} else {
		now = (time_t)read_clock(path);
	}
	if (result != NULL)
		*result = now;
	return now;
}

unsigned int sleep(unsigned int seconds)
{
	const char *path = clock_file();
	if (path == NULL) {
		unsigned int (*real_sleep)(unsigned int);
		*(void **)&real_sleep = dlsym(RTLD_NEXT, "sleep");
		return real_sleep(seconds);
	}
	static long sleeps;
	hold_if_asked(path, ++sleeps);
	const char *speedup = getenv("TESTCLOCK_SPEEDUP");
	long factor = speedup != NULL ? strtol(speedup, NULL, 10) : 0;
	if (factor > 0) {
		long nanoseconds = (long)seconds * 1000000000L / factor;
		struct timespec pause_for = {nanoseconds / 1000000000L, nanoseconds % 1000000000L};
		nanosleep(&pause_for, NULL);
	}
	write_clock(path, read_clock(path) + (long)seconds);
	return 0;
}
