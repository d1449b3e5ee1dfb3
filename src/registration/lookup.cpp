#include <cstring>
#include <unistd.h>

#include "pathwalk/pathwalk.h"
#include "registration.h"

namespace {

constexpr std::size_t read_block_size = 4096;

// Reads the file a block at a time, so that lines of any length cost no
// memory: only the value of the first key line is kept. A key line is
// recognised only at the start of a real line, however long the line before.
// True when a key line was found; a read error ends the search as the end of
// the file does, and a key line that ran to that point still counts.
bool read_key_value(FILE *config, std::string &value)
{
	constexpr std::size_t not_the_key = std::string_view::npos;
	std::size_t matched = 0; // the key's characters that begin this line, or not_the_key
	char block[read_block_size];
	std::size_t got;
	while ((got = std::fread(block, 1, sizeof block, config)) > 0) {
		const char *const end = block + got;
		for (const char *p = block; p < end; ++p) {
			if (matched == not_the_key) { // the rest of this line does not matter
				p = static_cast<const char *>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
				if (p == nullptr)
					break;
				matched = 0;
			} else if (matched == cimom_root_key.size()) {
				if (*p == '\n')
					return true;
				value += *p;
			} else if (*p == '\n') {
				matched = 0;
			} else {
				matched = *p == cimom_root_key[matched] ? matched + 1 : not_the_key;
			}
		}
	}
	return matched == cimom_root_key.size();
}

} // namespace

std::string read_cimom_root(FILE *config)
{
	std::string value;
	if (config == nullptr || !read_key_value(config, value))
		return default_cimom_root;
	// The root becomes a path and part of a shell command; neither can hold
	// a NUL byte, so the value ends at the first one.
	value.resize(std::strlen(value.c_str()));
	return value;
}

// The file is read through the descriptor that the walk judged, so that what
// is read is what was judged: another could have put a file of theirs at its
// name since.
std::string lookup_cimom_root(FILE *error_stream)
{
	int fd = -1;
	const Verdict verdict = judge_to_read(cimom_config_path, Use::read, fd);
	if (verdict.fault != Fault::none) {
		std::fprintf(error_stream, "vexlantor ignored %s and uses %s: %s\n", cimom_config_path,
			     default_cimom_root, reason_line(verdict).c_str());
		return default_cimom_root;
	}
	FILE *config = fd == -1 ? nullptr : fdopen(fd, "r");
	if (config == nullptr && fd != -1)
		close(fd);
	std::string root = read_cimom_root(config);
	if (config != nullptr)
		std::fclose(config);
	return root;
}
