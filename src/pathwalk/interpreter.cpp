// A script runs its interpreter, with the daemon's rights: the kernel reads
// its name from the script's "#!" line, and that interpreter may be a script
// in turn. The rest of the line is one argument for the interpreter, which sh
// runs as a script and env as a program, after splitting it where it starts
// with -S. Only the forms that the kernel, sh and env all read as this reads
// them are run; every other one is refused, since a partial reading of env's
// grammar (quotes, escapes, assignments, its own options) is how another's
// file gets run. What the interpreter then does, such as env's search of
// PATH, and the shared libraries are not judged.
#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <vector>

#include "pathwalk.h"

namespace {

constexpr std::string_view blanks(" \t", 2);

// The kernel splits the line at spaces and tabs alone, and env -S at any
// white space: with nothing but printable ASCII and those two, both agree.
bool is_readable_line(std::string_view text)
{
	return std::ranges::all_of(text, [](char c) { return c == '\t' || (c >= ' ' && c <= '~'); });
}

bool is_plain_word(std::string_view word) { return !word.empty() && std::ranges::all_of(word, is_plain_character); }

// A cluster of single-letter options, such as -e or -eu.
bool is_plain_option(std::string_view word)
{
	return word.size() >= 2 && word[0] == '-' && std::ranges::all_of(word.substr(1), [](char c) {
		       return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
	       });
}

std::vector<std::string_view> split_at_blanks(std::string_view text)
{
	std::vector<std::string_view> words;
	for (std::size_t start = 0; (start = text.find_first_not_of(blanks, start)) != std::string_view::npos;) {
		const auto end = std::min(text.find_first_of(blanks, start), text.size());
		words.push_back(text.substr(start, end - start));
		start = end;
	}
	return words;
}

// An argument that a program takes after its name: a plain option, or an
// absolute path, which it may run and so is judged. A relative one would be
// found from the working directory, which may be another's.
bool take_argument(std::string_view word, std::vector<std::string> &programs)
{
	if (is_plain_option(word))
		return true;
	if (!is_plain_word(word) || !word.starts_with('/'))
		return false;
	programs.emplace_back(word);
	return true;
}

// env's one argument: a program, or -S and a program with its arguments. A
// program without a slash is looked up on PATH, which is not judged; before
// it nothing may stand that env takes for an option or an assignment.
bool take_env_argument(const std::vector<std::string_view> &words, std::vector<std::string> &programs)
{
	const bool split = words.front() == "-S";
	const std::size_t command = split ? 1 : 0;
	if (words.size() <= command || (!split && words.size() > 1))
		return false;
	const std::string_view program = words[command];
	if (!is_plain_word(program) || program.starts_with('-'))
		return false;
	if (program.find('/') != std::string_view::npos && !take_argument(program, programs))
		return false;
	return std::all_of(words.begin() + static_cast<long>(command) + 1, words.end(),
			   [&](std::string_view word) { return take_argument(word, programs); });
}

// Reads the first line of the judged file, and judges what it names.
Verdict programs_named(const std::string &path, int file, std::vector<std::string> &programs)
{
	char head[first_line_size];
	const ssize_t got = pread(file, head, sizeof head, 0);
	if (got == -1)
		return {.fault = Fault::cannot_check, .path = path, .error = errno};
	switch (read_first_line(std::string_view(head, static_cast<std::size_t>(got)), programs)) {
	case FirstLine::too_long:
		return {.fault = Fault::line_too_long, .path = path};
	case FirstLine::cannot_judge:
		return {.fault = Fault::line_cannot_judge, .path = path};
	case FirstLine::read:
		break;
	}
	return {};
}

// Judges a program, and what its "#!" line runs, each with a chain of its
// own; a refusal in it names the script nearest to what failed.
Verdict judge_program(const std::string &path, int scripts_before)
{
	int file = -1;
	std::vector<std::string> programs;
	Verdict verdict = judge_to_read(path, Use::run, file);
	if (file != -1) {
		verdict = programs_named(path, file, programs);
		close(file);
	}
	if (verdict.fault != Fault::none || programs.empty())
		return verdict;
	if (scripts_before + 1 > max_scripts_in_a_row) // this one would be a script too many
		return {.fault = Fault::scripts_too_deep, .path = path};
	for (const std::string &program : programs) {
		verdict = judge_program(program, scripts_before + 1);
		if (verdict.fault != Fault::none) {
			verdict.script = verdict.script.empty() ? path : verdict.script;
			return verdict;
		}
	}
	return {};
}

} // namespace

FirstLine read_first_line(std::string_view head, std::vector<std::string> &programs)
{
	if (!head.starts_with("#!"))
		return FirstLine::read;
	const auto line_end = head.find('\n');
	if (line_end == std::string_view::npos && head.size() >= first_line_size)
		return FirstLine::too_long;
	const std::string_view text = head.substr(2, line_end - 2);
	const std::vector<std::string_view> words = split_at_blanks(text);
	if (words.empty())
		return FirstLine::read;
	const std::string_view interpreter = words.front();
	programs.emplace_back(interpreter);
	const std::vector<std::string_view> argument(words.begin() + 1, words.end());
	const bool env = interpreter.ends_with("/env");
	const bool judged = is_readable_line(text) && interpreter.starts_with('/') &&
			    (argument.empty() || (env ? take_env_argument(argument, programs)
						      : argument.size() == 1 && take_argument(argument[0], programs)));
	return judged ? FirstLine::read : FirstLine::cannot_judge;
}

Verdict judge_to_run(const std::string &path) { return judge_program(path, 0); }
