// What a refusal says, and nowhere else: one line that names what failed,
// why, and the least that makes it safe again, not merely what would quiet
// the check, with every name in it escaped, and quoted for the shell in a fix.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "pathwalk.h"

namespace {

// A file that others could write to may hold their code by now, and neither
// a mode nor an owner changed afterwards takes back what they wrote or a
// descriptor they opened meanwhile: only a fresh copy, a new file renamed
// over it, does. Where a script names it, it may be no package's.
constexpr std::string_view fresh_copy_fix = "replace it with a fresh copy renamed over it, as reinstalling its "
					    "package does";
constexpr std::string_view own_copy_fix = "; where no package put it, put root's own copy in a directory of "
					  "root's and point the #! line of ";
// No fix for a name to write makes another's file or directory root's, which
// would take over what they left there, nor removes a device, the system's.
constexpr std::string_view another_name_fix = "give the daemon a file name in a directory of root's";

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

// A name as a fix gives it: one word to the shell, whatever it holds, and
// escaped, so that the line stays one. A single quote is spelt without a
// backslash, which the escaping would double.
std::string pasted(const std::string &path) { return escaped(shell_word(path, "'\"'\"'")); }

bool is_device(const struct stat &info) { return S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode); }

// What failed, after its name.
std::string problem(const Verdict &verdict)
{
	const struct stat &info = verdict.info;
	const std::string others = others_than_root();
	const std::string parent = verdict.path.substr(0, verdict.path.rfind('/'));
	switch (verdict.fault) {
	case Fault::none:
		break;
	case Fault::others_can_change:
		if (S_ISLNK(info.st_mode))
			return "is a symbolic link owned by uid " + std::to_string(info.st_uid) + ", so " + others +
			       " may have chosen where it leads";
		return "is " + owner_and_mode(info) + ", so " + others +
		       (S_ISDIR(info.st_mode) ? " can change what it holds" : " can change it");
	case Fault::not_regular:
		return "is not a regular file";
	case Fault::missing_in_shared:
		return "does not exist, and " + others + " can make it in " + escaped(parent.empty() ? "/" : parent);
	case Fault::cannot_check:
	case Fault::working_directory_unknown:
		return std::string("cannot be checked: ") + std::strerror(verdict.error);
	case Fault::too_many_links:
		return "is the last of a chain of more than " + std::to_string(max_symbolic_links) +
		       " symbolic links, more than the kernel follows";
	case Fault::working_directory_moved:
		return "is no longer " + escaped(verdict.path);
	case Fault::owned_by_another:
		return "is owned by uid " + std::to_string(info.st_uid) + ", so " + others +
		       " can read, change or hold back what the daemon writes to it";
	case Fault::hard_links:
		return "has " + std::to_string(info.st_nlink) + " hard links, so " + others +
		       " may have linked a file of root's there";
	case Fault::others_can_write:
		return "is " + owner_and_mode(info) + ", so " + others + " can change what the daemon writes to it";
	case Fault::others_can_open:
		return "is " + std::string(is_device(info) ? "a device" : "a FIFO or socket") + " " +
		       owner_and_mode(info) + ", so " + others +
		       " can open it, to read or hold back what the daemon writes to it";
	case Fault::line_too_long:
		return "has a #! line longer than every kernel reads";
	case Fault::line_cannot_judge:
		return "has a #! line that cannot be judged";
	case Fault::scripts_too_deep:
		return "is a script whose interpreter is a script, more deeply than every kernel runs";
	}
	return "";
}

// The fix for what others could change on the way to what the daemon runs or
// reads. A directory is closed first, so that nothing more arrives, and then
// what it holds is looked at; a shared sticky one keeps its mode, since its
// users need it. A link is taken over first, so that it cannot be turned
// while its target is checked.
std::string fix_to_run(const Verdict &verdict)
{
	const struct stat &info = verdict.info;
	const std::string name = pasted(verdict.path);
	if (S_ISLNK(info.st_mode))
		return "chown -h root " + name + ", then check where it leads";
	if (!S_ISDIR(info.st_mode))
		return std::string(fresh_copy_fix) +
		       (verdict.script.empty() ? "" : std::string(own_copy_fix) + pasted(verdict.script) + " there");
	std::string fix = is_trusted_owner(info.st_uid) ? "" : "chown root " + name;
	if (others_can_write(info) && (info.st_mode & S_ISVTX) == 0)
		fix.append(fix.empty() ? "" : " && ").append("chmod go-w ").append(name);
	return fix + ", then check what it holds";
}

// The fix for what stands at a name to write or on the way to it: with the
// name removed, the daemon makes a file of its own; root's own directory is
// closed as for running.
std::string fix_to_write(const Verdict &verdict)
{
	const struct stat &info = verdict.info;
	if (is_device(info) || (S_ISDIR(info.st_mode) && !is_trusted_owner(info.st_uid)))
		return std::string(another_name_fix);
	return S_ISDIR(info.st_mode) ? fix_to_run(verdict) : "rm " + pasted(verdict.path);
}

std::string remedy_for(const Verdict &verdict)
{
	switch (verdict.fault) {
	case Fault::others_can_change:
		return verdict.use == Use::write ? fix_to_write(verdict) : fix_to_run(verdict);
	case Fault::owned_by_another:
	case Fault::hard_links:
	case Fault::others_can_write:
	case Fault::others_can_open:
		return fix_to_write(verdict);
	case Fault::line_cannot_judge:
		return "point its #! line at root's own interpreter, in a directory of root's, with no argument or "
		       "plain options";
	default:
		return "";
	}
}

} // namespace

std::string reason_line(const Verdict &verdict)
{
	if (verdict.fault == Fault::none)
		return "";
	const bool about_working_directory =
		verdict.fault == Fault::working_directory_unknown || verdict.fault == Fault::working_directory_moved;
	const std::string name = about_working_directory
					 ? "the working directory, from which " + escaped(verdict.relative) + " starts,"
					 : escaped(verdict.path.empty() ? "/" : verdict.path);
	std::string remedy = remedy_for(verdict);
	// What fails on the way to the working directory is the start's to put
	// right, not the directory's owner's.
	if (!verdict.relative.empty() && !remedy.empty())
		remedy = "start the daemon from a directory of root's, or give it " +
			 std::string(verdict.use == Use::write ? "absolute file names" : "an absolute root");
	return name + " " + problem(verdict) + (remedy.empty() ? "" : "; fix it with: " + remedy);
}
