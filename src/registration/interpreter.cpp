// A script runs its interpreter, with the daemon's rights: the kernel reads
// its name from the script's "#!" line, and that interpreter may be a script
// in turn. Each is judged as the tool is. What the interpreter then does,
// such as env's search of PATH, and the shared libraries are not judged.
#include <algorithm>
#include <cerrno>
#include <unistd.h>

#include "registration.h"

namespace {

constexpr int max_interpreters = 4; // as many scripts in a row as the kernel runs
// Of a script's first line every kernel reads this much (128 bytes until
// Linux 5.1); an older one cuts a longer interpreter's name short.
constexpr std::size_t first_line_size = 128;

// The interpreter that the first line of the judged file names, as the
// kernel reads it; "" for a file that is not a script.
Refusal interpreter_of(const std::string &path, int file, std::string &interpreter)
{
	char line[first_line_size];
	const ssize_t got = pread(file, line, sizeof line, 0);
	if (got == -1)
		return cannot_check(path, errno);
	const std::string_view head(line, static_cast<std::size_t>(got));
	if (!head.starts_with("#!"))
		return {};
	constexpr std::string_view blanks(" \t", 2);
	constexpr std::string_view name_ends(" \t\n\0", 4);
	const auto start = std::min(head.find_first_not_of(blanks, 2), head.size());
	const auto end = std::min(head.find_first_of(name_ends, start), head.size());
	if (end == head.size() && head.size() == sizeof line)
		return {path, "names on its #! line an interpreter longer than every kernel reads", ""};
	interpreter = head.substr(start, end - start);
	return {};
}

} // namespace

std::string why_unsafe_to_run(const std::string &path)
{
	std::string program = path;
	for (int interpreters = 0;; ++interpreters) {
		int file = -1;
		std::string interpreter;
		Refusal refusal = judge_path(program, &file);
		if (file != -1) {
			refusal = interpreter_of(program, file, interpreter);
			close(file);
		}
		if (!refusal.problem.empty() || interpreter.empty())
			return reason_line(refusal);
		if (interpreters == max_interpreters)
			return reason_line(
				{program, "is a script whose interpreter is a script, more deeply than the kernel runs",
				 ""});
		program = interpreter;
	}
}
