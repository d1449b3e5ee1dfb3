// Three thousand renewal cycles on the virtual clock, each one measured: the
// daemon's memory stays as it was after the first hundred, and it holds its
// three standard descriptors and nothing else, while the tool runs and while
// it waits. And thirty days with faults: how long the service stays
// registered.
#include <algorithm>
#include <cstdlib>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int cycles = 3'000;
constexpr int settled = 101;        // the first run measured against the rest
constexpr int sleeps_per_cycle = 9; // an instant tool: 540 seconds between runs

// At every run the tool records the resident memory and the descriptors of
// the daemon, which leads its session, with shell built-ins
// alone, so that a cycle costs little more than the daemon's own work.
const char *const sample_step = R"(read -r _ _ _ _ _ daemon _ < /proc/$$/stat
while read -r key value _; do
	[ "$key" = VmRSS: ] && echo "$run rss $value" >> "$dir/samples"
done < /proc/$daemon/status
# A descriptor that the test clock holds for a moment, even one held while
# the daemon waits for a busy processor, is gone at a look 50 ms later.
for look in 1 2 3 4 5; do
	fds=
	for fd in /proc/$daemon/fd/*; do fds="$fds ${fd##*/}"; done
	[ "$fds" = " 0 1 2" ] && break
	sleep 0.05
done
echo "$run fds${fds}" >> "$dir/samples")";

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

TEST(Soak, StaysTheSameSizeOverThreeThousandCycles)
{
	const Installation inst = make_installation({}, cycles);
	plan_step(inst, "default", sample_step);
	const Started started =
		start_daemon(inst, Launch{.args = {"err", "log"},
					  .config = key_line(inst.root),
					  .extra_env = {"TESTCLOCK_HOLD_AT=" + std::to_string(wait_sleep(cycles, 5))}});
	if (!started.sandboxed) {
		remove_installation(inst);
		GTEST_SKIP() << started.why_not;
	}
	ASSERT_GT(started.daemon, 0) << started.starter_err;
	// However long the cycles take on this machine.
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
	const long early = std::strtol(found[std::to_string(settled) + " rss"].c_str(), nullptr, 10);
	ASSERT_GT(early, 0);
	long largest = 0;
	for (int run = settled; run <= cycles; ++run) {
		const std::string at = std::to_string(run);
		ASSERT_EQ(found[at + " fds"], "0 1 2") << "run " << run;
		const long rss = std::strtol(found[at + " rss"].c_str(), nullptr, 10);
		ASSERT_LE(rss, early) << "run " << run;
		largest = std::max(largest, rss);
	}
	std::printf("resident kB at run %d: %ld; the most over runs %d to %d: %ld\n", settled, early, settled, cycles,
		    largest);
	// The figure the manual gives, for a tool that prints nothing but the
	// samples, which go to a file of their own.
	std::printf("the log grows by %.0f bytes a day\n",
		    static_cast<double>(read_file(inst.path("log")).size()) / (cycles * 540.0 / 86400));
	remove_installation(inst);
}

// Thirty days of runs, each minute of them on the virtual clock, with the
// faults a host meets: the wall clock set back and on by an hour, five failing
// runs in a row, and a run that hangs. Each failure ends the daemon and it is
// started again a minute later, as its unit does. The service is judged
// registered as an SLP agent would judge it, by each registration's expiry on
// the elapsed clock. Its share of the time and the longest lapse are printed.
TEST(Soak, StaysRegisteredThroughThirtyDaysOfFaults)
{
	const Installation inst = make_installation({}, 30 * 24 * 3600 / 540);
	plan_step(inst, "801", "step -3600");
	plan_step(inst, "1601", "step 3600");
	for (int run = 2401; run <= 2405; ++run)
		plan_step(inst, std::to_string(run), "exit 1");
	plan_step(inst, "3201", "advance 600; hang");
	const auto move_clock = [&](long seconds) {
		std::istringstream clock(read_file(inst.path("clock")));
		long wall = 0, elapsed = 0;
		clock >> wall >> elapsed;
		write_file(inst.path("clock"),
			   std::to_string(wall + seconds) + " " + std::to_string(elapsed + seconds));
	};
	for (int status = 0, starts = 0; status != 99; ++starts) {
		if (starts > 0)
			move_clock(60); // the unit's RestartSec
		const Started started = start_daemon(inst, Launch{.config = key_line(inst.root)});
		if (!started.sandboxed) {
			remove_installation(inst);
			GTEST_SKIP() << started.why_not;
		}
		ASSERT_GT(started.daemon, 0) << started.starter_err;
		status = wait_for_exit(started.daemon);
		stop_daemon(-1); // what the stopped run left
		ASSERT_LT(starts, 10) << "status " << status;
	}

	std::istringstream registrations(read_file(inst.path("registrations")));
	long run = 0, since = 0, until = 0, first = -1, covered_until = 0, lapsed = 0, longest = 0, longest_run = 0;
	while (registrations >> run >> since >> until) {
		if (first == -1)
			first = covered_until = since;
		const long lapse = std::max(0L, since - covered_until);
		lapsed += lapse;
		if (lapse > longest) {
			longest = lapse;
			longest_run = run;
		}
		covered_until = std::max(covered_until, until);
	}
	const double share = 1.0 - static_cast<double>(lapsed) / static_cast<double>(covered_until - first);
	std::printf("over %.1f days, registered %.3f %% of the time; lapsed %ld s, the longest %ld s, before run %ld\n",
		    static_cast<double>(covered_until - first) / 86400, 100 * share, lapsed, longest, longest_run);
	// Five failures cost four restarts' time; the hung run its bound, plus the
	// grace and the restart, less the minute of the registration left.
	EXPECT_LE(longest, 600 + 10 + 60 - 60);
	EXPECT_LE(lapsed, 4 * 60 + 610);
	remove_installation(inst);
}

} // namespace
