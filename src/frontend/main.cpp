// vexlantor: keeps the virtual-system management service registered over SLP
// by running the product's registration tool again every nine to ten minutes.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "frontend/exit_code.h"
#include "pathwalk/pathwalk.h"
#include "registration/registration.h"

namespace {

constexpr const char *report_prefix = "Vemrik Corvane vexlantor";
constexpr const char *no_file = "/dev/null";

// Only the first two characters count, so "-help" asks for help too.
bool is_help_request(const char *arg) { return std::strncmp(arg, "-h", 2) == 0 || std::strncmp(arg, "-?", 2) == 0; }

int report_startup_failure()
{
	const int error = errno;
	std::perror(report_prefix);
	return error;
}

// A name that others than root could have chosen what stands at, or can
// open: not written.
int report_refusal(const Verdict &verdict)
{
	std::fprintf(stderr, "%s: %s\n", report_prefix, reason_line(verdict).c_str());
	return verdict.error != 0 ? verdict.error : EACCES;
}

// Opens the file before it replaces the descriptor, so that a name that cannot
// be opened leaves the old stream in place to carry the report: as root, only
// where no one else could have chosen what the name leads to, or can open it.
// Created or truncated, as fopen's "w" would, under the caller's mask with 022
// added; and appended to, so that the same file can take both streams and a
// copy-and-truncate rotation leaves no hole where the old lines were. A FIFO
// with no reader fails (ENXIO) instead of holding the start for ever; the
// writes then wait as on any file.
// The built-in /dev/null is the system's, as /bin/sh is, and opened as named.
// 0 once it is in place; else the exit status, the failure reported.
int redirect(int target_fd, const char *path)
{
	int fd = -1;
	Verdict verdict;
	if (path == no_file)
		fd = open(no_file, O_WRONLY | O_NOCTTY | O_CLOEXEC);
	else
		verdict = open_to_write(path, fd);
	if (verdict.fault != Fault::none)
		return report_refusal(verdict);
	errno = verdict.error != 0 ? verdict.error : errno;
	// Opened close-on-exec: dup2 clears that in the copy, and so must fcntl
	// where the file took the very descriptor it replaces.
	const bool moved = fd != -1 && fcntl(fd, F_SETFL, O_APPEND) != -1 &&
			   (fd == target_fd ? fcntl(fd, F_SETFD, 0) : dup2(fd, target_fd)) != -1;
	const int error = errno;
	if (fd != -1 && fd != target_fd)
		close(fd);
	errno = error;
	return moved ? 0 : report_startup_failure();
}

// Whether the starter has still to be collected: it runs, and so is still
// the daemon's parent, or it has ended and is a zombie. A process that has
// taken its PID since, months on, is neither. Without /proc, once it has
// ended, there is nothing to tell.
bool starter_uncollected(pid_t starter)
{
	if (getppid() == starter)
		return true;
	const std::string path = "/proc/" + std::to_string(starter) + "/stat";
	FILE *stat = std::fopen(path.c_str(), "re");
	char line[512] = "";
	const bool read = stat != nullptr && std::fgets(line, sizeof line, stat) != nullptr;
	if (stat != nullptr)
		std::fclose(stat);
	const char *name_end = read ? std::strrchr(line, ')') : nullptr;
	return name_end != nullptr && name_end[1] == ' ' && name_end[2] == 'Z';
}

// Under systemd a daemon that ends before systemd has heard of it, from its
// MAINPID message or by finding it once the starter has ended, is taken for a
// clean stop and not started again: a tool that fails or is refused at once
// would leave the service stopped for good. systemd does both before it
// collects the starter, so the daemon does not end until the starter has been
// collected, polling every 10 ms, for at most 10 s where its parent never
// collects it.
void outlive_starter(pid_t starter)
{
	for (int polls = 0; polls < 1000 && starter_uncollected(starter); ++polls)
		poll(nullptr, 0, 10);
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc >= 2 && is_help_request(argv[1])) {
		std::puts("Usage: vexlantor [-?] || [-h] || [stderr][stdout]");
		std::puts("Where stderr and stdout are optional redirect filenames");
		return 1;
	}

	const pid_t starter = getpid();
	const pid_t daemon = fork();
	if (daemon == -1)
		return report_startup_failure();
	if (daemon > 0) {
		std::printf("%d\n", static_cast<int>(daemon));
		return 0;
	}

	if (setsid() == -1)
		return report_startup_failure();
	if (const int failed = redirect(STDERR_FILENO, argc >= 2 ? argv[1] : no_file); failed != 0)
		return failed;
	if (const int failed = redirect(STDOUT_FILENO, argc >= 3 ? argv[2] : no_file); failed != 0)
		return failed;
	umask(022);
	// A reader of an output that goes away would end the daemon, and so its
	// renewals, with nothing said: the failed write is ignored instead, as
	// every failed log write is. The tool starts with the default again.
	std::signal(SIGPIPE, SIG_IGN);

	const int status = run_registration(stderr, stdout);
	outlive_starter(starter);
	std::fclose(stderr);
	std::fclose(stdout);
	return exit_code_of(status);
}
