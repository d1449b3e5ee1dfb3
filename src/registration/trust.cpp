// The daemon runs as root what it finds at a path that a file names: were
// anyone else able to change the file, the tool, or a directory or link on
// the way to either, they could run anything as root. Both paths are walked
// as the kernel walks them, an entry at a time by descriptor, so that no limit
// on a path's length applies, and refused, with what to change, unless only
// root (and the daemon's own user, for a daemon started by hand) can change
// them. What the walk cannot judge is refused too.
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "registration.h"

namespace {

constexpr int max_symbolic_links = 40; // as many as the kernel follows in one path

bool is_trusted(uid_t owner) { return owner == 0 || owner == geteuid(); }
bool others_can_write(const struct stat &info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }
bool is_sticky(const struct stat &info) { return (info.st_mode & S_ISVTX) != 0; }

// A directory that others can write to still keeps what it holds when it is
// sticky and root's, as /tmp is (or the daemon's own user's): no one else can
// then rename or remove another's entry there, so each entry is as safe as
// its owner.
bool keeps_what_it_holds(const struct stat &info)
{
	return !others_can_write(info) || (is_sticky(info) && is_trusted(info.st_uid));
}
bool is_trusted_directory(const struct stat &info) { return is_trusted(info.st_uid) && keeps_what_it_holds(info); }

std::string others_than_root()
{
	return geteuid() == 0 ? "others than root" : "others than root and uid " + std::to_string(geteuid());
}

// Why a file or directory that others can change is refused, and the least
// that puts it right: a shared sticky directory needs only a trusted owner,
// since taking its write permission would take it from its users.
std::string refusal(const std::string &path, const struct stat &info)
{
	const bool directory = S_ISDIR(info.st_mode);
	const bool shared = directory && is_sticky(info);
	std::string fix;
	if (!is_trusted(info.st_uid))
		fix = "chown root " + path;
	if (others_can_write(info) && !shared)
		fix.append(fix.empty() ? "" : "; ").append("chmod go-w ").append(path);
	char mode[8];
	std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777U);
	std::string why = path;
	why.append(" is owned by uid ").append(std::to_string(info.st_uid)).append(" with mode ").append(mode);
	why.append(", so ").append(others_than_root()).append(" can change ");
	return why.append(directory ? "what it holds" : "it").append("; fix it with: ").append(fix);
}

std::string link_refusal(const std::string &path, const struct stat &info)
{
	return path + " is a symbolic link owned by uid " + std::to_string(info.st_uid) +
	       " in a directory that others can write to, so " + others_than_root() +
	       " can change where it leads; fix it with: chown -h root " + path;
}

std::string cannot_check(const std::string &path, int error)
{
	return path + " cannot be checked: " + std::strerror(error);
}

// Where a walk stands: the directory (or, at its end, the file) reached, by
// descriptor, -1 where the walk ended early; its status; its path as the
// operator would type it, "" for the root; and what is left to walk.
struct Walk {
	int fd = -1;
	struct stat info {};
	std::string at;
	std::string pending;
	int links = 0;
};

std::string shown(const Walk &walk) { return walk.at.empty() ? "/" : walk.at; }

void end_walk(Walk &walk)
{
	if (walk.fd != -1)
		close(walk.fd);
	walk.fd = -1;
}

// Takes the next component from the front of what is left to walk.
std::string next_component(std::string &pending)
{
	const auto start = pending.find_first_not_of('/');
	if (start == std::string::npos) {
		pending.clear();
		return "";
	}
	const auto end = pending.find('/', start);
	std::string name = pending.substr(start, end - start);
	pending.erase(0, end);
	return name;
}

// Moves the walk into a directory, opened as next, and judges it.
std::string step_into(Walk &walk, int next, const std::string &path)
{
	struct stat info {};
	if (next == -1 || fstat(next, &info) == -1) {
		const int error = errno;
		if (next != -1)
			close(next);
		return cannot_check(path, error);
	}
	end_walk(walk);
	walk.fd = next;
	walk.info = info;
	walk.at = path == "/" ? "" : path;
	return is_trusted_directory(info) ? "" : refusal(path, info);
}

std::string step_to_root(Walk &walk) { return step_into(walk, open("/", O_PATH | O_DIRECTORY | O_CLOEXEC), "/"); }

std::string step_up(Walk &walk)
{
	const std::string parent = walk.at.substr(0, walk.at.empty() ? 0 : walk.at.rfind('/'));
	return step_into(walk, openat(walk.fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC), parent.empty() ? "/" : parent);
}

