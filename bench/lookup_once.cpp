// Looks up the root directory in the file it is given and prints it: the
// daemon's lookup alone, for timing against grep.
#include <cstdio>

#include "registration/registration.h"

int main(int argc, char *argv[])
{
	FILE *config = argc == 2 ? std::fopen(argv[1], "r") : nullptr; // lookup_once FILE
	return config != nullptr && std::puts(read_cimom_root(config).c_str()) >= 0 ? 0 : 2;
}
