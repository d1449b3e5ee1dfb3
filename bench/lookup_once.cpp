// Looks up the root directory in the file it is given and prints it: the
// daemon's lookup alone, for timing against grep.
#include <cstdio>

#include "registration/registration.h"

int main(int argc, char *argv[])
{
	if (argc != 2) {
		std::fputs("usage: lookup_once FILE\n", stderr);
		return 2;
	}
	return std::puts(lookup_cimom_root_in(argv[1]).c_str()) >= 0 ? 0 : 1;
}
