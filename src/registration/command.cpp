#include <algorithm>

#include "registration.h"

namespace {

// The tool's fixed options, around the lifetime that the renewal is timed
// by. The shell removes the double quotes, so the tool receives the
// attribute list (vse=gadbI) as it stands.
constexpr std::string_view options_before_lifetime = "--type=service:management-software:virtual-system-management:XEN"
						     " --url=service:management-software:virtual-system-management:XEN"
						     " --attributes=\"(vse=gadbI)\""
						     " --lifetime=";
constexpr std::string_view options_after_lifetime = " --address=0";

bool is_plain_character(char c)
{
	constexpr std::string_view safe_punctuation = "/._-+,:@%";
	return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
	       safe_punctuation.find(c) != std::string_view::npos;
}

} // namespace

// The root comes from a file the daemon does not own, and a name in a fix from
// another's directory: anything beyond the characters of ordinary paths is
// quoted so the shell reads one plain word, each single quote written as
// single_quote ('\'' in the command).
std::string shell_word(std::string_view word, std::string_view single_quote)
{
	if (std::ranges::all_of(word, is_plain_character))
		return std::string(word);
	std::string quoted = "'";
	for (const char c : word) {
		if (c == '\'')
			quoted += single_quote;
		else
			quoted += c;
	}
	return quoted + "'";
}

std::string build_register_command(std::string_view root)
{
	return shell_word(std::string(root) + tool_path_suffix, "'\\''") + " " + std::string(options_before_lifetime) +
	       std::to_string(registration_lifetime_seconds) + std::string(options_after_lifetime);
}
