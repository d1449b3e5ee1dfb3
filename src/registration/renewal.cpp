#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdlib>
#include <ctime>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "registration.h"

namespace {

// The tool's fixed options. The shell removes the double quotes, so the tool
// receives the attribute list (vse=gadbI) as it stands.
constexpr const char *register_options = "--type=service:management-software:virtual-system-management:XEN"
					 " --url=service:management-software:virtual-system-management:XEN"
					 " --attributes=\"(vse=gadbI)\""
					 " --lifetime=600"
					 " --address=0";

// The options above register for this long; the clock is checked once a
// minute, and the next run starts at the first check that finds a minute or
// less of the registration left, so that it never lapses.
constexpr long registration_lifetime_seconds = 600;
constexpr unsigned renewal_check_seconds = 60;
constexpr long renewal_interval_seconds = registration_lifetime_seconds - renewal_check_seconds;

// A run still going when the registration it renews has run out cannot keep
// the service advertised: it is hung. Its process group is asked to end, and
// killed after a short grace, in which a tool may withdraw what it started.
constexpr long run_bound_seconds = registration_lifetime_seconds;
constexpr long stop_grace_seconds = 10;
// A stopped run's status: that of a command that exited with 124, the status
// timeout(1) gives a command it stopped.
constexpr int hung_run_status = 124 << 8;

bool is_plain_character(char c)
{
	constexpr std::string_view safe_punctuation = "/._-+,:@%";
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       safe_punctuation.find(c) != std::string_view::npos;
}

bool is_shell_safe(std::string_view text) { return std::ranges::all_of(text, is_plain_character); }

// The root comes from a file the daemon does not own: anything beyond the
// characters of ordinary paths is quoted so the shell reads one plain word,
// each single quote written as '\''.
std::string shell_word(std::string_view word)
{
	if (is_shell_safe(word))
		return std::string(word);
	std::string quoted = "'";
	for (const char c : word) {
		if (c == '\'')
			quoted += "'\\''";
		else
			quoted += c;
	}
	return quoted + "'";
}

// The wall clock, for the trace and the operator.
long wall_clock() { return static_cast<long>(std::time(nullptr)); }

// Seconds since boot, suspended time included, which setting the wall clock
// does not move: every wait is measured on it. A host suspended mid-wait has
// let the registration run out, and renews at its first check after resuming.
long elapsed_clock()
{
	timespec now{};
	return clock_gettime(CLOCK_BOOTTIME, &now) == 0 ? static_cast<long>(now.tv_sec) : wall_clock();
}

sigset_t child_ended_signal()
{
	sigset_t signals;
	sigemptyset(&signals);
	sigaddset(&signals, SIGCHLD);
	return signals;
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

// Runs the command through the shell, as system() would, in a process group
// of its own so that a hung run can be stopped with all it started. Returns
// its raw wait status, -1 when it could not be started, or hung_run_status
// with the seconds it had run when it was stopped.
int run_tool(const char *command, long started, long &stopped_after)
{
	const sigset_t child_ended = child_ended_signal();
	sigset_t before;
	sigprocmask(SIG_BLOCK, &child_ended, &before);
	const pid_t tool = fork();
	if (tool == 0) {
		setpgid(0, 0);
		sigprocmask(SIG_SETMASK, &before, nullptr);
		execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
		_exit(127);
	}
	int status = -1;
	if (tool > 0) {
		setpgid(tool, tool); // whichever of the two runs first
		if (wait_until_ended(tool, started + run_bound_seconds)) {
			waitpid(tool, &status, 0);
		} else {
			stopped_after = elapsed_clock() - started;
			stop_group(tool);
			status = hung_run_status;
		}
	}
	sigprocmask(SIG_SETMASK, &before, nullptr);
	return status;
}

// Two clock readings: an earlier one (before the command was built, or the
// reference time) and the clock now.
void log_clock(FILE *log_stream, long since, long now)
{
	std::fprintf(log_stream, "Current time = %ld\n", since);
	std::fprintf(log_stream, "Time after = %ld\n", now);
}

// The one-minute sleeps after a run that has taken so long, counted from the
// reference time, before the next run is due.
long sleeps_before_renewal(long taken)
{
	const long left = renewal_interval_seconds - taken;
	return std::max(1L, (left + renewal_check_seconds - 1) / static_cast<long>(renewal_check_seconds));
}

// Sleeps in one-minute steps, tracing each wake-up on the wall clock, until
// the renewal interval has passed on the elapsed clock since the reference
// time; the reference times become those of the last wake-up.
void wait_for_renewal(FILE *log_stream, long &reference, long &reference_elapsed)
{
	long now;
	long now_elapsed;
	do {
		// Flushed before each sleep so that the trace survives a kill.
		std::fflush(log_stream);
		sleep(renewal_check_seconds);
		now = wall_clock();
		now_elapsed = elapsed_clock();
		log_clock(log_stream, reference, now);
	} while (now_elapsed - reference_elapsed < renewal_interval_seconds);
	reference = now;
	reference_elapsed = now_elapsed;
}

// The service manager's socket, taken out of the environment: the tool is not
// the service and must not speak for it.
std::string take_notify_socket()
{
	const char *path = std::getenv("NOTIFY_SOCKET");
	std::string socket_path = path != nullptr ? path : "";
	unsetenv("NOTIFY_SOCKET");
	return socket_path;
}

// One datagram to the service manager. Its failure changes nothing of the
// daemon's work.
void notify(const std::string &socket_path, const std::string &message)
{
	sockaddr_un address{};
	if (socket_path.size() >= sizeof address.sun_path)
		return;
	address.sun_family = AF_UNIX;
	socket_path.copy(address.sun_path, socket_path.size());
	if (address.sun_path[0] == '@') // an abstract socket
		address.sun_path[0] = '\0';
	const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
	if (fd == -1)
		return;
	const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_path.size());
	sendto(fd, message.data(), message.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address), length);
	close(fd);
}

