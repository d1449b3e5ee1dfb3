// The daemon runs as root what a path names, and writes as root where its
// output files are named: were anyone else able to change the file, or a
// directory or link on the way, they could run anything as root, or have the
// daemon write where they choose. A path is walked as the kernel walks it, an
// entry at a time by descriptor, so that no limit on its length applies and
// nothing can be swapped in between, and refused, with what to do, unless
// only the trusted can change it; what cannot be judged, too.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registration.h"

namespace {

// Where a walk stands: the directory (at its end, the file) reached, -1 once
// it ended short; its status; its path as the operator would type it, "" for
// the root; what is left to walk; at its end, why the file is not open, or 0;
// whether it ends at a file to write.
struct Walk {
	int fd = -1;
	struct stat info {};
	std::string at{};
	std::string pending{};
	int links = 0;
	int unopened = EBADF;
	bool writing = false;
};

void end_walk(Walk &walk)
{
	if (walk.fd != -1)
		close(walk.fd);
	walk.fd = -1;
}

// Ends the walk before the end of its path, as the kernel would with error.
void end_short(Walk &walk, int error)
{
	end_walk(walk);
	walk.unopened = error;
}

// Opens an entry of a directory, never through a link, and reads its status;
// -1, with errno set, where either fails. A file made here is never writable
// by group or others, whatever the caller's mask: a root daemon's log is no
// one else's to write.
int open_entry(int directory, const char *name, int flags, struct stat &info)
{
	const int fd = openat(directory, name, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
	if (fd == -1 || fstat(fd, &info) == 0)
		return fd;
	const int error = errno;
	close(fd);
	errno = error;
	return -1;
}

// Takes the next component from the front of what is left to walk.
std::string next_component(std::string &pending)
{
	const auto start = std::min(pending.find_first_not_of('/'), pending.size());
	const auto end = std::min(pending.find('/', start), pending.size());
	std::string name = pending.substr(start, end - start);
	pending.erase(0, end);
	return name;
}

// Moves the walk into the directory that next has opened, and judges it.
Refusal step_into(Walk &walk, int next, const struct stat &info, const std::string &path)
{
	end_walk(walk);
	walk.fd = next;
	walk.info = info;
	walk.at = path == "/" ? "" : path;
	if (keeps_what_it_holds(info))
		return {};
	return walk.writing ? not_to_pass(path, info) : untrusted(path, info);
}

Refusal step_to(Walk &walk, int directory, const char *name, const std::string &path)
{
	struct stat info {};
	const int next = open_entry(directory, name, O_PATH | O_DIRECTORY, info);
	return next == -1 ? cannot_check(path, errno) : step_into(walk, next, info, path);
}

Refusal step_up(Walk &walk)
{
	const std::string parent = walk.at.substr(0, walk.at.empty() ? 0 : walk.at.rfind('/'));
	return step_to(walk, walk.fd, "..", parent.empty() ? "/" : parent);
}

// Puts a link's target in front of what is left to walk, and goes back to
// the root for an absolute one.
Refusal follow_link(Walk &walk, int link, const std::string &path)
{
	if (++walk.links > max_symbolic_links)
		return {path,
			"is the last of a chain of more than " + std::to_string(max_symbolic_links) +
				" symbolic links, more than the kernel follows",
			""};
	char target[PATH_MAX];
	const ssize_t length = readlinkat(link, "", target, sizeof target);
	if (length <= 0 || length == sizeof target)
		return cannot_check(path, length == -1 ? errno : ENAMETOOLONG);
	walk.pending.insert(0, target, static_cast<std::size_t>(length));
	return target[0] == '/' ? step_to(walk, AT_FDCWD, "/", "/") : Refusal{};
}

// Ends the walk at its last entry, kept open, for the caller to judge: for
// reading where it is a regular file, so that what is read is what was judged.
Refusal end_at(Walk &walk, int entry, const struct stat &info, const std::string &name, const std::string &path)
{
	struct stat reopened {};
	const int readable = S_ISREG(info.st_mode)
				     ? open_entry(walk.fd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, reopened)
				     : -1;
	const bool same = readable != -1 && reopened.st_dev == info.st_dev && reopened.st_ino == info.st_ino;
	const int unread = same ? 0 : readable == -1 ? errno : ESTALE;
	if (readable != -1) // the one of the two that is not kept
		close(same ? entry : readable);
	end_walk(walk);
	walk = Walk{same ? readable : entry, info, path, "", walk.links, unread};
	return {};
}

// Ends the walk at the file to write (entry -1 where it is missing), opened to
// append, never through a link nor as a terminal to be controlled by, and
// without waiting for a FIFO's reader. What is there is judged before it is
// opened; what is opened, or made, after. Only what passes is truncated.
Refusal end_at_writing(Walk &walk, int entry, const struct stat &found, const std::string &name,
		       const std::string &path)
{
	if (entry != -1)
		close(entry);
	Refusal refusal = entry != -1 ? not_to_write(path, found) : Refusal{};
	struct stat info {};
	constexpr int to_append = O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK;
	const int file = refusal.problem.empty()
				 ? open_entry(walk.fd, name.c_str(), to_append | (entry == -1 ? O_CREAT : 0), info)
				 : -1;
	const int unopened = file == -1 ? errno : 0;
	if (file != -1 && entry != -1 && (info.st_dev != found.st_dev || info.st_ino != found.st_ino))
		refusal = cannot_check(path, ESTALE);
	else if (file != -1)
		refusal = not_to_write(path, info);
	if (refusal.problem.empty() && S_ISREG(info.st_mode) && ftruncate(file, 0) == -1)
		refusal = cannot_check(path, errno);
	end_walk(walk);
	if (file != -1 && !refusal.problem.empty())
		close(file);
	walk = Walk{refusal.problem.empty() ? file : -1, info, path, "", walk.links, unopened, true};
	return refusal;
}

// Takes one entry: a link is followed, a directory entered, a file ends the
// walk, short where the path goes on, as the kernel stops there. Only a
// missing entry is no fault, unless others can make it; the file to write is
// made where it is missing.
Refusal take_entry(Walk &walk, const std::string &name)
{
	const std::string path = walk.at + "/" + name;
	const bool last = walk.pending.find_first_not_of('/') == std::string::npos;
	const bool slashed = last && !walk.pending.empty(); // names a directory, as open takes it
	struct stat info {};
	const int entry = open_entry(walk.fd, name.c_str(), O_PATH, info);
	const bool missing = entry == -1 && errno == ENOENT;
	if (missing && walk.writing && slashed) {
		end_short(walk, EISDIR);
		return {};
	}
	if (missing && walk.writing && last)
		return end_at_writing(walk, -1, info, name, path);
	if (entry == -1 && (!missing || (others_can_write(walk.info) && !walk.writing)))
		return !missing ? cannot_check(path, errno) : missing_in_shared(path, walk.at);
	if (entry != -1 && S_ISDIR(info.st_mode))
		return step_into(walk, entry, info, path);
	Refusal refusal;
	if (entry != -1 && S_ISLNK(info.st_mode) && is_trusted_owner(info.st_uid))
		refusal = follow_link(walk, entry, path);
	else if (entry != -1 && S_ISLNK(info.st_mode)) // its owner can have chosen where it leads
		refusal = walk.writing ? not_to_write(path, info) : untrusted(path, info);
	else if (entry != -1 && last && !slashed)
		return walk.writing ? end_at_writing(walk, entry, info, name, path)
				    : end_at(walk, entry, info, name, path);
	else
		end_short(walk, missing ? ENOENT : ENOTDIR);
	if (entry != -1)
		close(entry);
	return refusal;
}

// Walks what is left, judging each directory and link; the end is the caller's.
Refusal walk_on(Walk &walk)
{
	Refusal refusal;
	for (std::string name; refusal.problem.empty() && walk.fd != -1;) {
		if ((name = next_component(walk.pending)).empty())
			break;
		if (name == "..")
			refusal = step_up(walk);
		else if (name != ".")
			refusal = take_entry(walk, name);
	}
	return refusal;
}

// A relative path starts from the working directory, which the walk reaches
// from the root by its name, judging all above it, and finds to be the same.
// What fails there is the start's to put right, not the directory's owner's.
Refusal walk_to_working_directory(Walk &walk, const std::string &path, std::string_view absolute)
{
	const std::string subject = "the working directory, from which " + path + " starts,";
	char working[PATH_MAX];
	struct stat here {};
	if (getcwd(working, sizeof working) == nullptr || stat(".", &here) == -1)
		return cannot_check(subject, errno);
	walk.pending = working;
	Refusal refusal = walk_on(walk);
	if (refusal.problem.empty() &&
	    (walk.fd == -1 || walk.info.st_dev != here.st_dev || walk.info.st_ino != here.st_ino))
		refusal = {subject, "is no longer " + escaped(working), ""};
	if (!refusal.problem.empty() && !refusal.fix.empty())
		refusal.fix = "start the daemon from a directory of root's, or give it " + std::string(absolute);
	return refusal;
}

// Walks a whole path from the root, or from the working directory.
Refusal walk_path(Walk &walk, const std::string &path, std::string_view absolute)
{
	const bool writing = walk.writing;
	walk.writing = false; // the working directory is all directories
	Refusal refusal = step_to(walk, AT_FDCWD, "/", "/");
	if (refusal.problem.empty() && !path.starts_with('/'))
		refusal = walk_to_working_directory(walk, path, absolute);
	walk.pending = path;
	walk.writing = writing;
	if (refusal.problem.empty())
		refusal = walk_on(walk);
	return refusal;
}

} // namespace

Refusal judge_path(const std::string &path, int *readable)
{
	Walk walk;
	Refusal refusal = walk_path(walk, path, "an absolute root");
	if (refusal.problem.empty() && walk.fd != -1)
		refusal = judge_file(walk.at, walk.info);
	if (refusal.problem.empty() && walk.fd != -1 && readable != nullptr) {
		if (walk.unopened != 0)
			refusal = cannot_check(walk.at, walk.unopened);
		else
			std::swap(*readable, walk.fd);
	}
	end_walk(walk);
	return refusal;
}

std::string why_untrusted(const std::string &path) { return reason_line(judge_path(path, nullptr)); }

Refusal open_to_write(const std::string &path, int &fd)
{
	if (path.empty())
		return {.error = ENOENT};
	Walk walk{.writing = true};
	Refusal refusal = walk_path(walk, path, "absolute file names");
	if (refusal.problem.empty() && walk.fd != -1 && S_ISDIR(walk.info.st_mode))
		refusal.error = EISDIR;
	else if (refusal.problem.empty() && walk.fd != -1)
		std::swap(fd, walk.fd);
	else if (refusal.problem.empty())
		refusal.error = walk.unopened;
	end_walk(walk);
	return refusal;
}
