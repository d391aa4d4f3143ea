// Start-up of the embedded interpreter, the contexts of runs (captured standard output, deadline
// and guard, handed down to the threads the code starts), the time-limit watchdog and the core of
// a run.

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "runtime_internal.hpp"

namespace embedded_python {

PythonError::PythonError(std::string type_name, std::string message, bool ordinary)
    : std::runtime_error(type_name + ": " + message),
      type_name_(std::move(type_name)),
      message_(std::move(message)),
      ordinary_(ordinary) {}

namespace detail {
namespace {

constexpr wchar_t kPythonExecutable[] = L"/usr/bin/python3";

std::once_flag start_once;
Runtime* started = nullptr;
std::string start_failure;

// The context of the run the calling thread executes, or null outside any run. Set and reset only
// with the GIL held (releasing a context may release Python objects).
thread_local std::shared_ptr<RunContext> thread_context;

// C++ output written before a Python line must reach the descriptor first.
void flush_host_streams() {
  std::cout.flush();
  std::fflush(stdout);
}

bool has_newline(PyObject* text) {
  return PyUnicode_FindChar(text, '\n', 0, PyUnicode_GET_LENGTH(text), 1) >= 0;
}

// The calling thread's capture, when its run is still going.
RunContext* capturing() {
  RunContext* context = thread_context.get();
  return context != nullptr && context->capture_open ? context : nullptr;
}

// What the stream seen as sys.stdout stands for on the calling thread: the run's buffer while a
// capture lasts, the real standard output otherwise.
py::object stdout_target() {
  if (RunContext* context = capturing()) return py::reinterpret_borrow<py::object>(context->buffer);
  return started->real_stdout;
}

py::object proxy_write(py::handle text) {
  if (RunContext* context = capturing()) {
    return py::reinterpret_borrow<py::object>(context->buffer).attr("write")(text);
  }
  const py::object& real = started->real_stdout;
  if (!PyUnicode_Check(text.ptr())) {
    throw py::type_error(std::string("write() argument must be str, not ") +
                         Py_TYPE(text.ptr())->tp_name);
  }
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
  if (real.is_none()) return py::int_(length);
  flush_host_streams();
  real.attr("write")(text);
  if (has_newline(text.ptr())) real.attr("flush")();
  return py::int_(length);
}

void proxy_writelines(py::handle lines) {
  if (RunContext* context = capturing()) {
    py::reinterpret_borrow<py::object>(context->buffer).attr("writelines")(lines);
    return;
  }
  for (py::handle line : py::iter(lines)) proxy_write(line);
}

void proxy_flush() {
  if (RunContext* context = capturing()) {
    py::reinterpret_borrow<py::object>(context->buffer).attr("flush")();
    return;
  }
  const py::object& real = started->real_stdout;
  if (real.is_none()) return;
  flush_host_streams();
  real.attr("flush")();
}

void proxy_close() {
  if (RunContext* context = capturing()) {
    py::object buffer = py::reinterpret_borrow<py::object>(context->buffer);
    if (!context->text_at_close && !py::bool_(buffer.attr("closed"))) {
      context->text_at_close = to_utf8(buffer.attr("getvalue")().ptr());
    }
    buffer.attr("close")();
    return;
  }
  if (!started->real_stdout.is_none()) started->real_stdout.attr("close")();
}

// The stream type seen as sys.stdout: an io.StringIO whose every operation goes to the calling
// thread's capture buffer while its run lasts (getvalue() is what this run printed, fileno()
// raises io.UnsupportedOperation, isatty() is False) and to the real standard output otherwise.
// Its attributes are built-in functions without a receiver and the type is immutable, so code
// cannot plant Python code that the host would later run through a print of its own.
py::object make_stdout_type(Runtime& rt) {
  py::dict members;
  members["__module__"] = "askdb_embedded_python";
  members["__doc__"] =
      "Standard output: the run's in-memory text stream while code runs, the process's standard "
      "output otherwise.";
  members["write"] = py::cpp_function(&proxy_write, py::name("write"), py::arg("s"));
  members["writelines"] =
      py::cpp_function(&proxy_writelines, py::name("writelines"), py::arg("lines"));
  members["flush"] = py::cpp_function(&proxy_flush, py::name("flush"));
  members["close"] = py::cpp_function(&proxy_close, py::name("close"));
  for (const char* name :
       {"getvalue", "read", "readline", "readlines", "seek", "tell", "truncate", "readable",
        "writable", "seekable", "fileno", "isatty", "detach", "__next__"}) {
    members[name] = py::cpp_function(
        [method = std::string(name)](py::args args, py::kwargs kwargs) {
          return stdout_target().attr(method.c_str())(*args, **kwargs);
        },
        py::name(name));
  }
  members["__iter__"] = py::cpp_function([] { return started->proxy; }, py::name("__iter__"));
  py::object property = rt.builtins.attr("property");
  for (const char* name : {"closed", "encoding", "errors", "newlines", "line_buffering"}) {
    members[name] = property(py::cpp_function(
        [attribute = std::string(name)](py::handle) {
          return stdout_target().attr(attribute.c_str());
        },
        py::name(name)));
  }
  members["__getattr__"] = py::cpp_function([](py::str name) { return stdout_target().attr(name); },
                                            py::name("__getattr__"));
  py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
      "CapturedStdout", py::make_tuple(rt.string_io), members);
  reinterpret_cast<PyTypeObject*>(type.ptr())->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(type.ptr()));
  return type;
}

}  // namespace

