#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "expected_command.h"
#include "pathwalk/pathwalk.h"
#include "registration/registration.h"

namespace {

using namespace std::string_literals;

// The root that the file at path names, or the default.
std::string root_named_by(const char *path)
{
	FILE *config = std::fopen(path, "r");
	std::string root = read_cimom_root(config);
	if (config != nullptr)
		std::fclose(config);
	return root;
}

std::string lookup_in_file_holding(const std::string &content)
{
	char path[] = "/tmp/vexlantor-cimom.XXXXXX";
	const int fd = mkstemp(path);
	EXPECT_NE(fd, -1);
	EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
	close(fd);
	std::string root = root_named_by(path);
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
	EXPECT_EQ(root_named_by("/nonexistent/vexlantor/cimom"), default_cimom_root);
	EXPECT_EQ(root_named_by("/tmp"), default_cimom_root); // opens, but reading fails
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
		std::string tool_word{}; // the command's text up to the first blank, where it matters; {tool} for the
					 // tool's path from the root
	};
	std::vector<Case> cases = {
		{default_cimom_root, default_cimom_root + "{tool}"s},
		{"", "{tool}"},
		{"/a-b_c.d+e,f:g@h%i/AZ09", "/a-b_c.d+e,f:g@h%i/AZ09{tool}"},
		{"/my root", "'/my root{tool}'"},
		{"/it's", "'/it'\\''s{tool}'"},
		{"''", "''\\'''\\''{tool}'"},
		{"/x;touch /tmp/vexlantor-pwned", "'/x;touch /tmp/vexlantor-pwned{tool}'"},
		{"/x|y&z>w<v", "'/x|y&z>w<v{tool}'"},
		{"/$(id)`id`$HOME", "'/$(id)`id`$HOME{tool}'"},
		{"~/x", "'~/x{tool}'"},
		{"/a*?[b]", "'/a*?[b]{tool}'"},
		{"/a=b", "'/a=b{tool}'"},
		{"/back\\slash\"", "'/back\\slash\"{tool}'"},
		{"/tab\there\r", "'/tab\there\r{tool}'"},
		{"/r\xc3\xa9", "'/r\xc3\xa9{tool}'"},
	};
	// Every other ASCII punctuation character, where the shell would see it
	// first ("#" there would make the whole command a comment): the shell
	// must read the root back, however it is written.
	for (const char c : std::string_view(" !\"#$&()*;<=>?[\\]^`{|}~"))
		cases.push_back({std::string(1, c) + "r"});
	for (const auto &c : cases) {
		const std::string command = build_register_command(c.root);
		if (!c.tool_word.empty()) {
			std::string word = c.tool_word;
			word.replace(word.find("{tool}"), 6, tool_path_suffix);
			EXPECT_EQ(command, word + " " + std::string(expected_options)) << c.root;
		}
		std::vector<std::string> expected = {c.root + tool_path_suffix};
		expected.insert(expected.end(), expected_arguments.begin(), expected_arguments.end());
		EXPECT_EQ(shell_words(command), expected) << c.root;
	}
	// The lifetime it registers for is the one the renewal is timed by.
	EXPECT_NE(
		build_register_command("/r").find(" --lifetime=" + std::to_string(registration_lifetime_seconds) + " "),
		std::string::npos);
}

