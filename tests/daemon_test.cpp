// End-to-end runs of the real binary: the starter, the detached daemon, its
// files, its runs of the (stand-in) registration tool and its exit status.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <filesystem>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "harness.h"

namespace {

using namespace std::string_literals;

constexpr long T = start_clock;

const std::string usage = "Usage: vexlantor [-?] || [-h] || [stderr][stdout]\n"
			  "Where stderr and stdout are optional redirect filenames\n";

std::string fd_target(pid_t pid, int fd)
{
	const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
	char target[4096] = {};
	const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
	return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

std::string first_lines(const std::string &command) { return clock_lines(T, T) + registration_line(command); }

std::string could_not_run(const std::string &root)
{
	return "vexlantor could not run " + root + tool_path_suffix + "\n";
}

// One installation and one daemon at a time; nothing outlives the test.
class Daemon : public ::testing::Test {
protected:
	void TearDown() override { finish(); }

	void prepare(const std::vector<std::string> &plan, std::size_t runs = 0)
	{
		inst = make_installation(plan, runs);
	}

	// Starts the daemon in the installation, by default with a configuration
	// naming its root; "@" at the start of an argument stands for its path.
	// False when no sandbox can be made here.
	bool launch(Launch how)
	{
		if (!how.config)
			how.config = key_line(inst.root);
		for (auto &arg : how.args)
			if (arg.starts_with("@/"))
				arg = inst.dir + arg.substr(1);
		started = start_daemon(inst, how);
		return started.sandboxed;
	}

	void finish()
	{
		stop_daemon(started.daemon);
		started = {};
		if (!inst.dir.empty())
			remove_installation(inst);
		inst = {};
	}

	std::string log() const { return read_file(inst.path("log")); }
	std::string err() const { return read_file(inst.path("err")); }

	Installation inst;
	Started started;
};

const Launch both_files = {.args = {"err", "log"}};

#define START_OR_SKIP(how)                                                                                             \
	do {                                                                                                           \
		if (!launch(how))                                                                                      \
			GTEST_SKIP() << started.why_not;                                                               \
		ASSERT_EQ(started.starter_status, 0) << started.starter_err;                                           \
		ASSERT_GT(started.daemon, 0) << started.starter_out;                                                   \
	} while (0)

// Sandboxed like every start, so that a broken help test cannot reach a real tool.
TEST_F(Daemon, AnswersAHelpRequestAndStartsNothing)
{
	for (const char *arg : {"-h", "-?", "-help", "-hx", "-?x"}) {
		SCOPED_TRACE(arg);
		prepare({});
		if (!launch(Launch{.args = {arg, "err"}}))
			GTEST_SKIP() << started.why_not;
		EXPECT_EQ(started.starter_status, 1);
		EXPECT_EQ(started.starter_out, usage);
		EXPECT_EQ(started.starter_err, "");
		EXPECT_FALSE(file_exists(inst.path("err")));
		finish();
	}
}

// Anything else in the first place is the name of the error file.
TEST_F(Daemon, TakesOtherFirstArgumentsAsFileNames)
{
	for (const char *name : {"-H", "-", "h-", "?"}) {
		SCOPED_TRACE(name);
		prepare({"exit 4"});
		START_OR_SKIP((Launch{.args = {name}}));
		EXPECT_EQ(wait_for_exit(started.daemon), 4);
		EXPECT_EQ(read_file(inst.path(name)), could_not_run(inst.root));
		finish();
	}
}

// The starter prints the PID and leaves; the daemon leads its own session
// with its streams on the named files.
TEST_F(Daemon, DetachesWithItsStreamsOnTheNamedFilesOrDevNull)
{
	struct Case {
		std::vector<std::string> args;
		std::string error_file, log_file;
		std::string prelude{}; // started without these descriptors
	};
	const Case cases[] = {
		{{}, "/dev/null", "/dev/null"},
		{{"err"}, "err", "/dev/null"},
		{{"err", "log"}, "err", "log"},
		{{"@/err", "log", "extra", "more"}, "err", "log"},
		// root's own file that only root can write to, and a new name in a shared sticky directory
		{{"shared/err", "shared/log"},
		 "shared/err",
		 "shared/log",
		 "mkdir -m 1777 shared && touch shared/err && chmod 0640 shared/err"},
		// The error file then opens on the very descriptor it replaces.
		{{"err", "log"}, "err", "log", "exec 2>&-"},
		{{"err", "log"}, "err", "log", "exec 0<&-"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(::testing::Message() << c.args.size() << " arguments " << c.prelude);
		prepare({"hang"});
		START_OR_SKIP((Launch{.args = c.args, .extra_env = {"TESTCLOCK_STILL=1"}, .prelude = c.prelude}));
		EXPECT_EQ(started.starter_out, std::to_string(started.daemon) + "\n");
		EXPECT_EQ(started.starter_err, "");
		ASSERT_TRUE(wait_for_file(inst.path("hanging"), started.daemon));
		EXPECT_EQ(getsid(started.daemon), started.daemon);
		const auto where = [&](const std::string &name) { return name[0] == '/' ? name : inst.path(name); };
		EXPECT_EQ(fd_target(started.daemon, STDERR_FILENO), where(c.error_file));
		EXPECT_EQ(fd_target(started.daemon, STDOUT_FILENO), where(c.log_file));
		// Only its standard streams, while the tool runs: nothing leaks.
		EXPECT_EQ(descriptors_of(started.daemon), c.prelude == "exec 0<&-" ? "1 2" : "0 1 2");
		EXPECT_FALSE(file_exists(inst.path("extra")));
		finish();
	}
}

mode_t mode_of(const std::string &path)
{
	struct stat info = {};
	return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

// An existing file is truncated; a new one gets the caller's mask with 022
// added, since the daemon's own mask is set only after both files are open and
// no one else may write to its files. The tool and its shell get the daemon's
// mask, 022, whatever the caller's.
TEST_F(Daemon, TruncatesOldFilesAndCreatesNewOnesNoOneElseCanWriteTo)
{
	for (const mode_t mask : {000, 077}) {
		SCOPED_TRACE(mask);
		prepare({"touch made; exit 4"});
		write_file(inst.path("err"), std::string(5000, 'E'));
		START_OR_SKIP((Launch{.args = {"err", "log"}, .umask = mask}));
		EXPECT_EQ(wait_for_exit(started.daemon), 4);
		EXPECT_EQ(err(), could_not_run(inst.root));
		EXPECT_EQ(log(), first_lines(inst.tool_command()));
		EXPECT_EQ(mode_of(inst.path("log")), 0644 & ~mask);
		EXPECT_EQ(mode_of(inst.path("made")), 0644);
		finish();
	}
}

// The wake-ups of a wait that began at the given time.
std::vector<long> wake_ups(long from, int count)
{
	std::vector<long> times;
	for (int minute = 1; minute <= count; ++minute)
		times.push_back(from + 60L * minute);
	return times;
}

// The next run starts at the first one-minute wake-up that finds at least 540
// seconds elapsed since the start of the previous run: a minute before its
// 600-second registration runs out, so that the service is never unadvertised.
TEST_F(Daemon, RenewsAtTheFirstWakeUpWithLessThanAMinuteLeft)
{
	struct Run {
		long reference;
		std::vector<long> wake_ups;
	};
	struct Case {
		const char *what;
		std::vector<std::string> plan;
		std::vector<Run> runs; // the successful ones; the last plan step fails
	};
	const Case cases[] = {
		{"instant tool", {":", ":", "exit 5"}, {{T, wake_ups(T, 9)}, {T + 540, wake_ups(T + 540, 9)}}},
		{"a wake-up at 539 s waits", {"advance -1", "exit 5"}, {{T, wake_ups(T - 1, 10)}}},
		{"tool taking 480 s", {"advance 480", "exit 5"}, {{T, {T + 540}}}},
		{"tool taking 479 s", {"advance 479", "exit 5"}, {{T, {T + 539, T + 599}}}},
		{"tool taking 599 s, under the bound", {"advance 599", "exit 5"}, {{T, {T + 659}}}},
		// Runs at most 600 s apart, each within 60 s: every registration is
		// renewed before it runs out, counted from its run's start or end.
		{"tool taking 59 s",
		 {"advance 59", "advance 59", "exit 5"},
		 {{T, wake_ups(T + 59, 9)}, {T + 599, wake_ups(T + 658, 9)}}},
		// Setting the wall clock moves the trace, not the renewal.
		{"wall clock set back an hour", {"step -3600", "exit 5"}, {{T, wake_ups(T - 3600, 9)}}},
		{"wall clock set on an hour",
		 {"step 3600", ":", "exit 5"},
		 {{T, wake_ups(T + 3600, 9)}, {T + 4140, wake_ups(T + 4140, 9)}}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		prepare(c.plan);
		START_OR_SKIP(both_files);
		ASSERT_EQ(wait_for_exit(started.daemon), 5);
		std::string expected = first_lines(inst.tool_command());
		for (const auto &run : c.runs) {
			for (const long now : run.wake_ups)
				expected += clock_lines(run.reference, now);
			expected += registration_line(inst.tool_command());
		}
		EXPECT_EQ(log(), expected);
		EXPECT_EQ(err(), could_not_run(inst.root));
		finish();
	}
}

TEST_F(Daemon, GivesTheToolItsFixedArguments)
{
	prepare({":", "exit 5"});
	START_OR_SKIP(both_files);
	ASSERT_EQ(wait_for_exit(started.daemon), 5);
	std::string one_run;
	for (const auto argument : expected_arguments)
		one_run += std::string(argument) + "\n";
	EXPECT_EQ(read_file(inst.path("args")), "run 1\n" + one_run + "run 2\n" + one_run);
}

// Whether a process has ended or is ending: gone, a zombie, exiting or taken
// by a fatal signal, or with a TERM or KILL pending. One that is none of these
// was left running.
bool ending(pid_t pid)
{
	const std::string proc = "/proc/" + std::to_string(pid);
	const std::string stat = read_file(proc + "/stat");
	if (stat.empty())
		return true;
	// The state, then the flags five fields on, after the command's name.
	std::istringstream fields(stat.substr(stat.rfind(')') + 2));
	std::string state, skipped;
	unsigned long flags = 0;
	fields >> state >> skipped >> skipped >> skipped >> skipped >> skipped >> flags;
	constexpr unsigned long exiting = 0x4, signaled = 0x400; // PF_EXITING, PF_SIGNALED
	const std::string status = read_file(proc + "/status");
	const auto pending = [&](const char *key) {
		const auto at = status.find(key);
		const auto mask = at == std::string::npos ? 0 : std::stoull(status.substr(at + 7), nullptr, 16);
		return (mask >> (SIGKILL - 1) & 1) != 0 || (mask >> (SIGTERM - 1) & 1) != 0;
	};
	return state == "Z" || (flags & (exiting | signaled)) != 0 || pending("SigPnd:") || pending("ShdPnd:");
}

std::string stopped_after(long seconds)
{
	return "vexlantor stopped it after " + std::to_string(seconds) +
	       " seconds: a run that outlasts the 600-second registration is hung\n";
}

// A failed run ends the daemon with the tool's own status as the shell
// reports it, never with 0.
TEST_F(Daemon, EndsWithTheStatusOfAFailedRun)
{
	struct Case {
		const char *step;
		int status;
		std::string reason{};
	};
	const Case cases[] = {
		{"exit 1", 1},
		{"exit 2", 2},
		{"exit 255", 255},
		{"exit 124", 124},
		{"kill -KILL $$", 128 + SIGKILL},
		{"kill -TERM $$", 128 + SIGTERM},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.step);
		prepare({c.step});
		START_OR_SKIP(both_files);
		EXPECT_EQ(wait_for_exit(started.daemon), c.status);
		EXPECT_EQ(log(), first_lines(inst.tool_command()));
		// after whatever the shell had to say about a killed tool
		EXPECT_TRUE(err().ends_with(could_not_run(inst.root) + c.reason)) << err();
		finish();
	}
}

// A run still going once its registration has run out is stopped with all
// in its process group: TERM to the whole group first, so that the tool's
// helpers may withdraw what they started, and KILL to what is left only after
// the 10-second grace. The daemon is held at its first sleep of the grace,
// where TERM must have reached the stray and KILL not yet; it ends with 124.
TEST_F(Daemon, StopsAHungRunsGroupWithTermAndKillsItAfterTheGrace)
{
	struct Case {
		const char *step;
		bool ends_on_term;
	};
	const Case cases[] = {
		{"stray; advance 600; hang", true},
		{"trap '' TERM; stray; trap - TERM; advance 600; hang", false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.step);
		prepare({c.step});
		START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = {"TESTCLOCK_HOLD_AT=1"}}));
		const std::string held = inst.path("clock.held");
		const bool holds = wait_for_file(held, started.daemon);
		const pid_t stray = std::stoi(read_file(inst.path("stray")));
		EXPECT_EQ(ending(stray), c.ends_on_term) << (holds ? "at the grace's first sleep" : "with no grace");
		std::filesystem::remove(held);
		EXPECT_EQ(wait_for_exit(started.daemon), 124);
		EXPECT_TRUE(err().ends_with(could_not_run(inst.root) + stopped_after(600))) << err();
		EXPECT_TRUE(ending(stray));
		if (!c.ends_on_term) { // the group outlives the grace, all of it
			EXPECT_TRUE(holds);
			long wall = 0, elapsed = 0;
			std::istringstream(read_file(inst.path("clock"))) >> wall >> elapsed;
			EXPECT_EQ(elapsed, start_elapsed + 600 + 10) << "the grace, on the test clock";
		}
		finish();
	}
}

// The shell's own statuses for a tool it cannot run pass through as well.
TEST_F(Daemon, EndsWithTheShellsStatusWhenTheToolCannotRun)
{
	struct Case {
		const char *what;
		int status;
		const char *shell_says;
	};
	const Case cases[] = {{"missing", 127, "not found"}, {"not executable", 126, "Permission denied"}};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		prepare({});
		std::string root = inst.root;
		if (c.status == 127)
			root = "/nonexistent/vexlantor";
		else
			std::filesystem::permissions(inst.tool(), std::filesystem::perms::owner_read);
		START_OR_SKIP((Launch{.args = {"err", "log"}, .config = key_line(root)}));
		EXPECT_EQ(wait_for_exit(started.daemon), c.status);
		EXPECT_EQ(log(), first_lines(root + tool_path_suffix + " " + std::string(expected_options)));
		const std::string errors = err();
		EXPECT_NE(errors.find(c.shell_says), std::string::npos) << errors;
		EXPECT_TRUE(errors.ends_with(could_not_run(root))) << errors;
		EXPECT_EQ(read_file(inst.path("runs")), "0\n");
		finish();
	}
}