RunContext::~RunContext() {
  if (buffer == nullptr) return;
  Gil gil;
  Py_DECREF(buffer);
}

RunContext* current_context() { return thread_context.get(); }

// One thread for the whole process watches the deadlines of all time-limited runs: a run's
// deadline costs a list entry, not a thread start and join. Once a run's limit has passed, the
// timeout exception is raised in the run's thread and in every thread its code started that is
// still alive, and again every 50 ms until each of them has ended.
struct Deadline {
  using Clock = std::chrono::steady_clock;
  Clock::time_point next;  // guarded by the service's mutex

  // Read and written only with the GIL held, so a finished thread is never interrupted.
  unsigned long run_thread = 0;
  bool run_active = true;
  bool fired_during_run = false;
  std::vector<unsigned long> children;
  int starting = 0;  // threads started but not yet running
  bool retired = false;
};

namespace {

class WatchdogService {
 public:
  static WatchdogService& instance() {
    // Never destroyed: its thread runs for the life of the process.
    static WatchdogService* const service = new WatchdogService(started->timeout_type.ptr());
    return *service;
  }

  std::shared_ptr<Deadline> watch(std::chrono::milliseconds limit) {
    auto deadline = std::make_shared<Deadline>();
    deadline->run_thread = PyThread_get_thread_ident();
    deadline->next = Deadline::Clock::now() + limit;
    {
      std::lock_guard lock(mutex_);
      deadlines_.push_back(deadline);
    }
    changed_.notify_one();
    return deadline;
  }

  // The run itself has ended; its threads stay watched. Returns whether the limit passed while
  // the run went on.
  bool run_finished(const std::shared_ptr<Deadline>& deadline) {
    deadline->run_active = false;
    // An exception set but not yet delivered must not surface in whatever runs next.
    PyThreadState_SetAsyncExc(deadline->run_thread, nullptr);
    retire_if_idle(deadline);
    return deadline->fired_during_run;
  }

  void child_starting(const std::shared_ptr<Deadline>& deadline) { ++deadline->starting; }

  void child_started(const std::shared_ptr<Deadline>& deadline, unsigned long thread) {
    --deadline->starting;
    deadline->children.push_back(thread);
  }

  void child_not_started(const std::shared_ptr<Deadline>& deadline) {
    --deadline->starting;
    retire_if_idle(deadline);
  }

  void child_ended(const std::shared_ptr<Deadline>& deadline, unsigned long thread) {
    std::erase(deadline->children, thread);
    PyThreadState_SetAsyncExc(thread, nullptr);
    retire_if_idle(deadline);
  }

 private:
  explicit WatchdogService(PyObject* exception_type) : exception_type_(exception_type) {
    std::thread([this] { serve(); }).detach();
  }

  void retire_if_idle(const std::shared_ptr<Deadline>& deadline) {
    if (deadline->run_active || !deadline->children.empty() || deadline->starting > 0 ||
        deadline->retired) {
      return;
    }
    deadline->retired = true;
    // The service thread never waits for the GIL while holding the mutex.
    std::lock_guard lock(mutex_);
    std::erase(deadlines_, deadline);
  }

