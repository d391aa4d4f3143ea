#include "master/master.hpp"

#include <exception>
#include <iostream>
#include <string>

#include "embedded_python/embedded_python.hpp"

namespace master {
namespace {

// Runs step; an ordinary error becomes the printed line prefix + its message. The line goes
// through the runtime's standard output, so it keeps its place among Python's own prints.
template <typename Step>
void guarded(const std::string& prefix, Step&& step) {
  try {
    step();
  } catch (const PythonError& error) {
    if (!error.ordinary()) throw;
    embedded_python::print_line(prefix + error.message());
  } catch (const std::exception& error) {
    // Not a Python error: the runtime itself may be what failed, so the line goes out directly.
    std::cout << prefix << error.what() << std::endl;
  }
}

}  // namespace

void initialize_env(std::string_view env_path) {
  guarded("An error occurred during initilization: ",
          [&] { envtool::initialize_environment(env_path); });
}

void safe_install_modules(const std::vector<std::string>& module_names) {
  guarded("An error occurred during installation: ", [&] {
    envtool::install_dependencies(module_names);
    embedded_python::print_line("Installation successful.");
  });
}

}  // namespace master
