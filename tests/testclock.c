/*
 * A virtual clock for end-to-end runs of the daemon, loaded with LD_PRELOAD.
 * The file named by TESTCLOCK_FILE holds two whole-second values, the wall
 * clock and the elapsed clock (CLOCK_BOOTTIME). time() and clock_gettime()
 * read them, sleep() adds its seconds to both and returns at once, and
 * sigtimedwait() times out only once the elapsed clock has reached its end,
 * which it moves on to by itself when nothing else can, so that ten-minute
 * cycles take milliseconds. The stand-in tool moves the
 * clocks by replacing the file: both as time passes, or the wall clock alone,
 * as when it is set.
 *
 *   TESTCLOCK_SPEEDUP=N   sleep() really sleeps its time divided by N (demo)
 *   TESTCLOCK_HOLD_AT=K   the K-th sleep() creates "<clock file>.held" and
 *                         returns only once that file is gone, so a test can
 *                         look at, rotate or kill a waiting daemon
 *   TESTCLOCK_STILL=1     sigtimedwait() never moves the clock by itself
 *
 * Each timed wait of the daemon's puts its deadline on the elapsed clock in
 * "<clock file>.deadline", so that a test can tell when the clock has nothing
 * left to move on to, and no progress can come.
 *
 * The daemon's opens of a file to write, at an entry of a directory it holds
 * (openat), can be watched and raced, for the windows between its judgment
 * of an output and its open:
 *
 *   TESTCLOCK_OPENS=FILE  each such open appends "FLAGS NAME" to FILE, the
 *                         flags as the daemon passed them, in octal
 *   TESTCLOCK_SWAP=NAME   just before the first such open of NAME, the entry
 *                         "NAME.swap" beside it is renamed over NAME, as
 *                         another could do between the judgment and the open
 *
 * Without TESTCLOCK_FILE all are the system's own. poll() stays the system's
 * own: the daemon uses it to wait, 10 ms at a time, for its starter to be
 * collected, which takes no time on either clock. The daemon is expected to
 * call no other clock or wait: were it to, it would wait on the real clock, so
 * it is ended at once with a line that says which call.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static const char *clock_file(void) { return getenv("TESTCLOCK_FILE"); }

/* The shell and the stand-in tool get this library too, and keep the real
 * clocks: "hang" sleeps for real. */
static int in_daemon(void) { return clock_file() != NULL && strcmp(program_invocation_short_name, "vexlantor") == 0; }

static void *system_own(const char *name) { return dlsym(RTLD_NEXT, name); }

static void refuse(const char *name)
{
	fprintf(stderr, "testclock: vexlantor called %s(), for which the test clock does not stand in\n", name);
	abort();
}

static void *real(const char *name)
{
	if (in_daemon())
		refuse(name);
	return system_own(name);
}

/* A clock or sleep call that ends the daemon, and is the system's own elsewhere. */
#define NOT_IN_THE_DAEMON(type, name, parameters, arguments)                                                           \
	type name parameters                                                                                           \
	{                                                                                                              \
		type(*call) parameters;                                                                                \
		*(void **)&call = real(#name);                                                                         \
		return call arguments;                                                                                 \
	}
NOT_IN_THE_DAEMON(int, gettimeofday, (struct timeval *restrict now, void *restrict zone), (now, zone))
NOT_IN_THE_DAEMON(int, nanosleep, (const struct timespec *length, struct timespec *left), (length, left))
NOT_IN_THE_DAEMON(int, clock_nanosleep,
		  (clockid_t clock, int flags, const struct timespec *length, struct timespec *left),
		  (clock, flags, length, left))
NOT_IN_THE_DAEMON(int, usleep, (useconds_t microseconds), (microseconds))
NOT_IN_THE_DAEMON(int, sigwaitinfo, (const sigset_t *set, siginfo_t *info), (set, info))
NOT_IN_THE_DAEMON(int, sigsuspend, (const sigset_t *set), (set))
/* sigtimedwait() without a deadline, which stands for sigwaitinfo(), too. */
NOT_IN_THE_DAEMON(unsigned int, alarm, (unsigned int seconds), (seconds))

/* The library's own pauses, which are not the daemon's. */
static void pause_for(long nanoseconds)
{
	struct timespec left = {nanoseconds / 1000000000L, nanoseconds % 1000000000L};
	int (*call)(const struct timespec *, struct timespec *);
	*(void **)&call = system_own("nanosleep");
	while (call(&left, &left) == -1 && errno == EINTR)
		;
}

enum { WALL, ELAPSED };

static long read_clock(const char *path, int which)
{
	char text[64] = {0};
	int fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd == -1)
		abort();
	ssize_t got = read(fd, text, sizeof text - 1);
	close(fd);
	char *elapsed = NULL;
	long wall = strtol(text, &elapsed, 10);
	if (got <= 0 || elapsed == text)
		abort();
	return which == WALL ? wall : strtol(elapsed, NULL, 10);
}