  void serve() {
    std::unique_lock lock(mutex_);
    while (true) {
      if (deadlines_.empty()) {
        changed_.wait(lock);
        continue;
      }
      auto earliest = std::min_element(
          deadlines_.begin(), deadlines_.end(),
          [](const auto& left, const auto& right) { return left->next < right->next; });
      std::shared_ptr<Deadline> due = *earliest;
      if (Deadline::Clock::now() < due->next) {
        changed_.wait_until(lock, due->next);
        continue;
      }
      due->next = Deadline::Clock::now() + std::chrono::milliseconds(50);
      lock.unlock();
      {
        Gil gil;
        if (!due->retired) {
          if (due->run_active) {
            PyThreadState_SetAsyncExc(due->run_thread, exception_type_);
            due->fired_during_run = true;
          }
          for (unsigned long thread : due->children) {
            PyThreadState_SetAsyncExc(thread, exception_type_);
          }
        }
      }
      lock.lock();
    }
  }

  PyObject* exception_type_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::shared_ptr<Deadline>> deadlines_;
};

// Runs in a thread that code of a run started: the thread takes the run's context (capture while
// it lasts, deadline, guard) before the thread's function runs, and gives it up after.
class ChildThread {
 public:
  explicit ChildThread(std::shared_ptr<RunContext> context) : context_(std::move(context)) {
    thread_ = PyThread_get_thread_ident();
    thread_context = context_;
    if (context_->deadline) WatchdogService::instance().child_started(context_->deadline, thread_);
  }
  ~ChildThread() {
    if (context_->deadline) WatchdogService::instance().child_ended(context_->deadline, thread_);
    thread_context.reset();
  }
  ChildThread(const ChildThread&) = delete;
  ChildThread& operator=(const ChildThread&) = delete;

