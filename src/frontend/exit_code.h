#ifndef VEXLANTOR_EXIT_CODE_H
#define VEXLANTOR_EXIT_CODE_H

// The daemon's exit code for a failed run's raw wait status: the tool's exit
// status, 128 plus the number of the signal that killed it, or 1 where no
// process could be made to run the shell (-1: fork failed); never 0. The raw
// status itself cannot be the exit code: exit() keeps its low byte, which is 0
// whenever the tool exited.
int exit_code_of(int wait_status);

#endif