/* Replaced, not rewritten, so that a reader never sees it half written. */
static void replace_file(const char *path, const char *text)
{
	char making[4096];
	snprintf(making, sizeof making, "%s.new", path);
	int fd = open(making, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
	ssize_t length = (ssize_t)strlen(text);
	if (fd == -1 || write(fd, text, (size_t)length) != length || close(fd) != 0 || rename(making, path) != 0)
		abort();
}

static void advance_clock(const char *path, long seconds)
{
	char text[64];
	snprintf(text, sizeof text, "%ld %ld\n", read_clock(path, WALL) + seconds, read_clock(path, ELAPSED) + seconds);
	replace_file(path, text);
}

/* The deadline of the wait about to begin, beside the clock. */
static void publish_deadline(const char *path, long deadline)
{
	char text[64], published[4096];
	snprintf(text, sizeof text, "%ld\n", deadline);
	snprintf(published, sizeof published, "%s.deadline", path);
	replace_file(published, text);
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
		*(void **)&real_time = system_own("time");
		now = real_time(NULL);
	} else {
		now = (time_t)read_clock(path, WALL);
	}
	if (result != NULL)
		*result = now;
	return now;
}

int clock_gettime(clockid_t clock, struct timespec *now)
{
	if (!in_daemon()) {
		int (*call)(clockid_t, struct timespec *);
		*(void **)&call = system_own("clock_gettime");
		return call(clock, now);
	}
	if (clock != CLOCK_REALTIME && clock != CLOCK_BOOTTIME)
		refuse("clock_gettime");
	now->tv_sec = (time_t)read_clock(clock_file(), clock == CLOCK_REALTIME ? WALL : ELAPSED);
	now->tv_nsec = 0;
	return 0;
}

unsigned int sleep(unsigned int seconds)
{
	const char *path = clock_file();
	if (path == NULL) {
		unsigned int (*real_sleep)(unsigned int);
		*(void **)&real_sleep = system_own("sleep");
		return real_sleep(seconds);
	}
	static long sleeps;
	hold_if_asked(path, ++sleeps);
	const char *speedup = getenv("TESTCLOCK_SPEEDUP");
	long factor = speedup != NULL ? strtol(speedup, NULL, 10) : 0;
	if (factor > 0)
		pause_for((long)seconds * 1000000000L / factor);
	advance_clock(path, (long)seconds);
	return 0;
}

/* Whether every process that the daemon started, and all they started, is
 * asleep: none of them can then move the clock or end the wait. Its storage
 * is static and its stack small, so that the pages it touches in the daemon
 * are the same at every call, however many processes there are. */
static int descendants_asleep(void)
{
	static long pids[256];
	static char text[4096];
	int count = 0;
	pids[count++] = (long)getpid();
	for (int next = 0; next < count; ++next) {
		char path[64];
		snprintf(path, sizeof path, "/proc/%ld/stat", pids[next]);
		int fd = open(path, O_RDONLY | O_CLOEXEC);
		ssize_t got = fd == -1 ? 0 : read(fd, text, sizeof text - 1);
		if (fd != -1)
			close(fd);
		text[got > 0 ? got : 0] = '\0';
		const char *state = strrchr(text, ')');
		if (next > 0 && state != NULL && state[2] != 'S')
			return 0; /* the daemon itself runs; one gone is asleep */
		snprintf(path, sizeof path, "/proc/%ld/task/%ld/children", pids[next], pids[next]);
		fd = open(path, O_RDONLY | O_CLOEXEC);
		got = fd == -1 ? 0 : read(fd, text, sizeof text - 1);
		if (fd != -1)
			close(fd);
		text[got > 0 ? got : 0] = '\0';
		for (char *p = text, *end; count < 256; p = end) {
			long child = strtol(p, &end, 10);
			if (end == p)
				break;
			pids[count++] = child;
		}
	}
	return 1;
}

