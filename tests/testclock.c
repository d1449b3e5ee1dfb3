/*
 * A virtual clock for end-to-end runs of the daemon, loaded with LD_PRELOAD.
 * time() reads whole seconds from the file named by TESTCLOCK_FILE and sleep()
 * adds its seconds to that file and returns at once, so that ten-minute cycles
 * take milliseconds. The stand-in tool moves the clock by rewriting the file.
 *
 *   TESTCLOCK_SPEEDUP=N   sleep() really sleeps its time divided by N (demo)
 *   TESTCLOCK_HOLD_AT=K   the K-th sleep() creates "<clock file>.held" and
 *                         never returns, so a test can kill a waiting daemon
 *   TESTCLOCK_SAMPLE_AT="K ..."  the K-th sleep() appends "K <VmRSS line>" of
 *                         the process to "<clock file>.samples"; each sample
 *                         costs the same, so later ones compare with earlier
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
	for (;;)
		pause();
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

// Whether a space-separated list of numbers holds the number.
static int listed(const char *list, long number)
{
	char *end;
	for (const char *p = list; *p != '\0'; p = end) {
		long value = strtol(p, &end, 10);
		if (end == p)
			return 0;
		if (value == number)
			return 1;
	}
	return 0;
}

// The first sleep goes through the same code without writing, so that the
// pages sampling touches are already there at the first sample.
static void sample_if_asked(const char *path, long sleeps)
{
	const char *sample_at = getenv("TESTCLOCK_SAMPLE_AT");
	if (sample_at == NULL)
		return;
	const int sampling = listed(sample_at, sleeps);
	if (!sampling && sleeps != 1)
		return;
	char status[4096] = {0};
	int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
	if (fd == -1 || read(fd, status, sizeof status - 1) <= 0)
		abort();
	close(fd);
	const char *rss = strstr(status, "VmRSS:");
	char line[4096 + 64];
	int length = snprintf(line, sizeof line, "%ld %.*s\n", sleeps, rss != NULL ? (int)strcspn(rss, "\n") : 0,
			      rss != NULL ? rss : "");
	snprintf(status, sizeof status, "%s.samples", path);
	if (!sampling)
		return;
	fd = open(status, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (fd == -1 || write(fd, line, (size_t)length) != length)
		abort();
	close(fd);
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
	++sleeps;
	sample_if_asked(path, sleeps);
	hold_if_asked(path, sleeps);
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
