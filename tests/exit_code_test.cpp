#include <csignal>
#include <gtest/gtest.h>

#include "frontend/exit_code.h"

namespace {

// The statuses of tools that exit are the end-to-end tests'. These are the
// ones they cannot give: the shell that runs the tool reports its killed tool
// as having exited with 128 and the signal, so only a killed shell is seen
// with a signal's status.
TEST(ExitCode, FollowsTheShellConventionWhereNoToolRunShows)
{
	struct Case {
		int wait_status;
		int exit_code;
	};
	const Case cases[] = {
		{SIGKILL, 128 + SIGKILL},
		{SIGTERM | 0x80, 128 + SIGTERM}, // with a core dump
		{-1, 1},                         // fork failed: no shell was started
		{0x80, 1},                       // nonsense, but never success
	};
	for (const auto &c : cases)
		EXPECT_EQ(exit_code_of(c.wait_status), c.exit_code) << "raw status " << c.wait_status;
}

} // namespace
