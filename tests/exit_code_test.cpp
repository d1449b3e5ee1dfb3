#include <csignal>
#include <gtest/gtest.h>

#include "frontend/exit_code.h"

namespace {

constexpr int exited(int code) { return code << 8; }

TEST(ExitCode, FollowsTheShellConvention)
{
	struct Case {
		int system_status;
		int exit_code;
	};
	const Case cases[] = {
		{exited(1), 1}, // kept only the low byte, this would read as success
		{exited(3), 3},
		{exited(127), 127}, // the shell found no tool
		{exited(255), 255},
		{SIGKILL, 128 + SIGKILL},
		{SIGTERM | 0x80, 128 + SIGTERM}, // with a core dump
		{-1, 1},                         // system() could not start the shell
		{0x80, 1},                       // nonsense, but never success
	};
	for (const auto &c : cases)
		EXPECT_EQ(exit_code_of(c.system_status), c.exit_code) << "raw status " << c.system_status;
}

} // namespace
