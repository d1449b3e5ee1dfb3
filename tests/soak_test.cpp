// Ten thousand renewal cycles on the virtual clock: the daemon's memory stays
// as it was after the first hundred, and it holds its three standard
// descriptors and nothing else, while the tool runs and while it waits.
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <sstream>

#include "harness.h"

namespace {

constexpr int cycles = 10'000;
constexpr int sleeps_per_cycle = 11; // an instant tool: 660 seconds between runs

// Counts its runs with shell built-ins alone, so that a cycle costs little
// more than the daemon's own work. At the sampled runs it records the
// resident memory and the descriptors of the daemon, which leads its session.
const char *const soak_tool = R"(#!/bin/sh
dir='@DIR@'
read run < "$dir/runs"
run=$((run + 1))
echo "$run" > "$dir/runs"
case $run in
101 | 5000 | 10000)
	read -r _ _ _ _ _ daemon _ < /proc/$$/stat
	while read -r key value _; do
		[ "$key" = VmRSS: ] && echo "$run rss $value" >> "$dir/samples"
	done < /proc/$daemon/status
	fds=$(cd /proc/$daemon/fd && echo *)
	echo "$run fds $fds" >> "$dir/samples"
	;;
esac
exit 0
)";

std::map<std::string, std::string> samples(const std::string &text)
{
	std::map<std::string, std::string> found;
	std::istringstream lines(text);
	std::string run, what, value;
	while (lines >> run >> what && std::getline(lines >> std::ws, value))
		found[run + " " + what] = value;
	return found;
}

// The test clock's samples, "SLEEP VmRSS: N kB" a line: N by sleep.
std::map<long, long> clock_samples(const std::string &text)
{
	std::map<long, long> found;
	std::istringstream lines(text);
	long sleep = 0, kb = 0;
	std::string label;
	while (lines >> sleep >> label >> kb && std::getline(lines, label))
		found[sleep] = kb;
	return found;
}

// The n-th sleep of the wait that follows a run.
long wait_sleep(long run, long n) { return (run - 1) * sleeps_per_cycle + n; }

TEST(Soak, StaysTheSameSizeOverTenThousandCycles)
{
	const Installation inst = make_installation({}, soak_tool);
	const long early = wait_sleep(101, 5), late = wait_sleep(cycles, 4), hold = wait_sleep(cycles, 5);
	const Started started = start_daemon(
		inst, Launch{.args = {"err", "log"},
			     .config = key_line(inst.root),
			     .extra_env = {"TESTCLOCK_SAMPLE_AT=" + std::to_string(early) + " " + std::to_string(late),
					   "TESTCLOCK_HOLD_AT=" + std::to_string(hold)}});
	if (!started.sandboxed) {
		remove_installation(inst);
		GTEST_SKIP() << "no private mount namespace here: " << started.why_not;
	}
	ASSERT_GT(started.daemon, 0) << started.starter_err;
	const bool held = wait_for_file(inst.path("clock.held"), std::chrono::seconds(100));
	std::error_code ignored;
	const std::filesystem::directory_iterator fds("/proc/" + std::to_string(started.daemon) + "/fd", ignored);
	const auto fds_waiting = std::distance(begin(fds), end(fds));
	stop_daemon(started.daemon);

	ASSERT_TRUE(held) << "runs: " << read_file(inst.path("runs"));
	EXPECT_EQ(read_file(inst.path("runs")), std::to_string(cycles) + "\n");
	EXPECT_EQ(read_file(inst.path("err")), "");
	EXPECT_EQ(fds_waiting, 3);
	// While the tool runs.
	auto found = samples(read_file(inst.path("samples")));
	for (const char *run : {"101", "5000", "10000"})
		EXPECT_EQ(found[std::string(run) + " fds"], "0 1 2") << run;
	const long running_early = std::strtol(found["101 rss"].c_str(), nullptr, 10);
	const long running_late = std::strtol(found["10000 rss"].c_str(), nullptr, 10);
	EXPECT_GT(running_early, 0);
	EXPECT_LE(running_late, running_early);
	// While it waits.
	auto waiting = clock_samples(read_file(inst.path("clock.samples")));
	EXPECT_GT(waiting[early], 0);
	EXPECT_LE(waiting[late], waiting[early]);
	std::printf("resident kB after 100 and %d cycles: %ld and %ld while the tool runs, %ld and %ld while waiting\n",
		    cycles, running_early, running_late, waiting[early], waiting[late]);
	remove_installation(inst);
}

} // namespace
