// Feeds arbitrary configuration files to the root directory lookup and the
// root it gives to the command builder, and checks what must always hold:
// the root is the default or the text after the key on the first key line,
// and the shell reads the tool path back as one word, the options after it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unistd.h>

#include "expected_command.h"
#include "registration/registration.h"

namespace {

void check(bool holds, const char *what)
{
	if (!holds) {
		std::fprintf(stderr, "fuzz check failed: %s\n", what);
		std::abort();
	}
}

// The first line that begins with the key names the root, up to its newline;
// a NUL byte ends it, as it would end any path.
std::string expected_root(std::string_view config)
{
	while (!config.empty()) {
		const std::size_t newline = config.find('\n');
		const std::string_view line = config.substr(0, newline);
		if (line.starts_with(cimom_root_key)) {
			const std::string_view value = line.substr(cimom_root_key.size());
			return std::string(value.substr(0, value.find('\0')));
		}
		config.remove_prefix(newline == std::string_view::npos ? config.size() : newline + 1);
	}
	return default_cimom_root;
}

// What the POSIX shell may give a meaning to, somewhere in a command's first
// word: an assignment, an expansion, a pattern, a comment, a separator.
bool is_literal(char c) { return std::string_view("|&;<>()$`\\\"' \t\n*?[]#~=!{}^").find(c) == std::string_view::npos; }

// Reads the first word of a command as the POSIX shell would, for words made
// of literal characters, single-quoted text and backslash escapes. Anything
// the shell would expand, split or act on fails the read. The rest of the
// command is left in command.
bool read_shell_word(std::string_view &command, std::string &word)
{
	std::size_t i = 0;
	while (i < command.size() && command[i] != ' ') {
		const char c = command[i];
		if (c == '\'') {
			const std::size_t close = command.find('\'', i + 1);
			if (close == std::string_view::npos)
				return false;
			word.append(command.substr(i + 1, close - i - 1));
			i = close + 1;
		} else if (c == '\\' && i + 1 < command.size() && command[i + 1] != '\n') {
			word += command[i + 1];
			i += 2;
		} else if (is_literal(c)) {
			word += c;
			++i;
		} else {
			return false;
		}
	}
	command.remove_prefix(i);
	return true;
}

void check_command(const std::string &root)
{
	const std::string built = build_register_command(root);
	const std::string tool_path = root + tool_path_suffix;
	std::string_view command = built;
	std::string word;
	check(read_shell_word(command, word), "the shell reads the tool path as a plain word");
	check(word == tool_path, "the shell's word is the tool path");
	check(command == " " + std::string(expected_options), "the options follow the tool path");
}

// The file the lookup reads, made once in the temporary directory and
// removed at exit: a build root may have no /proc for a memfd's path.
char config_path[] = "/tmp/vexlantor-fuzz.XXXXXX";

int config_file()
{
	static const int fd = [] {
		const int made = mkstemp(config_path);
		check(made != -1, "mkstemp");
		std::atexit([] { unlink(config_path); });
		return made;
	}();
	return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	const int fd = config_file();
	check(ftruncate(fd, 0) == 0, "ftruncate");
	check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size), "pwrite");
	FILE *file = std::fopen(config_path, "r");
	check(file != nullptr, "fopen");
	const std::string root = read_cimom_root(file);
	std::fclose(file);
	const std::string_view config(reinterpret_cast<const char *>(data), size);
	check(root == expected_root(config), "the root is the first key line's value or the default");
	check_command(root);
	return 0;
}