TEST_F(Daemon, UsesTheDefaultRootWithoutAKeyLine)
{
	const std::string root = default_cimom_root;
	for (const char *config : {"", "PORT=5988\n", " CIMOM_ROOTDIR=/elsewhere\n"}) {
		SCOPED_TRACE(config);
		prepare({"exit 6"});
		START_OR_SKIP((Launch{.args = {"err", "log"}, .config = config, .stand_in_at_default_root = true}));
		EXPECT_EQ(wait_for_exit(started.daemon), 6);
		EXPECT_EQ(log(), first_lines(root + tool_path_suffix + " " + std::string(expected_options)));
		EXPECT_EQ(err(), could_not_run(root));
		EXPECT_EQ(read_file(inst.path("runs")), "1\n");
		finish();
	}
}

TEST_F(Daemon, FindsTheKeyLineAfterALongLine)
{
	// A reader in fixed pieces would take the end of the first line for a
	// key line naming a root with no tool.
	const std::string config = std::string(4351, '#') + "CIMOM_ROOTDIR=/nonexistent\n";
	prepare({"exit 6"});
	START_OR_SKIP((Launch{.args = {"err", "log"}, .config = config + key_line(inst.root)}));
	EXPECT_EQ(wait_for_exit(started.daemon), 6);
	EXPECT_EQ(err(), could_not_run(inst.root));
}

