#pragma once

// Private to embedded_python: the started runtime, the GIL guard and the core of a run. Every
// function here expects the GIL to be held unless it says otherwise.

#include <pybind11/embed.h>

#include <chrono>
#include <optional>
#include <string>

#include "embedded_python/embedded_python.hpp"

// pybind11's types are hidden; so are the private types that hold them.
#pragma GCC visibility push(hidden)

namespace embedded_python::detail {

namespace py = pybind11;

// Holds the GIL for its scope; nests, and works on threads Python has never seen.
class Gil {
 public:
  Gil() : state_(PyGILState_Ensure()) {}
  ~Gil() { PyGILState_Release(state_); }
  Gil(const Gil&) = delete;
  Gil& operator=(const Gil&) = delete;

 private:
  PyGILState_STATE state_;
};

// Objects looked up once at start-up. Never destroyed: the interpreter lives as long as the
// process and is never finalised (finalising while other threads may still hold Python objects is
// unsafe, and nothing needs it).
struct Runtime {
  py::object sys;
  py::object builtins;
  py::object ast_parse;
  py::object compile;
  py::object exec;
  py::object print;
  py::object proxy;         // the sys.stdout proxy
  py::object timeout_type;  // raised by the watchdog; derives from BaseException only
};

// Starts the interpreter once (GIL not held on entry) and returns it.
Runtime& runtime();

// The outcome of run_in_dict. error holds the exception when the run failed; output what the code
// printed before the run ended.
struct RawOutcome {
  std::string output;
  std::optional<py::error_already_set> error;
  bool timed_out = false;
  std::chrono::milliseconds limit{0};
};

// Parses, compiles and executes source (a str, or any object ast.parse accepts) in dict with the
// calling thread's output captured. A failure to parse is thrown as error_already_set before
// standard output is touched; every later failure is returned in the outcome.
RawOutcome run_in_dict(const py::dict& dict, const py::object& source,
                       const std::optional<std::chrono::milliseconds>& time_limit);

// Converts source text to a Python str (error_already_set on invalid UTF-8).
py::object to_str(std::string_view text);

// str(object) as UTF-8 (lone surrogates escaped).
std::string str_of(py::handle object);

// Converts the exception to a PythonError (type name, str() of the value, ordinary kind).
PythonError to_python_error(const py::error_already_set& error);

// The message of a timed-out run.
std::string timeout_message(std::chrono::milliseconds limit);

}  // namespace embedded_python::detail

#pragma GCC visibility pop
