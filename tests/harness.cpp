#include "harness.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <optional>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Checks a condition every millisecond until it holds. There is no deadline
// here, since how long a step takes depends on how busy the machine is.
template <typename Condition> void poll_until(Condition holds)
{
	while (!holds())
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The test clock of the daemon started last, which publishes beside it the
// deadline of the daemon's timed wait.
std::string clock_path;

std::string from_proc(pid_t pid, const std::string &file)
{
	return read_file("/proc/" + std::to_string(pid) + "/" + file);
}

// A process's state letter; '\0' once it is gone.
char state_of(pid_t pid)
{
	const std::string stat = from_proc(pid, "stat");
	const auto name_end = stat.rfind(") ");
	return name_end == std::string::npos || name_end + 2 >= stat.size() ? '\0' : stat[name_end + 2];
}

std::vector<pid_t> descendants_of(pid_t pid)
{
	std::vector<pid_t> found = {pid};
	for (std::size_t next = 0; next < found.size(); ++next) {
		std::istringstream children(
			from_proc(found[next], "task/" + std::to_string(found[next]) + "/children"));
		for (pid_t child = 0; children >> child;)
			found.push_back(child);
	}
	found.erase(found.begin());
	return found;
}

constexpr long nanosleep_call = 35, sigtimedwait_call = 128, clock_nanosleep_call = 230;

std::string without_newline(std::string text)
{
	if (text.ends_with('\n'))
		text.pop_back();
	return text;
}

std::string where_it_waits(pid_t pid)
{
	const long call = syscall_of(pid);
	return std::to_string(pid) + " " + without_newline(from_proc(pid, "comm")) + " in state " + state_of(pid) +
	       ", system call " + (call == -1 ? "none" : std::to_string(call)) + ", wchan " + from_proc(pid, "wchan");
}

// How things stand when the daemon may be stuck: the daemon asleep, in a
// wait that only a child's end, a signal or I/O can end, or in its timed wait
// with the deadline reached, and all it started asleep too, so that nothing
// is left to move the test clock or wake it. "" where progress can still
// come; nothing while the daemon runs, which proves nothing either way.
std::optional<std::string> standstill(pid_t daemon)
{
	if (state_of(daemon) != 'S')
		return std::nullopt;
	const long call = syscall_of(daemon);
	if (call == -1)
		return std::nullopt;
	// The starter's wait and the test clock's own pauses end by themselves.
	if (call == poll_call || call == nanosleep_call || call == clock_nanosleep_call)
		return "";
	const std::string clock = read_file(clock_path);
	long wall = 0, elapsed = 0, deadline = 0;
	std::istringstream(clock) >> wall >> elapsed;
	std::istringstream(read_file(clock_path + ".deadline")) >> deadline;
	if (call == sigtimedwait_call && deadline > elapsed)
		return "";
	std::string look = clock + " " + std::to_string(call);
	for (const pid_t pid : descendants_of(daemon)) {
		const char state = state_of(pid);
		if (state != 'S' && state != 'Z' && state != 'T' && state != '\0')
			return "";
		look += " " + std::to_string(pid) + state;
	}
	return look;
}

// Whether no progress can come: the same standstill, seen many times in a
// row, however long each look takes.
bool stuck(pid_t daemon)
{
	constexpr int looks_to_be_sure = 500;
	static pid_t watched;
	static std::string last;
	static int seen;
	const auto look = standstill(daemon);
	if (!look)
		return false;
	if (daemon != watched || look->empty() || *look != last) {
		watched = daemon;
		last = *look;
		seen = 0;
		return false;
	}
	if (++seen < looks_to_be_sure)
		return false;
	std::string report = "no progress can come, since the daemon and all it started are asleep and the test "
			     "clock, at " +
			     without_newline(read_file(clock_path)) +
			     ", has nothing left to move on to: the daemon is " + where_it_waits(daemon);
	for (const pid_t pid : descendants_of(daemon))
		report += "; " + where_it_waits(pid);
	ADD_FAILURE() << report;
	seen = 0;
	return true;
}

} // namespace

