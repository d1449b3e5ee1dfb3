// Service registration: find the product's CIMOM root, build the command
// that runs its registration tool, and keep the registration renewed.
#ifndef VEXLANTOR_REGISTRATION_H
#define VEXLANTOR_REGISTRATION_H

#include <cstdio>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// Written by the product agent; the daemon only reads its root directory key.
// The product's paths are the build's (CMakeLists.txt).
inline constexpr const char *cimom_config_path = VEXLANTOR_CIMOM_CONFIG;
inline constexpr std::string_view cimom_root_key = "CIMOM_ROOTDIR=";
inline constexpr const char *default_cimom_root = VEXLANTOR_DEFAULT_ROOT;

// The tool's path from the root directory: in "bin" beside it.
inline constexpr const char *tool_path_suffix = VEXLANTOR_TOOL_SUFFIX;

// The numbers that the manual states too, which it takes from here.
// The options register for this long; a run still going when it has passed
// is hung.
inline constexpr long registration_lifetime_seconds = 600;
// The clock is checked this often, and the next run starts at the first check
// that finds this much or less of the registration left, so that it never
// lapses.
inline constexpr unsigned renewal_check_seconds = 60;
// A hung run is killed this long after it was asked to end.
inline constexpr long stop_grace_seconds = 10;
// As many symbolic links as the kernel follows in one path.
inline constexpr int max_symbolic_links = 40;
// Of a script's first line every kernel reads this much (128 bytes until
// Linux 5.1); an older one cuts a longer line short.
inline constexpr std::size_t first_line_size = 128;
// Scripts in a row, each the interpreter of the one before, as every kernel
// runs them.
inline constexpr int max_scripts_in_a_row = 4;

// Registers the service and renews it until a run of the tool fails; returns
// that run's raw wait status, which is never 0: the tool's, -1 when it could
// not be started, that of an exit with 124 when it was stopped, hung, after
// the registration's lifetime, or of an exit with 126 when the tool was not
// run because others than root could change it.
int run_registration(FILE *error_stream, FILE *log_stream);

// lookup.cpp: the root directory named by the fixed configuration file, or
// the default; and the same lookup over any file.
std::string lookup_cimom_root();
std::string lookup_cimom_root_in(const char *config_path);

// command.cpp: the shell command that registers the service once, and a word
// that the shell reads as it stands.
std::string build_register_command(std::string_view root);
std::string shell_word(std::string_view word, std::string_view single_quote);

// reasons.cpp: who may change a file or a directory, a refusal, and its one
// line. A name is written with control characters (C1 ones too), Unicode's
// format characters, bytes that are not UTF-8 and backslashes escaped, so that
// no name can make the line two, disguise itself or move the terminal that
// shows it; in a fix it is quoted for the shell as well.
struct Refusal {
	std::string path{};    // what failed, as the operator would type it
	std::string problem{}; // empty: nothing failed
	std::string fix{};     // a command line, where one helps
	int error = 0;         // the system's error, where that is the reason
};
bool is_trusted_owner(uid_t owner);
bool others_can_write(const struct stat &info);
bool keeps_what_it_holds(const struct stat &info);
Refusal judge_file(const std::string &path, const struct stat &info);
Refusal untrusted(const std::string &path, const struct stat &info);
Refusal named_by_script(Refusal refusal, const std::string &script);
Refusal not_to_write(const std::string &path, const struct stat &info);
Refusal not_to_pass(const std::string &path, const struct stat &info);
Refusal cannot_judge_line(const std::string &path);
Refusal cannot_check(const std::string &path, int error);
Refusal missing_in_shared(const std::string &path, const std::string &directory);
std::string reason_line(const Refusal &refusal);
std::string escaped(std::string_view name);

// trust.cpp: why a file that the daemon would read could be changed by
// others than root and the daemon's own user, or cannot be judged; empty when
// no one else can change it. judge_path also opens a judged file for reading,
// where asked, and leaves it to the caller.
Refusal judge_path(const std::string &path, int *readable);
std::string why_untrusted(const std::string &path);
// The same walk to a file to write: each link on the way, and the file itself
// where it is there, must be the trusted's, and the file no other's too. The
// file is opened to append, truncated, or made where it is missing. A
// failure that is no one's doing, such as a missing directory, leaves fd -1
// and the system's error in error.
Refusal open_to_write(const std::string &path, int &fd);
// interpreter.cpp: the same for a program to run, and the interpreters that
// the "#!" lines of scripts name; and what a file's first bytes name to run,
// as the kernel, sh and env read them: nothing but what a script's "#!" line
// names is run, and a line that they could read otherwise is not judged.
std::string why_unsafe_to_run(const std::string &path);
enum class FirstLine { read, too_long, cannot_judge };
FirstLine read_first_line(std::string_view head, std::vector<std::string> &programs);

// lookup.cpp, over trust.cpp: the root that the configuration file names,
// when only the trusted can change it; else, with a line to the error stream
// that says why, the default.
std::string trusted_cimom_root(FILE *error_stream);

// tool_run.cpp: one run of the command through the shell, bounded.
struct RunOutcome {
	int status = -1;        // the raw wait status; -1 when it could not be started
	long stopped_after = 0; // when it was stopped, hung: the seconds it had run
};
// Seconds since boot, suspended time included, which setting the wall clock
// does not move: every wait is measured on it.
long elapsed_clock();
RunOutcome run_tool(const char *command, long started_elapsed);

// service_manager.cpp: what systemd is told, at the socket it names. The
// socket is taken out of the environment: the tool is not the service and
// must not speak for it.
std::string take_notify_socket();
void notify_running(const std::string &socket_path, long since, long registered);
void notify_registered(const std::string &socket_path, long registered, long due);

#endif
