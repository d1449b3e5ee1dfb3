// Who may change what the daemon reads and runs, and what a refusal says: one
// line that names what failed, why, and the least that makes it safe again,
// not merely what would quiet the check.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "registration.h"

namespace {

std::string others_than_root()
{
	return geteuid() == 0 ? "others than root" : "others than root and uid " + std::to_string(geteuid());
}

std::string owner_and_mode(const struct stat &info)
{
	char mode[8];
	std::snprintf(mode, sizeof mode, "%04o", info.st_mode & 07777U);
	return "owned by uid " + std::to_string(info.st_uid) + " with mode " + mode;
}

// The owner and the mode that leave it to root alone; a shared sticky
// directory keeps its mode, since its users need it.
std::string owner_and_mode_fix(const std::string &path, const struct stat &info)
{
	std::string fix;
	if (!is_trusted_owner(info.st_uid))
		fix = "chown root " + path;
	const bool shared = S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0;
	if (others_can_write(info) && !shared)
		fix.append(fix.empty() ? "" : " && ").append("chmod go-w ").append(path);
	return fix;
}

} // namespace

bool is_trusted_owner(uid_t owner) { return owner == 0 || owner == geteuid(); }
bool others_can_write(const struct stat &info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Only the trusted can add, rename or remove the entries of a directory of a
// trusted owner that no one else can write to, or that is sticky, as /tmp is.
bool keeps_what_it_holds(const struct stat &info)
{
	return is_trusted_owner(info.st_uid) && (!others_can_write(info) || (info.st_mode & S_ISVTX) != 0);
}

Refusal judge_file(const std::string &path, const struct stat &info)
{
	if (!S_ISREG(info.st_mode))
		return {path, "is not a regular file", ""};
	return is_trusted_owner(info.st_uid) && !others_can_write(info) ? Refusal{} : untrusted(path, info);
}

std::string escaped(std::string_view name)
{
	std::string text;
	for (const char c : name) {
		const auto byte = static_cast<unsigned char>(c);
		if (c == '\\' || c == '\n' || c == '\t' || c == '\r') {
			text += '\\';
			text += c == '\\' ? '\\' : c == '\n' ? 'n' : c == '\t' ? 't' : 'r';
		} else if (byte < 0x20 || byte == 0x7f) {
			char hex[5];
			std::snprintf(hex, sizeof hex, "\\x%02x", byte);
			text += hex;
		} else {
			text += c;
		}
	}
	return text;
}

// A file that others could write to may hold their code by now, and a mode
// change does not take back a descriptor they opened meanwhile: only a fresh
// copy, a new file renamed over it, does. A directory is closed first, so that
// nothing more arrives, and then what it holds is looked at. A link is taken
// over first, so that it cannot be turned while its target is checked.
Refusal untrusted(const std::string &path, const struct stat &info)
{
	const std::string name = escaped(path);
	const std::string others = others_than_root();
	if (S_ISLNK(info.st_mode))
		return {path,
			"is a symbolic link owned by uid " + std::to_string(info.st_uid) + ", so " + others +
				" may have chosen where it leads",
			"chown -h root " + name + ", then check where it leads"};
	const std::string fix = owner_and_mode_fix(name, info);
	if (S_ISDIR(info.st_mode))
		return {path, "is " + owner_and_mode(info) + ", so " + others + " can change what it holds",
			fix + ", then check what it holds"};
	return {path, "is " + owner_and_mode(info) + ", so " + others + " can change it",
		"reinstall it from its package, then " + fix};
}

Refusal missing_in_shared(const std::string &path, const std::string &directory)
{
	return {path,
		"does not exist, and " + others_than_root() + " can make it in " +
			escaped(directory.empty() ? "/" : directory),
		""};
}

Refusal cannot_check(const std::string &path, int error)
{
	return {path, std::string("cannot be checked: ") + std::strerror(error), ""};
}

std::string reason_line(const Refusal &refusal)
{
	if (refusal.problem.empty())
		return "";
	std::string line = escaped(refusal.path.empty() ? "/" : refusal.path) + " " + refusal.problem;
	return refusal.fix.empty() ? line : line + "; fix it with: " + refusal.fix;
}
