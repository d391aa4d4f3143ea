#pragma once

// The process's one embedded CPython runtime (Debian's /usr/bin/python3, with its standard library
// and dist-packages importable, so pandas, numpy and matplotlib import).
//
// Start-up is lazy and happens once, on the first use of anything below: an isolated
// configuration (no PYTHON* environment variables, no user site directory, no script directory on
// sys.path), no signal handlers installed, MPLBACKEND set to "agg". After start-up the GIL is
// released; every operation below takes it for its own duration, so all of them may be called from
// any thread. Python code of different threads interleaves at the interpreter's switch points.
//
// Source runs the way the system always runs code: ast.parse(source) with the parser's default
// file name, compile(tree, "<ast>", "exec"), exec(code, d, d) with one dict as globals and locals
// ("__builtins__" is added when the dict has none). Line numbers in errors are the user's.
//
// Standard output: sys.stdout is one stream object for the process, installed at start-up, that
// behaves as the calling thread's own stream. A run gives its thread a new, empty in-memory text
// stream: while the run lasts, what that thread prints goes there, and so does what every thread
// started by the run's code prints (a thread inherits the capture of the thread that started it,
// threads of threads included). Seen from that code, sys.stdout is an io.StringIO: getvalue() is
// what this run printed so far, isatty() is False, fileno() raises io.UnsupportedOperation, and
// writing anything but str raises TypeError. Prints of other threads, of threads still running
// after their run ended, and prints outside any run go to the process's real standard output
// (flushed at each line, and after flushing C stdio and std::cout, so the two sides keep their
// order). Concurrent runs never see each other's output. sys.stdout is set back to what it was
// before the run on every exit path, also when the code raised or replaced sys.stdout itself.
//
// Time limits follow threads too: once a run's limit has passed, every thread its code started
// and that is still alive is interrupted as the run itself is, also after the run has returned.
//
// SystemExit and KeyboardInterrupt raised by code never end the process: they reach the C++
// caller as PythonError with ordinary() == false.

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace embedded_python {

// A Python exception carried into C++. what() is "TypeName: message": the exception's bare class
// name (type(e).__name__), a colon and a blank, and str(e) in Python's own wording (possibly
// empty). ordinary() tells whether the exception derives from Exception; SystemExit,
// KeyboardInterrupt, GeneratorExit and other BaseException-only kinds are not ordinary. Callers
// that "catch every ordinary error" catch only the ordinary ones and let the rest pass.
// Immutable; safe to share between threads.
class PythonError : public std::runtime_error {
 public:
  PythonError(std::string type_name, std::string message, bool ordinary = true);

  const std::string& type_name() const noexcept { return type_name_; }
  const std::string& message() const noexcept { return message_; }
  bool ordinary() const noexcept { return ordinary_; }

 private:
  std::string type_name_;
  std::string message_;
  bool ordinary_;
};

// The guard of model-written analysis code: a boundary against code that was talked into doing
// harm (instructions hidden in a question or in database rows), not a sandbox. The code still runs
// in-process, in its namespace, with its capture and time limit; honest analysis (pandas, numpy,
// scipy, statsmodels, scikit-learn, matplotlib charts saved under save_path) runs as it would
// unguarded. Refused, each with PermissionError("<what> refused: analysis code may not <...>"),
// which the run reports as its error like any other:
// - starting processes (subprocess, os.system, os.exec*, os.spawn*, os.fork, os.posix_spawn, pty,
//   _posixsubprocess) and signalling processes (os.kill, os.killpg, signal.pthread_kill);
// - the network: creating sockets, connecting, binding, sending, name lookups, and the clients
//   built on them (urllib, http.client, ftplib, smtplib, ...);
// - native code: ctypes may open only libraries already loaded and look up only the thread-pool
//   controls of BLAS/OpenMP libraries (what threadpoolctl needs), never read or write memory by
//   address; extension modules may not load from save_path or the temporary directory, and code
//   may not run from files there;
// - writing, creating, removing, renaming, linking, chmod/chown and mkdir anywhere but under
//   save_path, the system temporary directory and /dev/null (paths are judged after resolving
//   ".." and symbolic links; a link may not lead out either); writing to the host's sockets or
//   files through descriptors; mapping them for writing;
// - ending the process or taking over its signals (os._exit, os.abort, signal.signal, alarm,
//   setitimer, raise_signal, faulthandler's crash helpers), changing its working directory,
//   identity or file descriptors (dup2), and changing environment variables other than the
//   thread settings of numeric libraries (OPENBLAS_*, OMP_*, KMP_*, MKL_*, ...), which numpy,
//   joblib and scikit-learn set while they are imported;
// - reaching past the guard: gc.get_objects/get_referrers/get_referents, other threads' frames,
//   new audit hooks, fresh copies of the modules whose entry points are checked.
// Reading files stays allowed, except /proc/<pid>/environ. Environment variables whose names
// contain KEY, TOKEN, SECRET or PASSWORD (any case) are not visible through os.environ,
// os.environb or os.getenv; the process's environment itself is unchanged.
// The guard covers the thread running the code, every thread that code starts (for the thread's
// whole life, also after the run), and every function the code defines wherever it is called
// later (such functions run with the guarded runs' own copy of the built-in names). A run started
// inside a guarded run stays under the outer guard. A namespace a guarded run used keeps those
// built-in names, so later runs in it count as guarded code too: give each guarded run a fresh
// namespace (as Namespace::with_datetime() makes).
// Before the first guarded run, what libraries do once at import time and would be refused is done
// unguarded (matplotlib's font cache).
// Not promised: a determined exploit at the native level (crafted bytecode, memory corruption
// through already-imported ctypes objects, races on paths between the check and the use) and
// builtin callables planted as hooks for host code are beyond an in-process guard; give the
// system a database user that can only read.
struct Guard {
  // Where the code may write (besides the system temporary directory): this directory and
  // everything under it. A relative path is taken relative to the working directory at the start
  // of the run; the empty text means the working directory.
  std::string save_path;
};

// Options of one run.
struct RunOptions {
  // When set, a watchdog makes the run fail with "TimeoutError: ..." once the limit has passed: it
  // raises an exception (not derived from Exception, and raised again every 50 ms, so code that
  // catches everything cannot outlive it) in the running thread, and in every thread the code
  // started that still runs. The exception is delivered only while the interpreter executes
  // bytecode: code blocked inside one long C call (time.sleep, a big numpy or pandas operation, a
  // socket read) is stopped only when that call returns.
  std::optional<std::chrono::milliseconds> time_limit;
  // When set, the run is guarded (see Guard). Unset: the code has every permission of the host.
  std::optional<Guard> guard = std::nullopt;
};

// The outcome of run(). On success: success == true, output holds everything the code printed
// (empty when nothing was). On failure: success == false, error is "TypeName: message"
// (error_type and error_message are its two halves) and output holds what was printed before the
// failure, for diagnostics only.
struct RunResult {
  bool success = false;
  std::string output;
  std::string error;
  std::string error_type;
  std::string error_message;
};

// A value handed to Python: None, a str, or a list of str.
using Argument = std::variant<std::nullptr_t, std::string, std::vector<std::string>>;

// A Python dict used as the globals and locals of runs. Names bound by one run stay visible to
// later runs in the same namespace. Destroying the namespace clears the dict first, so objects that
// refer back to it (functions the code defined) are freed at once rather than by the cycle
// collector.
// Thread-safe: every member takes the GIL. Runs of several threads in one namespace share its
// names and interleave, as Python threads would.
class Namespace {
 public:
  // An empty namespace ("__builtins__" is added by the first run).
  Namespace();
  // A fresh namespace holding only "datetime", bound to the standard datetime module: the
  // namespace analysis code runs in.
  static Namespace with_datetime();

  ~Namespace();
  Namespace(Namespace&& other) noexcept;
  Namespace& operator=(Namespace&& other) noexcept;
  Namespace(const Namespace&) = delete;
  Namespace& operator=(const Namespace&) = delete;

  // name = the module imported by its dotted name. Throws PythonError when the import fails.
  void bind_module(std::string_view name, std::string_view module);
  // name = getattr(module, attribute), e.g. ("StringIO", "io", "StringIO").
  void bind_attribute(std::string_view name, std::string_view module, std::string_view attribute);
  // name = a callable name(code) -> str that runs code in this namespace exactly as execute()
  // does (captured output returned, errors raised in the calling Python code as the same
  // exception object). Holds the namespace alive only while the namespace holds it.
  void bind_runner(std::string_view name);
  // name = value.
  void set(std::string_view name, const Argument& value);

  bool contains(std::string_view name) const;
  // The names bound, in the dict's order.
  std::vector<std::string> names() const;
  // std::nullopt when the name is unbound or bound to None; otherwise str() of the value.
  std::optional<std::string> text(std::string_view name) const;
  // Calls the object bound to name (looked up now, so a rebinding by earlier code is honoured)
  // with the given positional arguments; the result is discarded. Whatever the call prints goes to
  // the calling thread's current capture, or the real standard output. Throws PythonError for
  // any exception, "KeyError: 'name'" when the name is unbound.
  void call(std::string_view name, const std::vector<Argument>& args = {});

  struct Impl;

 private:
  explicit Namespace(std::unique_ptr<Impl> impl);
  friend RunResult run(Namespace&, std::string_view, const RunOptions&);
  friend std::string execute(Namespace&, std::string_view, const RunOptions&);
  std::unique_ptr<Impl> impl_;
};

// Runs source in the namespace and returns the outcome as a value: every ordinary exception (parse,
// compile and run-time errors, a timeout) becomes a failure result. A SystemExit,
// KeyboardInterrupt or other non-ordinary exception is thrown as PythonError (ordinary() ==
// false); sys.stdout is restored first. Source that is not valid UTF-8 fails with Python's
// UnicodeDecodeError.
RunResult run(Namespace& ns, std::string_view source, const RunOptions& options = {});

// Runs source in the namespace and returns what it printed; every exception is thrown as
// PythonError, standard output restored and the partial output discarded. A syntax error leaves
// before standard output is touched and before anything runs.
std::string execute(Namespace& ns, std::string_view source, const RunOptions& options = {});

// Prints text and a newline through the runtime's sys.stdout: into the calling thread's capture
// while it runs code, otherwise to the process's standard output, flushed.
void print_line(std::string_view text);

// Flushes the runtime's standard output buffer (and C stdio's) to the process's standard output.
void flush_output();

// Starts the runtime now rather than on first use. Throws std::runtime_error naming the cause when
// the interpreter cannot start; later calls report the same failure.
void ensure_started();

}  // namespace embedded_python