// The trace reaches its file in order, the tool's output after the line that
// announced its run. Both files are appended to: one file can take both
// streams, and a file truncated under the daemon goes on from its start.
TEST_F(Daemon, AppendsItsLinesInTheOrderWritten)
{
	struct Case {
		const char *what;
		std::vector<std::string> args;
		const char *first_run;
	};
	const Case cases[] = {
		{"two files", {"err", "log"}, "echo registered"},
		{"one file for both", {"log", "log"}, "echo registered"},
		{"truncated by another", {"err", "log"}, ": > log"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		prepare({c.first_run, "echo oops >&2; exit 3"});
		START_OR_SKIP((Launch{.args = c.args}));
		EXPECT_EQ(wait_for_exit(started.daemon), 3);
		std::string trace = c.first_run[0] == ':' ? "" : first_lines(inst.tool_command()) + "registered\n";
		for (const long now : wake_ups(T, 9))
			trace += clock_lines(T, now);
		trace += registration_line(inst.tool_command());
		const std::string errors = "oops\n" + could_not_run(inst.root);
		if (c.args[0] == c.args[1]) {
			EXPECT_EQ(log(), trace + errors);
		} else {
			EXPECT_EQ(log(), trace);
			EXPECT_EQ(err(), errors);
		}
		finish();
	}
}

// Rotated by logrotate with the package's configuration, which copies and
// truncates the log while the daemon is paused between two wake-ups, the log
// loses no line: the rotated file holds the lines so far, and the live one
// goes on from its start with the next.
TEST_F(Daemon, KeepsEveryLineThroughALogRotation)
{
	const std::string logrotate = find_program("logrotate");
	if (logrotate.empty())
		GTEST_SKIP() << "logrotate is not installed";
	prepare({":", ":", "exit 3"});
	std::string config = read_file(VEXLANTOR_LOGROTATE_CONFIG);
	const std::string_view packaged_dir = "/var/log/vexlantor/";
	for (std::size_t at; (at = config.find(packaged_dir)) != std::string::npos;)
		config.replace(at, packaged_dir.size(), inst.dir + "/");
	write_file(inst.path("logrotate.conf"), config);
	START_OR_SKIP((Launch{.args = {"vexlantor.err", "vexlantor.log"}, .extra_env = {"TESTCLOCK_HOLD_AT=14"}}));
	ASSERT_TRUE(wait_for_file(inst.path("clock.held"), started.daemon));
	const std::string rotate = logrotate + " -f -s " + inst.path("state") + " " + inst.path("logrotate.conf");
	ASSERT_EQ(std::system(rotate.c_str()), 0) << rotate;
	std::filesystem::remove(inst.path("clock.held"));
	EXPECT_EQ(wait_for_exit(started.daemon), 3);

	std::string trace = first_lines(inst.tool_command());
	for (const long reference : {T, T + 540}) {
		for (const long now : wake_ups(reference, 9))
			trace += clock_lines(reference, now);
		trace += registration_line(inst.tool_command());
	}
	const std::string live = read_file(inst.path("vexlantor.log"));
	EXPECT_EQ(read_file(inst.path("vexlantor.log.1")) + live, trace);
	EXPECT_TRUE(live.starts_with(clock_lines(T + 540, T + 840))) << live;
}

// Killed while the tool runs or while it waits, the daemon has already
// written out all it traced.
TEST_F(Daemon, KeepsItsTraceWhenKilled)
{
	struct Case {
		const char *what;
		std::vector<std::string> plan;
		std::vector<std::string> env;
		const char *marker;
		std::vector<long> wake_ups; // then a second registration line, if a run was due
	};
	const Case cases[] = {
		{"during a run", {":", "hang"}, {"TESTCLOCK_STILL=1"}, "hanging", wake_ups(T, 9)},
		{"while waiting", {":"}, {"TESTCLOCK_HOLD_AT=3"}, "clock.held", wake_ups(T, 2)},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		prepare(c.plan);
		START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = c.env}));
		ASSERT_TRUE(wait_for_file(inst.path(c.marker), started.daemon));
		EXPECT_EQ(descriptors_of(started.daemon), "0 1 2");
		ASSERT_EQ(kill(started.daemon, SIGTERM), 0);
		EXPECT_EQ(wait_for_exit(started.daemon), 128 + SIGTERM);
		std::string expected = first_lines(inst.tool_command());
		for (const long now : c.wake_ups)
			expected += clock_lines(T, now);
		if (c.plan.size() > 1)
			expected += registration_line(inst.tool_command());
		EXPECT_EQ(log(), expected);
		finish();
	}
}

