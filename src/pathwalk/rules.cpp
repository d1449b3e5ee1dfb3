// Every rule of the walk, in one place: what each kind of entry must be for
// no one but the trusted to have chosen or to be able to change what the
// daemon runs, reads or writes. The words are words.cpp's.
#include <sys/sysmacros.h>
#include <unistd.h>

#include "pathwalk.h"

namespace {

// The system's null device, which keeps nothing that anyone could read.
bool is_null_device(const struct stat &info) { return S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3); }

// What stands at a name to write, where another could have put it, or can
// open it, to take the daemon's lines, forge some, hold them back or have it
// truncate a file of root's.
Fault judge_file_to_write(const struct stat &info)
{
	const bool regular = S_ISREG(info.st_mode);
	if (!is_trusted_owner(info.st_uid))
		return Fault::owned_by_another;
	if (regular && info.st_nlink > 1) // another's link to a file of root's
		return Fault::hard_links;
	if (regular && others_can_write(info))
		return Fault::others_can_write;
	if (!regular && (info.st_mode & 066U) != 0 && !is_null_device(info))
		return Fault::others_can_open;
	return Fault::none;
}

} // namespace

bool others_can_write(const struct stat &info) { return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0; }

// Root, and the user the daemon runs as, which may be another's by hand.
bool is_trusted_owner(uid_t owner) { return owner == 0 || owner == geteuid(); }

// Only the trusted can add, rename or remove the entries of a directory of a
// trusted owner that no one else can write to, or that is sticky, as /tmp is.
Fault judge_directory(const struct stat &info)
{
	const bool closed = !others_can_write(info) || (info.st_mode & S_ISVTX) != 0;
	return is_trusted_owner(info.st_uid) && closed ? Fault::none : Fault::others_can_change;
}

// A link's owner can have chosen where it leads, wherever it stands.
Fault judge_link(const struct stat &info)
{
	return is_trusted_owner(info.st_uid) ? Fault::none : Fault::others_can_change;
}

// Another could make what is missing before the run, where they can write
// to the directory; a file to write the daemon makes itself.
Fault judge_missing(const struct stat &directory, Use use)
{
	return use != Use::write && others_can_write(directory) ? Fault::missing_in_shared : Fault::none;
}

// A file to run or read is a regular file that only the trusted can change.
Fault judge_file(const struct stat &info, Use use)
{
	if (use == Use::write)
		return judge_file_to_write(info);
	if (!S_ISREG(info.st_mode))
		return Fault::not_regular;
	return is_trusted_owner(info.st_uid) && !others_can_write(info) ? Fault::none : Fault::others_can_change;
}

bool is_plain_character(char c)
{
	constexpr std::string_view punctuation = "/._-+,:@%";
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       punctuation.find(c) != std::string_view::npos;
}
