// Who may change what the daemon reads and runs, and what a refusal says: one
// line that names what failed, why, and the least that makes it safe again,
// not merely what would quiet the check.
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// A name as a fix gives it: one word to the shell, whatever it holds, and
// escaped, so that the line stays one. A single quote is spelt without a
// backslash, which the escaping would double.
std::string pasted(const std::string &path) { return escaped(shell_word(path, "'\"'\"'")); }

// The owner and the mode that leave a directory to root alone; a shared
// sticky one keeps its mode, since its users need it.
std::string owner_and_mode_fix(const std::string &path, const struct stat &info)
{
	std::string fix;
	if (!is_trusted_owner(info.st_uid))
		fix = "chown root " + path;
	if (others_can_write(info) && (info.st_mode & S_ISVTX) == 0)
		fix.append(fix.empty() ? "" : " && ").append("chmod go-w ").append(path);
	return fix;
}

constexpr std::string_view another_name_fix = "give the daemon a file name in a directory of root's";
constexpr std::string_view fresh_copy_fix = "replace it with a fresh copy renamed over it, as reinstalling its "
					    "package does";

// Unicode's invisible format and separator characters, which can make a name
// look like another or reorder the line around it: U+200B to U+200F, U+2028
// to U+202E, U+2060 to U+2064, U+2066 to U+2069 and U+FEFF, in UTF-8.
bool is_format_character(std::string_view sequence)
{
	const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(sequence[at]); };
	if (byte(0) == 0xef)
		return byte(1) == 0xbb && byte(2) == 0xbf;
	if (byte(0) != 0xe2)
		return false;
	const unsigned last = byte(2);
	if (byte(1) == 0x80)
		return (last >= 0x8b && last <= 0x8f) || (last >= 0xa8 && last <= 0xae);
	return byte(1) == 0x81 && last >= 0xa0 && last <= 0xa9 && last != 0xa5;
}

// The length of the well-formed UTF-8 sequence that text starts with, where
// it encodes a character other than a C1 control (U+0080 to U+009F, which a
// terminal may take for a command) or a format character; 0 otherwise.
std::size_t printable_sequence_length(std::string_view text)
{
	const auto byte = [&](std::size_t at) { return at < text.size() ? static_cast<unsigned char>(text[at]) : 0U; };
	const unsigned lead = byte(0);
	const std::size_t length = lead >= 0xc2 && lead <= 0xdf   ? 2
				   : lead >= 0xe0 && lead <= 0xef ? 3
				   : lead >= 0xf0 && lead <= 0xf4 ? 4
								  : 0;
	// The byte after the lead has a narrower range where a wider one would
	// spell a C1 control, a character in more bytes than it needs, a UTF-16
	// surrogate or one past U+10FFFF.
	unsigned low = 0x80;
	unsigned high = 0xbf;
	if (lead == 0xc2 || lead == 0xe0)
		low = 0xa0;
	else if (lead == 0xf0)
		low = 0x90;
	else if (lead == 0xed)
		high = 0x9f;
	else if (lead == 0xf4)
		high = 0x8f;
	if (length == 0 || byte(1) < low || byte(1) > high)
		return 0;
	for (std::size_t at = 2; at < length; ++at)
		if (byte(at) < 0x80 || byte(at) > 0xbf)
			return 0;
	return length == 3 && is_format_character(text.substr(0, 3)) ? 0 : length;
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
	for (std::size_t at = 0; at < name.size();) {
		const char c = name[at];
		const auto byte = static_cast<unsigned char>(c);
		const std::size_t sequence = byte >= 0x80 ? printable_sequence_length(name.substr(at)) : 0;
		if (sequence > 0) {
			text.append(name.substr(at, sequence));
			at += sequence;
			continue;
		}
		if (c == '\\' || c == '\n' || c == '\t' || c == '\r') {
			text += '\\';
			text += c == '\\' ? '\\' : c == '\n' ? 'n' : c == '\t' ? 't' : 'r';
		} else if (byte < 0x20 || byte >= 0x7f) {
			char hex[5];
			std::snprintf(hex, sizeof hex, "\\x%02x", byte);
			text += hex;
		} else {
			text += c;
		}
		++at;
	}
	return text;
}

