// Measures, through bench/run.sh, how long the starter takes to return, the
// memory of a waiting daemon beside the same job in C linked the same way, and
// the configuration lookup against grep.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Run {
	double seconds = 0;
	long max_rss_kb = 0;
	std::string out;
};

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "vexlantor_bench: %s: %s\n", what.c_str(), std::strerror(errno));
	std::exit(1);
}

// Runs a program to its end, with the stand-in tool's directory in its
// environment and its standard output captured; timed from the fork to the
// end of the wait.
Run run(const std::vector<std::string> &args, const std::string &scratch)
{
	std::vector<char *> argv;
	for (const auto &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	const std::string stand_in = "STAND_IN_DIR=" + scratch;
	char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), const_cast<char *>(stand_in.c_str()), nullptr};
	int out[2];
	if (pipe2(out, O_CLOEXEC) == -1)
		fail("pipe");
	const auto start = std::chrono::steady_clock::now();
	const pid_t pid = fork();
	if (pid == 0) {
		dup2(out[1], STDOUT_FILENO);
		execve(argv[0], argv.data(), envp);
		_exit(127);
	}
	close(out[1]);
	int status = 0;
	rusage usage{};
	if (pid == -1 || wait4(pid, &status, 0, &usage) == -1 || status != 0)
		fail(args[0] + " ended with " + std::to_string(status));
	Run result{std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), usage.ru_maxrss,
		   ""};
	char chunk[4096];
	for (ssize_t got; (got = read(out[0], chunk, sizeof chunk)) > 0;)
		result.out.append(chunk, static_cast<std::size_t>(got));
	close(out[0]);
	return result;
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values[values.size() / 2];
}

std::string read_text(const std::string &path)
{
	std::string text;
	if (FILE *file = std::fopen(path.c_str(), "r")) {
		for (int c; (c = std::fgetc(file)) != EOF;)
			text += static_cast<char>(c);
		std::fclose(file);
	}
	return text;
}

// The text, so many times over, then the tail.
void write_text(const std::string &path, const std::string &text, long copies = 1, const std::string &tail = "")
{
	FILE *file = std::fopen(path.c_str(), "w");
	for (long copy = 0; file != nullptr && copy < copies; ++copy)
		std::fputs(text.c_str(), file);
	if (file == nullptr || std::fputs(tail.c_str(), file) < 0 || std::fclose(file) != 0)
		fail(path);
}

// A started daemon's Pss once it sleeps in clock_nanosleep, where sleep()
// waits; the daemon is then killed.
double waiting_pss_kb(const Run &starter)
{
	const pid_t pid = static_cast<pid_t>(std::strtol(starter.out.c_str(), nullptr, 10));
	const std::string proc = "/proc/" + std::to_string(pid);
	for (int tries = 0; !read_text(proc + "/syscall").starts_with("230 "); ++tries) {
		if (tries == 10000)
			fail("no sleep from process " + std::to_string(pid));
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	const std::string rollup = read_text(proc + "/smaps_rollup");
	const auto at = rollup.find("\nPss:");
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
	return at == std::string::npos ? 0 : std::strtod(rollup.c_str() + at + 5, nullptr);
}

void start_to_return(const std::vector<std::string> &daemon, const std::vector<std::string> &baseline,
		     const std::string &scratch, int starts)
{
	write_text(scratch + "/steps/default", "exit 1\n"); // the daemon ends at its first run
	std::vector<double> times[2];
	for (int i = 0; i < starts; ++i) {
		for (const int p : {i % 2, 1 - i % 2}) { // each goes first every other time
			const Run starter = run(p == 0 ? daemon : baseline, scratch);
			waitpid(static_cast<pid_t>(std::strtol(starter.out.c_str(), nullptr, 10)), nullptr, 0);
			times[p].push_back(starter.seconds);
		}
	}
	const double ours = median(times[0]) * 1e3, theirs = median(times[1]) * 1e3;
	std::printf("start-to-return, median of %d: vexlantor %.3f ms, baseline %.3f ms: %.2f times (goal: 1.2)\n",
		    starts, ours, theirs, ours / theirs);
}

// Each build's daemon beside the same job in C, linked the same way.
void memory_while_waiting(const std::vector<std::vector<std::string>> &pairs, const std::string &scratch, int samples)
{
	std::remove((scratch + "/steps/default").c_str()); // every run succeeds
	for (std::size_t p = 0; p + 1 < pairs.size(); p += 2) {
		std::vector<double> ours, theirs;
		for (int i = 0; i < samples; ++i) {
			ours.push_back(waiting_pss_kb(run(pairs[p], scratch)));
			theirs.push_back(waiting_pss_kb(run(pairs[p + 1], scratch)));
		}
		std::printf("waiting Pss, median of %d, %s: vexlantor %.0f kB, the job in C %.0f kB: %.2f times (goal: "
			    "1.5)\n",
			    samples, p == 0 ? "ordinary" : "static", median(ours), median(theirs),
			    median(ours) / median(theirs));
	}
}

void lookup_against_grep(const std::string &lookup_once, const std::string &scratch, int repeats)
{
	const std::string grep = access("/usr/bin/grep", X_OK) == 0 ? "/usr/bin/grep" : "/bin/grep";
	for (const long megabytes : {1L, 100L}) {
		const std::string file = scratch + "/cimom-" + std::to_string(megabytes) + "MB";
		const std::string other = "# a line of some other setting, as long as the product's usually are =\n";
		write_text(file, other, megabytes * 1000 * 1000 / static_cast<long>(other.size()),
			   "CIMOM_ROOTDIR=/opt/p\n");
		std::vector<double> ours, theirs;
		long ours_rss = 0, theirs_rss = 0;
		for (int i = 0; i <= repeats; ++i) { // the first of each warms the page cache
			const Run lookup = run({lookup_once, file}, scratch);
			const Run reference = run({grep, "-m1", "^CIMOM_ROOTDIR=", file}, scratch);
			if (lookup.out != "/opt/p\n")
				fail("lookup of " + file + " gave " + lookup.out);
			if (i > 0) {
				ours.push_back(lookup.seconds);
				theirs.push_back(reference.seconds);
				ours_rss = std::max(ours_rss, lookup.max_rss_kb);
				theirs_rss = std::max(theirs_rss, reference.max_rss_kb);
			}
		}
		// Goals: within 4 times grep's time, and the same peak for both sizes.
		std::printf("lookup, %3ld MB, median of %d: vexlantor %.1f ms, peak %ld kB; grep %.1f ms, peak %ld kB: "
			    "%.2f "
			    "times\n",
			    megabytes, repeats, median(ours) * 1e3, ours_rss, median(theirs) * 1e3, theirs_rss,
			    median(ours) / median(theirs));
		std::remove(file.c_str());
	}
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 7) // SCRATCH VEXLANTOR BASELINE LOOKUP_ONCE VEXLANTOR_STATIC BASELINE_STATIC, from bench/run.sh
		return 2;
	const std::string scratch = argv[1], err = scratch + "/bench.err", log = scratch + "/bench.log";
	// Daemons come back to this process when their starters end, to be reaped.
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	start_to_return({argv[2], err, log}, {argv[3], err, log, "0"}, scratch, 300);
	memory_while_waiting({{argv[2], err, log},
			      {argv[3], err, log, "600", "--job"},
			      {argv[5], err, log},
			      {argv[6], err, log, "600", "--job"}},
			     scratch, 5);
	lookup_against_grep(argv[4], scratch, 5);
	return 0;
}