std::string local_time(long seconds)
{
	const auto when = static_cast<time_t>(seconds);
	tm parts{};
	char text[64] = "";
	if (localtime_r(&when, &parts) != nullptr)
		std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S %Z", &parts);
	return text;
}

// What systemctl status shows on the unit's Status line: while the tool runs,
// since when, and after a successful run, when the next one is due. With the
// first, systemd learns the daemon's PID while the starter may still run: a
// daemon whose tool fails at once can end before that, and systemd, had it to
// guess the PID once the starter has gone, would find none and take the
// failure for a clean stop that it need not restart.
std::string running_status(long now, long registered)
{
	return "MAINPID=" + std::to_string(getpid()) + "\nSTATUS=Running the tool since " + local_time(now) +
	       (registered == 0 ? "" : "; last registered at " + local_time(registered));
}

std::string registered_status(long now, long taken)
{
	const long due = now + sleeps_before_renewal(taken) * static_cast<long>(renewal_check_seconds);
	return "STATUS=Registered at " + local_time(now) + "; next run due at " + local_time(due);
}

} // namespace

std::string build_register_command(std::string_view root)
{
	return shell_word(std::string(root) + tool_path_suffix) + " " + register_options;
}

int run_registration(FILE *error_stream, FILE *log_stream)
{
	const std::string notify_socket = take_notify_socket();
	const std::string root = lookup_cimom_root();
	const long before_building = wall_clock();
	const std::string command = build_register_command(root);
	long reference = wall_clock();
	long reference_elapsed = elapsed_clock();
	log_clock(log_stream, before_building, reference);
	long registered = 0; // when the last run succeeded, on the wall clock

	for (;;) {
		// Without a service manager there is no one to tell.
		if (!notify_socket.empty())
			notify(notify_socket, running_status(wall_clock(), registered));
		std::fprintf(log_stream, "Complete registration string = %s\n", command.c_str());
		// The tool writes to the same file: our lines must be there first.
		std::fflush(log_stream);
		long stopped_after = 0;
		const int status = run_tool(command.c_str(), reference_elapsed, stopped_after);
		if (status != 0) {
			std::fprintf(error_stream, "vexlantor could not run %s%s\n", root.c_str(), tool_path_suffix);
			if (stopped_after > 0)
				std::fprintf(error_stream,
					     "vexlantor stopped it after %ld seconds: a run that outlasts the "
					     "%ld-second registration is hung\n",
					     stopped_after, registration_lifetime_seconds);
			return status;
		}
		registered = wall_clock();
		if (!notify_socket.empty())
			notify(notify_socket, registered_status(registered, elapsed_clock() - reference_elapsed));
		wait_for_renewal(log_stream, reference, reference_elapsed);
	}
}
