#include "envtool/envtool.hpp"

#include <memory>
#include <string>

namespace envtool {
namespace {

using embedded_python::Namespace;

// The settings and operations, defined in the namespace itself so that they look up every setting
// and every sibling operation there when they run: a rebinding by host code is honoured exactly
// as a call from C++ would see it. The modules they work with are their own references, so host
// code that rebinds "os" or "subprocess" cannot break them. The OS-facing steps go through the
// runtime (os.path, venv, subprocess), so failures carry the runtime's own wording.
std::string operations_source() {
  std::string defaults;
  for (const auto& name : default_packages()) {
    if (!defaults.empty()) defaults += ", ";
    defaults += '"' + name + '"';
  }
  return R"(import ast, os, subprocess, sys, tempfile, venv
from io import StringIO

env_path = None
python_executable = None


# The operations are made inside a function only so that the modules they use are their own. Their
# local names end in "_" because a sibling operation named inside a body must be found in the
# namespace (a global), not as a closure over this function's locals.
def _envtool_operations(os, subprocess, sys, venv):
    def initialize_environment_(env_path_param):
        global env_path
        env_path = env_path_param
        ensure_virtual_environment()

    def ensure_virtual_environment_():
        global python_executable
        env_exists = os.path.exists(env_path)
        if not env_exists:
            venv.create(env_path, with_pip=True)
        python_executable = os.path.join(env_path, "bin", "python")
        if not env_exists:
            install_defaults()

    def install_defaults_():
        safe_install_modules([)" +
         defaults + R"(])

    def safe_install_modules_(module_names):
        try:
            install_dependencies(module_names)
            print("Installation successful.")
        except Exception as e:
            print(f"An error occurred during installation: {e}")

    def install_dependencies_(dependencies):
        for name in dependencies:
            # Lines printed so far must precede the child's own output on the shared streams.
            sys.stdout.flush()
            subprocess.call([python_executable, "-m", "pip", "install", name])

    operations = (initialize_environment_, ensure_virtual_environment_, install_defaults_,
                  safe_install_modules_, install_dependencies_)
    for operation in operations:
        operation.__name__ = operation.__qualname__ = operation.__name__[:-1]
    return operations


(initialize_environment, ensure_virtual_environment, install_defaults, safe_install_modules,
 install_dependencies) = _envtool_operations(os, subprocess, sys, venv)
del _envtool_operations
)";
}

// The one namespace of the process. Never destroyed: it must outlive every caller, including
// static destructors that might still print, and the interpreter is never finalised anyway.
Namespace& envtool_namespace() {
  static Namespace* const instance = [] {
    auto created = std::make_unique<Namespace>();
    embedded_python::execute(*created, operations_source());
    created->bind_runner("execute_code");
    return created.release();
  }();
  return *instance;
}

}  // namespace

const std::vector<std::string>& default_packages() {
  static const std::vector<std::string> packages = {"matplotlib",  "scikit-learn", "numpy",
                                                    "statsmodels", "pandas",       "scipy"};
  return packages;
}

std::optional<std::string> env_path() { return envtool_namespace().text("env_path"); }

std::optional<std::string> python_executable() {
  return envtool_namespace().text("python_executable");
}

void initialize_environment(std::string_view env_path_param) {
  envtool_namespace().call("initialize_environment", {std::string(env_path_param)});
}

void ensure_virtual_environment() { envtool_namespace().call("ensure_virtual_environment"); }

void install_defaults() { envtool_namespace().call("install_defaults"); }

void safe_install_modules(const std::vector<std::string>& module_names) {
  envtool_namespace().call("safe_install_modules", {module_names});
}

void install_dependencies(const std::vector<std::string>& dependencies) {
  envtool_namespace().call("install_dependencies", {dependencies});
}

std::string execute_code(std::string_view code) {
  return embedded_python::execute(envtool_namespace(), code);
}

}  // namespace envtool
