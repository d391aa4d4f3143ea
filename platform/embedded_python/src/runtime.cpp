// Start-up of the embedded interpreter, the per-thread standard output capture, the time-limit
// watchdog and the core of a run.

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

// The buffer of the run the calling thread is executing, or null outside any run. Nested runs on
// one thread save and restore it.
thread_local std::string* current_capture = nullptr;

// C++ output written before a Python line must reach the descriptor first.
void flush_host_streams() {
  std::cout.flush();
  std::fflush(stdout);
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

void append_text(std::string& buffer, PyObject* text) { buffer += to_utf8(text); }

bool has_newline(PyObject* text) {
  return PyUnicode_FindChar(text, '\n', 0, PyUnicode_GET_LENGTH(text), 1) >= 0;
}

// sys.stdout for the whole process: writes go to the calling thread's capture when it has one, and
// to the stream Python opened on descriptor 1 otherwise. Any other attribute (encoding, fileno,
// isatty, buffer, ...) is the real stream's.
struct StdoutProxy {
  py::object real;
};

}  // namespace
}  // namespace detail
}  // namespace embedded_python

PYBIND11_EMBEDDED_MODULE(askdb_embedded_python, m) {
  namespace py = pybind11;
  using embedded_python::detail::StdoutProxy;
  py::class_<StdoutProxy>(m, "StdoutProxy")
      .def("write",
           [](StdoutProxy& self, py::handle text) -> Py_ssize_t {
             using namespace embedded_python::detail;
             if (!PyUnicode_Check(text.ptr())) {
               throw py::type_error(std::string("write() argument must be str, not ") +
                                    Py_TYPE(text.ptr())->tp_name);
             }
             const Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
             if (current_capture != nullptr) {
               append_text(*current_capture, text.ptr());
               return length;
             }
             if (self.real.is_none()) return length;
             flush_host_streams();
             self.real.attr("write")(text);
             if (has_newline(text.ptr())) self.real.attr("flush")();
             return length;
           })
      .def("flush",
           [](StdoutProxy& self) {
             using namespace embedded_python::detail;
             if (current_capture != nullptr || self.real.is_none()) return;
             flush_host_streams();
             self.real.attr("flush")();
           })
      .def("__getattr__",
           [](StdoutProxy& self, py::str name) -> py::object { return self.real.attr(name); });
}

namespace embedded_python::detail {
namespace {

constexpr wchar_t kPythonExecutable[] = L"/usr/bin/python3";

std::once_flag start_once;
Runtime* started = nullptr;
std::string start_failure;

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
    rt->timeout_type = py::reinterpret_steal<py::object>(PyErr_NewException(
        "askdb_embedded_python.RunTimeLimitExceeded", PyExc_BaseException, nullptr));
    if (!rt->timeout_type) throw py::error_already_set();

    py::module_::import("askdb_embedded_python");  // registers the proxy type
    py::object real = py::getattr(rt->sys, "stdout", py::none());
    rt->proxy = py::cast(StdoutProxy{real});
    rt->sys.attr("stdout") = rt->proxy;
  } catch (py::error_already_set& error) {
    throw std::runtime_error(std::string("the embedded Python runtime failed to start: ") +
                             error.what());
  }
  started = rt;
  // From here on every use takes the GIL for itself.
  PyEval_SaveThread();
}

// One thread for the whole process watches the deadlines of all time-limited runs: a run's
// deadline costs a list entry, not a thread start and join. Once a run's limit has passed, the
// timeout exception is raised in the run's thread, and again every 50 ms until the run ends.
class WatchdogService {
 public:
  using Clock = std::chrono::steady_clock;

  struct Deadline {
    unsigned long thread_id = 0;
    Clock::time_point next;
    // Read and written only with the GIL held, so a finished run is never interrupted.
    bool done = false;
    bool fired = false;
  };

  static WatchdogService& instance() {
    // Never destroyed: its thread runs for the life of the process.
    static WatchdogService* const service = new WatchdogService(started->timeout_type.ptr());
    return *service;
  }

  std::shared_ptr<Deadline> watch(std::chrono::milliseconds limit) {
    auto deadline = std::make_shared<Deadline>();
    deadline->thread_id = PyThread_get_thread_ident();
    deadline->next = Clock::now() + limit;
    {
      std::lock_guard lock(mutex_);
      deadlines_.push_back(deadline);
    }
    changed_.notify_one();
    return deadline;
  }

  // Called with the GIL held.
  void forget(const std::shared_ptr<Deadline>& deadline) {
    deadline->done = true;
    // An exception set but not yet delivered must not surface in whatever runs next.
    PyThreadState_SetAsyncExc(deadline->thread_id, nullptr);
    // The service thread never waits for the GIL while holding the mutex.
    std::lock_guard lock(mutex_);
    std::erase(deadlines_, deadline);
  }

 private:
  explicit WatchdogService(PyObject* exception_type) : exception_type_(exception_type) {
    std::thread([this] { serve(); }).detach();
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
      if (Clock::now() < due->next) {
        changed_.wait_until(lock, due->next);
        continue;
      }
      due->next = Clock::now() + std::chrono::milliseconds(50);
      lock.unlock();
      {
        Gil gil;
        if (!due->done) {
          PyThreadState_SetAsyncExc(due->thread_id, exception_type_);
          due->fired = true;
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

// The deadline of one run, if it has a limit.
class Watchdog {
 public:
  explicit Watchdog(const std::optional<std::chrono::milliseconds>& limit) {
    if (limit) deadline_ = WatchdogService::instance().watch(*limit);
  }
  ~Watchdog() { finish(); }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

  // Called with the GIL held; returns whether the limit passed during the run.
  bool finish() {
    if (!deadline_) return fired_;
    WatchdogService::instance().forget(deadline_);
    fired_ = deadline_->fired;
    deadline_.reset();
    return fired_;
  }

 private:
  std::shared_ptr<WatchdogService::Deadline> deadline_;
  bool fired_ = false;
};

// Points the calling thread's prints at buffer and makes sure sys.stdout is the proxy; restores
// both on every exit path.
class CaptureScope {
 public:
  CaptureScope(Runtime& rt, std::string* buffer) : saved_capture_(current_capture) {
    saved_stdout_ = py::reinterpret_borrow<py::object>(PySys_GetObject("stdout"));
    current_capture = buffer;
    PySys_SetObject("stdout", rt.proxy.ptr());
  }
  ~CaptureScope() {
    current_capture = saved_capture_;
    PySys_SetObject("stdout", saved_stdout_.ptr());
  }
  CaptureScope(const CaptureScope&) = delete;
  CaptureScope& operator=(const CaptureScope&) = delete;

 private:
  std::string* saved_capture_;
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

RawOutcome run_in_dict(const py::dict& dict, const py::object& source,
                       const std::optional<std::chrono::milliseconds>& time_limit) {
  Runtime& rt = *started;
  py::object tree = rt.ast_parse(source);
  RawOutcome outcome;
  if (time_limit) outcome.limit = *time_limit;
  CaptureScope capture(rt, &outcome.output);
  Watchdog watchdog(time_limit);
  try {
    py::object code = rt.compile(tree, "<ast>", "exec");
    rt.exec(code, dict, dict);
  } catch (py::error_already_set& error) {
    outcome.error.emplace(std::move(error));
  }
  outcome.timed_out = watchdog.finish();
  return outcome;
}

}  // namespace embedded_python::detail

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
