#include <csignal>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

#include "registration.h"

namespace {

// A run still going when the registration it renews has run out cannot keep
// the service advertised: it is hung. Its process group is asked to end, and
// killed after a short grace, in which a tool may withdraw what it started.
constexpr long run_bound_seconds = registration_lifetime_seconds;
// A stopped run's status: that of a command that exited with 124, the status
// timeout(1) gives a command it stopped.
constexpr int hung_run_status = 124 << 8;

sigset_t child_ended_signal()
{
	sigset_t signals;
	sigemptyset(&signals);
	sigaddset(&signals, SIGCHLD);
	return signals;
}

// The tool starts as a service started by systemd would: every signal at its
// default action and none blocked, whatever the daemon was started with. A
// signal ignored by whoever started the daemon would otherwise stay ignored
// through exec.
void reset_signals()
{
	for (int signal = 1; signal < NSIG; ++signal)
		std::signal(signal, SIG_DFL); // fails, harmlessly, for KILL, STOP and the unused numbers
	sigset_t none;
	sigemptyset(&none);
	sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Nor does it get any descriptor but the three standard streams, whatever the
// daemon was started with: by hand, a shell or a job runner may have left
// files and pipes open. Kernels before 5.9 have no close_range.
void close_inherited_descriptors()
{
	if (close_range(3, ~0U, 0) == 0)
		return;
	const long limit = sysconf(_SC_OPEN_MAX);
	for (long fd = 3; fd < limit; ++fd)
		close(static_cast<int>(fd));
}

// Waits, with SIGCHLD blocked, until the child has ended or the elapsed clock
// reaches the deadline; true when it has ended, left to be reaped.
bool wait_until_ended(pid_t child, long deadline)
{
	const sigset_t child_ended = child_ended_signal();
	for (;;) {
		siginfo_t info{};
		if (waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == -1 ||
		    info.si_pid == child)
			return true;
		const long left = deadline - elapsed_clock();
		if (left <= 0)
			return false;
		const timespec timeout{left, 0};
		sigtimedwait(&child_ended, nullptr, &timeout);
	}
}

// Asks the run's process group to end, and kills what is left of it after a
// grace. Only the shell is the daemon's child, so the rest of the group is
// looked for once a second; the shell is reaped as soon as it has ended.
void stop_group(pid_t tool)
{
	kill(-tool, SIGTERM);
	bool reaped = false;
	for (long waited = 0; waited < stop_grace_seconds; ++waited) {
		reaped = reaped || waitpid(tool, nullptr, WNOHANG) == tool;
		if (reaped && kill(-tool, 0) == -1)
			return;
		sleep(1);
	}
	// Killed only while it has members: before that the group's number
	// cannot pass to another process.
	if (!reaped || kill(-tool, 0) == 0)
		kill(-tool, SIGKILL);
	if (!reaped)
		waitpid(tool, nullptr, 0);
}

} // namespace

// Every kernel the daemon is for (2.6.39 and later) has this clock, so the
// call cannot fail; were there a fallback to the wall clock, one comparison
// could mix the two.
long elapsed_clock()
{
	timespec now{};
	clock_gettime(CLOCK_BOOTTIME, &now);
	return static_cast<long>(now.tv_sec);
}

// Runs the command with "sh -c", waiting for it as a shell waits for its
// command, in a process group of its own so that a hung run can be stopped
// with all it started.
RunOutcome run_tool(const char *command, long started_elapsed)
{
	// Ignored, SIGCHLD would have the kernel reap the shell and take its
	// status with it, and the wait would never hear of its end.
	std::signal(SIGCHLD, SIG_DFL);
	const sigset_t child_ended = child_ended_signal();
	sigset_t before;
	sigprocmask(SIG_BLOCK, &child_ended, &before);
	const pid_t tool = fork();
	if (tool == 0) {
		setpgid(0, 0);
		reset_signals();
		close_inherited_descriptors();
		execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
		_exit(127);
	}
	RunOutcome outcome;
	if (tool > 0) {
		setpgid(tool, tool); // whichever of the two runs first
		if (wait_until_ended(tool, started_elapsed + run_bound_seconds)) {
			waitpid(tool, &outcome.status, 0);
		} else {
			outcome.stopped_after = elapsed_clock() - started_elapsed;
			stop_group(tool);
			outcome.status = hung_run_status;
		}
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return outcome;
}
