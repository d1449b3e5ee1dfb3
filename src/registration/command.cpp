#include "pathwalk/pathwalk.h"
#include "registration.h"

namespace {

// The tool's fixed options, around the lifetime that the renewal is timed
// by. The shell removes the double quotes, so the tool receives the
// attribute list (vse=gadbI) as it stands.
constexpr std::string_view options_before_lifetime = "--type=service:management-software:virtual-system-management:XEN"
						     " --url=service:management-software:virtual-system-management:XEN"
						     " --attributes=\"(vse=gadbI)\""
						     " --lifetime=";
constexpr std::string_view options_after_lifetime = " --address=0";

} // namespace

// The root comes from a file the daemon does not own: the shell must read the
// tool's path as one plain word.
std::string build_register_command(std::string_view root)
{
	return shell_word(std::string(root) + tool_path_suffix, "'\\''") + " " + std::string(options_before_lifetime) +
	       std::to_string(registration_lifetime_seconds) + std::string(options_after_lifetime);
}