// A file that others could write to may hold their code by now, and neither
// a mode nor an owner changed afterwards takes back what they wrote or a
// descriptor they opened meanwhile: only a fresh copy, a new file renamed
// over it, does. A directory is closed first, so that nothing more arrives,
// and then what it holds is looked at. A link is taken over first, so that it
// cannot be turned while its target is checked.
Refusal untrusted(const std::string &path, const struct stat &info)
{
	const std::string name = pasted(path);
	const std::string others = others_than_root();
	if (S_ISLNK(info.st_mode))
		return {path,
			"is a symbolic link owned by uid " + std::to_string(info.st_uid) + ", so " + others +
				" may have chosen where it leads",
			"chown -h root " + name + ", then check where it leads"};
	if (S_ISDIR(info.st_mode))
		return {path, "is " + owner_and_mode(info) + ", so " + others + " can change what it holds",
			owner_and_mode_fix(name, info) + ", then check what it holds"};
	return {path, "is " + owner_and_mode(info) + ", so " + others + " can change it", std::string(fresh_copy_fix)};
}

// A program that a script's "#!" line names may be no package's: its fix then
// is root's own copy in a directory of root's, named on that line instead.
Refusal named_by_script(Refusal refusal, const std::string &script)
{
	if (refusal.fix == fresh_copy_fix)
		refusal.fix += "; where no package put it, put root's own copy in a directory of root's and point the "
			       "#! line of " +
			       pasted(script) + " there";
	return refusal;
}

// The system's null device, which keeps nothing that anyone could read.
bool is_null_device(const struct stat &info) { return S_ISCHR(info.st_mode) && info.st_rdev == makedev(1, 3); }

// What the daemon would write to, or pass on the way to it, others could have
// put there, or be able to open, to take its lines, forge some, hold them
// back or have it truncate a file of root's: with the name removed, the
// daemon makes a file of its own. No fix makes another's file or directory
// root's, which would take over what they left in it, and none removes a
// device, which is the system's: another name is given instead.
Refusal not_to_write(const std::string &path, const struct stat &info)
{
	const bool device = S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode);
	const bool special = device || S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode);
	const std::string others = others_than_root();
	Refusal refusal;
	if (!is_trusted_owner(info.st_uid) && S_ISLNK(info.st_mode))
		refusal = untrusted(path, info);
	else if (!is_trusted_owner(info.st_uid))
		refusal = {path, "is owned by uid " + std::to_string(info.st_uid) + ", so " + others +
					 " can read, change or hold back what the daemon writes to it"};
	else if (S_ISREG(info.st_mode) && info.st_nlink > 1)
		refusal = {path, "has " + std::to_string(info.st_nlink) + " hard links, so " + others +
					 " may have linked a file of root's there"};
	else if (S_ISREG(info.st_mode) && others_can_write(info))
		refusal = {path, "is " + owner_and_mode(info) + ", so " + others +
					 " can change what the daemon writes to it"};
	else if (special && (info.st_mode & 066U) != 0 && !is_null_device(info))
		refusal = {path, "is " + std::string(device ? "a device" : "a FIFO or socket") + " " + owner_and_mode(info) +
					 ", so " + others + " can open it, to read or hold back what the daemon writes to it"};
	if (!refusal.problem.empty())
		refusal.fix = device ? std::string(another_name_fix) : "rm " + pasted(path);
	return refusal;
}

// A directory on the way to a file to write: root's own is closed, another's
// left to them.
Refusal not_to_pass(const std::string &path, const struct stat &info)
{
	Refusal refusal = untrusted(path, info);
	if (!is_trusted_owner(info.st_uid))
		refusal.fix = another_name_fix;
	return refusal;
}

Refusal missing_in_shared(const std::string &path, const std::string &directory)
{
	return {path,
		"does not exist, and " + others_than_root() + " can make it in " +
			escaped(directory.empty() ? "/" : directory),
		""};
}

// A line that the kernel, sh and env could each read otherwise than the
// daemon does.
Refusal cannot_judge_line(const std::string &path)
{
	return {path, "has a #! line that cannot be judged",
		"point its #! line at root's own interpreter, in a directory of root's, with no argument or plain "
		"options"};
}

Refusal cannot_check(const std::string &path, int error)
{
	return {path, std::string("cannot be checked: ") + std::strerror(error), "", error};
}

std::string reason_line(const Refusal &refusal)
{
	if (refusal.problem.empty())
		return "";
	std::string line = escaped(refusal.path.empty() ? "/" : refusal.path) + " " + refusal.problem;
	return refusal.fix.empty() ? line : line + "; fix it with: " + refusal.fix;
}

