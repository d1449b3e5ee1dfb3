// What the walk's two files share: where a walk stands, and its steps.
#ifndef VEXLANTOR_PATHWALK_WALK_H
#define VEXLANTOR_PATHWALK_WALK_H

#include "pathwalk.h"

// Where a walk stands: the directory held (at its end, the file opened), its
// status and its path ("" for the root), what is left to walk, and at its end
// whether it reached its last entry, and why that is not open, or 0.
struct Walk {
	int fd = -1;
	struct stat info {};
	std::string at{};
	std::string pending{};
	Use use = Use::run;
	int links = 0;
	bool reached = false;
	int open_error = 0;
};

// walk.cpp: each descriptor is closed here, and opened by open_and_stat, -1
// with errno where either the open or its status fails.
void close_descriptor(int &fd);
int open_and_stat(int directory, const char *name, int flags, struct stat &info);
bool same_file(const struct stat &one, const struct stat &other);
Verdict verdict_on(Fault fault, const std::string &path, const struct stat &info);
Verdict cannot_check(const std::string &path, int error);
// The walk now holds fd, for path; the descriptor it held is closed.
void move_to(Walk &walk, int fd, const struct stat &info, const std::string &path);
// The walk moves into the directory at path, and judges it.
Verdict step_to(Walk &walk, int directory, const char *name, const std::string &path);
// entry.cpp: takes the next entry, named, of the directory the walk holds.
Verdict take_entry(Walk &walk, const std::string &name);

#endif