// A script's first line is run only in the forms that the kernel, sh and
// env all read alike, and every absolute path it names is to be judged;
// each row of refused lines holds several spellings of one way round that.
TEST(PathWalk, ReadsAFirstLineAsTheKernelShAndEnvDo)
{
	using Programs = std::vector<std::string>;
	struct Case {
		std::vector<std::string> lines;
		FirstLine verdict;
		Programs programs{}; // where it is read
	};
	const std::string long_line = "#!/bin/sh " + std::string(118, '-');
	const Case cases[] = {
		{{"echo not a script\n", "#!\n", "#! \t\n"}, FirstLine::read},
		{{"#!/bin/sh\n", "#! /bin/sh -e\n", "#!\t/bin/sh -eu \t\n", "#!/bin/sh"}, FirstLine::read, {"/bin/sh"}},
		{{"#!/bin/sh /opt/p/run\n"}, FirstLine::read, {"/bin/sh", "/opt/p/run"}},
		{{"#!/usr/bin/env sh\n", "#!/usr/bin/env -S sh -e\n", "#!/usr/bin/env\t-S\tsh\n"},
		 FirstLine::read,
		 {"/usr/bin/env"}},
		{{"#!/usr/bin/env -S /opt/p/sh -e /opt/p/lib\n"},
		 FirstLine::read,
		 {"/usr/bin/env", "/opt/p/sh", "/opt/p/lib"}},
		{{"#!/usr/bin/env /opt/p/sh\n"}, FirstLine::read, {"/usr/bin/env", "/opt/p/sh"}},
		{{long_line}, FirstLine::too_long},
		// quotes, escapes and expansions
		{{"#!/usr/bin/env -S \"/tmp/x\"\n", "#!/usr/bin/env -S '/tmp/x'\n", "#!/usr/bin/env -S \\_/tmp/x\n",
		  "#!/usr/bin/env -S sh\\ x\n", "#!/usr/bin/env -S sh ${X}\n", "#!/bin/sh $X\n",
		  "#!/usr/bin/env -S sh #x\n"},
		 FirstLine::cannot_judge},
		// -S attached, spelt long, or inside a cluster
		{{"#!/usr/bin/env -S/tmp/x\n", "#!/usr/bin/env -Ssh\n", "#!/usr/bin/env --split-string=/tmp/x\n",
		  "#!/usr/bin/env -vS /tmp/x\n", "#!/usr/bin/env -iS sh\n"},
		 FirstLine::cannot_judge},
		// assignments and env's options that change its environment, directory or lookup
		{{"#!/usr/bin/env -S PATH=/tmp sh\n", "#!/usr/bin/env A=1 sh\n", "#!/usr/bin/env -S -C /tmp ./x\n",
		  "#!/usr/bin/env -S -i sh\n", "#!/usr/bin/env -i\n", "#!/usr/bin/env -S -u X sh\n",
		  "#!/usr/bin/env -S\n"},
		 FirstLine::cannot_judge},
		// what the working directory would decide
		{{"#!/bin/sh x\n", "#!/bin/sh ./x\n", "#!/usr/bin/env ./x\n", "#!/usr/bin/env -S sh x\n",
		  "#!/usr/bin/env -S ./x\n", "#!sh\n", "#!bin/sh -e\n"},
		 FirstLine::cannot_judge},
		// one argument with blanks in it, options that are no plain letters, bytes read otherwise
		{{"#!/bin/sh -e /tmp/x\n", "#!/bin/sh -\n", "#!/bin/sh --\n", "#!/bin/sh --norc\n", "#!/bin/sh -e\r\n",
		  "#!/bin/sh -e\0 /tmp/x\n"s, "#!/bin/sh \xc3\xa9\n", "#!/bin/sh\v/tmp/x\n"},
		 FirstLine::cannot_judge},
	};
	for (const auto &c : cases)
		for (const std::string &line : c.lines) {
			Programs programs;
			EXPECT_EQ(read_first_line(line, programs), c.verdict) << line;
			if (c.verdict == FirstLine::read) {
				EXPECT_EQ(programs, c.programs) << line;
			}
		}
}

// The verdict on a path, from a process of the given user's.
std::string reason_as(const std::string &path, uid_t user)
{
	if (user == geteuid())
		return reason_line(judge_to_run(path));
	int verdict[2];
	if (pipe(verdict) == -1)
		return "no pipe";
	const pid_t child = fork();
	if (child == 0) {
		const std::string why =
			setgid(user) == 0 && setuid(user) == 0 ? reason_line(judge_to_run(path)) : "no setuid";
		_exit(write(verdict[1], why.data(), why.size()) == static_cast<ssize_t>(why.size()) ? 0 : 1);
	}
	close(verdict[1]);
	std::string why;
	char chunk[4096];
	for (ssize_t got; (got = read(verdict[0], chunk, sizeof chunk)) > 0;)
		why.append(chunk, static_cast<std::size_t>(got));
	close(verdict[0]);
	waitpid(child, nullptr, 0);
	return why;
}

// Symbolic links l0 to lN-1, each to the next, the last to the directory cimom.
std::string chain_of_links(int count)
{
	return "i=0; while [ $i -lt " + std::to_string(count - 1) +
	       " ]; do ln -s l$((i + 1)) l$i; i=$((i + 1)); done; ln -s cimom l$i";
}