long syscall_of(pid_t pid)
{
	const std::string call = from_proc(pid, "syscall");
	return call.empty() || call[0] < '0' || call[0] > '9' ? -1 : std::strtol(call.c_str(), nullptr, 10);
}

namespace {

// Whether a child has ended, leaving it to be reaped.
bool has_ended(pid_t child)
{
	siginfo_t info{};
	return waitid(P_PID, static_cast<id_t>(child), &info, WEXITED | WNOHANG | WNOWAIT) == -1 || info.si_pid != 0;
}

// A wait status as a shell reports it.
int status_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// The stand-in tool, at a tool's path.
void place_tool(const std::string &path)
{
	fs::create_directories(fs::path(path).parent_path());
	fs::copy_file(STAND_IN_TOOL, path, fs::copy_options::overwrite_existing);
}

// Reads to the end, as long as it takes, unless the daemon (known from the
// starter's first line, its own or the one given) is stuck holding the other
// end: the rest is then left unread.
std::string read_all(int fd, const std::string &starter_out = "")
{
	std::string text;
	char chunk[4096];
	for (;;) {
		pollfd ready{fd, POLLIN, 0};
		const int polled = poll(&ready, 1, 1);
		const std::string &printed = starter_out.empty() ? text : starter_out;
		const auto daemon = static_cast<pid_t>(std::strtol(printed.c_str(), nullptr, 10));
		if (polled == 0 && printed.find('\n') != std::string::npos && daemon > 0 && stuck(daemon))
			break;
		const ssize_t got = polled == 1 ? read(fd, chunk, sizeof chunk) : 0;
		if (got > 0)
			text.append(chunk, static_cast<std::size_t>(got));
		else if (polled == 1 && got == 0)
			break;
		else if (got == -1 && errno != EINTR)
			break;
	}
	close(fd);
	return text;
}

[[noreturn]] void give_up(const std::string &why)
{
	const std::string line = "harness: " + why + ": " + std::strerror(errno) + "\n";
	(void)!write(STDERR_FILENO, line.data(), line.size());
	_exit(126);
}

struct Pipes {
	int out[2];
	int err[2];
};

} // namespace

std::string read_until_closed(int fd, pid_t daemon) { return read_all(fd, std::to_string(daemon) + "\n"); }

