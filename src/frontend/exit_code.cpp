#include <sys/wait.h>

#include "exit_code.h"

int exit_code_of(int wait_status)
{
	int code = 1; // fork failed, or a status nobody can decode
	if (wait_status != -1 && WIFEXITED(wait_status))
		code = WEXITSTATUS(wait_status);
	else if (wait_status != -1 && WIFSIGNALED(wait_status))
		code = 128 + WTERMSIG(wait_status);
	// A failed registration must never read as success to a supervisor.
	return code != 0 ? code : 1;
}
