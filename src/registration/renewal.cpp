#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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

constexpr unsigned renewal_check_seconds = 60;
// Renew once more than this has passed since the last run started.
constexpr long renewal_interval_seconds = 600;

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
bool append_shell_word(owned_text &text, std::size_t &length, std::string_view word)
{
	if (is_shell_safe(word))
		return append_text(text, length, word);

	bool appended = append_text(text, length, "'");
	for (std::size_t quote; appended && (quote = word.find('\'')) != std::string_view::npos;) {
		appended = append_text(text, length, {word.data(), quote}) && append_text(text, length, "'\\''");
		word.remove_prefix(quote + 1);
	}
	return appended && append_text(text, length, word) && append_text(text, length, "'");
}

long clock_now() { return static_cast<long>(std::time(nullptr)); }

void log_clock(FILE *log_stream, long current_time, long time_after)
{
	std::fprintf(log_stream, "Current time = %ld\n", current_time);
	std::fprintf(log_stream, "Time after = %ld\n", time_after);
}

// Sleeps in one-minute steps, tracing each wake-up, until more than the renewal
// interval has passed since the reference time; returns the clock then.
long wait_for_renewal(FILE *log_stream, long reference)
{
	long now;
	do {
		// Flushed before each sleep so that the trace survives a kill.
		std::fflush(log_stream);
		sleep(renewal_check_seconds);
		now = clock_now();
		log_clock(log_stream, reference, now);
	} while (now - reference <= renewal_interval_seconds);
	return now;
}

} // namespace

owned_text build_register_command(std::string_view root)
{
	owned_text tool_path = copy_text(root);
	std::size_t tool_path_length = root.size();
	owned_text command(nullptr, free_text);
	std::size_t length = 0;
	const bool built = tool_path && append_text(tool_path, tool_path_length, tool_path_suffix) &&
			   append_shell_word(command, length, {tool_path.get(), tool_path_length}) &&
			   append_text(command, length, " ") && append_text(command, length, register_options);
	if (!built)
		command.reset();
	return command;
}

int run_registration(FILE *error_stream, FILE *log_stream)
{
	const owned_text root = lookup_cimom_root();
	const long started = clock_now();
	const owned_text command = root ? build_register_command(root.get()) : owned_text(nullptr, free_text);
	if (!command) {
		std::fprintf(error_stream, "vexlantor: %s\n", std::strerror(ENOMEM));
		return -1;
	}
	long reference = clock_now();
	log_clock(log_stream, started, reference);

	for (;;) {
		std::fprintf(log_stream, "Complete registration string = %s\n", command.get());
		// The tool writes to the same file: our lines must be there first.
		std::fflush(log_stream);
		// The tool is started through the shell, with its path quoted where needed.
		const int status = std::system(command.get()); // NOLINT(cert-env33-c)
		if (status != 0) {
			std::fprintf(error_stream, "vexlantor could not run %s%s\n", root.get(), tool_path_suffix);
			return status;
		}
		reference = wait_for_renewal(log_stream, reference);
	}
}
