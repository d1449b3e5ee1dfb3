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

std::string resident_kb(pid_t pid)
{
	std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
	std::string line;
	while (std::getline(status, line))
		if (line.starts_with("VmRSS:"))
			return std::to_string(std::strtol(line.c_str() + 6, nullptr, 10));
	return "";
}

TEST(Soak, StaysTheSameSizeOverTenThousandCycles)
{
	const Installation inst = make_installation({}, soak_tool);
	// Held in the wait that follows the last run.
	const std::string hold = "TESTCLOCK_HOLD_AT=" + std::to_string((cycles - 1) * sleeps_per_cycle + 5);
	const Started started =
		start_daemon(inst, Launch{.args = {"err", "log"}, .config = key_line(inst.root), .extra_env = {hold}});
	if (!started.sandboxed) {
		remove_installation(inst);
		GTEST_SKIP() << "no private mount namespace here: " << started.why_not;
	}
	ASSERT_GT(started.daemon, 0) << started.starter_err;
	const bool held = wait_for_file(inst.path("clock.held"), std::chrono::seconds(100));
	const std::string rss_waiting = resident_kb(started.daemon);
	std::error_code ignored;
	int fds_waiting = 0;
	for (const auto &fd :
	     std::filesystem::directory_iterator("/proc/" + std::to_string(started.daemon) + "/fd", ignored)) {
		(void)fd;
		++fds_waiting;
	}
	stop_daemon(started.daemon);

	ASSERT_TRUE(held) << "runs: " << read_file(inst.path("runs"));
	EXPECT_EQ(read_file(inst.path("runs")), std::to_string(cycles) + "\n");
	EXPECT_EQ(read_file(inst.path("err")), "");
	auto found = samples(read_file(inst.path("samples")));
	for (const char *run : {"101", "5000", "10000"})
		EXPECT_EQ(found[std::string(run) + " fds"], "0 1 2") << run;
	EXPECT_EQ(fds_waiting, 3);
	const long after_hundred = std::strtol(found["101 rss"].c_str(), nullptr, 10);
	EXPECT_GT(after_hundred, 0);
	EXPECT_LE(std::strtol(found["10000 rss"].c_str(), nullptr, 10), after_hundred);
	EXPECT_LE(std::strtol(rss_waiting.c_str(), nullptr, 10), after_hundred);
	std::printf("resident memory after 100 cycles %ld kB, after %d %s kB, waiting %s kB\n", after_hundred, cycles,
		    found["10000 rss"].c_str(), rss_waiting.c_str());
	remove_installation(inst);
}

} // namespace
