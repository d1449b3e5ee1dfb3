// One entry of a walk: a directory entered, a link followed, a missing entry,
// or the file at the walk's end, opened from the directory that holds it.
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

#include "walk.h"

namespace {

// One entry of the directory held, looked at through an O_PATH descriptor.
struct Entry {
	std::string name;
	std::string path;
	bool last;    // nothing but slashes follows
	bool slashed; // and at least one, so that it names a directory
	int fd = -1;
	struct stat info {};
	int error = 0;
};

// To append, never as a terminal to be controlled by, without waiting for a
// FIFO's reader.
constexpr int to_append = O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK;

// Ends the walk short of its end, as the kernel would with error.
Verdict end_short(Walk &walk, int error)
{
	close_descriptor(walk.fd);
	walk.open_error = error;
	return {.error = error};
}

// Ends the walk at its last entry, with fd (or -1 and error) for the caller.
void end_at(Walk &walk, int fd, const struct stat &info, const std::string &path, int error)
{
	move_to(walk, fd, info, path);
	walk.reached = true;
	walk.open_error = error;
}

// Puts a link's target in front of what is left to walk, and goes back to
// the root for an absolute one.
Verdict follow_link(Walk &walk, const Entry &entry)
{
	if (const Fault fault = judge_link(entry.info); fault != Fault::none)
		return verdict_on(fault, entry.path, entry.info);
	if (++walk.links > max_symbolic_links)
		return verdict_on(Fault::too_many_links, entry.path, entry.info);
	char target[PATH_MAX];
	const ssize_t length = readlinkat(entry.fd, "", target, sizeof target);
	if (length <= 0 || length == sizeof target)
		return cannot_check(entry.path, length == -1 ? errno : ENAMETOOLONG);
	walk.pending.insert(0, target, static_cast<std::size_t>(length));
	return target[0] == '/' ? step_to(walk, AT_FDCWD, "/", "/") : Verdict{};
}

// A file to run or read: reopened for reading from the directory held, so
// that what is read is what was judged; the caller judges its status.
Verdict end_reading(Walk &walk, const Entry &entry)
{
	int fd = -1;
	int error = EBADF; // not regular, which the caller refuses
	if (S_ISREG(entry.info.st_mode)) {
		struct stat opened {};
		fd = open_and_stat(walk.fd, entry.name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, opened);
		error = fd == -1 ? errno : same_file(opened, entry.info) ? 0 : ESTALE;
	}
	if (error != 0)
		close_descriptor(fd);
	end_at(walk, fd, entry.info, entry.path, error);
	return {};
}

// A file to write: what stands there is judged before it is opened, since
// opening a FIFO or a device is already an act, and what was opened after,
// since the open looks the name up again and another could have put
// something else there. Only what passes both is truncated.
Verdict end_writing(Walk &walk, const Entry &entry)
{
	if (const Fault fault = judge_file(entry.info, Use::write); fault != Fault::none)
		return verdict_on(fault, entry.path, entry.info);
	struct stat opened {};
	const int fd = open_and_stat(walk.fd, entry.name.c_str(), to_append, opened);
	if (fd == -1 && errno == ELOOP) // a link, put at the name since the look
		return cannot_check(entry.path, ELOOP);
	if (fd == -1)
		return end_short(walk, errno);
	end_at(walk, fd, opened, entry.path, 0);
	if (!same_file(opened, entry.info))
		return cannot_check(entry.path, ESTALE);
	if (const Fault fault = judge_file(opened, Use::write); fault != Fault::none)
		return verdict_on(fault, entry.path, opened);
	return S_ISREG(opened.st_mode) && ftruncate(fd, 0) == -1 ? cannot_check(entry.path, errno) : Verdict{};
}

// A missing file to write is made, and only where nothing stands at the name
// by then, so that what is opened is the daemon's own new file.
Verdict make_file(Walk &walk, const Entry &entry)
{
	struct stat made {};
	const int fd = open_and_stat(walk.fd, entry.name.c_str(), to_append | O_CREAT | O_EXCL, made);
	if (fd == -1)
		return errno == EEXIST ? cannot_check(entry.path, EEXIST) : end_short(walk, errno);
	end_at(walk, fd, made, entry.path, 0);
	return verdict_on(judge_file(made, Use::write), entry.path, made);
}

// An entry that is not there, or cannot be looked at. Only a missing one is
// no fault, unless others could make it before the run.
Verdict take_missing(Walk &walk, const Entry &entry)
{
	if (entry.error != ENOENT)
		return cannot_check(entry.path, entry.error);
	if (walk.use == Use::write && entry.last)
		return entry.slashed ? end_short(walk, EISDIR) : make_file(walk, entry);
	if (const Fault fault = judge_missing(walk.info, walk.use); fault != Fault::none)
		return verdict_on(fault, entry.path, walk.info);
	return end_short(walk, ENOENT);
}

} // namespace

// Takes one entry: a missing one, a directory entered, a link followed, or a
// file, which ends the walk, short where the path goes on, as the kernel
// stops there. The entry's descriptor is closed here, whichever it was.
Verdict take_entry(Walk &walk, const std::string &name)
{
	const bool last = walk.pending.find_first_not_of('/') == std::string::npos;
	Entry entry{name, walk.at + "/" + name, last, last && !walk.pending.empty()};
	entry.fd = open_and_stat(walk.fd, name.c_str(), O_PATH, entry.info);
	entry.error = entry.fd == -1 ? errno : 0;
	Verdict verdict;
	if (entry.fd == -1)
		verdict = take_missing(walk, entry);
	else if (S_ISDIR(entry.info.st_mode)) {
		move_to(walk, std::exchange(entry.fd, -1), entry.info, entry.path);
		verdict = verdict_on(judge_directory(entry.info), entry.path, entry.info);
	} else if (S_ISLNK(entry.info.st_mode))
		verdict = follow_link(walk, entry);
	else if (!last || entry.slashed)
		verdict = end_short(walk, ENOTDIR);
	else
		verdict = walk.use == Use::write ? end_writing(walk, entry) : end_reading(walk, entry);
	close_descriptor(entry.fd);
	return verdict;
}
