// Runs the real daemon against a stand-in registration tool and a virtual
// clock, inside the sandbox (scripts/sandbox.sh) that holds the product's
// fixed paths.
#ifndef VEXLANTOR_TESTS_HARNESS_H
#define VEXLANTOR_TESTS_HARNESS_H

#include <filesystem>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "expected_command.h"
#include "registration/registration.h"

inline constexpr long start_clock = 1'700'000'000; // the wall clock
inline constexpr long start_elapsed = 1'000;       // seconds since boot

// A scratch directory with the stand-in tool (tests/stand-in-tool.sh) at the
// tool's path from <dir>/cimom, so that any root directly below <dir> finds it, and its
// state in <dir>. Run N of the tool executes the N-th of the steps, a line of
// shell code; runs after the last step succeed up to the number of runs
// given, and fail with 99 after that. The steps can let time pass on the
// virtual clocks, set the wall clock, hang, and leave a child behind, as the
// stand-in tool says.
struct Installation {
	std::string dir;
	std::string root; // <dir>/cimom, which exists

	std::string path(const std::string &name) const { return dir + "/" + name; }
	std::string tool() const { return std::filesystem::path(root + tool_path_suffix).lexically_normal(); }
	std::string tool_command() const { return root + tool_path_suffix + " " + std::string(expected_options); }
};

Installation make_installation(const std::vector<std::string> &steps, std::size_t runs = 0);
// Sets run N's step, or with "default", that of runs without one of their own.
void plan_step(const Installation &installation, const std::string &run, const std::string &step);
void remove_installation(const Installation &installation);

struct Launch {
	std::vector<std::string> args{};
	// Content of the fixed configuration file; without it there is none.
	std::optional<std::string> config{};
	bool stand_in_at_default_root = false;
	mode_t umask = 022;
	std::vector<std::string> extra_env{};
	// A program and its options that run the binary, such as valgrind.
	std::vector<std::string> wrapper{};
	// Shell code run as root in the installation's directory, inside the
	// sandbox, before the starter replaces the shell: "exec 2>&-" starts it
	// without standard error, "trap '' CHLD" with SIGCHLD ignored.
	std::string prelude{};
	// Started by this user instead of root, with the installation given to
	// it, and the binary and the test clock copied into it for it to run.
	std::optional<uid_t> user{};
	// The starter is left for the test to collect, as Started::starter.
	bool keep_starter = false;
};

struct Started {
	bool sandboxed = true; // false: no private mount namespace here
	std::string why_not;
	int starter_status = -1;
	std::string starter_out;
	std::string starter_err;
	pid_t daemon = -1;
	pid_t starter = -1; // where the test collects it
};

// Starts the binary as a starter would, in <dir>, and reads what it printed.
Started start_daemon(const Installation &installation, const Launch &launch);

// These wait as long as it takes, however busy the machine, and fail the test
// at once, saying where the daemon waits, when no progress can come: the
// daemon and all it started asleep, and nothing left for the test clock to
// move on to.
// The daemon's exit status as a shell reports it; -1 when it is stuck.
int wait_for_exit(pid_t daemon);
// What the daemon and all it started write to the other end of fd, to its
// end; what is left unread once the daemon is stuck.
std::string read_until_closed(int fd, pid_t daemon);
// Whether the file is there; false when the daemon ended without making it.
bool wait_for_file(const std::string &path, pid_t daemon);
// Kills the daemon's whole process group, unless it has been reaped, and
// everything it left to this process, and reaps it all.
void stop_daemon(pid_t daemon);

// The number of the system call a process sleeps in, as x86_64 numbers them;
// -1 where it runs or cannot be read.
long syscall_of(pid_t pid);
inline constexpr long poll_call = 7;

// The descriptors a process holds, as "0 1 2"; "" once it has ended.
std::string descriptors_of(pid_t pid);

// The absolute path of a program on the search path, or "" where there is none.
std::string find_program(const std::string &name);

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &content);
bool file_exists(const std::string &path);

std::string key_line(const std::string &root);
std::string clock_lines(long reference, long now);
std::string registration_line(const std::string &command);

#endif
