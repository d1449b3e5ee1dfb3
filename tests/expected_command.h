// What every test expects the registration tool to be given: the options as
// the command line writes them, and the arguments the tool receives from the
// shell. tests/packaging_test.sh reads the arguments from this file too.
#ifndef VEXLANTOR_TESTS_EXPECTED_COMMAND_H
#define VEXLANTOR_TESTS_EXPECTED_COMMAND_H

#include <array>
#include <string_view>

inline constexpr std::string_view expected_options = "--type=service:management-software:virtual-system-management:XEN"
						     " --url=service:management-software:virtual-system-management:XEN"
						     " --attributes=\"(vse=gadbI)\" --lifetime=600 --address=0";

inline constexpr std::array<std::string_view, 5> expected_arguments = {
	"--type=service:management-software:virtual-system-management:XEN",
	"--url=service:management-software:virtual-system-management:XEN",
	"--attributes=(vse=gadbI)",
	"--lifetime=600",
	"--address=0",
};

#endif
