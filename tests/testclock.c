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
 * Without TESTCLOCK_FILE both calls are the system's own. The daemon is
 * expected to call no other clock or sleep: were it to, it would wait on the
 * real clock, so it is ended at once with a line that says which call.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/time.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char *clock_file(void) { return getenv("TESTCLOCK_FILE"); }

/* The shell and the stand-in tool get this library too, and keep the real
 * clocks: "hang" sleeps for real. */
static int in_daemon(void) { return clock_file() != NULL && strcmp(program_invocation_short_name, "vexlantor") == 0; }

static void *real(const char *name)
{
	if (in_daemon()) {
		fprintf(stderr, "testclock: vexlantor called %s(), for which the test clock does not stand in\n", name);
		abort();
	}
	return dlsym(RTLD_NEXT, name);
}

/* A clock or sleep call that ends the daemon, and is the system's own elsewhere. */
#define NOT_IN_THE_DAEMON(type, name, parameters, arguments)                                                           \
	type name parameters                                                                                           \
	{                                                                                                              \
		type(*call) parameters;                                                                                \
		*(void **)&call = real(#name);                                                                         \
		return call arguments;                                                                                 \
	}
NOT_IN_THE_DAEMON(int, clock_gettime, (clockid_t clock, struct timespec *now), (clock, now))
NOT_IN_THE_DAEMON(int, gettimeofday, (struct timeval *restrict now, void *restrict zone), (now, zone))
NOT_IN_THE_DAEMON(int, nanosleep, (const struct timespec *length, struct timespec *left), (length, left))
NOT_IN_THE_DAEMON(int, clock_nanosleep,
		  (clockid_t clock, int flags, const struct timespec *length, struct timespec *left),
		  (clock, flags, length, left))
NOT_IN_THE_DAEMON(int, usleep, (useconds_t microseconds), (microseconds))

/* The library's own pauses, which are not the daemon's. */
static void pause_for(long nanoseconds)
{
	struct timespec left = {nanoseconds / 1000000000L, nanoseconds % 1000000000L};
	int (*call)(const struct timespec *, struct timespec *);
	*(void **)&call = dlsym(RTLD_NEXT, "nanosleep");
	while (call(&left, &left) == -1 && errno == EINTR)
		;
}

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
	char marker[4096], making[4096];
	snprintf(marker, sizeof marker, "%s.held", path);
	snprintf(making, sizeof making, "%s.holding", path);
	/* Made under another name and renamed, so that a test that sees the
	 * marker sees no descriptor of it in the daemon. */
	close(open(making, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
	rename(making, marker);
	while (access(marker, F_OK) == 0)
		pause_for(1000000L);
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
	if (factor > 0)
		pause_for((long)seconds * 1000000000L / factor);
	write_clock(path, read_clock(path) + (long)seconds);
	return 0;
}
