// vexlantor: keeps the virtual-system management service registered over SLP
// by running the product's registration tool again every nine to ten minutes.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "registration/registration.h"
#include "frontend/exit_code.h"

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

// Opens the file before it replaces the descriptor, so that a name that cannot
// be opened leaves the old stream in place to carry the report. Mode 0666 under
// the caller's mask, created or truncated, as fopen's "w" would; and appended
// to, so that the same file can take both streams and a copy-and-truncate
// rotation leaves no hole where the old lines were. Opened without waiting, so
// that a FIFO with no reader fails (ENXIO) instead of holding the start for
// ever; the writes then wait as on any file.
bool redirect(int target_fd, const char *path)
{
	const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_NONBLOCK, 0666);
	if (fd == -1)
		return false;
	bool moved = fcntl(fd, F_SETFL, O_APPEND) != -1;
	if (fd == target_fd) // the caller had it closed: the new file is already there
		return moved;
	moved = moved && dup2(fd, target_fd) != -1;
	const int error = errno;
	close(fd);
	errno = error;
	return moved;
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
	if (!redirect(STDERR_FILENO, argc >= 2 ? argv[1] : no_file))
		return report_startup_failure();
	if (!redirect(STDOUT_FILENO, argc >= 3 ? argv[2] : no_file))
		return report_startup_failure();
	umask(022);

	const int status = run_registration(stderr, stdout);
	outlive_starter(starter);
	std::fclose(stderr);
	std::fclose(stdout);
	return exit_code_of(status);
}
