#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "expected_command.h"
#include "registration/registration.h"

namespace {

using namespace std::string_literals;

std::string lookup_in_file_holding(const std::string &content)
{
	char path[] = "/tmp/vexlantor-cimom.XXXXXX";
	const int fd = mkstemp(path);
	EXPECT_NE(fd, -1);
	EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
	close(fd);
	std::string root = lookup_cimom_root_in(path);
	unlink(path);
	return root;
}

TEST(LookupCimomRoot, ReadsTheFirstKeyLine)
{
	const std::string long_value(10000, 'v');
	const std::string filler(4351, 'x'); // where a reader with a fixed buffer would cut
	struct Case {
		const char *what;
		std::string content;
		std::string root;
	};
	const Case cases[] = {
		{"key line", "CIMOM_ROOTDIR=/opt/p\n", "/opt/p"},
		{"among other lines", "# cimom\nPORT=5988\nCIMOM_ROOTDIR=/a/b\nMORE=1\n", "/a/b"},
		{"empty file", "", default_cimom_root},
		{"no key line", "PORT=5988\n\n", default_cimom_root},
		{"empty value", "CIMOM_ROOTDIR=\n", ""},
		{"last line without newline", "X=1\nCIMOM_ROOTDIR=/last", "/last"},
		{"one newline removed", "CIMOM_ROOTDIR=/a\n\n", "/a"},
		{"leading blank", " CIMOM_ROOTDIR=/x\n", default_cimom_root},
		{"lower case", "cimom_rootdir=/x\n", default_cimom_root},
		{"commented out", "#CIMOM_ROOTDIR=/x\n", default_cimom_root},
		{"blank before equals", "CIMOM_ROOTDIR =/x\n", default_cimom_root},
		{"key alone at end", "CIMOM_ROOTDIR", default_cimom_root},
		{"key broken over lines", "CIMOM_ROOT\nDIR=/x\n", default_cimom_root},
		{"near miss then key", "CIMOM_ROOTDI\nCIMOM_ROOTDIR=/y\n", "/y"},
		{"first key line wins", "CIMOM_ROOTDIR=/first\nCIMOM_ROOTDIR=/second\n", "/first"},
		{"verbatim", "CIMOM_ROOTDIR= /a b 'q' \"d\" $HOME\r\n", " /a b 'q' \"d\" $HOME\r"},
		{"key inside value", "CIMOM_ROOTDIR=CIMOM_ROOTDIR=/x\n", "CIMOM_ROOTDIR=/x"},
		{"long value whole", "CIMOM_ROOTDIR=" + long_value + "\n", long_value},
		{"long value at end", "CIMOM_ROOTDIR=" + long_value, long_value},
		{"key inside a long line", filler + "CIMOM_ROOTDIR=/bad\nCIMOM_ROOTDIR=/good\n", "/good"},
		{"key only inside a long line", filler + "CIMOM_ROOTDIR=/bad\n", default_cimom_root},
		{"NUL in a line before", "a\0b\nCIMOM_ROOTDIR=/x\n"s, "/x"},
		{"NUL ends the value", "CIMOM_ROOTDIR=/a\0b\n"s, "/a"},
		{"NUL in the key", "CIMOM_\0OOTDIR=/a\n"s, default_cimom_root},
		{"invalid UTF-8 kept", "\xff\xfe\nCIMOM_ROOTDIR=/\xc3\x28\xff\n", "/\xc3\x28\xff"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(lookup_in_file_holding(c.content), c.root) << c.what;
}

// Read in blocks, a key line must be found wherever the block edges fall.
TEST(LookupCimomRoot, FindsTheKeyAcrossReadBoundaries)
{
	for (std::size_t block : {4096U, 8192U, 65536U}) {
		for (std::size_t offset = block - 16; offset <= block + 2; ++offset) {
			const std::string content = std::string(offset - 1, '#') + "\nCIMOM_ROOTDIR=/r\n";
			EXPECT_EQ(lookup_in_file_holding(content), "/r") << "key line at " << offset;
		}
	}
}

TEST(LookupCimomRoot, FallsBackWhenTheFileCannotBeRead)
{
	EXPECT_EQ(lookup_cimom_root_in("/nonexistent/vexlantor/cimom"), default_cimom_root);
	EXPECT_EQ(lookup_cimom_root_in("/tmp"), default_cimom_root); // opens, but reading fails
}

// What the shell makes of a command: its words, as the tool would get them.
std::vector<std::string> shell_words(const std::string &command)
{
	const std::string script = "set -- " + command + "; printf '%s\\0' \"$@\"";
	FILE *shell = popen(script.c_str(), "r");
	EXPECT_NE(shell, nullptr);
	std::vector<std::string> words;
	std::string word;
	int c;
	while ((c = std::fgetc(shell)) != EOF) {
		if (c == '\0') {
			words.push_back(word);
			word.clear();
		} else {
			word += static_cast<char>(c);
		}
	}
	EXPECT_EQ(pclose(shell), 0);
	return words;
}

TEST(BuildRegisterCommand, QuotesOnlyRootsTheShellWouldChange)
{
	struct Case {
		std::string root;
		std::string tool_word{}; // the command's text up to the first blank, where it matters
	};
	std::vector<Case> cases = {
		{default_cimom_root, default_cimom_root + "/../bin/trindlet"s},
		{"", "/../bin/trindlet"},
		{"/a-b_c.d+e,f:g@h%i/AZ09", "/a-b_c.d+e,f:g@h%i/AZ09/../bin/trindlet"},
		{"/my root", "'/my root/../bin/trindlet'"},
		{"/it's", "'/it'\\''s/../bin/trindlet'"},
		{"''", "''\\'''\\''/../bin/trindlet'"},
		{"/x;touch /tmp/vexlantor-pwned", "'/x;touch /tmp/vexlantor-pwned/../bin/trindlet'"},
		{"/x|y&z>w<v", "'/x|y&z>w<v/../bin/trindlet'"},
		{"/$(id)`id`$HOME", "'/$(id)`id`$HOME/../bin/trindlet'"},
		{"~/x", "'~/x/../bin/trindlet'"},
		{"/a*?[b]", "'/a*?[b]/../bin/trindlet'"},
		{"/a=b", "'/a=b/../bin/trindlet'"},
		{"/back\\slash\"", "'/back\\slash\"/../bin/trindlet'"},
		{"/tab\there\r", "'/tab\there\r/../bin/trindlet'"},
		{"/r\xc3\xa9", "'/r\xc3\xa9/../bin/trindlet'"},
	};
	// Every other ASCII punctuation character, where the shell would see it
	// first ("#" there would make the whole command a comment): the shell
	// must read the root back, however it is written.
	for (const char c : std::string_view(" !\"#$&()*;<=>?[\\]^`{|}~"))
		cases.push_back({std::string(1, c) + "r"});
	for (const auto &c : cases) {
		const std::string command = build_register_command(c.root);
		if (!c.tool_word.empty()) {
			EXPECT_EQ(command, c.tool_word + " " + std::string(expected_options)) << c.root;
		}
		std::vector<std::string> expected = {c.root + "/../bin/trindlet"};
		expected.insert(expected.end(), expected_arguments.begin(), expected_arguments.end());
		EXPECT_EQ(shell_words(command), expected) << c.root;
	}
}

} // namespace