// The report of an output that cannot be opened, or that others than root
// could have chosen what stands at, or can open, reaches whoever can still read
// it; what stands there ("kept" holds "keep") is not written. Another can put
// something else at the name between the daemon's look and its open: the test
// clock does it at the open, renaming NAME.swap over the name.
TEST_F(Daemon, ReportsAnOutputItRefusesOrCannotOpen)
{
	struct Case {
		std::vector<std::string> args;
		int error;
		bool in_error_file; // else on the starter's standard error
		std::string prelude{};
		std::string refusal{}; // in place of the system's text for the error; @ for <dir>
		std::string swap{};    // the name swapped at the open
	};
	const Case cases[] = {
		{{""}, ENOENT, false},
		{{"missing/err"}, ENOENT, false},
		{{"."}, EISDIR, false},
		{{"err", ""}, ENOENT, true},
		{{"err", "@/missing/log"}, ENOENT, true},
		{{"err", "."}, EISDIR, true},
		// which would otherwise hold the start for ever
		{{"fifo"}, ENXIO, false, "mkfifo -m 0600 fifo"},
		{{"shared/err"},
		 EACCES,
		 false,
		 "mkdir -m 1777 shared && echo keep >kept && ln -s ../kept shared/err && chown -h 65534 shared/err",
		 "@/shared/err is a symbolic link owned by uid 65534, so others than root may have chosen where it "
		 "leads; fix it with: rm @/shared/err"},
		{{"err", "kept"},
		 EACCES,
		 true,
		 "echo keep >kept && chown 65534 kept && chmod 0666 kept",
		 "@/kept is owned by uid 65534, so others than root can read, change or hold back what the daemon "
		 "writes to it; fix it with: rm @/kept"},
		{{"err", "log"},
		 EACCES,
		 true,
		 "echo keep >kept && ln kept log",
		 "@/log has 2 hard links, so others than root may have linked a file of root's there; fix it with: rm "
		 "@/log"},
		{{"kept"},
		 EACCES,
		 false,
		 "echo keep >kept && chown 0 kept && chmod 0666 kept",
		 "@/kept is owned by uid 0 with mode 0666, so others than root can change what the daemon writes "
		 "to it; fix it with: rm @/kept"},
		{{"err", "fifo"},
		 EACCES,
		 true,
		 "mkfifo -m 0644 fifo && chown 0 fifo",
		 "@/fifo is a FIFO or socket owned by uid 0 with mode 0644, so others than root can open it, to "
		 "read or hold back what the daemon writes to it; fix it with: rm @/fifo"},
		{{"theirs/err"},
		 EACCES,
		 false,
		 "mkdir theirs && chown 65534 theirs",
		 "@/theirs is owned by uid 65534 with mode 0755, so others than root can change what it holds; fix it "
		 "with: give the daemon a file name in a directory of root's"},
		{{"err", "made/"}, EISDIR, true},
		// judged before the open, which they would block or fail otherwise
		{{"err", "theirs"},
		 EACCES,
		 true,
		 "mkfifo -m 0600 theirs && chown 65534 theirs",
		 "@/theirs is owned by uid 65534, so others than root can read, change or hold back what the daemon "
		 "writes to it; fix it with: rm @/theirs"},
		{{"err", "tty"},
		 EACCES,
		 true,
		 "mknod -m 0666 tty c 5 0 && chown 0 tty",
		 "@/tty is a device owned by uid 0 with mode 0666, so others than root can open it, to read or hold "
		 "back what the daemon writes to it; fix it with: give the daemon a file name in a directory of "
		 "root's"},
		// swapped between the look and the open
		{{"err", "kept"},
		 ESTALE,
		 true,
		 "echo old >kept && echo keep >kept.swap && chown 65534 kept.swap",
		 "@/kept cannot be checked: Stale file handle",
		 "kept"},
		{{"err", "kept"},
		 ELOOP,
		 true,
		 "echo old >kept && echo keep >target && ln -s target kept.swap",
		 "@/kept cannot be checked: Too many levels of symbolic links",
		 "kept"},
		{{"err", "late"},
		 EEXIST,
		 true,
		 "mkfifo late.swap && chown 65534 late.swap",
		 "@/late cannot be checked: File exists",
		 "late"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.args.back());
		if (c.prelude.find("chown") != std::string::npos && geteuid() != 0) {
			std::printf("skipped %s: needs root, to give files to another user\n", c.args.back().c_str());
			continue;
		}
		prepare({});
		const std::vector<std::string> swap = {"TESTCLOCK_SWAP=" + c.swap};
		START_OR_SKIP((Launch{.args = c.args,
				      .extra_env = c.swap.empty() ? std::vector<std::string>{} : swap,
				      .prelude = c.prelude}));
		EXPECT_EQ(wait_for_exit(started.daemon), c.error);
		std::string report = c.refusal.empty() ? std::strerror(c.error) : c.refusal;
		for (std::size_t at; (at = report.find('@')) != std::string::npos;)
			report.replace(at, 1, inst.dir);
		report = "Vemrik Corvane vexlantor: " + report + "\n";
		EXPECT_EQ(started.starter_err, c.in_error_file ? "" : report);
		if (c.in_error_file) {
			EXPECT_EQ(err(), report);
		}
		EXPECT_EQ(read_file(inst.path("runs")), "0\n");
		if (c.prelude.find("kept") != std::string::npos) {
			EXPECT_EQ(read_file(inst.path("kept")), "keep\n");
		}
		EXPECT_FALSE(file_exists(inst.path("made")));
		finish();
	}
}