// The walk to a tool, as the kernel walks it: every directory and link passed,
// the tool itself and the interpreters that "#!" lines name must be such that
// no one but root, or the process's own user, can change them, and whatever
// cannot be judged is refused. The layouts are made in a scratch directory
// with bin/tool (a script of /bin/sh's) and cimom/ in it, "@" standing for
// its path. A refusal must name the part that failed and end with its fix, or
// with its reason where no command helps.
// What a fix, pasted into a shell, must do.
enum class Paste { not_tried, runs_nothing_else, makes_it_safe };

// Runs the command of a fix with "sh -c" in the directory, as an operator
// pasting it would, and reports whether it ran anything it does not name.
bool pasting_runs_more(const std::string &why, const std::string &directory)
{
	const std::string from = "fix it with: ";
	std::string fix = why.substr(why.find(from) + from.size());
	fix.erase(std::min(fix.find(", then "), fix.size()));
	const pid_t shell = fork();
	if (shell == 0) {
		// What it says of the names it could not find is not the test's.
		if (chdir(directory.c_str()) == 0 && freopen("/dev/null", "w", stderr) != nullptr)
			execl("/bin/sh", "sh", "-c", fix.c_str(), static_cast<char *>(nullptr));
		_exit(127);
	}
	waitpid(shell, nullptr, 0);
	return std::filesystem::exists(directory + "/PWNED");
}