 private:
  std::shared_ptr<RunContext> context_;
  unsigned long thread_ = 0;
};

// _thread.start_new_thread (also threading's and _thread.start_new): a thread started while a run
// goes on inherits the starting thread's context.
py::object start_new_thread(py::object function, py::object args, py::object kwargs) {
  Runtime& rt = *started;
  std::shared_ptr<RunContext> context = thread_context;
  auto call = [&](const py::object& target) {
    return kwargs.is_none() ? rt.start_new_thread(target, args)
                            : rt.start_new_thread(target, args, kwargs);
  };
  if (!context) return call(function);
  py::cpp_function bootstrap(
      [context, function](py::args call_args, py::kwargs call_kwargs) {
        ChildThread child(context);
        return function(*call_args, **call_kwargs);
      },
      py::name("run_with_inherited_context"));
  if (context->deadline) WatchdogService::instance().child_starting(context->deadline);
  try {
    return call(bootstrap);
  } catch (...) {
    if (context->deadline) WatchdogService::instance().child_not_started(context->deadline);
    throw;
  }
}

void check(PyStatus status, PyConfig& config, const char* step) {
  if (PyStatus_Exception(status) == 0) return;
  std::string message = std::string("the embedded Python runtime failed to start (") + step +
                        "): " + (status.err_msg != nullptr ? status.err_msg : "unknown error");
  PyConfig_Clear(&config);
  throw std::runtime_error(message);
}

void start() {
  PyConfig config;
  PyConfig_InitIsolatedConfig(&config);
  config.install_signal_handlers = 0;
  // The program name and executable decide where the standard library is found (and what
  // sys.executable, and with it venv's base interpreter, is): Debian's python3 rather than
  // whatever "python3" PATH would find, or the host binary.
  check(PyConfig_SetString(&config, &config.program_name, kPythonExecutable), config,
        "program name");
  check(PyConfig_SetString(&config, &config.executable, kPythonExecutable), config, "executable");
  check(Py_InitializeFromConfig(&config), config, "initialisation");
  PyConfig_Clear(&config);

  auto* rt = new Runtime();
  try {
    py::module_ os = py::module_::import("os");
    // Charts are only ever saved to files; there is no display.
    os.attr("environ")["MPLBACKEND"] = "agg";

    // Importing signal (subprocess, asyncio and many others do) would put Python's SIGINT handler
    // in place of the host's disposition, and Ctrl-C would no longer stop the host. The module is
    // imported once here, Python's own table reset, and the host's disposition put back.
    struct sigaction host_sigint {};
    sigaction(SIGINT, nullptr, &host_sigint);
    py::module_ signal_module = py::module_::import("signal");
    signal_module.attr("signal")(signal_module.attr("SIGINT"), signal_module.attr("SIG_DFL"));
    sigaction(SIGINT, &host_sigint, nullptr);

    rt->sys = py::module_::import("sys");
    rt->builtins = py::module_::import("builtins");
    rt->ast_parse = py::module_::import("ast").attr("parse");
    rt->compile = rt->builtins.attr("compile");
    rt->exec = rt->builtins.attr("exec");
    rt->print = rt->builtins.attr("print");
    rt->string_io = py::module_::import("io").attr("StringIO");
    rt->timeout_type = py::reinterpret_steal<py::object>(PyErr_NewException(
        "askdb_embedded_python.RunTimeLimitExceeded", PyExc_BaseException, nullptr));
    if (!rt->timeout_type) throw py::error_already_set();

    // Threads started while a run goes on inherit its context. threading keeps its own reference
    // to the starting function, so both are replaced.
    py::module_ thread_module = py::module_::import("_thread");
    py::module_ threading = py::module_::import("threading");
    rt->start_new_thread = thread_module.attr("start_new_thread");
    py::cpp_function starter(&start_new_thread, py::name("start_new_thread"), py::arg("function"),
                             py::arg("args"), py::arg("kwargs") = py::none());
    thread_module.attr("start_new_thread") = starter;
    thread_module.attr("start_new") = starter;
    threading.attr("_start_new_thread") = starter;

    py::module_ own = py::module_::import("askdb_embedded_python");
    own.attr("RunTimeLimitExceeded") = rt->timeout_type;
    rt->real_stdout = py::getattr(rt->sys, "stdout", py::none());
    started = rt;  // the stream type's functions read the runtime
    py::object stdout_type = make_stdout_type(*rt);
    own.attr("CapturedStdout") = stdout_type;
    rt->proxy = stdout_type();
    rt->sys.attr("stdout") = rt->proxy;

    install_guard(*rt);
  } catch (py::error_already_set& error) {
    started = nullptr;
    throw std::runtime_error(std::string("the embedded Python runtime failed to start: ") +
                             error.what());
  }
  // From here on every use takes the GIL for itself.
  PyEval_SaveThread();
}

// The deadline of one run, if it has a limit.
class Watchdog {
 public:
  Watchdog(const std::optional<std::chrono::milliseconds>& limit, RunContext& context) {
    if (limit) {
      deadline_ = WatchdogService::instance().watch(*limit);
      context.deadline = deadline_;
    }
  }
  ~Watchdog() { finish(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Called with the GIL held; returns whether the limit passed during the run.
  bool finish() {
    if (!deadline_) return fired_;
    fired_ = WatchdogService::instance().run_finished(deadline_);
    deadline_.reset();
    return fired_;
  }

 private:
  std::shared_ptr<Deadline> deadline_;
  bool fired_ = false;
};

// Makes context the calling thread's and sys.stdout the process's stream; restores both, and
// ends the capture, on every exit path.
class CaptureScope {
 public:
  CaptureScope(Runtime& rt, std::shared_ptr<RunContext> context) : context_(std::move(context)) {
    saved_context_ = thread_context;
    saved_stdout_ = py::reinterpret_borrow<py::object>(PySys_GetObject("stdout"));
    thread_context = context_;
    PySys_SetObject("stdout", rt.proxy.ptr());
  }
  ~CaptureScope() {
    context_->capture_open = false;
    thread_context = std::move(saved_context_);
    PySys_SetObject("stdout", saved_stdout_.ptr());
  }
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;

  // Everything the code printed so far.
  std::string text() const {
    if (context_->text_at_close) return *context_->text_at_close;
    py::object value = py::reinterpret_borrow<py::object>(context_->buffer).attr("getvalue")();
    return to_utf8(value.ptr());
  }

 private:
  std::shared_ptr<RunContext> context_;
  std::shared_ptr<RunContext> saved_context_;
  py::object saved_stdout_;
};

}  // namespace

Runtime& runtime() {
  std::call_once(start_once, [] {
    try {
      start();
    } catch (const std::exception& error) {
      start_failure = error.what();
    }
  });
  if (started == nullptr) throw std::runtime_error(start_failure);
  return *started;
}

std::string to_utf8(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(data, static_cast<std::size_t>(size));
  }
  // Lone surrogates cannot be UTF-8; they are kept visible as escapes instead of failing.
  PyErr_Clear();
  auto bytes = py::reinterpret_steal<py::object>(
      PyUnicode_AsEncodedString(text, "utf-8", "backslashreplace"));
  if (!bytes) throw py::error_already_set();
  return std::string(PyBytes_AS_STRING(bytes.ptr()),
                     static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.ptr())));
}

