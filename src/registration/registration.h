// Service registration: find the product's CIMOM root, build the command
// that runs its registration tool, and keep the registration renewed.
#ifndef VEXLANTOR_REGISTRATION_H
#define VEXLANTOR_REGISTRATION_H

#include <cstdio>
#include <string>
#include <string_view>

// Written by the product agent; the daemon only reads its root directory key.
// The product's paths are the build's (CMakeLists.txt).
inline constexpr const char *cimom_config_path = VEXLANTOR_CIMOM_CONFIG;
inline constexpr std::string_view cimom_root_key = "CIMOM_ROOTDIR=";
inline constexpr const char *default_cimom_root = VEXLANTOR_DEFAULT_ROOT;

// The tool lies in the directory "bin" beside the root directory.
inline constexpr const char *tool_path_suffix = "/../bin/trindlet";

// The root directory named by the fixed configuration file, or the default.
std::string lookup_cimom_root();

// The same lookup over any file, so that it can be exercised in tests.
std::string lookup_cimom_root_in(const char *config_path);

// The shell command that registers the service once, for a given root.
std::string build_register_command(std::string_view root);

// Registers the service and renews it until a run of the tool fails; returns
// that run's raw wait status, which is never 0: the tool's, -1 when it could
// not be started, or that of an exit with 124 when it was stopped, hung, after
// the registration's lifetime.
int run_registration(FILE *error_stream, FILE *log_stream);

#endif
