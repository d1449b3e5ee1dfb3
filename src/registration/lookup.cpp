#include <cstring>

#include "registration.h"

namespace {

constexpr std::size_t read_block_size = 4096;

// Reads the file a block at a time, so that lines of any length cost no
// memory: only the value of the first key line is kept. A key line is
// recognised only at the start of a real line, however long the line before.
// True when a key line was found.
bool read_key_value(FILE *config, std::string &value)
{
	char block[read_block_size];
	std::size_t matched = 0; // key characters matched at the start of this line
	bool skipping = false;   // this line is not a key line
	bool taking = false;     // this line is the key line; its value is being read

	std::size_t got;
	while ((got = std::fread(block, 1, sizeof block, config)) > 0) {
		const char *p = block;
		const char *const end = block + got;
		while (p < end) {
			if (!taking && !skipping) {
				// At the start of a line: compare it with the key as it comes.
				if (*p == cimom_root_key[matched]) {
					++p;
					taking = ++matched == cimom_root_key.size();
				} else {
					skipping = true; // a newline here is consumed as the end of the line
				}
				continue;
			}
			const auto left = static_cast<std::size_t>(end - p);
			const auto *newline = static_cast<const char *>(std::memchr(p, '\n', left));
			const char *const line_end = newline != nullptr ? newline : end;
			if (taking) {
				value.append(p, line_end);
				if (newline != nullptr)
					return true;
			} else if (newline != nullptr) {
				skipping = false;
				matched = 0;
			}
			p = newline != nullptr ? newline + 1 : end;
		}
	}
	// End of file, or a read error, which ends the search the same way: a key
	// line that ran to that point still counts.
	return taking;
}

} // namespace

std::string lookup_cimom_root_in(const char *config_path)
{
	FILE *config = std::fopen(config_path, "r");
	if (config == nullptr)
		return default_cimom_root;

	std::string value;
	const bool found = read_key_value(config, value);
	std::fclose(config);
	if (!found)
		return default_cimom_root;
	// The root becomes a path and part of a shell command; neither can hold
	// a NUL byte, so the value ends at the first one.
	value.resize(std::strlen(value.c_str()));
	return value;
}

std::string lookup_cimom_root() { return lookup_cimom_root_in(cimom_config_path); }
