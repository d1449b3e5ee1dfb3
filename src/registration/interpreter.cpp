// A script runs its interpreter, with the daemon's rights: the kernel reads
// its name from the script's "#!" line, and that interpreter may be a script
// in turn. The rest of the line is one argument for the interpreter, which sh
// and env take for a program to run. Each is judged as the tool is. What the
// interpreter then does, such as env's search of PATH, and the shared
// libraries are not judged.
#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

#include "registration.h"

namespace {

constexpr int max_scripts_below = 4; // scripts in a row below the first, as every kernel runs
// Of a script's first line every kernel reads this much (128 bytes until
// Linux 5.1); an older one cuts a longer line short.
constexpr std::size_t first_line_size = 128;
constexpr std::string_view blanks(" \t", 2);

// Adds the words of the argument, which blanks separate, that are absolute
// paths, but for the whole argument itself.
void add_paths_among_words(std::string_view argument, std::vector<std::string> &programs)
{
	for (std::size_t start = 0; (start = argument.find_first_not_of(blanks, start)) != std::string_view::npos;) {
		const auto end = std::min(argument.find_first_of(blanks, start), argument.size());
		const std::string_view word = argument.substr(start, end - start);
		if (word.starts_with('/') && word != argument)
			programs.emplace_back(word);
		start = end;
	}
}

// What the first line of the judged file names to run, as the kernel reads
// it: the interpreter, then its argument where that is an absolute path, and
// every absolute path among the argument's words, which env -S runs as well;
// nothing for a file that is not a script.
Refusal programs_named(const std::string &path, int file, std::vector<std::string> &programs)
{
	char line[first_line_size];
	const ssize_t got = pread(file, line, sizeof line, 0);
	if (got == -1)
		return cannot_check(path, errno);
	std::string_view head(line, static_cast<std::size_t>(got));
	if (!head.starts_with("#!"))
		return {};
	const auto line_end = head.find_first_of(std::string_view("\n\0", 2));
	if (line_end == std::string_view::npos && head.size() == sizeof line)
		return {path, "has a #! line longer than every kernel reads", ""};
	const std::string_view text = head.substr(2, line_end - 2);
	const auto name_start = text.find_first_not_of(blanks);
	if (name_start == std::string_view::npos)
		return {};
	const auto name_end = std::min(text.find_first_of(blanks, name_start), text.size());
	programs.emplace_back(text.substr(name_start, name_end - name_start));
	const auto argument_start = std::min(text.find_first_not_of(blanks, name_end), text.size());
	const auto argument_end = std::max(text.find_last_not_of(blanks) + 1, argument_start);
	const std::string_view argument = text.substr(argument_start, argument_end - argument_start);
	if (argument.starts_with('/'))
		programs.emplace_back(argument);
	add_paths_among_words(argument, programs);
	return {};
}

// Judges a program, and what its "#!" line runs, each with a chain of its own.
Refusal judge_program(const std::string &path, int scripts_above)
{
	int file = -1;
	std::vector<std::string> programs;
	Refusal refusal = judge_path(path, &file);
	if (file != -1) {
		refusal = programs_named(path, file, programs);
		close(file);
	}
	if (!refusal.problem.empty() || programs.empty())
		return refusal;
	if (scripts_above == max_scripts_below)
		return {path, "is a script whose interpreter is a script, more deeply than every kernel runs", ""};
	for (const std::string &program : programs) {
		refusal = named_by_script(judge_program(program, scripts_above + 1), path);
		if (!refusal.problem.empty())
			return refusal;
	}
	return {};
}

} // namespace

std::string why_unsafe_to_run(const std::string &path) { return reason_line(judge_program(path, 0)); }
