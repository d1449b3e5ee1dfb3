// Measures the daemon against a plain C baseline on this machine, in one run:
// how long the starter takes to return, the memory of a waiting daemon, the
// CPU time of renewal cycles on the virtual clock, and the configuration
// lookup against grep. Run it through bench/run.sh, which lays out the
// configuration file and the stand-in tool it expects.
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
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

struct Paths {
	std::string scratch, vexlantor, baseline, lookup_once, testclock, vexlantor_static, baseline_static;
};

struct Run {
	double seconds = 0;
	int status = -1;
	long max_rss_kb = 0;
	std::string out;
};

[[noreturn]] void fail(const std::string &what)
{
	std::fprintf(stderr, "vexlantor_bench: %s: %s\n", what.c_str(), std::strerror(errno));
	std::exit(1);
}

double seconds_of(const timeval &t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

// Runs a program to its end, its standard output captured; the clock runs
// from just before the fork to the end of the wait.
Run run(const std::vector<std::string> &args, const std::vector<std::string> &env = {})
{
	std::vector<char *> argv, envp;
	for (const auto &arg : args)
		argv.push_back(const_cast<char *>(arg.c_str()));
	argv.push_back(nullptr);
	std::vector<std::string> full_env = {"PATH=/usr/bin:/bin"};
	full_env.insert(full_env.end(), env.begin(), env.end());
	for (const auto &entry : full_env)
		envp.push_back(const_cast<char *>(entry.c_str()));
	envp.push_back(nullptr);

	int out[2];
	if (pipe2(out, O_CLOEXEC) == -1)
		fail("pipe");
	Run result;
	const auto start = std::chrono::steady_clock::now();
	const pid_t pid = fork();
	if (pid == -1)
		fail("fork");
	if (pid == 0) {
		dup2(out[1], STDOUT_FILENO);
		execve(argv[0], argv.data(), envp.data());
		_exit(127);
	}
	close(out[1]);
	int status = 0;
	rusage usage{};
	if (wait4(pid, &status, 0, &usage) == -1)
		fail("wait4");
	result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	char chunk[4096];
	ssize_t got;
	while ((got = read(out[0], chunk, sizeof chunk)) > 0)
		result.out.append(chunk, static_cast<std::size_t>(got));
	close(out[0]);
	result.status = status;
	result.max_rss_kb = usage.ru_maxrss;
	return result;
}

pid_t daemon_of(const Run &starter)
{
	if (starter.status != 0)
		fail("starter ended with " + std::to_string(starter.status) + " (" + starter.out + ")");
	return static_cast<pid_t>(std::strtol(starter.out.c_str(), nullptr, 10));
}

double median(std::vector<double> values)
{
	std::sort(values.begin(), values.end());
	return values[values.size() / 2];
}

void write_text(const std::string &path, const std::string &text)
{
	FILE *file = std::fopen(path.c_str(), "w");
	if (file == nullptr || std::fputs(text.c_str(), file) < 0 || std::fclose(file) != 0)
		fail(path);
}

std::string read_text(const std::string &path)
{
	std::string text;
	FILE *file = std::fopen(path.c_str(), "r");
	if (file == nullptr)
		return text;
	int c;
	while ((c = std::fgetc(file)) != EOF)
		text += static_cast<char>(c);
	std::fclose(file);
	return text;
}

// Waits until the process sleeps in clock_nanosleep, where sleep() waits.
bool wait_until_sleeping(pid_t pid)
{
	const std::string syscall = "/proc/" + std::to_string(pid) + "/syscall";
	for (int tries = 0; tries < 10000; ++tries) {
		if (read_text(syscall).starts_with("230 "))
			return true;
		std::this_thread::sleep_for(std::chrono::milliseconds(1));
	}
	return false;
}

struct Memory {
	long rss_kb = 0, pss_kb = 0;
};

Memory memory_of(pid_t pid)
{
	Memory memory;
	const std::string rollup = read_text("/proc/" + std::to_string(pid) + "/smaps_rollup");
	for (const char *p = rollup.c_str(); *p != '\0';
	     p = std::strchr(p, '\n') != nullptr ? std::strchr(p, '\n') + 1 : "") {
		if (std::strncmp(p, "Rss:", 4) == 0)
			memory.rss_kb = std::strtol(p + 4, nullptr, 10);
		else if (std::strncmp(p, "Pss:", 4) == 0)
			memory.pss_kb = std::strtol(p + 4, nullptr, 10);
	}
	return memory;
}

void end_daemon(pid_t pid)
{
	kill(pid, SIGKILL);
	waitpid(pid, nullptr, 0);
}

void start_to_return(const Paths &paths, int starts)
{
	write_text(paths.scratch + "/mode", "fail\n");
	const std::string err = paths.scratch + "/bench.err", log = paths.scratch + "/bench.log";
	const std::vector<std::string> programs[] = {{paths.vexlantor, err, log}, {paths.baseline, err, log, "0"}};
	std::vector<double> times[2];
	for (int i = 0; i < starts; ++i) {
		for (const int p : {i % 2, 1 - i % 2}) { // each goes first every other time
			const Run starter = run(programs[p]);
			waitpid(daemon_of(starter), nullptr, 0); // the daemon ends at its first, failing, run
			times[p].push_back(starter.seconds);
		}
	}
	const std::vector<double> &daemon = times[0], &baseline = times[1];
	const double ours = median(daemon) * 1e3, theirs = median(baseline) * 1e3;
	std::printf("start-to-return, median of %d starts: vexlantor %.3f ms, baseline %.3f ms: %.2f times "
		    "(goal: at most 1.2)\n",
		    starts, ours, theirs, ours / theirs);
}

// A daemon or baseline started with args, measured once it sleeps.
Memory waiting_memory(const std::vector<std::string> &args)
{
	const pid_t pid = daemon_of(run(args));
	if (!wait_until_sleeping(pid))
		fail("no sleep from " + args[0]);
	const Memory memory = memory_of(pid);
	end_daemon(pid);
	return memory;
}

void memory_while_waiting(const Paths &paths, int samples)
{
	write_text(paths.scratch + "/mode", "succeed\n");
	const std::string err = paths.scratch + "/bench.err", log = paths.scratch + "/bench.log";
	const std::vector<std::vector<std::string>> programs = {{paths.vexlantor, err, log},
								{paths.baseline, err, log, "600"},
								{paths.baseline, err, log, "600", "--job"},
								{paths.vexlantor_static, err, log},
								{paths.baseline_static, err, log, "600", "--job"}};
	std::vector<std::vector<double>> rss(programs.size()), pss(programs.size());
	for (int i = 0; i < samples; ++i) {
		for (std::size_t p = 0; p < programs.size(); ++p) {
			const Memory memory = waiting_memory(programs[p]);
			rss[p].push_back(static_cast<double>(memory.rss_kb));
			pss[p].push_back(static_cast<double>(memory.pss_kb));
		}
	}
	const char *names[] = {"vexlantor", "baseline", "baseline doing the same job in C", "vexlantor static",
			       "the same job in C, static"};
	std::printf("memory while waiting, median of %d: ", samples);
	for (std::size_t p = 0; p < programs.size(); ++p)
		std::printf("%s%s Rss %.0f kB Pss %.0f kB", p == 0 ? "" : "; ", names[p], median(rss[p]),
			    median(pss[p]));
	std::printf("\n  Pss: %.2f times the baseline's, %.2f times the same job in C (goal: at most 1.5); the static "
		    "build's (the packages') %.2f times the same job in C linked statically (goal: at most 1.5)\n",
		    median(pss[0]) / median(pss[1]), median(pss[0]) / median(pss[2]), median(pss[3]) / median(pss[4]));
}

void renewal_cycles(const Paths &paths, int cycles)
{
	write_text(paths.scratch + "/mode", "count\n");
	write_text(paths.scratch + "/limit", std::to_string(cycles) + "\n");
	write_text(paths.scratch + "/runs", "0\n");
	write_text(paths.scratch + "/clock", "1700000000 1000\n");
	const std::string err = paths.scratch + "/cycles.err", log = paths.scratch + "/cycles.log";
	const std::vector<std::string> env = {"LD_PRELOAD=" + paths.testclock,
					      "TESTCLOCK_FILE=" + paths.scratch + "/clock"};
	const auto start = std::chrono::steady_clock::now();
	const pid_t pid = daemon_of(run({paths.vexlantor, err, log}, env));
	int status = 0;
	rusage usage{};
	if (wait4(pid, &status, 0, &usage) == -1)
		fail("wait4");
	const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

	// The daemon's own times, read by the tool's last run: fields 14 and 15.
	const std::string daemon_stat = read_text(paths.scratch + "/daemon-stat");
	const char *fields = std::strrchr(daemon_stat.c_str(), ')');
	long utime = 0, stime = 0;
	if (fields == nullptr ||
	    std::sscanf(fields, ") %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime, &stime) != 2)
		fail("daemon-stat");
	const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
	const double own = static_cast<double>(utime + stime) / ticks;
	const double with_tool = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
	const double per_thousand = 1000.0 / cycles;
	struct stat info {};
	stat(log.c_str(), &info);
	const double days = cycles * 540.0 / 86400.0;
	std::printf("renewal cycles on the virtual clock: %d in %.1f s; CPU per thousand: daemon %.3f s, with its "
		    "shells and tool runs %.3f s\n",
		    cycles, wall, own * per_thousand, with_tool * per_thousand);
	std::printf("log growth with a silent tool: %.0f bytes a day\n", static_cast<double>(info.st_size) / days);
}

void make_config_file(const std::string &path, long bytes)
{
	std::string filler = "# a line of some other setting, as long as the product's usually are =\n";
	FILE *file = std::fopen(path.c_str(), "w");
	if (file == nullptr)
		fail(path);
	for (long written = 0; written + static_cast<long>(filler.size()) < bytes;
	     written += static_cast<long>(filler.size()))
		std::fputs(filler.c_str(), file);
	std::fputs("CIMOM_ROOTDIR=/opt/vemrik/halvern/bin\n", file);
	if (std::fclose(file) != 0)
		fail(path);
}

void lookup_against_grep(const Paths &paths, int repeats)
{
	const std::string grep = access("/usr/bin/grep", X_OK) == 0 ? "/usr/bin/grep" : "/bin/grep";
	double small_time = 0;
	for (const long megabytes : {1L, 100L}) {
		const std::string file = paths.scratch + "/cimom-" + std::to_string(megabytes) + "MB";
		make_config_file(file, megabytes * 1000 * 1000);
		std::vector<double> ours, theirs;
		long ours_rss = 0, theirs_rss = 0;
		for (int i = 0; i <= repeats; ++i) { // the first of each warms the page cache
			const Run lookup = run({paths.lookup_once, file});
			const Run reference = run({grep, "-m1", "^CIMOM_ROOTDIR=", file});
			if (lookup.out != "/opt/vemrik/halvern/bin\n" ||
			    reference.out != "CIMOM_ROOTDIR=/opt/vemrik/halvern/bin\n")
				fail("lookup of " + file + " gave " + lookup.out);
			if (i == 0)
				continue;
			ours.push_back(lookup.seconds);
			theirs.push_back(reference.seconds);
			ours_rss = std::max(ours_rss, lookup.max_rss_kb);
			theirs_rss = std::max(theirs_rss, reference.max_rss_kb);
		}
		const double t = median(ours), g = median(theirs);
		if (megabytes == 1)
			small_time = t;
		std::printf("lookup, %3ld MB file, key on the last line, median of %d: vexlantor %.1f ms, peak %ld kB; "
			    "grep %.1f ms, peak %ld kB: %.2f times grep's time%s\n",
			    megabytes, repeats, t * 1e3, ours_rss, g * 1e3, theirs_rss, t / g,
			    megabytes == 100 ? (" (" + std::to_string(static_cast<int>(t / small_time)) +
						" times the 1 MB time)")
						       .c_str()
					     : "");
		std::remove(file.c_str());
	}
}

} // namespace

int main(int argc, char *argv[])
{
	if (argc != 8) {
		std::fputs("usage: vexlantor_bench SCRATCH VEXLANTOR BASELINE LOOKUP_ONCE TESTCLOCK VEXLANTOR_STATIC "
			   "BASELINE_STATIC\n",
			   stderr);
		return 2;
	}
	const Paths paths = {argv[1], argv[2], argv[3], argv[4], argv[5], argv[6], argv[7]};
	// Daemons come back to this process when their starters end, to be reaped.
	prctl(PR_SET_CHILD_SUBREAPER, 1);
	start_to_return(paths, 300);
	memory_while_waiting(paths, 5);
	renewal_cycles(paths, 1000);
	lookup_against_grep(paths, 5);
	return 0;
}
