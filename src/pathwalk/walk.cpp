// The walk of a whole path, from the root or from the working directory, and
// the verdicts on what it reaches.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "walk.h"

void close_descriptor(int &fd)
{
	if (fd != -1)
		close(fd);
	fd = -1;
}

// Opens, or makes, an entry of a directory, never through a link, and reads
// its status; -1, with errno set, where either fails. A file made here is
// never writable by group or others, whatever the caller's mask: a root
// daemon's log is no one else's to write.
int open_and_stat(int directory, const char *name, int flags, struct stat &info)
{
	int fd = openat(directory, name, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
	if (fd != -1 && fstat(fd, &info) == -1) {
		const int error = errno;
		close_descriptor(fd);
		errno = error;
	}
	return fd;
}

bool same_file(const struct stat &one, const struct stat &other)
{
	return one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

Verdict verdict_on(Fault fault, const std::string &path, const struct stat &info)
{
	return {.fault = fault, .path = path, .info = info};
}

Verdict cannot_check(const std::string &path, int error)
{
	return {.fault = Fault::cannot_check, .path = path, .error = error};
}

// The walk now holds fd, for path; the descriptor it held is closed.
void move_to(Walk &walk, int fd, const struct stat &info, const std::string &path)
{
	close_descriptor(walk.fd);
	walk.fd = fd;
	walk.info = info;
	walk.at = path == "/" ? "" : path;
}

Verdict step_to(Walk &walk, int directory, const char *name, const std::string &path)
{
	struct stat info {};
	const int fd = open_and_stat(directory, name, O_PATH | O_DIRECTORY, info);
	if (fd == -1)
		return cannot_check(path, errno);
	move_to(walk, fd, info, path);
	return verdict_on(judge_directory(info), path, info);
}

namespace {

// Takes the next component from the front of what is left to walk.
std::string next_component(std::string &pending)
{
	const auto start = std::min(pending.find_first_not_of('/'), pending.size());
	const auto end = std::min(pending.find('/', start), pending.size());
	std::string name = pending.substr(start, end - start);
	pending.erase(0, end);
	return name;
}

Verdict step_up(Walk &walk)
{
	const std::string parent = walk.at.substr(0, walk.at.empty() ? 0 : walk.at.rfind('/'));
	return step_to(walk, walk.fd, "..", parent.empty() ? "/" : parent);
}

// Walks what is left, judging each directory and link; the end is the caller's.
Verdict walk_on(Walk &walk)
{
	Verdict verdict;
	for (std::string name; verdict.fault == Fault::none && walk.fd != -1 && !walk.reached;) {
		if ((name = next_component(walk.pending)).empty())
			break;
		if (name == "..")
			verdict = step_up(walk);
		else if (name != ".")
			verdict = take_entry(walk, name);
	}
	return verdict;
}

// A relative path starts from the working directory, which the walk reaches
// from the root by its name, judging all above it, and finds to be the same.
// What fails there is the start's to put right, not the directory's owner's.
Verdict walk_to_working_directory(Walk &walk, const std::string &path)
{
	char working[PATH_MAX];
	struct stat here {};
	Verdict verdict;
	if (getcwd(working, sizeof working) == nullptr || stat(".", &here) == -1) {
		verdict = {.fault = Fault::working_directory_unknown, .error = errno};
	} else {
		walk.pending = working;
		verdict = walk_on(walk);
		const bool same = walk.fd != -1 && same_file(walk.info, here);
		if (verdict.fault == Fault::none && !same)
			verdict = {.fault = Fault::working_directory_moved, .path = working};
	}
	if (verdict.fault != Fault::none)
		verdict.relative = path;
	return verdict;
}

// Walks a whole path from the root, or from the working directory, whose way
// is all directories, whatever the walk is for.
Verdict walk_path(Walk &walk, const std::string &path)
{
	const Use use = std::exchange(walk.use, Use::run);
	Verdict verdict = step_to(walk, AT_FDCWD, "/", "/");
	if (verdict.fault == Fault::none && !path.starts_with('/'))
		verdict = walk_to_working_directory(walk, path);
	walk.use = use;
	walk.pending = path;
	if (verdict.fault == Fault::none)
		verdict = walk_on(walk);
	verdict.use = use;
	return verdict;
}

} // namespace

Verdict judge_to_read(const std::string &path, Use use, int &readable)
{
	Walk walk{.use = use};
	Verdict verdict = walk_path(walk, path);
	// It ends at a file, or in a directory, which is no file to run or read.
	if (verdict.fault == Fault::none && (walk.reached || walk.fd != -1))
		verdict = verdict_on(judge_file(walk.info, use), walk.at, walk.info);
	// A file that cannot be opened for reading is not read, and the caller
	// does without it; one to run is refused, since the kernel runs a
	// script's interpreter even where its user cannot read the script.
	if (verdict.fault == Fault::none && walk.reached && walk.open_error != 0 && use == Use::run)
		verdict = cannot_check(walk.at, walk.open_error);
	else if (verdict.fault == Fault::none && walk.reached)
		std::swap(readable, walk.fd);
	close_descriptor(walk.fd);
	verdict.use = use;
	return verdict;
}

Verdict open_to_write(const std::string &path, int &fd)
{
	if (path.empty())
		return {.error = ENOENT, .use = Use::write};
	Walk walk{.use = Use::write};
	Verdict verdict = walk_path(walk, path);
	if (verdict.fault == Fault::none && walk.reached)
		std::swap(fd, walk.fd);
	else if (verdict.fault == Fault::none) // at a directory, or short of the end
		verdict.error = walk.fd != -1 ? EISDIR : walk.open_error;
	close_descriptor(walk.fd);
	return verdict;
}
