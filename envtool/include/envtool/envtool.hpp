#pragma once

// The managed Python environment of the process: one virtual environment that receives packages
// through pip, and code execution with captured output in one namespace that lives as long as the
// process.
//
// envtool's settings and operations live in that namespace (the one execute_code runs in), next to
// the modules ast, os, subprocess, sys, tempfile, venv and the StringIO type. They are looked up
// there every time they are used, by the C++ functions below as much as by Python code: code that
// rebinds python_executable, or safe_install_modules, changes what envtool does from then on, and
// Python code can call every operation by its name.
//
// Lines are printed through the embedded runtime's standard output: to the process's standard
// output, flushed before any pip child starts, or into the capture of an execute_code call that is
// running on the same thread. pip children share the process's standard streams.
//
// Errors leave as embedded_python::PythonError ("TypeName: message" in Python's own wording).
//
// Thread safety: each call is safe on its own (the runtime's GIL guards it), but the settings are
// process-wide and unguarded, so operations are meant to come from one thread at a time.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "embedded_python/embedded_python.hpp"

namespace envtool {

using embedded_python::PythonError;

// The packages a new environment receives, in installation order.
const std::vector<std::string>& default_packages();

// The current settings: std::nullopt while unset (None); otherwise the text of the value bound in
// the namespace.
std::optional<std::string> env_path();
std::optional<std::string> python_executable();

// env_path = env_path_param (verbatim), then ensure_virtual_environment(). Catches nothing.
void initialize_environment(std::string_view env_path_param);

// When nothing exists at env_path: creates a virtual environment there with pip (the runtime's
// venv facility, default options, base interpreter /usr/bin/python3). Then python_executable =
// env_path/bin/python, in either case. Then, for a new environment only, install_defaults().
// Catches nothing; a failed creation leaves python_executable as it was.
void ensure_virtual_environment();

// safe_install_modules(default_packages()), as bound in the namespace.
void install_defaults();

// install_dependencies(module_names), then prints "Installation successful.". An ordinary error
// is printed as "An error occurred during installation: <message>" instead of being raised; the
// packages not yet handed to pip are not attempted.
void safe_install_modules(const std::vector<std::string>& module_names);

// For each name in order: runs [python_executable, "-m", "pip", "install", name] as a child with
// the process's standard streams (no shell) and waits for it. Exit statuses are not examined.
// Catches nothing.
void install_dependencies(const std::vector<std::string>& dependencies);

// Runs code in envtool's namespace and returns what it printed (see embedded_python::execute).
// Errors reach the caller with standard output restored; names bound before an error stay bound.
std::string execute_code(std::string_view code);

}  // namespace envtool
