// Names as the daemon writes them: escaped, so that a name from another's
// directory stays on the one line that names it, and quoted for the shell,
// so that it stays one word in a command.
#include <algorithm>
#include <cstdio>

#include "pathwalk.h"

namespace {

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
