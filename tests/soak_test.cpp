// Ten thousand renewal cycles on the virtual clock: the daemon's memory stays
// as it was after the first hundred, and it holds its three standard
// descriptors and nothing else, while the tool runs and while it waits.
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>

#include "harness.h"

namespace {

constexpr int cycles = 10'000;
constexpr int sleeps_per_cycle = 9; // an instant tool: 540 seconds between runs

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

// The n-th sleep of the wait that follows a run.
long wait_sleep(long run, long n) { return (run - 1) * sleeps_per_cycle + n; }

TEST(Soak, StaysTheSameSizeOverTenThousandCycles)
{
	const Installation inst = make_installation({}, soak_tool);
	const Started started =
		start_daemon(inst, Launch{.args = {"err", "log"},
					  .config = key_line(inst.root),
					  .extra_env = {"TESTCLOCK_HOLD_AT=" + std::to_string(wait_sleep(cycles, 5))}});
	if (!started.sandboxed) {
		remove_installation(inst);
		GTEST_SKIP() << started.why_not;
	}
	ASSERT_GT(started.daemon, 0) << started.starter_err;
	// However long ten thousand cycles take on this machine.
	const bool held = wait_for_file(inst.path("clock.held"), started.daemon);
	const std::string fds_waiting = descriptors_of(started.daemon);
	stop_daemon(started.daemon);

	ASSERT_TRUE(held) << "runs: " << read_file(inst.path("runs")) << read_file(inst.path("err"));
	EXPECT_EQ(read_file(inst.path("runs")), std::to_string(cycles) + "\n");
	EXPECT_EQ(read_file(inst.path("err")), "");
	EXPECT_EQ(fds_waiting, "0 1 2");
	// Memory is compared only between samples taken at the same point, while
	// the tool runs: on a path the daemon has not taken before, how many
	// pages a fault maps in depends on the page cache, and so on the machine.
	auto found = samples(read_file(inst.path("samples")));
	const long early = std::strtol(found["101 rss"].c_str(), nullptr, 10);
	EXPECT_GT(early, 0);
	for (const char *run : {"101", "5000", "10000"}) {
		EXPECT_EQ(found[std::string(run) + " fds"], "0 1 2") << run;
		EXPECT_LE(std::strtol(found[std::string(run) + " rss"].c_str(), nullptr, 10), early) << run;
	}
	std::printf("resident kB at runs 101, 5000 and %d: %s, %s and %s\n", cycles, found["101 rss"].c_str(),
		    found["5000 rss"].c_str(), found["10000 rss"].c_str());
	remove_installation(inst);
}

} // namespace
