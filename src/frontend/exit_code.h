#ifndef VEXLANTOR_EXIT_CODE_H
#define VEXLANTOR_EXIT_CODE_H

// The exit code that reports a failed run's raw system() status: exit()
// keeps only the low byte, which for an exit status of the tool is 0.
int exit_code_of(int system_status);

#endif