// A reader that is slow holds the tool and the daemon back, and loses no
// line: here nothing is read until they have filled the FIFO.
TEST_F(Daemon, KeepsEveryLineForASlowReader)
{
	prepare({"head -c 100000 /dev/zero", "exit 3"});
	const std::string fifo = inst.path("log");
	ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
	const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	const int probe = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
	START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = {"TESTCLOCK_STILL=1"}}));
	pollfd room{probe, POLLOUT, 0};
	while (poll(&room, 1, 0) == 1 && !descriptors_of(started.daemon).empty())
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	close(probe);
	ASSERT_EQ(fcntl(reader, F_SETFL, 0), 0);
	const std::string lines = read_until_closed(reader, started.daemon);
	EXPECT_EQ(wait_for_exit(started.daemon), 3);
	std::string trace = first_lines(inst.tool_command()) + std::string(100000, '\0');
	for (const long now : wake_ups(T, 9))
		trace += clock_lines(T, now);
	EXPECT_EQ(lines, trace + registration_line(inst.tool_command()));
}

// A reader of the log that goes away ends neither the daemon nor its
// renewals: the writes that fail are lost, as every failed log write is.
TEST_F(Daemon, RenewsOnceItsLogsReaderHasLeft)
{
	prepare({":", ":", "exit 5"});
	ASSERT_EQ(mkfifo(inst.path("log").c_str(), 0600), 0);
	const int reader = open(inst.path("log").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
	START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = {"TESTCLOCK_HOLD_AT=1"}}));
	ASSERT_TRUE(wait_for_file(inst.path("clock.held"), started.daemon));
	close(reader);
	std::filesystem::remove(inst.path("clock.held"));
	EXPECT_EQ(wait_for_exit(started.daemon), 5);
	EXPECT_EQ(read_file(inst.path("runs")), "3\n");
}

