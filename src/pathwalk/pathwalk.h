// The path walk: what the daemon runs, reads and writes as root is judged by
// walking its path as the kernel does, an entry at a time by descriptor, so
// that no limit on its length applies and nothing can be swapped in between.
// Whatever anyone but the trusted (root, and the daemon's own user) could
// change, or whatever cannot be judged, is refused. A walk returns a verdict,
// which builds no words; words.cpp alone turns one into the line an operator
// reads. This layer knows nothing of the registration or the front end.
#ifndef VEXLANTOR_PATHWALK_H
#define VEXLANTOR_PATHWALK_H

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

// The kernel's limits that the walk keeps to, which the manual states too and
// takes from here. As many symbolic links as the kernel follows in one path:
inline constexpr int max_symbolic_links = 40;
// Of a script's first line every kernel reads this much (128 bytes until
// Linux 5.1); an older one cuts a longer line short.
inline constexpr std::size_t first_line_size = 128;
// Scripts in a row, each the interpreter of the one before, as every kernel
// runs them.
inline constexpr int max_scripts_in_a_row = 4;

// What a walk is for, which decides what may stand at its end and what fix
// leaves the host safe.
enum class Use { run, read, write };

// What failed. Where it is none, error may still hold the system's reason for
// a failure that is no one's doing, such as a missing directory.
enum class Fault {
	none,
	others_can_change,         // a directory, a link or a file
	not_regular,               // to run or read
	missing_in_shared,         // from a directory others can write to
	cannot_check,              // the system's error says why
	too_many_links,            // more in a row than the kernel follows
	working_directory_unknown, // the system's error says why
	working_directory_moved,   // path: the name it had
	owned_by_another,          // what stands at a name to write
	hard_links,                // a file to write
	others_can_write,          // a file to write
	others_can_open,           // a FIFO, socket or device to write to
	line_too_long,             // a script's #! line
	line_cannot_judge,         // a script's #! line
	scripts_too_deep,          // a script whose interpreter is one too many
};

struct Verdict {
	Fault fault = Fault::none;
	std::string path{};  // what failed, as the operator would type it; "" for the root
	struct stat info {}; // its status, where it was looked at
	int error = 0;
	Use use = Use::run;
	std::string script{};   // the script whose #! line names it, where one does
	std::string relative{}; // met on the way to the working directory: the path that starts there
};

// rules.cpp: every rule of the walk, on an entry's status; no words.
bool is_trusted_owner(uid_t owner);
bool others_can_write(const struct stat &info);
Fault judge_directory(const struct stat &info);
Fault judge_link(const struct stat &info);
Fault judge_missing(const struct stat &directory, Use use);
Fault judge_file(const struct stat &info, Use use);
bool is_plain_character(char c); // one that neither sh nor env gives a meaning of its own

// walk.cpp: a file to read, or to run, where it passes, opened for reading
// (the very file judged) where readable is given and left to the caller; and
// a file to write, opened to append, truncated, or made where it is missing.
Verdict judge_to_read(const std::string &path, Use use, int &readable);
Verdict open_to_write(const std::string &path, int &fd);

// interpreter.cpp: a program to run, and the interpreters that its "#!" line
// names, each with a chain of its own; and what a file's first bytes name to
// run, as the kernel, sh and env read them.
Verdict judge_to_run(const std::string &path);
enum class FirstLine { read, too_long, cannot_judge };
FirstLine read_first_line(std::string_view head, std::vector<std::string> &programs);

// words.cpp: the one line that names what failed, why, and the least that
// makes it safe again; "" for a verdict of safe. escaping.cpp: names escaped
// so that none can make the line two, disguise itself or move the terminal
// that shows it, and a word the shell reads as it stands, each single quote
// in it written as single_quote.
std::string reason_line(const Verdict &verdict);
std::string escaped(std::string_view name);
std::string shell_word(std::string_view word, std::string_view single_quote);

#endif