py::object to_str(std::string_view text) {
  auto result = py::reinterpret_steal<py::object>(
      PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  if (!result) throw py::error_already_set();
  return result;
}

std::string str_of(py::handle object) {
  auto text = py::reinterpret_steal<py::object>(PyObject_Str(object.ptr()));
  if (!text) throw py::error_already_set();
  return to_utf8(text.ptr());
}

PythonError to_python_error(const py::error_already_set& error) {
  PyObject* type = error.type().ptr();
  std::string type_name = str_of(py::getattr(error.type(), "__name__", error.type()));
  std::string message;
  try {
    message = str_of(error.value());
  } catch (const py::error_already_set&) {
    message = "<exception str() failed>";
  }
  return PythonError(std::move(type_name), std::move(message),
                     PyErr_GivenExceptionMatches(type, PyExc_Exception) != 0);
}

std::string timeout_message(std::chrono::milliseconds limit) {
  return "the code ran longer than its time limit of " + std::to_string(limit.count()) + " ms";
}

RawOutcome run_in_dict(const py::dict& dict, const py::object& source, const RawOptions& options) {
  Runtime& rt = *started;
  py::object tree = rt.ast_parse(source);
  // A run inside a guarded run stays under the outer guard, whatever it asks for.
  std::shared_ptr<const GuardPolicy> guard;
  if (RunContext* outer = thread_context.get(); outer != nullptr && outer->guard) {
    guard = outer->guard;
  } else if (options.guard != nullptr) {
    guard = make_guard_policy(*options.guard);
  }
  if (guard && PyDict_GetItemString(dict.ptr(), "__builtins__") == nullptr) {
    dict["__builtins__"] = py::reinterpret_borrow<py::object>(guarded_builtins_dict());
  }
  auto context = std::make_shared<RunContext>();
  context->buffer = rt.string_io().release().ptr();
  context->guard = std::move(guard);

  RawOutcome outcome;
  if (options.time_limit) outcome.limit = *options.time_limit;
  CaptureScope capture(rt, context);
  Watchdog watchdog(options.time_limit, *context);
  try {
    py::object code = rt.compile(tree, "<ast>", "exec");
    rt.exec(code, dict, dict);
  } catch (py::error_already_set& error) {
    outcome.error.emplace(std::move(error));
  }
  outcome.timed_out = watchdog.finish();
  try {
    outcome.output = capture.text();
  } catch (py::error_already_set& error) {
    if (!outcome.error) outcome.error.emplace(std::move(error));
  }
  return outcome;
}

}  // namespace detail
}  // namespace embedded_python

namespace embedded_python {

void print_line(std::string_view text) {
  detail::Runtime& rt = detail::runtime();
  detail::Gil gil;
  try {
    rt.print(detail::to_str(text));
  } catch (const pybind11::error_already_set& error) {
    throw detail::to_python_error(error);
  }
}

void flush_output() {
  detail::runtime();
  detail::Gil gil;
  if (PyObject* out = PySys_GetObject("stdout"); out != nullptr && out != Py_None) {
    auto result =
        pybind11::reinterpret_steal<pybind11::object>(PyObject_CallMethod(out, "flush", nullptr));
    if (!result) throw detail::to_python_error(pybind11::error_already_set());
  }
  std::fflush(stdout);
}

void ensure_started() { detail::runtime(); }

}  // namespace embedded_python

PYBIND11_EMBEDDED_MODULE(askdb_embedded_python, m) {
  m.doc() = "Internals of the embedded runtime: the standard output stream type and the guard.";
}