// Puts a link's target in front of what is left to walk, and goes back to
// the root for an absolute one.
std::string follow_link(Walk &walk, int link, const std::string &path)
{
	if (++walk.links > max_symbolic_links)
		return path + " is the last of a chain of more than " + std::to_string(max_symbolic_links) +
		       " symbolic links, more than the kernel follows";
	char target[PATH_MAX];
	const ssize_t length = readlinkat(link, "", target, sizeof target);
	if (length <= 0 || length == sizeof target)
		return cannot_check(path, length == -1 ? errno : ENAMETOOLONG);
	walk.pending.insert(0, target, static_cast<std::size_t>(length));
	return target[0] == '/' ? step_to_root(walk) : "";
}

// An entry that cannot be opened. Only a missing one is no fault: nothing
// runs there, unless others can make it before the run.
std::string unopened(Walk &walk, const std::string &path, int error)
{
	if (error != ENOENT)
		return cannot_check(path, error);
	if (others_can_write(walk.info))
		return path + " does not exist, and " + others_than_root() + " can make it in " + shown(walk);
	end_walk(walk);
	return "";
}

// Takes one entry of the directory the walk stands in: a link is followed,
// a directory entered; a file is the last entry, or, where the path goes on
// beyond it, ends the walk short, where the kernel stops and runs nothing.
std::string take_entry(Walk &walk, const std::string &name)
{
	const std::string path = walk.at + "/" + name;
	const int entry = openat(walk.fd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
	struct stat info {};
	if (entry == -1 || fstat(entry, &info) == -1) {
		const int error = errno;
		if (entry != -1)
			close(entry);
		return unopened(walk, path, error);
	}
	// Whoever owns an entry of a shared directory can replace it.
	if (others_can_write(walk.info) && !is_trusted(info.st_uid)) {
		close(entry);
		return S_ISLNK(info.st_mode) ? link_refusal(path, info) : refusal(path, info);
	}
	if (S_ISDIR(info.st_mode))
		return step_into(walk, entry, path);
	if (S_ISLNK(info.st_mode)) {
		std::string why = follow_link(walk, entry, path);
		close(entry);
		return why;
	}
	end_walk(walk);
	if (walk.pending.find_first_not_of('/') != std::string::npos)
		close(entry);
	else
		walk = Walk{entry, info, path, "", walk.links};
	return "";
}

// Walks what is left to walk, judging every directory and link it passes;
// the last entry reached is the caller's to judge.
std::string walk_on(Walk &walk)
{
	for (;;) {
		const std::string name = next_component(walk.pending);
		if (name.empty() || walk.fd == -1)
			return "";
		std::string why;
		if (name == "..")
			why = step_up(walk);
		else if (name != ".")
			why = take_entry(walk, name);
		if (!why.empty())
			return why;
	}
}

// A relative path starts from the working directory, which the walk reaches
// from the root by its name, judging all above it, and finds to be the same.
std::string walk_to_working_directory(Walk &walk, const std::string &path)
{
	char working[PATH_MAX];
	struct stat here {};
	if (getcwd(working, sizeof working) == nullptr || stat(".", &here) == -1)
		return cannot_check("the working directory, from which " + path + " starts,", errno);
	walk.pending = working;
	std::string why = walk_on(walk);
	if (!why.empty())
		return why;
	if (walk.fd == -1 || walk.info.st_dev != here.st_dev || walk.info.st_ino != here.st_ino)
		return "the working directory, from which " + path + " starts, is no longer " + working;
	return "";
}

} // namespace

std::string why_untrusted(const std::string &path)
{
	Walk walk;
	std::string why = step_to_root(walk);
	if (why.empty() && !path.starts_with('/'))
		why = walk_to_working_directory(walk, path);
	walk.pending = path;
	if (why.empty())
		why = walk_on(walk);
	if (why.empty() && walk.fd != -1) {
		if (!S_ISREG(walk.info.st_mode))
			why = shown(walk) + " is not a regular file";
		else if (!is_trusted(walk.info.st_uid) || others_can_write(walk.info))
			why = refusal(walk.at, walk.info);
	}
	end_walk(walk);
	return why;
}

std::string trusted_cimom_root(FILE *error_stream)
{
	const std::string why = why_untrusted(cimom_config_path);
	if (why.empty())
		return lookup_cimom_root();
	std::fprintf(error_stream, "vexlantor ignored %s and uses %s: %s\n", cimom_config_path, default_cimom_root,
		     why.c_str());
	return default_cimom_root;
}