// The root comes from a file the daemon does not own: the shell must see the
// tool path as one plain word and run nothing else.
TEST_F(Daemon, RunsNothingButTheToolWhateverTheRoot)
{
	struct Case {
		std::string name;
		std::string command_word; // the tool path as the command writes it; @ for <dir>
	};
	const Case cases[] = {
		{"we ird;touch injected;$(touch injected2)`touch injected3`|touch injected4",
		 "'@/we ird;touch injected;$(touch injected2)`touch injected3`|touch injected4{tool}'"},
		{"it's", "'@/it'\\''s{tool}'"},
		{"a-b_c.d+e,f:g@h%i", "@/a-b_c.d+e,f:g@h%i{tool}"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.name);
		prepare({"exit 7"});
		const std::string root = inst.path(c.name);
		std::filesystem::create_directories(root);
		START_OR_SKIP((Launch{.args = {"err", "log"}, .config = key_line(root)}));
		EXPECT_EQ(wait_for_exit(started.daemon), 7);
		EXPECT_EQ(read_file(inst.path("runs")), "1\n");
		EXPECT_EQ(err(), could_not_run(root));
		for (const char *injected : {"injected", "injected2", "injected3", "injected4"})
			EXPECT_FALSE(file_exists(inst.path(injected))) << injected;
		std::string word = c.command_word;
		word.replace(word.find('@'), 1, inst.dir);
		word.replace(word.find("{tool}"), 6, tool_path_suffix);
		EXPECT_EQ(log(), first_lines(word + " " + std::string(expected_options)));
		finish();
	}
}