TEST(PathWalk, RefusesWhatOthersCanChangeOrWhatCannotBeJudged)
{
	constexpr uid_t nobody = 65534;
	const bool root = geteuid() == 0;
	// A relative link to a chain of directories so deep that the path through
	// it is longer than the kernel takes in one piece.
	std::string deep;
	for (int level = 0; level < 20; ++level)
		deep += (deep.empty() ? "" : "/") + std::string(203, 'd');
	const std::string deep_layout = "mkdir -p " + deep + "/cimom " + deep + "/bin && cp bin/tool " + deep +
					"/bin && chmod g+w " + deep + "/bin && ln -s " + deep + " deep";
	const std::string then_check = ", then check what it holds";
	const std::string fresh_copy = "fix it with: replace it with a fresh copy renamed over it, as reinstalling its "
				       "package does";
	const std::string open_sh = "mkdir -m 0777 open && cp /bin/sh open/sh && ";
	const std::string odd = "\"$(printf 'o\\nx\\033y\\\\')\""; // a newline, an escape and a backslash
	// U+202E, U+2028, U+FEFF and U+2066 escaped, U+2030 not
	const std::string odd_escaped = "\\x9b\\xc2\\x9b\\xff\xc3\xa9\\xe2\\x80\\xae\\xe2\\x80\\xa8\\xef\\xbb\\xbf"
					"\\xe2\\x81\\xa6\xe2\x80\xb0";
	struct Case {
		const char *what;
		std::string layout; // shell commands
		std::string path;
		std::string named{};     // "" where the tool may run
		std::string ends{};      // the fix, or the reason where there is none
		bool needs_root = false; // to give files to another user
		uid_t user = geteuid();  // who judges
		Paste paste = Paste::not_tried;
	};
	const Case cases[] = {
		{"a trusted tool", "", "@/cimom/../bin/tool"},
		{"a trusted tool, by a path relative to the working directory", "", "cimom/../bin/tool"},
		{"a tool its group can write to", "chmod g+w bin/tool", "@/cimom/../bin/tool", "@/bin/tool",
		 fresh_copy},
		{"a directory that anyone can write to on the way", "chmod 0777 cimom", "@/cimom/../bin/tool",
		 "@/cimom", "chmod go-w @/cimom" + then_check},
		{"a directory at the tool's path", "rm bin/tool && mkdir bin/tool", "@/bin/tool", "@/bin/tool",
		 "is not a regular file"},
		{"a missing tool, which no one else can make", "rm bin/tool", "@/bin/tool"},
		{"a missing tool, in a directory that others can write to", "rm bin/tool && chmod 1777 bin",
		 "@/bin/tool", "@/bin/tool", "can make it in @/bin"},
		{"a link in a directory that anyone can write to", "mkdir -m 0777 open && ln -s .. open/up",
		 "@/open/up/bin/tool", "@/open", "chmod go-w @/open" + then_check},
		{"a file where the path goes on, where the kernel stops too", "", "@/bin/tool/x"},
		{"a chain of 40 links", chain_of_links(40), "@/l0/../bin/tool"},
		{"a chain of 41 links", chain_of_links(41), "@/l0/../bin/tool", "@/l40",
		 "more than the kernel follows"},
		{"a path longer than the kernel takes whole", deep_layout, "@/deep/cimom/../bin/tool",
		 "@/" + deep + "/bin", "chmod go-w @/" + deep + "/bin" + then_check},
		{"a directory that cannot be searched", "mkdir -m 0 closed", "@/closed/bin/tool", "@/closed/bin",
		 "cannot be checked: Permission denied", false, root ? nobody : geteuid()},
		{"a tool that cannot be read, so neither can its first line", "chmod 0311 bin/tool", "@/bin/tool",
		 "@/bin/tool", "cannot be checked: Permission denied", false, root ? nobody : geteuid()},
		{"an interpreter in a directory that anyone can write to",
		 open_sh + "printf '#!%s/open/sh -e\\n' \"$PWD\" >bin/tool", "@/bin/tool", "@/open",
		 "chmod go-w @/open" + then_check},
		{"an interpreter that is a script, whose interpreter is not safe",
		 open_sh + "printf '#! %s/open/sh\\n' \"$PWD\" >cimom/sh && printf '#!%s/cimom/sh\\n' \"$PWD\" "
			   ">bin/tool",
		 "@/bin/tool", "@/open", "chmod go-w @/open" + then_check},
		{"an interpreter found through env, which alone is judged", "printf '#!/usr/bin/env sh\\n' >bin/tool",
		 "@/bin/tool"},
		{"an interpreter after a tab", open_sh + "printf '#!\\t%s/open/sh\\n' \"$PWD\" >bin/tool", "@/bin/tool",
		 "@/open", "chmod go-w @/open" + then_check},
		{"an argument that is no path", "printf '#!/bin/sh -e\\n' >bin/tool", "@/bin/tool"},
		{"an argument that names a program", open_sh + "printf '#!/bin/sh %s/open/sh \\n' \"$PWD\" >bin/tool",
		 "@/bin/tool", "@/open", "chmod go-w @/open" + then_check},
		{"a program among the argument's words",
		 open_sh + "printf '#!/usr/bin/env -S %s/open/sh\\n' \"$PWD\" >bin/tool", "@/bin/tool", "@/open",
		 "chmod go-w @/open" + then_check},
		{"a chain of scripts deeper than the kernel runs",
		 "for i in 1 2 3 4 5; do printf '#!%s/cimom/s%s\\n' \"$PWD\" $i >cimom/s$((i - 1)); done && cp "
		 "cimom/s0 bin/tool && printf '#!/bin/sh\\n' >cimom/s5",
		 "@/bin/tool", "@/cimom/s4", "more deeply than every kernel runs"},
		{"a #! line longer than every kernel reads", "printf '#!/bin/sh %0200d\\n' 0 >bin/tool", "@/bin/tool",
		 "@/bin/tool", "a #! line longer than every kernel reads"},
		{"names written escaped, one line; pasted, the fix runs nothing else",
		 "mkdir -m 0777 " + odd + " && ln -s " + odd + "/.. up", "@/up/bin/tool", "@/o\\nx\\x1by\\\\",
		 "chmod go-w '@/o\\nx\\x1by\\\\'" + then_check, false, geteuid(), Paste::runs_nothing_else},
		{"a fix pasted into a shell runs only what it names, on the name it names",
		 "mkdir -m 0777 \"$(printf \"x;touch PWNED;\\$(touch PWNED)\\`touch PWNED\\`'y\")\" && ln -s x* up",
		 "@/up/../bin/tool", "@/x;touch PWNED;$(touch PWNED)`touch PWNED`'y",
		 "chmod go-w '@/x;touch PWNED;$(touch PWNED)`touch PWNED`'\"'\"'y'" + then_check, false, geteuid(),
		 Paste::makes_it_safe},
		{"C1 controls, format characters and bytes that are not UTF-8 written escaped, other UTF-8 as it is",
		 "d=\"$(printf '\\233\\302\\233\\377\\303\\251\\342\\200\\256\\342\\200\\250\\357\\273\\277"
		 "\\342\\201\\246\\342\\200\\260')\" && mkdir -m 0777 \"$d\" && ln -s \"$d\" odd",
		 "@/odd/../bin/tool", "@/" + odd_escaped, "chmod go-w '@/" + odd_escaped + "'" + then_check},
		{"another's tool", "chown 65534 bin/tool", "@/bin/tool", "@/bin/tool", fresh_copy, true},
		{"another's interpreter, which no package may have put there",
		 "cp /bin/sh cimom/sh && chown 65534 cimom/sh && printf '#!%s/cimom/sh\\n' \"$PWD\" >bin/tool",
		 "@/bin/tool", "@/cimom/sh",
		 fresh_copy +
			 "; where no package put it, put root's own copy in a directory of root's and point the #! "
			 "line of @/bin/tool there",
		 true},
		{"another's directory on the way", "chown 65534 cimom", "@/cimom/../bin/tool", "@/cimom",
		 "chown root @/cimom" + then_check, true},
		{"a root's link in a sticky directory of root's", "mkdir -m 1777 sticky && ln -s .. sticky/up",
		 "@/sticky/up/bin/tool"},
		{"another's link in a sticky directory of root's",
		 "mkdir -m 1777 sticky && ln -s .. sticky/up && chown -h 65534 sticky/up", "@/sticky/up/bin/tool",
		 "@/sticky/up", "chown -h root @/sticky/up, then check where it leads", true},
		{"another's link in a directory of root's, left from when others could write to it",
		 "ln -s .. up && chown -h 65534 up", "@/up/bin/tool", "@/up",
		 "chown -h root @/up, then check where it leads", true},
		{"a sticky directory of another's", "mkdir -m 1777 sticky && ln -s .. sticky/up && chown 65534 sticky",
		 "@/sticky/up/bin/tool", "@/sticky", "chown root @/sticky" + then_check, true},
		{"a relative path from a working directory of another's", "chown 65534 .", "cimom/../bin/tool", "@",
		 "start the daemon from a directory of root's, or give it an absolute root", true},
	};
	const auto descriptors = [] {
		return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
				     std::filesystem::directory_iterator());
	};
	const auto held_before = descriptors();
	std::string scratches; // removed at the end, with one shell
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		if (c.needs_root && !root) {
			std::printf("skipped \"%s\": needs root, to give files to another user\n", c.what);
			continue;
		}
		char scratch[] = "/tmp/vexlantor-trust.XXXXXX";
		ASSERT_NE(mkdtemp(scratch), nullptr);
		scratches += " " + std::string(scratch);
		const std::string layout = "cd " + std::string(scratch) +
					   " && chmod 0755 . && mkdir cimom bin && printf '#!/bin/sh\\n' >bin/tool"
					   " && chmod 0755 bin/tool" +
					   (c.layout.empty() ? "" : " && " + c.layout);
		ASSERT_EQ(std::system(layout.c_str()), 0) << layout;
		const auto filled = [&](std::string text) {
			for (std::size_t at = 0; (at = text.find('@', at)) != std::string::npos;
			     at += sizeof scratch - 1)
				text.replace(at, 1, scratch);
			return text;
		};
		const std::string working = std::filesystem::current_path();
		ASSERT_EQ(chdir(scratch), 0);
		const std::string why = reason_as(filled(c.path), c.user);
		if (c.named.empty()) {
			EXPECT_EQ(why, "");
		} else {
			EXPECT_TRUE(why.starts_with(filled(c.named) + " ")) << why;
			EXPECT_TRUE(why.ends_with(filled(c.ends))) << why;
			EXPECT_EQ(why.find_first_of("\n\x1b"), std::string::npos) << why;
		}
		if (c.paste != Paste::not_tried) {
			EXPECT_FALSE(pasting_runs_more(why, scratch)) << why;
			EXPECT_EQ(reason_as(filled(c.path), c.user) == "", c.paste == Paste::makes_it_safe);
		}
		ASSERT_EQ(chdir(working.c_str()), 0);
	}
	EXPECT_EQ(descriptors(), held_before) << "the walk left descriptors open";
	EXPECT_EQ(std::system(("chmod -R u+rwx" + scratches + " && rm -rf" + scratches).c_str()), 0);
}

} // namespace
