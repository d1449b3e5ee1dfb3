#include "harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <linux/close_range.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Checks a condition every millisecond until it holds, for a generous while at most.
template <typename Condition> bool poll_until(Condition holds, std::chrono::seconds patience = std::chrono::seconds(20))
{
	const auto deadline = std::chrono::steady_clock::now() + patience;
	while (std::chrono::steady_clock::now() < deadline) {
		if (holds())
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return false;
}

// A wait status as a shell reports it.
int status_code(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

const char *const stand_in_tool = R"(#!/bin/sh
# Stand-in registration tool: records its arguments, then does what the
# plan says for this run.
dir='@DIR@'
run=$(( $(cat "$dir/runs") + 1 ))
echo "$run" > "$dir/runs"
{ echo "run $run"; printf '%s\n' "$@"; } >> "$dir/args"
advance() { echo $(( $(cat "$dir/clock") + $1 )) > "$dir/clock"; }
hang() { : > "$dir/hanging"; exec sleep 600; }
step=$(sed -n "${run}p" "$dir/plan")
[ -n "$step" ] || exit 99
eval "$step"
exit 0
)";

void write_tool(const std::string &path, const std::string &dir, std::string script = stand_in_tool)
{
	script.replace(script.find("@DIR@"), 5, dir);
	fs::create_directories(fs::path(path).parent_path());
	write_file(path, script);
	fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
				      fs::perms::others_read | fs::perms::others_exec);
}

std::string read_all(int fd)
{
	std::string text;
	char chunk[4096];
	ssize_t got;
	while ((got = read(fd, chunk, sizeof chunk)) > 0 || (got == -1 && errno == EINTR))
		if (got > 0)
			text.append(chunk, static_cast<std::size_t>(got));
	close(fd);
	return text;
}

[[noreturn]] void give_up(const std::string &why)
{
	const std::string line = "sandbox: " + why + ": " + std::strerror(errno) + "\n";
	(void)!write(STDERR_FILENO, line.data(), line.size());
	_exit(125);
}

void write_proc_file(const char *path, const std::string &text)
{
	const int fd = open(path, O_WRONLY | O_CLOEXEC);
	if (fd == -1 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
		give_up(path);
	close(fd);
}

// Root may make a mount namespace outright; anyone else first needs a user
// namespace in which they are root. True for the latter.
bool unshare_mounts()
{
	if (unshare(CLONE_NEWNS) == 0)
		return false;
	if (errno != EPERM)
		give_up("unshare");
	const std::string uid = std::to_string(getuid());
	const std::string gid = std::to_string(getgid());
	if (unshare(CLONE_NEWUSER | CLONE_NEWNS) == -1)
		give_up("unshare");
	write_proc_file("/proc/self/setgroups", "deny");
	write_proc_file("/proc/self/uid_map", "0 " + uid + " 1");
	write_proc_file("/proc/self/gid_map", "0 " + gid + " 1");
	return true;
}

// An overlay over a system directory whose upper layer holds an opaque
// "vemrik" directory: the product's real files there are hidden, ours shown.
// In a user namespace overlayfs keeps its marks in user.* attributes.
void overlay_product_dir(const std::string &scratch, const std::string &target, const std::string &upper_vemrik,
			 bool user_namespace)
{
	const std::string upper = scratch + "/upper" + target;
	const std::string work = scratch + "/work" + target;
	fs::create_directories(work);
	fs::create_directories(upper + "/vemrik");
	fs::copy(upper_vemrik, upper + "/vemrik", fs::copy_options::recursive);
	const char *opaque = user_namespace ? "user.overlay.opaque" : "trusted.overlay.opaque";
	if (setxattr((upper + "/vemrik").c_str(), opaque, "y", 1, 0) == -1)
		give_up("opaque " + target);
	std::string options = "lowerdir=" + target + ",upperdir=" + upper + ",workdir=" + work;
	if (user_namespace)
		options += ",userxattr";
	if (mount("overlay", target.c_str(), "overlay", 0, options.c_str()) == -1)
		give_up("overlay on " + target);
}

// In the child, before exec: a private mount namespace in which /etc/vemrik
// and /opt/vemrik are the test's own, so no test can read the host's
// configuration or run a real registration tool.
void enter_sandbox(const Installation &installation, const Launch &launch)
{
	const bool user_namespace = unshare_mounts();
	if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == -1)
		give_up("private mounts");
	const std::string scratch = installation.path("ns");
	if (mount("tmpfs", scratch.c_str(), "tmpfs", 0, "mode=0755") == -1)
		give_up("tmpfs");

	const std::string etc = scratch + "/etc-vemrik";
	fs::create_directories(etc + "/halvern/tessmark");
	if (launch.config)
		write_file(etc + "/halvern/tessmark/cimom", *launch.config);
	overlay_product_dir(scratch, "/etc", etc, user_namespace);

	const std::string opt = scratch + "/opt-vemrik";
	fs::create_directories(opt + "/halvern/bin");
	if (launch.stand_in_at_default_root)
		write_tool(opt + "/halvern/bin/trindlet", installation.dir);
	overlay_product_dir(scratch, "/opt", opt, user_namespace);
}

