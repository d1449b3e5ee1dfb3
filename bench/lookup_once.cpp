// Looks up the root directory in the file it is given and prints it: the
// daemon's lookup alone, for timing against grep.
#include <cstdio>

#include "registration/registration.h"

int main(int argc, char *argv[])
{
	return argc == 2 && std::puts(lookup_cimom_root_in(argv[1]).c_str()) >= 0 ? 0 : 2; // lookup_once FILE
}