// As root the daemon runs only what no one else can change, judged before
// every run (the walk itself has its unit table): else it does not run it,
// says what to change, and ends with 126. It reads the configuration file on
// the same terms. Whatever signals it was started with ignored, it hears its
// tool end, and the tool starts with none ignored or blocked, and with no
// descriptor but its standard streams.
TEST_F(Daemon, RunsOnlyWhatNoOneElseCanChange)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root, to give files to another user";
	constexpr uid_t other = 65534;
	const std::string config = cimom_config_path;
	// Read with built-ins alone: the shell blocks signals while it waits for a command.
	const std::string as_started = "while read -r key value; do case $key$value in SigIgn:*[!0]* | "
				       "SigBlk:*[!0]*) exit 9 ;; esac; done </proc/$$/status; for fd in 7 9; do "
				       "[ ! -e /proc/$$/fd/$fd ] || exit 8; done";
	struct Case {
		const char *what;
		std::string prelude; // run in the installation's directory before the start
		std::string root;    // below it
		std::string errors;  // before the could-not-run line, @ for the installation; "" where the tool runs
		std::optional<uid_t> user{};
		std::string first_run{}; // a run that succeeds before the judged one
	};
	// The tool's directory, from the installation's.
	const std::string bin = std::filesystem::path("cimom"s + tool_path_suffix).lexically_normal().parent_path();
	const std::string group_writable_bin = "vexlantor refused to run it: @/" + bin +
					       " is owned by uid 0 with mode 0775, so others than root can change what "
					       "it holds; fix it with: chmod go-w @/" +
					       bin + ", then check what it holds\n";
	const Case cases[] = {
		{"a directory above that its group can write to", "chmod 0775 " + bin, "cimom", group_writable_bin},
		{"the same, made so after the first run",
		 "",
		 "cimom",
		 group_writable_bin,
		 {},
		 "chmod 0775 \"$dir/" + bin + "\""},
		{"an ordinary user's daemon with its own tool", "", "cimom", "", other},
		{"a configuration file anyone can write to, not followed", "chmod 0666 " + config, "/nonexistent",
		 "vexlantor ignored " + config + " and uses " + default_cimom_root + ": " + config +
			 " is owned by uid 0 with mode 0666, so others than root can change it; fix it with: replace "
			 "it with a fresh copy renamed over it, as reinstalling its package does\n"},
		{"started with SIGCHLD and HUP ignored, TERM blocked, descriptors 7 and 9 open",
		 "exec 7</dev/null 9</dev/null; set -- env --ignore-signal=CHLD --ignore-signal=HUP "
		 "--block-signal=TERM "
		 "\"$@\"",
		 "cimom", ""},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		const std::string judged_run = as_started + "; exit 5";
		prepare(c.first_run.empty() ? std::vector{judged_run} : std::vector{c.first_run, judged_run});
		const std::string root = c.root.starts_with('/') ? c.root : inst.path(c.root);
		START_OR_SKIP((Launch{.args = {"err", "log"},
				      .config = key_line(root),
				      .stand_in_at_default_root = true,
				      .prelude = c.prelude,
				      .user = c.user}));
		const bool runs = c.errors.empty() || c.errors.starts_with("vexlantor ignored");
		EXPECT_EQ(wait_for_exit(started.daemon), runs ? 5 : 126);
		EXPECT_EQ(read_file(inst.path("runs")),
			  std::to_string((runs ? 1 : 0) + (c.first_run.empty() ? 0 : 1)) + "\n");
		std::string errors = c.errors;
		for (std::size_t at; (at = errors.find('@')) != std::string::npos;)
			errors.replace(at, 1, inst.dir);
		const std::string tool_root = c.root.starts_with('/') ? default_cimom_root : root;
		if (runs) {
			EXPECT_EQ(err(), errors + could_not_run(tool_root));
		} else {
			EXPECT_EQ(err(), could_not_run(tool_root) + errors);
		}
		finish();
	}
}

// A daemon that ends before systemd has heard of it is taken for a clean
// stop: whatever fails, it ends only once its starter has been collected.
TEST_F(Daemon, EndsOnlyOnceItsStarterHasBeenCollected)
{
	prepare({"exit 4"});
	if (!launch(Launch{.args = {"err", "log"}, .keep_starter = true}))
		GTEST_SKIP() << started.why_not;
	const pid_t daemon = static_cast<pid_t>(std::strtol(started.starter_out.c_str(), nullptr, 10));
	ASSERT_GT(daemon, 0) << started.starter_out;
	// Waiting in poll(), or ended.
	const auto waiting = [&] { return syscall_of(daemon) == poll_call; };
	siginfo_t info{};
	while (!waiting() && waitid(P_PID, static_cast<id_t>(daemon), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
	       info.si_pid == 0)
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	EXPECT_EQ(info.si_pid, 0) << "the daemon ended before its starter was collected";
	EXPECT_EQ(err(), could_not_run(inst.root));
	ASSERT_EQ(waitpid(started.starter, nullptr, 0), started.starter);
	EXPECT_EQ(wait_for_exit(daemon), 4);
}

// A datagram socket bound at the name, "@" first for the abstract namespace;
// -1 where it cannot be.
int bound_socket(const std::string &name)
{
	sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
	name.copy(address.sun_path, name.size());
	address.sun_path[0] = name.starts_with('@') ? '\0' : address.sun_path[0];
	const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
	const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
	if (fd != -1 && bind(fd, reinterpret_cast<sockaddr *>(&address), length) == 0)
		return fd;
	close(fd);
	return -1;
}

// The service manager hears the daemon's PID, and for the unit's Status line,
// since when the tool runs, and after each successful run, when the service
// was registered and when the next run is due, at its socket in the file
// system or in the abstract namespace; the tool does not get that socket.
TEST_F(Daemon, TellsTheServiceManagerWhenItRegisteredAndRunsNext)
{
	for (const bool abstract : {false, true}) {
		SCOPED_TRACE(abstract ? "abstract" : "path");
		prepare({"[ -z \"${NOTIFY_SOCKET+set}\" ] || exit 8", "advance 100", "exit 5"});
		const std::string name = (abstract ? "@" : "") + inst.path("notify");
		const int manager = bound_socket(name);
		ASSERT_NE(manager, -1);
		START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = {"NOTIFY_SOCKET=" + name, "TZ=UTC"}}));
		EXPECT_EQ(wait_for_exit(started.daemon), 5);
		std::string heard;
		char message[512];
		for (ssize_t got; (got = recv(manager, message, sizeof message, 0)) > 0;)
			heard.append(message, static_cast<std::size_t>(got)) += "\n";
		close(manager);
		// T is 22:13:20 UTC; a run that takes 100 s is followed by eight sleeps.
		const std::string main_pid = "MAINPID=" + std::to_string(started.daemon) + "\n";
		EXPECT_EQ(heard, main_pid + "STATUS=Running the tool since 2023-11-14 22:13:20 UTC\n" +
					 "STATUS=Registered at 2023-11-14 22:13:20 UTC; next run due at 2023-11-14 "
					 "22:22:20 UTC\n" +
					 main_pid +
					 "STATUS=Running the tool since 2023-11-14 22:22:20 UTC; last registered at "
					 "2023-11-14 22:13:20 UTC\n"
					 "STATUS=Registered at 2023-11-14 22:24:00 UTC; next run due at 2023-11-14 "
					 "22:32:00 UTC\n" +
					 main_pid +
					 "STATUS=Running the tool since 2023-11-14 22:32:00 UTC; last registered at "
					 "2023-11-14 22:24:00 UTC\n");
		finish();
	}
}

