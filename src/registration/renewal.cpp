#include <algorithm>
#include <cstdlib>
#include <ctime>
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

long clock_now() { return static_cast<long>(std::time(nullptr)); }

// Two clock readings: an earlier one (before the command was built, or the
// reference time) and the clock now.
void log_clock(FILE *log_stream, long since, long now)
{
	std::fprintf(log_stream, "Current time = %ld\n", since);
	std::fprintf(log_stream, "Time after = %ld\n", now);
}

// Sleeps in one-minute steps, tracing each wake-up, until the renewal interval
// has passed since the reference time; returns the clock then.
long wait_for_renewal(FILE *log_stream, long reference)
{
	long now;
	do {
		// Flushed before each sleep so that the trace survives a kill.
		std::fflush(log_stream);
		sleep(renewal_check_seconds);
		now = clock_now();
		log_clock(log_stream, reference, now);
	} while (now - reference < renewal_interval_seconds);
	return now;
}

} // namespace

std::string build_register_command(std::string_view root)
{
	return shell_word(std::string(root) + tool_path_suffix) + " " + register_options;
}

int run_registration(FILE *error_stream, FILE *log_stream)
{
	const std::string root = lookup_cimom_root();
	const long before_building = clock_now();
	const std::string command = build_register_command(root);
	long reference = clock_now();
	log_clock(log_stream, before_building, reference);

	for (;;) {
		std::fprintf(log_stream, "Complete registration string = %s\n", command.c_str());
		// The tool writes to the same file: our lines must be there first.
		std::fflush(log_stream);
		// The tool is started through the shell, with its path quoted where needed.
		const int status = std::system(command.c_str()); // NOLINT(cert-env33-c)
		if (status != 0) {
			std::fprintf(error_stream, "vexlantor could not run %s%s\n", root.c_str(), tool_path_suffix);
			return status;
		}
		reference = wait_for_renewal(log_stream, reference);
	}
}
