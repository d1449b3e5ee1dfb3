// Service registration: find the product's CIMOM root, build the command
// that runs its registration tool, and keep the registration renewed.
#ifndef VEXLANTOR_REGISTRATION_H
#define VEXLANTOR_REGISTRATION_H

#include <cstdio>
#include <string>
#include <string_view>

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

// Registers the service and renews it until a run of the tool fails; returns
// that run's raw wait status, which is never 0: the tool's, -1 when no
// process could be made to run it (fork failed), that of an exit with 124
// when it was stopped, hung, after the registration's lifetime, or of an exit
// with 126 when the tool was not run because others than root could change it.
int run_registration(FILE *error_stream, FILE *log_stream);

// lookup.cpp: the root directory that the fixed configuration file names,
// where only the trusted can change it; else, with a line to the error stream
// that says why, the default, as without the file. And the root that an open
// configuration file names, or the default (nullptr: no file).
std::string lookup_cimom_root(FILE *error_stream);
std::string read_cimom_root(FILE *config);

// command.cpp: the shell command that registers the service once.
std::string build_register_command(std::string_view root);

// tool_run.cpp: one run of the command through the shell, bounded.
struct RunOutcome {
	int status = -1;        // the raw wait status; -1 when fork failed
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