Started start_daemon(const Installation &installation, const Launch &launch)
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	Pipes pipes{};
	if (pipe2(pipes.out, O_CLOEXEC) == -1 || pipe2(pipes.err, O_CLOEXEC) == -1)
		std::abort();

	// What the sandbox shows at the product's fixed paths; the default root
	// is there, empty, even where no tool is placed, to hide the host's.
	const std::string root = installation.path("root");
	const std::string config_path = root + cimom_config_path;
	fs::create_directories(fs::path(config_path).parent_path());
	fs::create_directories(root + default_cimom_root);
	if (launch.config)
		write_file(config_path, *launch.config);
	if (launch.stand_in_at_default_root)
		place_tool(root + default_cimom_root + tool_path_suffix);

	// Another user may not reach the build tree: its own copies.
	std::string binary = VEXLANTOR_BINARY;
	std::string clock_library = TESTCLOCK_LIBRARY;
	if (launch.user) {
		binary = installation.path("vexlantor");
		clock_library = installation.path("libtestclock.so");
		fs::copy_file(VEXLANTOR_BINARY, binary);
		fs::copy_file(TESTCLOCK_LIBRARY, clock_library);
		for (const auto &entry : fs::recursive_directory_iterator(installation.dir))
			if (lchown(entry.path().c_str(), *launch.user, *launch.user) == -1)
				std::abort();
		if (lchown(installation.dir.c_str(), *launch.user, *launch.user) == -1)
			std::abort();
	}

	// Inside the sandbox the binary starts with this environment and no other.
	std::vector<std::string> words = {VEXLANTOR_SANDBOX, root};
	// Run once the sandbox is made, so that it can still say why it could not be.
	if (!launch.prelude.empty())
		words.insert(words.end(), {"sh", "-c", launch.prelude + "\nexec \"$@\"", "sh"});
	words.insert(words.end(), {"env", "-i", "PATH=/usr/local/bin:/usr/bin:/bin"});
	// A sanitizer build of the daemon takes its settings from the test's run.
	for (char **entry = environ; *entry != nullptr; ++entry)
		for (const char *prefix : {"ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS="})
			if (std::strncmp(*entry, prefix, std::strlen(prefix)) == 0)
				words.emplace_back(*entry);
	words.push_back("LD_PRELOAD=" + clock_library);
	clock_path = installation.path("clock");
	words.push_back("TESTCLOCK_FILE=" + clock_path);
	words.push_back("STAND_IN_DIR=" + installation.dir);
	// For what the daemon, the tool or a wrapper such as valgrind writes of
	// its own: the sandbox's /tmp is the host's, read-only.
	words.push_back("TMPDIR=" + installation.dir);
	words.insert(words.end(), launch.extra_env.begin(), launch.extra_env.end());
	words.insert(words.end(), launch.wrapper.begin(), launch.wrapper.end());
	if (launch.user) {
		const std::string id = std::to_string(*launch.user);
		words.insert(words.end(), {"setpriv", "--reuid=" + id, "--regid=" + id, "--clear-groups"});
	}
	words.push_back(binary);
	words.insert(words.end(), launch.args.begin(), launch.args.end());
	std::vector<char *> argv;
	for (auto &word : words)
		argv.push_back(word.data());
	argv.push_back(nullptr);

	const pid_t starter = fork();
	if (starter == 0) {
		dup2(pipes.out[1], STDOUT_FILENO);
		dup2(pipes.err[1], STDERR_FILENO);
		// Whatever the test runner left open is not the daemon's to hold.
		close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
		if (chdir(installation.dir.c_str()) == -1)
			give_up("chdir");
		umask(launch.umask);
		execv(argv[0], argv.data());
		give_up("exec");
	}
	close(pipes.out[1]);
	close(pipes.err[1]);

	Started started;
	// The daemon holds the pipes until it has redirected its streams, so
	// reading to the end also waits for its start-up reports.
	started.starter_out = read_all(pipes.out[0]);
	started.starter_err = read_all(pipes.err[0], started.starter_out);
	int status = 0;
	if (launch.keep_starter) {
		started.starter = starter;
		waitid(P_PID, static_cast<id_t>(starter), nullptr, WEXITED | WNOWAIT);
		return started;
	}
	waitpid(starter, &status, 0);
	started.starter_status = status_code(status);
	if (started.starter_status == 125 && started.starter_err.rfind("sandbox: ", 0) == 0) {
		started.sandboxed = false;
		started.why_not = started.starter_err;
	}
	if (started.starter_status == 0)
		started.daemon = static_cast<pid_t>(std::strtol(started.starter_out.c_str(), nullptr, 10));
	return started;
}

Installation make_installation(const std::vector<std::string> &steps, std::size_t runs)
{
	// Below /tmp, where the sandbox lays its callers' scratch directories.
	std::string pattern = "/tmp/vexlantor-test.XXXXXX";
	if (mkdtemp(pattern.data()) == nullptr)
		std::abort();
	Installation installation{pattern, pattern + "/cimom"};
	fs::create_directories(installation.root);
	fs::create_directories(installation.path("steps"));
	place_tool(installation.tool());
	for (std::size_t run = 1; run <= steps.size(); ++run)
		plan_step(installation, std::to_string(run), steps[run - 1]);
	write_file(installation.path("last"), std::to_string(std::max(runs, steps.size())) + "\n");
	write_file(installation.path("runs"), "0\n");
	write_file(installation.path("args"), "");
	write_file(installation.path("clock"),
		   std::to_string(start_clock) + " " + std::to_string(start_elapsed) + "\n");
	return installation;
}

