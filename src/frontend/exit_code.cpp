#include <sys/wait.h>

#include "exit_code.h"

int exit_code_of(int system_status)
{
	int code = 1; // system() itself failed, or a status nobody can decode
	if (system_status != -1 && WIFEXITED(system_status))
		code = WEXITSTATUS(system_status);
	else if (system_status != -1 && WIFSIGNALED(system_status))
		code = 128 + WTERMSIG(system_status);
	// A failed registration must never read as success to a supervisor.
	return code != 0 ? code : 1;
}
