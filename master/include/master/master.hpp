#pragma once

// The setup front of the managed Python environment: two entry points that report every ordinary
// failure as one printed line and return normally, and envtool's operations under their own names
// (they are envtool's functions themselves, working on envtool's settings and namespace), so a
// host needs only this header. envtool's settings are read from envtool (envtool::env_path(),
// envtool::python_executable()).
//
// Non-ordinary Python errors (SystemExit, KeyboardInterrupt raised by rebound operations) are not
// caught: they reach the caller as envtool::PythonError.
//
// Thread safety: as envtool's operations, meant to be called from one thread at a time.

#include <string>
#include <string_view>
#include <vector>

#include "envtool/envtool.hpp"
#include "master/export.hpp"

namespace master {

// envtool::initialize_environment(env_path); an ordinary error is printed as
// "An error occurred during initilization: <message>". Prints nothing itself on success.
MASTER_EXPORT void initialize_env(std::string_view env_path);

// envtool::install_dependencies(module_names), then prints "Installation successful."; an ordinary
// error is printed as "An error occurred during installation: <message>". master's own entry
// point: envtool::install_defaults keeps calling envtool's safe_install_modules.
MASTER_EXPORT void safe_install_modules(const std::vector<std::string>& module_names);

using envtool::ensure_virtual_environment;
using envtool::execute_code;
using envtool::initialize_environment;
using envtool::install_defaults;
using envtool::install_dependencies;
using envtool::PythonError;

}  // namespace master