// A service manager that never reads its socket holds back no renewal: the
// messages that do not fit are lost.
TEST_F(Daemon, RenewsWhileNoOneReadsItsNotifications)
{
	prepare({}, 20);
	const int manager = bound_socket(inst.path("notify"));
	ASSERT_NE(manager, -1);
	START_OR_SKIP((Launch{.args = {"err", "log"}, .extra_env = {"NOTIFY_SOCKET=" + inst.path("notify")}}));
	EXPECT_EQ(wait_for_exit(started.daemon), 99);
	EXPECT_EQ(read_file(inst.path("runs")), "21\n");
	close(manager);
}

// A terminal given as an output never becomes the daemon's controlling
// terminal, whose hangup would end it. Linux 4.8 and later never give one to
// an open for writing alone; the kernels before do, unless it says O_NOCTTY.
TEST_F(Daemon, NeverTakesATerminalForItsOwn)
{
	const int terminal = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
	ASSERT_NE(terminal, -1);
	ASSERT_EQ(grantpt(terminal), 0);
	ASSERT_EQ(unlockpt(terminal), 0);
	const std::string name = ptsname(terminal);
	ASSERT_EQ(chmod(name.c_str(), 0600), 0); // no one else's to open
	prepare({"hang"});
	START_OR_SKIP((Launch{.args = {name, "log"},
			      .extra_env = {"TESTCLOCK_STILL=1", "TESTCLOCK_OPENS=" + inst.path("opens")}}));
	ASSERT_TRUE(wait_for_file(inst.path("hanging"), started.daemon));
	EXPECT_EQ(fd_target(started.daemon, STDERR_FILENO), name);
	std::istringstream opens(read_file(inst.path("opens")));
	unsigned flags = 0;
	std::string opened;
	ASSERT_TRUE(opens >> std::oct >> flags >> opened);
	EXPECT_EQ(opened, std::filesystem::path(name).filename());
	EXPECT_NE(flags & O_NOCTTY, 0U);
	std::istringstream stat(read_file("/proc/" + std::to_string(started.daemon) + "/stat"));
	std::string field;
	for (int number = 1; number <= 7 && stat >> field; ++number)
		; // the 7th, tty_nr, after a name without blanks
	EXPECT_EQ(field, "0");
	finish();
	close(terminal);
}

} // namespace

namespace {

// Several renewal cycles under valgrind: no memory error and nothing
// definitely lost, in the starter or in the daemon.
TEST_F(Daemon, RunsCleanUnderValgrind)
{
#ifdef VEXLANTOR_SANITIZED
	GTEST_SKIP() << "a sanitizer build does not run under valgrind";
#endif
	const std::string valgrind = find_program("valgrind");
	if (valgrind.empty())
		GTEST_SKIP() << "valgrind is not installed";
	prepare({":", ":", ":", "exit 5"});
	START_OR_SKIP(
		(Launch{.args = {"err", "log"},
			.wrapper = {valgrind, "--error-exitcode=1", "--leak-check=full",
				    "--errors-for-leak-kinds=definite", "--log-file=" + inst.path("valgrind.%p")}}));
	EXPECT_EQ(wait_for_exit(started.daemon), 5);
	EXPECT_EQ(read_file(inst.path("runs")), "4\n");
	EXPECT_EQ(err(), could_not_run(inst.root));

	// The shell that the daemon starts begins under valgrind too, and leaves an
	// unfinished report when it execs; only finished ones have a summary.
	int summaries = 0;
	for (const auto &entry : std::filesystem::directory_iterator(inst.dir)) {
		const std::string report = read_file(entry.path());
		if (!entry.path().filename().string().starts_with("valgrind.") ||
		    report.find("ERROR SUMMARY: ") == std::string::npos)
			continue;
		++summaries;
		EXPECT_NE(report.find("ERROR SUMMARY: 0 errors"), std::string::npos) << report;
		EXPECT_EQ(report.find("definitely lost: "), report.find("definitely lost: 0 bytes")) << report;
	}
	EXPECT_EQ(summaries, 2); // the starter's and the daemon's
	EXPECT_NE(read_file(inst.path("valgrind." + std::to_string(started.daemon))).find("ERROR SUMMARY: "),
		  std::string::npos);
}

} // namespace