void plan_step(const Installation &installation, const std::string &run, const std::string &step)
{
	write_file(installation.path("steps/" + run), step + "\n");
}

void remove_installation(const Installation &installation)
{
	std::error_code ignored;
	fs::remove_all(installation.dir, ignored);
}

// The daemon is this process's child once its starter has ended.
int wait_for_exit(pid_t daemon)
{
	bool given_up = false;
	poll_until([&] { return has_ended(daemon) || (given_up = stuck(daemon)); });
	int status = 0;
	return !given_up && waitpid(daemon, &status, 0) == daemon ? status_code(status) : -1;
}

bool wait_for_file(const std::string &path, pid_t daemon)
{
	poll_until([&] { return file_exists(path) || has_ended(daemon) || stuck(daemon); });
	return file_exists(path);
}

void stop_daemon(pid_t daemon)
{
	// Until it is reaped, its PID and its group's stay this process's to
	// signal; after that they may be anyone's.
	siginfo_t info{};
	if (daemon > 0 && waitid(P_PID, static_cast<id_t>(daemon), &info, WEXITED | WNOHANG | WNOWAIT) == 0) {
		kill(-daemon, SIGKILL);
		kill(daemon, SIGKILL);
	}
	// Whatever the daemon left running has been handed to this process, even
	// what left its group: kill it all and reap it.
	const std::string children = "/proc/self/task/" + std::to_string(getpid()) + "/children";
	poll_until([&] {
		const std::string pids = read_file(children);
		for (const char *p = pids.c_str(); *p != '\0';) {
			char *next = nullptr;
			const long pid = std::strtol(p, &next, 10);
			if (next == p)
				break;
			kill(static_cast<pid_t>(pid), SIGKILL);
			p = next;
		}
		return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
	});
}

namespace {

// One listing of a process's descriptors.
std::string listed_descriptors(pid_t pid)
{
	std::vector<int> fds;
	std::error_code gone;
	for (const auto &entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", gone))
		fds.push_back(std::stoi(entry.path().filename().string()));
	std::ranges::sort(fds);
	std::string text;
	for (const int fd : fds)
		text += (text.empty() ? "" : " ") + std::to_string(fd);
	return text;
}

} // namespace

// The fewest of a few listings 20 ms apart: a descriptor that the test
// clock holds for a moment, even one held while the daemon waits for a busy
// processor, is gone at a later one; one that the daemon keeps is in all.
std::string descriptors_of(pid_t pid)
{
	std::string fewest = listed_descriptors(pid);
	for (int look = 1; look < 5; ++look) {
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
		const std::string listed = listed_descriptors(pid);
		if (listed.size() < fewest.size())
			fewest = listed;
	}
	return fewest;
}

std::string find_program(const std::string &name)
{
	for (const char *dir : {"/usr/local/bin/", "/usr/bin/", "/bin/", "/usr/sbin/", "/sbin/"})
		if (access((dir + name).c_str(), X_OK) == 0)
			return dir + name;
	return "";
}

std::string read_file(const std::string &path)
{
	const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
	return fd == -1 ? std::string() : read_all(fd);
}

void write_file(const std::string &path, const std::string &content)
{
	FILE *file = std::fopen(path.c_str(), "we");
	if (file == nullptr || std::fwrite(content.data(), 1, content.size(), file) != content.size() ||
	    std::fclose(file) != 0)
		std::abort();
}

bool file_exists(const std::string &path)
{
	struct stat info = {};
	return lstat(path.c_str(), &info) == 0;
}

std::string key_line(const std::string &root) { return "CIMOM_ROOTDIR=" + root + "\n"; }

std::string clock_lines(long reference, long now)
{
	return "Current time = " + std::to_string(reference) + "\nTime after = " + std::to_string(now) + "\n";
}

std::string registration_line(const std::string &command) { return "Complete registration string = " + command + "\n"; }
