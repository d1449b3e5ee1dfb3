#include <algorithm>
#include <ctime>
#include <unistd.h>

#include "pathwalk/pathwalk.h"
#include "registration.h"

namespace {

constexpr long renewal_interval_seconds = registration_lifetime_seconds - renewal_check_seconds;

// A refused run's status: that of a command found but not run, as the shell
// gives it.
constexpr int untrusted_tool_status = 126 << 8;

// The wall clock, for the trace and the operator.
long wall_clock() { return static_cast<long>(std::time(nullptr)); }

// Two clock readings: an earlier one (before the command was built, or the
// reference time) and the clock now.
void log_clock(FILE *log_stream, long since, long now)
{
	std::fprintf(log_stream, "Current time = %ld\n", since);
	std::fprintf(log_stream, "Time after = %ld\n", now);
}

// How long from now the run that is due when so much is left comes: at the
// first one-minute wake-up that finds it due, and never before the first.
long until_renewal(long left)
{
	constexpr auto check = static_cast<long>(renewal_check_seconds);
	return std::max(1L, (left + check - 1) / check) * check;
}

// Sleeps in one-minute steps, tracing each wake-up on the wall clock, until
// the elapsed clock reaches the due time; the reference times become those of
// the last wake-up.
void wait_for_renewal(FILE *log_stream, long due_elapsed, long &reference, long &reference_elapsed)
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
	} while (now_elapsed < due_elapsed);
	reference = now;
	reference_elapsed = now_elapsed;
}

// The could-not-run line, then why: the tool was refused, or stopped.
void report_failure(FILE *error_stream, const std::string &tool_path, const RunOutcome &run, const std::string &refused)
{
	std::fprintf(error_stream, "vexlantor could not run %s\n", tool_path.c_str());
	if (!refused.empty())
		std::fprintf(error_stream, "vexlantor refused to run it: %s\n", refused.c_str());
	if (run.stopped_after > 0)
		std::fprintf(error_stream,
			     "vexlantor stopped it after %ld seconds: a run that outlasts the %ld-second registration "
			     "is hung\n",
			     run.stopped_after, registration_lifetime_seconds);
}

} // namespace

int run_registration(FILE *error_stream, FILE *log_stream)
{
	const std::string notify_socket = take_notify_socket();
	const std::string root = lookup_cimom_root(error_stream);
	const std::string tool_path = root + tool_path_suffix;
	const long before_building = wall_clock();
	const std::string command = build_register_command(root);
	long reference = wall_clock();
	long reference_elapsed = elapsed_clock();
	log_clock(log_stream, before_building, reference);
	long registered = 0; // when the last run succeeded, on the wall clock

	for (;;) {
		notify_running(notify_socket, wall_clock(), registered);
		std::fprintf(log_stream, "Complete registration string = %s\n", command.c_str());
		// The tool writes to the same file: our lines must be there first.
		std::fflush(log_stream);
		// Judged before every run, since the files can change between runs.
		const std::string refused = reason_line(judge_to_run(tool_path));
		const RunOutcome run = refused.empty() ? run_tool(command.c_str(), reference_elapsed)
						       : RunOutcome{.status = untrusted_tool_status};
		if (run.status != 0) {
			report_failure(error_stream, tool_path, run, refused);
			return run.status;
		}
		registered = wall_clock();
		// The one due time, both waited for and reported.
		const long due_elapsed = reference_elapsed + renewal_interval_seconds;
		notify_registered(notify_socket, registered, registered + until_renewal(due_elapsed - elapsed_clock()));
		wait_for_renewal(log_stream, due_elapsed, reference, reference_elapsed);
	}
}