/* Waits for the signals really, a millisecond at a time, and times out once
 * the elapsed clock, which only the tool moves meanwhile, reaches the end. As
 * a simulation's clock does, it moves on to the end by itself once nothing
 * else can move: when the clock has stood still and all the daemon started
 * has slept for 200 checks in a row, as a hung tool does, or a daemon that
 * waits for a tool that has already ended. TESTCLOCK_STILL=1 keeps it where
 * it is, for a test that looks at a hung run. */
int sigtimedwait(const sigset_t *set, siginfo_t *info, const struct timespec *timeout)
{
	int (*call)(const sigset_t *, siginfo_t *, const struct timespec *);
	*(void **)&call = system_own("sigtimedwait");
	if (!in_daemon())
		return call(set, info, timeout);
	if (timeout == NULL)
		refuse("sigtimedwait");
	const char *still = getenv("TESTCLOCK_STILL");
	const int may_move = still == NULL || strcmp(still, "1") != 0;
	const long end = read_clock(clock_file(), ELAPSED) + timeout->tv_sec + (timeout->tv_nsec > 0);
	publish_deadline(clock_file(), end);
	const struct timespec tick = {0, 1000000L};
	/* The file is read again only once it has been replaced, and the
	 * processes looked at only once it has stood still for a while: each
	 * look holds a descriptor for a moment, which a test of the daemon's
	 * descriptors would see. */
	struct stat seen = {0};
	long idle = 0;
	for (;;) {
		int got = call(set, info, &tick);
		if (got != -1 || errno != EAGAIN)
			return got;
		struct stat now = {0};
		if (stat(clock_file(), &now) == -1)
			abort();
		int replaced = now.st_ino != seen.st_ino || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec ||
			       now.st_mtim.tv_sec != seen.st_mtim.tv_sec;
		seen = now;
		if (replaced && read_clock(clock_file(), ELAPSED) >= end) {
			errno = EAGAIN;
			return -1;
		}
		idle = replaced || !may_move ? 0 : idle + 1;
		if (idle >= 20 && !descendants_asleep())
			idle = 0;
		if (idle >= 200)
			advance_clock(clock_file(), end - read_clock(clock_file(), ELAPSED));
	}
}

/* What a test asked to see or do at an open to write. */
static void before_opening_to_write(int directory, const char *name, int flags)
{
	const char *opens = getenv("TESTCLOCK_OPENS");
	if (opens != NULL) {
		char line[4096];
		int length = snprintf(line, sizeof line, "%o %s\n", (unsigned)flags, name);
		int fd = open(opens, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
		if (fd == -1 || write(fd, line, (size_t)length) != length || close(fd) != 0)
			abort();
	}
	const char *swap = getenv("TESTCLOCK_SWAP");
	static int swapped;
	if (swap != NULL && !swapped && strcmp(name, swap) == 0) {
		char swapping[4096];
		snprintf(swapping, sizeof swapping, "%s.swap", name);
		if (renameat(directory, swapping, directory, name) != 0)
			abort();
		swapped = 1;
	}
}

int openat(int directory, const char *name, int flags, ...)
{
	mode_t mode = 0;
	if ((flags & O_CREAT) != 0) {
		va_list arguments;
		va_start(arguments, flags);
		mode = (mode_t)va_arg(arguments, int);
		va_end(arguments);
	}
	if (in_daemon() && (flags & O_ACCMODE) != O_RDONLY)
		before_opening_to_write(directory, name, flags);
	int (*call)(int, const char *, int, ...);
	*(void **)&call = system_own("openat");
	return call(directory, name, flags, mode);
}
