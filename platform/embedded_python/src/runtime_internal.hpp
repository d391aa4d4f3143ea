#pragma once

// Private to embedded_python: the started runtime, the GIL guard, the context of a run and the
// core of a run. Every function here expects the GIL to be held unless it says otherwise.

#include <pybind11/embed.h>

#include <chrono>
#include <memory>
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
  py::object string_io;         // io.StringIO, the type of every run's buffer
  py::object real_stdout;       // the stream Python opened on descriptor 1 (or None)
  py::object proxy;             // sys.stdout for the whole process
  py::object timeout_type;      // raised by the watchdog; derives from BaseException only
  py::object start_new_thread;  // _thread.start_new_thread as the runtime made it
};

// Starts the interpreter once (GIL not held on entry) and returns it.
Runtime& runtime();

// The deadline of a time-limited run; owned by the watchdog service and the run's context.
struct Deadline;

// What a guarded run may do (see guard.cpp). Immutable once made.
struct GuardPolicy {
  std::string save_path;  // as the host gave it
  std::string save_root;  // its absolute, symlink-free form
  std::string temp_root;  // the system temporary directory, absolute and symlink-free
};

// Everything a run hands down to the threads its code starts: the capture buffer (while the run
// lasts), the deadline and the guard (for as long as those threads live). Shared between the run
// and those threads; the fields below the buffer are read and written with the GIL held.
struct RunContext {
  RunContext() = default;
  ~RunContext();
  RunContext(const RunContext&) = delete;
  RunContext& operator=(const RunContext&) = delete;

  PyObject* buffer = nullptr;  // an io.StringIO, owned
  bool capture_open = true;
  // The buffer's text when the code closed sys.stdout, so that what it printed is not lost.
  std::optional<std::string> text_at_close;
  std::shared_ptr<Deadline> deadline;
  std::shared_ptr<const GuardPolicy> guard;
};

// The context of the run the calling thread executes (its own run, or the run that started the
// thread), or null.
RunContext* current_context();

// The guard in force on the calling thread, or null.
inline const GuardPolicy* active_guard() {
  RunContext* context = current_context();
  return context != nullptr ? context->guard.get() : nullptr;
}

// Options of run_in_dict.
struct RawOptions {
  std::optional<std::chrono::milliseconds> time_limit;
  const Guard* guard = nullptr;
};

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
RawOutcome run_in_dict(const py::dict& dict, const py::object& source, const RawOptions& options);

// Converts source text to a Python str (error_already_set on invalid UTF-8).
py::object to_str(std::string_view text);

// str(object) as UTF-8 (lone surrogates escaped).
std::string str_of(py::handle object);

// A str object as UTF-8 (lone surrogates escaped).
std::string to_utf8(PyObject* text);

// Converts the exception to a PythonError (type name, str() of the value, ordinary kind).
PythonError to_python_error(const py::error_already_set& error);

// The message of a timed-out run.
std::string timeout_message(std::chrono::milliseconds limit);

// guard.cpp: installed once at start-up (audit hook, checked entry points, the environment
// view). Throws error_already_set.
void install_guard(Runtime& rt);
// Makes the policy of a guard. The first call prepares, unguarded, what libraries set up at import
// time and a guarded thread may not do, and makes the built-in names of guarded code: call it
// before a guarded run starts.
std::shared_ptr<const GuardPolicy> make_guard_policy(const Guard& guard);
// The built-in names guarded code runs with (null before the first guard was made).
PyObject* guarded_builtins_dict();

}  // namespace embedded_python::detail

#pragma GCC visibility pop