struct Pipes {
	int out[2];
	int err[2];
};

} // namespace

Started start_daemon(const Installation &installation, const Launch &launch)
{
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	Pipes pipes{};
	if (pipe2(pipes.out, O_CLOEXEC) == -1 || pipe2(pipes.err, O_CLOEXEC) == -1)
		std::abort();

	std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
	// A sanitizer build of the daemon takes its settings from the test's run.
	for (char **entry = environ; *entry != nullptr; ++entry)
		for (const char *prefix : {"ASAN_OPTIONS=", "UBSAN_OPTIONS=", "LSAN_OPTIONS="})
			if (std::strncmp(*entry, prefix, std::strlen(prefix)) == 0)
				env.emplace_back(*entry);
	env.push_back(std::string("LD_PRELOAD=") + TESTCLOCK_LIBRARY);
	env.push_back("TESTCLOCK_FILE=" + installation.path("clock"));
	env.insert(env.end(), launch.extra_env.begin(), launch.extra_env.end());
	std::vector<char *> argv;
	for (const auto &word : launch.wrapper)
		argv.push_back(const_cast<char *>(word.c_str()));
	argv.push_back(const_cast<char *>(VEXLANTOR_BINARY));
	for (const auto &arg : launch.args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	std::vector<char *> envp;
	for (const auto &entry : env)
		envp.push_back(const_cast<char *>(entry.c_str()));
	envp.push_back(nullptr);

	const pid_t starter = fork();
	if (starter == 0) {
		dup2(pipes.out[1], STDOUT_FILENO);
		dup2(pipes.err[1], STDERR_FILENO);
		// Whatever the test runner left open is not the daemon's to hold.
		close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
		if (chdir(installation.dir.c_str()) == -1)
			give_up("chdir");
		enter_sandbox(installation, launch);
		umask(launch.umask);
		execve(argv[0], argv.data(), envp.data());
		give_up("exec");
	}
	close(pipes.out[1]);
	close(pipes.err[1]);

	Started started;
	// The daemon holds the pipes until it has redirected its streams, so
	// reading to the end also waits for its start-up reports.
	started.starter_out = read_all(pipes.out[0]);
	started.starter_err = read_all(pipes.err[0]);
	int status = 0;
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

Installation make_installation(const std::vector<std::string> &plan) { return make_installation(plan, stand_in_tool); }

Installation make_installation(const std::vector<std::string> &plan, const std::string &tool_script)
{
	std::string pattern = (fs::temp_directory_path() / "vexlantor-test.XXXXXX").string();
	if (mkdtemp(pattern.data()) == nullptr)
		std::abort();
	Installation installation{pattern, pattern + "/cimom"};
	fs::create_directories(installation.root);
	fs::create_directories(installation.path("ns"));
	write_tool(installation.path("bin/trindlet"), installation.dir, tool_script);
	std::string plan_text;
	for (const auto &step : plan)
		plan_text += step + "\n";
	write_file(installation.path("plan"), plan_text);
	write_file(installation.path("runs"), "0\n");
	write_file(installation.path("args"), "");
	write_file(installation.path("clock"), std::to_string(start_clock) + "\n");
	return installation;
}

void remove_installation(const Installation &installation)
{
	std::error_code ignored;
	fs::remove_all(installation.dir, ignored);
}

int wait_for_exit(pid_t daemon)
{
	int code = -1;
	poll_until([&] {
		int status = 0;
		const pid_t done = waitpid(daemon, &status, WNOHANG);
		if (done == daemon)
			code = status_code(status);
		return done != 0;
	});
	return code;
}

bool wait_for_file(const std::string &path, std::chrono::seconds patience)
{
	return poll_until([&] { return file_exists(path); }, patience);
}

void stop_daemon(pid_t daemon)
{
	if (daemon > 0) {
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

std::string find_program(const std::string &name)
{
	for (const char *dir : {"/usr/local/bin/", "/usr/bin/", "/bin/"})
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
