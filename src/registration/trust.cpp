// The daemon runs as root what it finds at a path that a file names: were
// anyone else able to change the file, the tool or a directory on the way to
// either, they could run anything as root. Both are judged as the kernel
// walks their paths, and refused, with what to change, unless only root (and
// the daemon's own user, for a daemon started by hand) can change them.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "registration.h"

namespace {

constexpr int max_symbolic_links = 40; // as many as the kernel follows in one path

// The numbers of one line of a file of /proc, as many as asked for.
bool read_numbers(FILE *file, unsigned long *numbers, int count)
{
	char line[128];
	if (std::fgets(line, sizeof line, file) == nullptr)
		return false;
	const char *p = line;
	for (int i = 0; i < count; ++i) {
		char *end = nullptr;
		numbers[i] = std::strtoul(p, &end, 10);
		if (end == p)
			return false;
		p = end;
	}
	return true;
}

// Files of users that the daemon's user namespace does not map show as the
// overflow ID. Where no user is mapped to that ID, such a file's owner lies
// outside the namespace, the host's root among them: a daemon in the user
// namespace of an ordinary user's sandbox trusts them as that user would.
bool owned_outside_namespace(uid_t owner)
{
	unsigned long overflow = 0;
	FILE *file = std::fopen("/proc/sys/kernel/overflowuid", "re");
	const bool read = file != nullptr && read_numbers(file, &overflow, 1);
	if (file != nullptr)
		std::fclose(file);
	if (!read || owner != overflow || (file = std::fopen("/proc/self/uid_map", "re")) == nullptr)
		return false;
	int ranges = 0;
	bool mapped = false;
	unsigned long range[3] = {}; // first ID inside, first outside, how many
	while (read_numbers(file, range, 3)) {
		++ranges;
		mapped = mapped || (overflow >= range[0] && overflow - range[0] < range[2]);
	}
	std::fclose(file);
	return ranges > 0 && !mapped;
}

bool is_root(uid_t owner) { return owner == 0 || owned_outside_namespace(owner); }
bool is_trusted(uid_t owner) { return owner == geteuid() || is_root(owner); }
bool others_can_write(const struct stat &info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// A directory that others can write to still keeps what it holds when it is
// sticky and root's, as /tmp is: no one else can then rename or remove
// another's file there.
bool keeps_what_it_holds(const struct stat &info)
{
	return !others_can_write(info) || ((info.st_mode & S_ISVTX) != 0 && is_root(info.st_uid));
}

std::string others_than_root()
{
	return geteuid() == 0 ? "others than root" : "others than root and uid " + std::to_string(geteuid());
}

std::string refusal(const std::string &path, const struct stat &info)
{
	const bool directory = S_ISDIR(info.st_mode);
	if (!directory && !S_ISREG(info.st_mode))
		return path + " is not a regular file";
	std::string fix;
	if (!is_trusted(info.st_uid))
		fix = "chown root " + path;
	if (directory ? !keeps_what_it_holds(info) : others_can_write(info))
		fix.append(fix.empty() ? "" : "; ").append("chmod go-w ").append(path);
	char mode[8];
	std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777U);
	std::string why = path;
	why.append(" is owned by uid ").append(std::to_string(info.st_uid)).append(" with mode ").append(mode);
	why.append(", so ").append(others_than_root()).append(" can change ");
	return why.append(directory ? "what it holds" : "it").append("; fix it with: ").append(fix);
}

bool is_trusted_directory(const struct stat &info) { return is_trusted(info.st_uid) && keeps_what_it_holds(info); }
bool is_trusted_file(const struct stat &info)
{
	return S_ISREG(info.st_mode) && is_trusted(info.st_uid) && !others_can_write(info);
}

// Nothing is there. In a directory that only the trusted can write to,
// nothing can appear either, and the shell will say it found nothing.
std::string missing(const std::string &path, const std::string &directory)
{
	struct stat info {};
	if (lstat(directory.c_str(), &info) == 0 && !others_can_write(info))
		return "";
	return path + " does not exist, and " + others_than_root() + " can make it in " + directory;
}

// Puts the link's target in front of what is left to walk; false where it
// cannot be read, or too many links have been followed.
bool follow_link(const std::string &link, int followed, std::string &pending, std::string &at)
{
	char target[PATH_MAX];
	const ssize_t length = readlink(link.c_str(), target, sizeof target);
	if (followed > max_symbolic_links || length <= 0)
		return false;
	pending.insert(0, std::string(target, static_cast<std::size_t>(length)) + "/");
	if (target[0] == '/')
		at.clear();
	return true;
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

// "." and ".." move among directories already walked, and judged.
bool is_dot_step(const std::string &name, std::string &at)
{
	if (name == "..")
		at.erase(at.empty() ? 0 : at.rfind('/'));
	return name == "." || name == "..";
}

// The verdict on an entry that is not a symbolic link, unless the walk goes on
// into it.
std::string judge_entry(const std::string &path, const struct stat &info, bool last, bool &goes_on)
{
	goes_on = false;
	if (last)
		return is_trusted_file(info) ? "" : refusal(path, info);
	if (!S_ISDIR(info.st_mode))
		return ""; // the kernel stops here too, and runs nothing
	if (!is_trusted_directory(info))
		return refusal(path, info);
	goes_on = true;
	return "";
}

} // namespace

std::string why_untrusted(const std::string &path)
{
	// A relative path starts from the working directory, and from all above it.
	char working[PATH_MAX];
	if (!path.starts_with('/') && getcwd(working, sizeof working) == nullptr)
		return "the working directory, from which " + path + " starts, is gone";
	std::string pending = path.starts_with('/') ? path : std::string(working) + "/" + path;
	struct stat info {};
	if (lstat("/", &info) == -1 || !is_trusted_directory(info))
		return refusal("/", info);
	std::string at; // the physical directory reached, "" for "/"; all on the way there are trusted
	for (int links = 0;;) {
		const std::string name = next_component(pending);
		if (name.empty()) // the path ends at a directory
			return (at.empty() ? std::string("/") : at).append(" is not a regular file");
		if (is_dot_step(name, at))
			continue;
		const bool last = pending.find_first_not_of('/') == std::string::npos;
		std::string next = at;
		next.append("/").append(name);
		if (lstat(next.c_str(), &info) == -1)
			return missing(next, at.empty() ? "/" : at);
		if (S_ISLNK(info.st_mode)) {
			if (!follow_link(next, ++links, pending, at))
				return next + " is a symbolic link that cannot be followed";
			continue;
		}
		bool goes_on = false;
		std::string why = judge_entry(next, info, last, goes_on);
		if (!goes_on)
			return why;
		at = next;
	}
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
