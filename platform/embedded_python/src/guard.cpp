// The guard of model-written analysis code: one audit hook for the whole runtime plus checked
// replacements of the few entry points the runtime does not audit. Both act only for a thread
// whose run is guarded (and the threads that run's code started), or for a function that guarded
// code defined, wherever it is called; everything else passes through untouched.
//
// What the guard refuses is what analysis never needs: starting processes, the network, loading
// native code, writing outside the save path and the temporary directory, ending or signalling the
// process, and the introspection that would reach past the guard (the garbage collector's object
// lists, other threads' frames, new audit hooks). Every refusal is a PermissionError saying what
// was refused and why. The checks are written in C++ and hold their own references, so code
// cannot change what they consult.

#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "runtime_internal.hpp"

namespace embedded_python::detail {
namespace {

// -------------------------------------------------------------------------------------------
// Paths

std::string current_directory() {
  std::string buffer(PATH_MAX, '\0');
  if (::getcwd(buffer.data(), buffer.size()) == nullptr) return "/";
  buffer.resize(std::strlen(buffer.c_str()));
  return buffer;
}

std::string descriptor_target(int fd) {
  std::string link = "/proc/self/fd/" + std::to_string(fd);
  std::string buffer(PATH_MAX, '\0');
  const ssize_t size = ::readlink(link.c_str(), buffer.data(), buffer.size());
  if (size < 0) return {};
  buffer.resize(static_cast<std::size_t>(size));
  constexpr std::string_view kDeleted = " (deleted)";
  if (buffer.size() > kDeleted.size() && buffer.ends_with(kDeleted)) {
    buffer.resize(buffer.size() - kDeleted.size());
  }
  return buffer;
}

// The path as the kernel would reach it: absolute, with ".", ".." and every symbolic link
// resolved, the last component included (so a link that leads elsewhere is judged by where it
// leads). Components that do not exist are kept as they are.
std::string resolve(const std::string& path, const std::string& base) {
  std::deque<std::string> pending;
  auto push_front_components = [&pending](const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('/', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) parts.emplace_back(text.substr(start, end - start));
      start = end + 1;
    }
    pending.insert(pending.begin(), parts.begin(), parts.end());
  };
  push_front_components(path);
  if (path.empty() || path.front() != '/') push_front_components(base);

  std::string resolved;  // "" stands for "/"
  int links = 0;
  while (!pending.empty()) {
    std::string part = std::move(pending.front());
    pending.pop_front();
    if (part == ".") continue;
    if (part == "..") {
      resolved.erase(std::min(resolved.size(), resolved.rfind('/')));
      continue;
    }
    std::string next = resolved + "/" + part;
    struct stat info {};
    if (::lstat(next.c_str(), &info) == 0 && S_ISLNK(info.st_mode) && links < 40) {
      std::string target(PATH_MAX, '\0');
      const ssize_t size = ::readlink(next.c_str(), target.data(), target.size());
      if (size > 0) {
        target.resize(static_cast<std::size_t>(size));
        ++links;
        if (target.front() == '/') resolved.clear();
        push_front_components(target);
        continue;
      }
    }
    resolved = std::move(next);
  }
  return resolved.empty() ? "/" : resolved;
}

bool is_under(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path == root ||
         (path.size() > root.size() && path.starts_with(root) && path[root.size()] == '/');
}

bool writable(const GuardPolicy& guard, const std::string& resolved) {
  return is_under(resolved, guard.save_root) || is_under(resolved, guard.temp_root) ||
         resolved == "/dev/null";
}

// -------------------------------------------------------------------------------------------
// Refusals

struct Refusal {
  std::string message;
};
using Verdict = std::optional<Refusal>;

Verdict refuse(std::string what, std::string_view never) {
  return Refusal{std::move(what) + " refused: analysis code may not " + std::string(never)};
}

Verdict refuse_write(const GuardPolicy& guard, std::string_view action, const std::string& path) {
  return Refusal{std::string(action) + " '" + path +
                 "' refused: analysis code may write files only under the save path '" +
                 guard.save_root + "' and the temporary directory '" + guard.temp_root + "'"};
}

[[noreturn]] void raise_refusal(const Refusal& refusal) {
  PyErr_SetString(PyExc_PermissionError, refusal.message.c_str());
  throw py::error_already_set();
}

// The text of a path argument given as str or bytes. Other path-like objects are not asked for
// their text inside a check: their __fspath__ belongs to the calling code and could answer
// differently when the operation itself asks. The checked entry points below convert them once,
// before the check, and pass the converted text on.
std::optional<std::string> path_text(PyObject* object) {
  if (PyUnicode_Check(object)) {
    py::object encoded = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(object));
    if (!encoded) {
      PyErr_Clear();
      return std::nullopt;
    }
    return std::string(PyBytes_AS_STRING(encoded.ptr()),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.ptr())));
  }
  if (PyBytes_Check(object)) {
    return std::string(PyBytes_AS_STRING(object),
                       static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  }
  return std::nullopt;
}

// Whether code may write to a descriptor it holds: pipes and character devices (the process's own
// standard streams among them) yes, sockets never, files only where it may write.
Verdict check_descriptor_write(const GuardPolicy& guard, int fd, std::string_view action) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return std::nullopt;  // the call itself fails
  if (S_ISSOCK(info.st_mode)) {
    return refuse(std::string(action) + " to the socket descriptor " + std::to_string(fd),
                  "use the network");
  }
  if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) return std::nullopt;
  const std::string target = descriptor_target(fd);
  if (!target.empty() && target.front() == '/' && writable(guard, resolve(target, "/"))) {
    return std::nullopt;
  }
  return refuse_write(guard, action, target.empty() ? "descriptor " + std::to_string(fd) : target);
}

// A path argument (or a descriptor given in its place) that an operation writes, relative to the
// directory descriptor dir_fd when it is not -1.
Verdict check_write(const GuardPolicy& guard, PyObject* path, int dir_fd, std::string_view action) {
  if (path == nullptr || path == Py_None) return std::nullopt;
  if (PyLong_Check(path)) {
    const long fd = PyLong_AsLong(path);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return refuse(std::string(action) + " through a descriptor it cannot name", "do this");
    }
    return check_descriptor_write(guard, static_cast<int>(fd), action);
  }
  std::optional<std::string> text = path_text(path);
  if (!text) {
    return refuse(std::string(action) + " a path given as " + Py_TYPE(path)->tp_name,
                  "write through path objects other than str, bytes and pathlib paths");
  }
  std::string base;
  if (dir_fd != -1 && (text->empty() || text->front() != '/')) {
    base = descriptor_target(dir_fd);
    if (base.empty() || base.front() != '/') {
      return refuse(
          std::string(action) + " '" + *text + "' relative to descriptor " + std::to_string(dir_fd),
          "write relative to a descriptor that is no directory");
    }
  } else {
    base = current_directory();
  }
  const std::string resolved = resolve(*text, base);
  if (writable(guard, resolved)) return std::nullopt;
  return refuse_write(guard, action, resolved);
}

PyObject* item(PyObject* args, Py_ssize_t index) {
  return PyTuple_Check(args) && PyTuple_GET_SIZE(args) > index ? PyTuple_GET_ITEM(args, index)
                                                               : nullptr;
}

long long_item(PyObject* args, Py_ssize_t index, long fallback) {
  PyObject* value = item(args, index);
  if (value == nullptr || !PyLong_Check(value)) return fallback;
  const long result = PyLong_AsLong(value);
  if (PyErr_Occurred()) {
    PyErr_Clear();
    return fallback;
  }
  return result;
}

std::string text_item(PyObject* args, Py_ssize_t index) {
  PyObject* value = item(args, index);
  if (value == nullptr || value == Py_None) return "None";
  if (auto text = path_text(value)) return *text;
  auto shown = py::reinterpret_steal<py::object>(PyObject_Repr(value));
  if (!shown) {
    PyErr_Clear();
    return "?";
  }
  return to_utf8(shown.ptr());
}

// /proc/<pid>/environ (and a task's): reading it would show the variables the guard hides.
bool is_environment_file(const std::string& resolved) {
  if (!resolved.starts_with("/proc/") || !resolved.ends_with("/environ")) return false;
  const std::string middle = resolved.substr(6, resolved.size() - 6 - 8);
  const std::size_t slashes =
      static_cast<std::size_t>(std::count(middle.begin(), middle.end(), '/'));
  return slashes == 0 || (slashes == 2 && middle.find("/task/") != std::string::npos);
}

// -------------------------------------------------------------------------------------------
// Native code

// The thread-pool controls of BLAS and OpenMP libraries that scikit-learn and SciPy adjust
// through ctypes (threadpoolctl): the only symbols guarded code may look up.
bool is_thread_pool_control(std::string_view name) {
  static const std::unordered_set<std::string_view> names = {"openblas_get_num_threads",
                                                             "openblas_set_num_threads",
                                                             "openblas_get_config",
                                                             "openblas_get_corename",
                                                             "openblas_get_parallel",
                                                             "omp_get_max_threads",
                                                             "omp_set_num_threads",
                                                             "MKL_Get_Max_Threads",
                                                             "MKL_Set_Num_Threads",
                                                             "MKL_Get_Version_String",
                                                             "bli_thread_get_num_threads",
                                                             "bli_thread_set_num_threads",
                                                             "bli_info_get_version_str",
                                                             "bli_info_get_enable_openmp",
                                                             "bli_info_get_enable_pthreads",
                                                             "bli_arch_query_id",
                                                             "bli_arch_string",
                                                             "flexiblas_get_num_threads",
                                                             "flexiblas_set_num_threads",
                                                             "dl_iterate_phdr"};
  if (names.contains(name)) return true;
  return name.ends_with("64_") && names.contains(name.substr(0, name.size() - 3));
}

// A library already mapped into the process brings no new code when opened again.
bool already_loaded(PyObject* name) {
  if (name == nullptr || name == Py_None) return true;  // the program itself
  std::optional<std::string> text = path_text(name);
  if (!text) return false;
  void* handle = ::dlopen(text->c_str(), RTLD_LAZY | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  ::dlclose(handle);
  return true;
}

// Modules whose entry points the guard replaces (a fresh copy would bring the unchecked ones
// back), and modules that exist to crash or bypass the interpreter.
bool is_refused_module(std::string_view name) {
  static const std::unordered_set<std::string_view> names = {"posix",
                                                             "_posixsubprocess",
                                                             "_signal",
                                                             "faulthandler",
                                                             "_imp",
                                                             "_thread",
                                                             "_testcapi",
                                                             "_testinternalcapi",
                                                             "_testbuffer",
                                                             "_testmultiphase",
                                                             "_testimportmultiple",
                                                             "_testclinic",
                                                             "_xxtestfuzz",
                                                             "_ctypes_test",
                                                             "cffi",
                                                             "_cffi_backend",
                                                             "_xxsubinterpreters"};
  return names.contains(name);
}

// -------------------------------------------------------------------------------------------
// The audit hook

using EventCheck = std::function<Verdict(const GuardPolicy&, const char* event, PyObject* args)>;

constexpr std::string_view kProcesses = "start processes";
constexpr std::string_view kNetwork = "use the network";
constexpr std::string_view kNative = "load or call native code";

EventCheck refuse_as(std::string_view never) {
  return [never](const GuardPolicy&, const char* event, PyObject*) { return refuse(event, never); };
}

EventCheck write_at(Py_ssize_t path, Py_ssize_t dir_fd, std::string_view action) {
  return [=](const GuardPolicy& guard, const char*, PyObject* args) {
    return check_write(guard, item(args, path), dir_fd < 0 ? -1 : int(long_item(args, dir_fd, -1)),
                       action);
  };
}

// shutil's events come before the os operations that do the work, which are checked themselves;
// a path object there is left to those.
EventCheck shutil_write_at(Py_ssize_t path, std::string_view action) {
  return [=](const GuardPolicy& guard, const char*, PyObject* args) -> Verdict {
    PyObject* value = item(args, path);
    if (value == nullptr || !(PyUnicode_Check(value) || PyBytes_Check(value))) return std::nullopt;
    return check_write(guard, value, -1, action);
  };
}

Verdict check_open(const GuardPolicy& guard, const char*, PyObject* args) {
  PyObject* path = item(args, 0);
  const long flags = long_item(args, 2, 0);
  bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC | O_APPEND)) != 0;
  if (PyObject* mode = item(args, 1); mode != nullptr && PyUnicode_Check(mode)) {
    const std::string text = to_utf8(mode);
    writes = writes || text.find_first_of("wax+") != std::string::npos;
  }
  if (writes) return check_write(guard, path, -1, "writing");
  if (path != nullptr && !PyLong_Check(path)) {
    if (std::optional<std::string> text = path_text(path)) {
      const std::string resolved = resolve(*text, current_directory());
      if (is_environment_file(resolved)) {
        return refuse("reading '" + resolved + "'", "read the process environment");
      }
    }
  }
  return std::nullopt;
}

// The thread settings of numeric libraries, which numpy, joblib and scikit-learn set while they
// are imported: the only variables guarded code may change. Anything else (LD_PRELOAD, PATH, ...)
// would change what the host and its children run.
bool is_thread_setting(std::string_view name) {
  for (std::string_view prefix : {"OPENBLAS_", "GOTOBLAS_", "KMP_", "OMP_", "MKL_", "NUMEXPR_",
                                  "BLIS_", "VECLIB_", "OPENMP_"}) {
    if (name.starts_with(prefix)) return true;
  }
  return false;
}

std::string_view key_text(PyObject* key);
[[noreturn]] void raise_refusal(const Refusal& refusal);

Verdict check_environment_change(const GuardPolicy&, const char* event, PyObject* args) {
  PyObject* name = item(args, 0);
  const std::string_view text = name != nullptr ? key_text(name) : std::string_view();
  if (!text.empty() && is_thread_setting(text)) return std::nullopt;
  return refuse(std::string(event) + " of '" + std::string(text) + "'",
                "change the process environment beyond the thread settings of numeric "
                "libraries (OPENBLAS_*, OMP_*, KMP_*, MKL_*, ...)");
}

std::string percent_decoded(std::string_view text) {
  std::string result;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() &&
        std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      result += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      result += text[i];
    }
  }
  return result;
}

// SQLite opens files itself, read-write unless told otherwise: guarded code may open databases
// where it may write, in memory, or read-only ("file:...?mode=ro").
Verdict check_database_open(const GuardPolicy& guard, const char*, PyObject* args) {
  PyObject* database = item(args, 0);
  if (database == nullptr) return std::nullopt;
  std::optional<std::string> text = path_text(database);
  if (!text) return check_write(guard, database, -1, "opening the database");
  if (text->empty() || *text == ":memory:") return std::nullopt;
  if (!text->starts_with("file:")) return check_write(guard, database, -1, "opening the database");
  std::string_view uri(*text);
  uri.remove_prefix(5);
  const std::size_t query_at = uri.find_first_of("?#");
  const std::string_view query =
      query_at == std::string_view::npos ? std::string_view() : uri.substr(query_at);
  std::string_view path = uri.substr(0, query_at);
  if (path.starts_with("//")) {
    path.remove_prefix(2);
    const std::size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  }
  for (std::size_t at = query.find("mode=ro"); at != std::string_view::npos;
       at = query.find("mode=ro", at + 1)) {
    const std::size_t end = at + 7;
    if ((at > 0 && (query[at - 1] == '?' || query[at - 1] == '&')) &&
        (end == query.size() || query[end] == '&' || query[end] == '#')) {
      return std::nullopt;
    }
  }
  if (path.empty()) return std::nullopt;  // a temporary database
  py::object decoded = to_str(percent_decoded(path));
  return check_write(guard, decoded.ptr(), -1, "opening the database");
}

const std::unordered_map<std::string_view, EventCheck>& event_checks() {
  static const auto* const checks = [] {
    auto* table = new std::unordered_map<std::string_view, EventCheck>();
    auto& t = *table;
    for (const char* event :
         {"os.system", "os.exec", "os.posix_spawn", "os.fork", "os.forkpty", "os.spawn",
          "os.startfile", "subprocess.Popen", "pty.spawn", "webbrowser.open"}) {
      t[event] = refuse_as(kProcesses);
    }
    for (const char* event :
         {"socket.__new__",       "socket.bind",          "socket.connect",
          "socket.sendto",        "socket.sendmsg",       "socket.getaddrinfo",
          "socket.gethostbyname", "socket.gethostbyaddr", "socket.getnameinfo",
          "socket.getservbyname", "socket.getservbyport", "socket.sethostname",
          "http.client.connect",  "http.client.send",     "urllib.Request",
          "ftplib.connect",       "smtplib.connect",      "imaplib.open",
          "nntplib.connect",      "poplib.connect",       "telnetlib.Telnet.open"}) {
      t[event] = refuse_as(kNetwork);
    }
    t["ctypes.dlopen"] = [](const GuardPolicy&, const char*, PyObject* args) -> Verdict {
      if (already_loaded(item(args, 0))) return std::nullopt;
      return refuse("ctypes.dlopen of '" + text_item(args, 0) + "'", kNative);
    };
    auto dlsym = [](const GuardPolicy&, const char*, PyObject* args) -> Verdict {
      PyObject* name = item(args, 1);
      if (name != nullptr && PyUnicode_Check(name) && is_thread_pool_control(to_utf8(name))) {
        return std::nullopt;
      }
      return refuse("ctypes.dlsym of '" + text_item(args, 1) + "'", kNative);
    };
    t["ctypes.dlsym"] = dlsym;
    t["ctypes.dlsym/handle"] = dlsym;
    for (const char* event : {"ctypes.cdata", "ctypes.cdata/buffer", "ctypes.addressof",
                              "ctypes.string_at", "ctypes.wstring_at", "ctypes.PyObj_FromPtr",
                              "ctypes.call_function", "os.add_dll_directory"}) {
      t[event] = refuse_as(kNative);
    }
    t["import"] = [](const GuardPolicy&, const char*, PyObject* args) -> Verdict {
      PyObject* name = item(args, 0);
      if (name == nullptr || !PyUnicode_Check(name)) return std::nullopt;
      const std::string module = to_utf8(name);
      if (!is_refused_module(module)) return std::nullopt;
      return refuse("importing '" + module + "' anew", "replace the modules the guard checks");
    };
    for (const char* event : {"os.kill", "os.killpg", "signal.pthread_kill"}) {
      t[event] = refuse_as("signal processes");
    }
    t["os.putenv"] = &check_environment_change;
    t["os.unsetenv"] = &check_environment_change;
    t["os.chdir"] = refuse_as("change the process's working directory");
    t["sys.addaudithook"] = refuse_as("add audit hooks");
    for (const char* event : {"gc.get_objects", "gc.get_referrers", "gc.get_referents",
                              "sys._current_frames", "sys._current_exceptions"}) {
      t[event] = refuse_as("inspect objects and frames beyond its own");
    }
    t["open"] = &check_open;
    t["sqlite3.connect"] = &check_database_open;
    t["sqlite3.enable_load_extension"] = refuse_as(kNative);
    for (const char* event : {"builtins.input", "pdb.Pdb"}) {
      t[event] = refuse_as("read from the terminal");
    }
    t["os.remove"] = write_at(0, 1, "removing");
    t["os.rmdir"] = write_at(0, 1, "removing");
    t["os.mkdir"] = write_at(0, 2, "creating the directory");
    t["os.chmod"] = write_at(0, 2, "changing the mode of");
    t["os.chown"] = write_at(0, 3, "changing the owner of");
    t["os.utime"] = write_at(0, 3, "changing the times of");
    t["os.truncate"] = write_at(0, -1, "truncating");
    t["os.setxattr"] = write_at(0, -1, "setting attributes of");
    t["os.removexattr"] = write_at(0, -1, "removing attributes of");
    t["os.chflags"] = write_at(0, -1, "changing the flags of");
    t["os.lchflags"] = write_at(0, -1, "changing the flags of");
    t["shutil.copyfile"] = shutil_write_at(1, "copying to");
    t["shutil.copymode"] = shutil_write_at(1, "copying the mode to");
    t["shutil.copystat"] = shutil_write_at(1, "copying the status to");
    t["shutil.copytree"] = shutil_write_at(1, "copying a tree to");
    t["shutil.rmtree"] = shutil_write_at(0, "removing the tree");
    t["shutil.make_archive"] = shutil_write_at(0, "making the archive");
    t["shutil.unpack_archive"] = shutil_write_at(1, "unpacking into");
    t["shutil.chown"] = shutil_write_at(0, "changing the owner of");
    auto both = [](std::string_view action) -> EventCheck {
      return [action](const GuardPolicy& guard, const char*, PyObject* args) -> Verdict {
        if (Verdict v = check_write(guard, item(args, 0), int(long_item(args, 2, -1)), action)) {
          return v;
        }
        return check_write(guard, item(args, 1), int(long_item(args, 3, -1)), action);
      };
    };
    t["os.rename"] = both("renaming");
    t["os.link"] = both("linking");
    t["shutil.move"] = [](const GuardPolicy& guard, const char* event, PyObject* args) -> Verdict {
      if (Verdict v = shutil_write_at(0, "moving")(guard, event, args)) return v;
      return shutil_write_at(1, "moving")(guard, event, args);
    };
    // A symbolic link may not lead out of the writable places either, or the next write through
    // it would.
    t["os.symlink"] = [](const GuardPolicy& guard, const char*, PyObject* args) -> Verdict {
      const int dir_fd = int(long_item(args, 2, -1));
      if (Verdict v = check_write(guard, item(args, 1), dir_fd, "creating the link")) return v;
      std::optional<std::string> link = path_text(item(args, 1));
      std::optional<std::string> target = path_text(item(args, 0));
      if (!link || !target) return refuse("os.symlink with a path object", "do this");
      std::string base = dir_fd != -1 ? descriptor_target(dir_fd) : current_directory();
      const std::string link_path = resolve(*link, base);
      const std::string directory =
          link_path.substr(0, std::max<std::size_t>(1, link_path.rfind('/')));
      const std::string resolved = resolve(*target, directory);
      if (writable(guard, resolved)) return std::nullopt;
      return refuse_write(guard, "linking to", resolved);
    };
    t["mmap.__new__"] = [](const GuardPolicy& guard, const char*, PyObject* args) -> Verdict {
      const long fd = long_item(args, 0, -1);
      const long access = long_item(args, 2, 0);
      // ACCESS_DEFAULT (0) and ACCESS_WRITE (2) write through to the file.
      if (fd == -1 || (access != 0 && access != 2)) return std::nullopt;
      return check_descriptor_write(guard, static_cast<int>(fd), "mapping for writing");
    };
    // Code loaded from the places guarded code can write would escape every check.
    auto code_from_file = [](const GuardPolicy& guard, const char* event,
                             PyObject* args) -> Verdict {
      PyObject* first = item(args, 0);
      py::object filename;
      if (std::strcmp(event, "exec") == 0) {
        if (first == nullptr || !PyCode_Check(first)) return std::nullopt;
        filename =
            py::reinterpret_borrow<py::object>(reinterpret_cast<PyCodeObject*>(first)->co_filename);
      } else {
        PyObject* name = item(args, 1);
        if (name == nullptr) return std::nullopt;
        filename = py::reinterpret_borrow<py::object>(name);
      }
      std::optional<std::string> text = path_text(filename.ptr());
      if (!text || text->empty() || text->front() != '/') return std::nullopt;
      const std::string resolved = resolve(*text, "/");
      if (!is_under(resolved, guard.save_root) && !is_under(resolved, guard.temp_root)) {
        return std::nullopt;
      }
      return refuse("running code from '" + resolved + "'", "run code from files it can write");
    };
    t["compile"] = code_from_file;
    t["exec"] = code_from_file;
    return table;
  }();
  return *checks;
}

// -------------------------------------------------------------------------------------------
// Whether the guard applies

// The built-in names guarded code runs with: a copy of the runtime's, made once. Every function
// guarded code defines keeps it, so a frame that runs with it runs guarded code, on whatever
// thread and however long after its run.
PyObject* guarded_builtins = nullptr;
std::mutex last_guard_mutex;
std::shared_ptr<const GuardPolicy> last_guard;

bool runs_guarded_code() {
  if (guarded_builtins == nullptr) return false;
  PyFrameObject* frame = PyEval_GetFrame();  // borrowed
  if (frame == nullptr) return false;
  Py_INCREF(frame);
  bool found = false;
  while (frame != nullptr && !found) {
    PyObject* builtins = PyFrame_GetBuiltins(frame);
    found = builtins == guarded_builtins;
    Py_XDECREF(builtins);
    PyFrameObject* back = PyFrame_GetBack(frame);
    Py_DECREF(frame);
    frame = back;
  }
  Py_XDECREF(frame);
  return found;
}

// The guard for a refusable action on the calling thread: the thread's own, or, when it runs a
// function that guarded code defined, the latest guard made.
std::shared_ptr<const GuardPolicy> effective_guard() {
  if (RunContext* context = current_context(); context != nullptr && context->guard) {
    return context->guard;
  }
  if (!runs_guarded_code()) return nullptr;
  std::lock_guard lock(last_guard_mutex);
  return last_guard;
}

int audit_hook(const char* event, PyObject* args, void*) {
  // The most frequent events are never refused: leave at once.
  if (event[0] == 'b' && std::strcmp(event, "builtins.id") == 0) return 0;
  if (event[0] == 'o' && std::strncmp(event, "object.__", 9) == 0) return 0;
  if (event[0] == 'm' && std::strcmp(event, "marshal.loads") == 0) return 0;
  const auto& checks = event_checks();
  auto check = checks.find(event);
  if (check == checks.end()) return 0;
  std::shared_ptr<const GuardPolicy> guard;
  if (RunContext* context = current_context(); context != nullptr && context->guard) {
    guard = context->guard;
  } else {
    // Library code on unguarded threads compiles and imports all the time; only what a planted
    // function could do is worth a look at the frames.
    const std::string_view name(event);
    if (name == "compile" || name == "exec" || name == "import") return 0;
    guard = effective_guard();
  }
  if (!guard) return 0;
  Verdict verdict;
  try {
    verdict = check->second(*guard, event, args);
  } catch (py::error_already_set&) {
    PyErr_Clear();
    verdict = refuse(std::string(event) + " (its arguments could not be checked)", "do this");
  }
  if (!verdict) return 0;
  PyErr_SetString(PyExc_PermissionError, verdict->message.c_str());
  return -1;
}

// -------------------------------------------------------------------------------------------
// Checked entry points the runtime does not audit

using CallCheck = std::function<Verdict(const GuardPolicy&, const py::args&, const py::kwargs&)>;

PyObject* argument(const py::args& args, const py::kwargs& kwargs, std::size_t index,
                   const char* keyword) {
  if (index < args.size()) return args[index].ptr();
  if (keyword != nullptr && kwargs.contains(keyword)) return kwargs[keyword].ptr();
  return nullptr;
}

// A path parameter of an os function: its position and its keyword.
struct PathParameter {
  std::size_t index;
  const char* keyword;
};

// Under the guard, path-like objects among the path parameters are converted to their text once;
// the check (and the audit hook the original raises) sees the very text the operation gets.
void convert_paths(py::args& args, py::kwargs& kwargs, const std::vector<PathParameter>& paths) {
  auto converted = [](py::handle value) -> py::object {
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyLong_Check(value.ptr()) ||
        value.is_none()) {
      return py::reinterpret_borrow<py::object>(value);
    }
    PyObject* text = PyOS_FSPath(value.ptr());
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(text);
  };
  py::list positional(args);
  bool changed = false;
  for (const PathParameter& path : paths) {
    if (path.index < positional.size()) {
      positional[path.index] = converted(positional[path.index]);
      changed = true;
    } else if (kwargs.contains(path.keyword)) {
      kwargs[path.keyword] = converted(kwargs[path.keyword]);
    }
  }
  if (changed) args = py::args(py::tuple(positional));
}

// Replaces module.name (in every listed module that holds the same object) by a function that,
// whenever the guard applies, converts the path parameters and asks check first.
void install_checked(const std::vector<const char*>& modules, const char* name, CallCheck check,
                     std::vector<PathParameter> paths = {}) {
  py::object original;
  for (const char* module_name : modules) {
    py::module_ module = py::module_::import(module_name);
    if (!py::hasattr(module, name)) continue;
    py::object current = module.attr(name);
    if (!original) original = current;
    if (!current.is(original)) continue;
    module.attr(name) = py::cpp_function(
        [original, check, paths](py::args args, py::kwargs kwargs) -> py::object {
          if (std::shared_ptr<const GuardPolicy> guard = effective_guard()) {
            convert_paths(args, kwargs, paths);
            if (Verdict verdict = check(*guard, args, kwargs)) raise_refusal(*verdict);
          }
          return original(*args, **kwargs);
        },
        py::name(name));
  }
}

CallCheck nothing_more() {
  return [](const GuardPolicy&, const py::args&, const py::kwargs&) -> Verdict {
    return std::nullopt;
  };
}

CallCheck refuse_call(std::string what, std::string_view never) {
  return [what, never](const GuardPolicy&, const py::args&, const py::kwargs&) {
    return refuse(what, never);
  };
}

CallCheck descriptor_write(const char* keyword, std::string_view action) {
  return [keyword, action](const GuardPolicy& guard, const py::args& args,
                           const py::kwargs& kwargs) -> Verdict {
    PyObject* fd = argument(args, kwargs, 0, keyword);
    if (fd == nullptr || !PyLong_Check(fd)) return std::nullopt;  // the call itself fails
    const long value = PyLong_AsLong(fd);
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return std::nullopt;
    }
    return check_descriptor_write(guard, static_cast<int>(value), action);
  };
}

int dir_fd_argument(const py::kwargs& kwargs) {
  if (!kwargs.contains("dir_fd")) return -1;
  py::object value = kwargs["dir_fd"];
  if (value.is_none() || !PyLong_Check(value.ptr())) return -1;
  return value.cast<int>();
}

void install_checked_entry_points() {
  const std::vector<const char*> os_modules = {"posix", "os"};
  install_checked(os_modules, "_exit", refuse_call("os._exit", "end the process"));
  install_checked(os_modules, "abort", refuse_call("os.abort", "end the process"));
  // The audit event of os.open does not tell the directory descriptor a path is relative to.
  install_checked(
      os_modules, "open",
      [](const GuardPolicy& guard, const py::args& args, const py::kwargs& kwargs) -> Verdict {
        const int dir_fd = dir_fd_argument(kwargs);
        PyObject* flags = argument(args, kwargs, 1, "flags");
        if (dir_fd == -1 || flags == nullptr || !PyLong_Check(flags)) {
          return std::nullopt;
        }
        const long value = PyLong_AsLong(flags);
        if ((value & O_ACCMODE) == O_RDONLY && (value & (O_CREAT | O_TRUNC | O_APPEND)) == 0) {
          return std::nullopt;
        }
        return check_write(guard, argument(args, kwargs, 0, "path"), dir_fd, "writing");
      },
      {{0, "path"}});
  // The other operations that write through a path: the audit hook checks them once their path
  // objects are text.
  const std::vector<PathParameter> one_path = {{0, "path"}};
  const std::vector<PathParameter> two_paths = {{0, "src"}, {1, "dst"}};
  for (const char* name :
       {"mkdir", "remove", "unlink", "rmdir", "chmod", "lchmod", "chown", "lchown", "utime",
        "truncate", "setxattr", "removexattr", "chflags", "lchflags"}) {
    install_checked(os_modules, name, nothing_more(), one_path);
  }
  for (const char* name : {"rename", "replace", "link", "symlink"}) {
    install_checked(os_modules, name, nothing_more(), two_paths);
  }
  for (const char* name : {"write", "writev", "pwrite", "pwritev"}) {
    install_checked(os_modules, name, descriptor_write("fd", "writing"));
  }
  install_checked(os_modules, "sendfile", descriptor_write("out_fd", "sending a file"));
  for (const char* name : {"mkfifo", "mknod"}) {
    install_checked(
        os_modules, name,
        [](const GuardPolicy& guard, const py::args& args, const py::kwargs& kwargs) -> Verdict {
          return check_write(guard, argument(args, kwargs, 0, "path"), dir_fd_argument(kwargs),
                             "creating");
        },
        one_path);
  }
  install_checked(os_modules, "dup2",
                  refuse_call("os.dup2", "replace the process's file descriptors"));
  for (const char* name : {"fchdir", "chroot"}) {
    install_checked(os_modules, name,
                    refuse_call(std::string("os.") + name, "change the process's directories"));
  }
  for (const char* name : {"setuid", "setgid", "seteuid", "setegid", "setreuid", "setregid",
                           "setresuid", "setresgid", "setgroups", "setsid", "setpgid", "setpgrp"}) {
    install_checked(os_modules, name,
                    refuse_call(std::string("os.") + name, "change the process's identity"));
  }
  install_checked({"_posixsubprocess"}, "fork_exec",
                  refuse_call("_posixsubprocess.fork_exec", kProcesses));
  for (const char* name : {"signal", "alarm", "setitimer", "raise_signal", "siginterrupt",
                           "set_wakeup_fd", "pthread_kill", "pidfd_send_signal"}) {
    install_checked({"_signal", "signal"}, name,
                    refuse_call(std::string("signal.") + name, "handle or send signals"));
  }
  for (const char* name :
       {"_sigsegv", "_sigabrt", "_sigfpe", "_read_null", "_fatal_error", "_fatal_error_c_thread",
        "_stack_overflow", "dump_traceback_later", "register"}) {
    install_checked({"faulthandler"}, name,
                    refuse_call(std::string("faulthandler.") + name, "end the process"));
  }
  install_checked(
      {"_imp"}, "create_dynamic",
      [](const GuardPolicy& guard, const py::args& args, const py::kwargs& kwargs) -> Verdict {
        PyObject* spec = argument(args, kwargs, 0, "spec");
        if (spec == nullptr) return std::nullopt;
        py::object origin = py::getattr(spec, "origin", py::none());
        std::optional<std::string> text = path_text(origin.ptr());
        if (!text) return refuse("loading an extension of unknown origin", kNative);
        const std::string resolved = resolve(*text, current_directory());
        if (!is_under(resolved, guard.save_root) && !is_under(resolved, guard.temp_root)) {
          return std::nullopt;
        }
        return refuse("loading the extension '" + resolved + "'",
                      "load native code from files it can write");
      });
  install_checked(
      {"_imp"}, "create_builtin",
      [](const GuardPolicy&, const py::args& args, const py::kwargs& kwargs) -> Verdict {
        PyObject* spec = argument(args, kwargs, 0, "spec");
        if (spec == nullptr) return std::nullopt;
        py::object name = py::getattr(spec, "name", py::none());
        if (!PyUnicode_Check(name.ptr()) || !is_refused_module(to_utf8(name.ptr()))) {
          return std::nullopt;
        }
        return refuse("creating the module '" + to_utf8(name.ptr()) + "' anew",
                      "replace the modules the guard checks");
      });
}

// -------------------------------------------------------------------------------------------
// The environment seen by guarded code

bool is_secret_name(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (std::string_view word : {"KEY", "TOKEN", "SECRET", "PASSWORD"}) {
    if (upper.find(word) != std::string::npos) return true;
  }
  return false;
}

std::string_view key_text(PyObject* key) {
  if (PyBytes_Check(key)) {
    return std::string_view(PyBytes_AS_STRING(key),
                            static_cast<std::size_t>(PyBytes_GET_SIZE(key)));
  }
  if (PyUnicode_Check(key)) {
    Py_ssize_t size = 0;
    if (const char* data = PyUnicode_AsUTF8AndSize(key, &size)) {
      return std::string_view(data, static_cast<std::size_t>(size));
    }
    PyErr_Clear();
  }
  return {};
}

// os.environ and os.environb keep their data in one dict. That dict moves out of their reach into
// a property: the process's own for unguarded code; for guarded code a copy without the secret
// names, whose changes reach the process's dict only for the thread settings (the only variables
// guarded code may set, see check_environment_change). posix.environ, the start-up snapshot
// os.environ was made from, loses the secret names for good; nothing reads it after start-up.
void install_environment_view(Runtime& rt) {
  py::module_ os = py::module_::import("os");
  py::object environ = os.attr("environ");
  py::object environb = os.attr("environb");
  py::dict real = environ.attr("__dict__")["_data"];
  py::object type_type =
      py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  auto make_immutable = [](const py::object& type) {
    reinterpret_cast<PyTypeObject*>(type.ptr())->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.ptr()));
  };

  auto check_name = [](py::handle key) {
    if (!is_thread_setting(key_text(key.ptr()))) {
      raise_refusal(*refuse("changing os.environ['" + std::string(key_text(key.ptr())) + "']",
                            "change the process environment beyond the thread settings of "
                            "numeric libraries (OPENBLAS_*, OMP_*, KMP_*, MKL_*, ...)"));
    }
  };
  py::dict view_members;
  view_members["__module__"] = "os";
  view_members["__setitem__"] = py::cpp_function(
      [real, check_name](py::handle key, py::handle value) {
        check_name(key);
        if (PyDict_SetItem(real.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
      },
      py::name("__setitem__"));
  view_members["__delitem__"] = py::cpp_function(
      [real, check_name](py::handle key) {
        check_name(key);
        if (PyDict_DelItem(real.ptr(), key.ptr()) != 0) throw py::error_already_set();
      },
      py::name("__delitem__"));
  py::object view_type =
      type_type("_GuardedEnvironData", py::make_tuple(rt.builtins.attr("dict")), view_members);
  make_immutable(view_type);

  py::dict members;
  members["__module__"] = "os";
  members["_data"] = rt.builtins.attr("property")(py::cpp_function(
      [real, view_type](py::handle) -> py::object {
        if (!effective_guard()) return real;
        py::dict visible;
        for (auto entry : real) {
          if (!is_secret_name(key_text(entry.first.ptr()))) visible[entry.first] = entry.second;
        }
        return view_type(visible);
      },
      py::name("_data")));
  py::object type = type_type("_Environ", py::make_tuple(os.attr("_Environ")), members);
  for (py::object mapping : {environ, environb}) {
    mapping.attr("__class__") = type;
    mapping.attr("__dict__").attr("pop")("_data", py::none());
  }
  // Immutable from here on: neither the type nor the objects' class can be changed back.
  make_immutable(type);

  py::dict snapshot = py::module_::import("posix").attr("environ");
  py::list secret;
  for (auto entry : snapshot) {
    if (is_secret_name(key_text(entry.first.ptr()))) secret.append(entry.first);
  }
  for (py::handle key : secret) PyDict_DelItem(snapshot.ptr(), key.ptr());
}

std::string temp_root() {
  std::error_code error;
  std::filesystem::path path = std::filesystem::temp_directory_path(error);
  return resolve(error ? std::string("/tmp") : path.string(), "/");
}

// What libraries do once at import time and a guarded thread may not: matplotlib builds its font
// cache under the user's cache directory. Done before the first guarded run, unguarded.
void prepare_libraries() {
  py::dict scope;
  py::exec(R"(
try:
    import matplotlib.font_manager
except Exception:
    pass
)",
           scope, scope);
}

}  // namespace

PyObject* guarded_builtins_dict() { return guarded_builtins; }

std::shared_ptr<const GuardPolicy> make_guard_policy(const Guard& guard) {
  // Once, before the first guarded run. Preparing imports modules, and an import lets other
  // threads take the GIL: they wait here, without the GIL, until the preparation has finished
  // (a run that went ahead would find no guarded built-in names). A failed preparation is tried
  // again by the next run.
  static std::once_flag prepared;
  {
    py::gil_scoped_release release;
    std::call_once(prepared, [] {
      py::gil_scoped_acquire acquire;
      prepare_libraries();
      PyObject* copy = PyDict_Copy(PyEval_GetBuiltins());
      if (copy == nullptr) throw py::error_already_set();
      guarded_builtins = copy;
    });
  }
  static const std::string temp = temp_root();
  auto policy = std::make_shared<GuardPolicy>();
  policy->save_path = guard.save_path;
  policy->save_root = resolve(guard.save_path, current_directory());
  policy->temp_root = temp;
  std::lock_guard lock(last_guard_mutex);
  last_guard = policy;
  return policy;
}

void install_guard(Runtime& rt) {
  install_checked_entry_points();
  install_environment_view(rt);
  if (PySys_AddAuditHook(&audit_hook, nullptr) != 0) throw py::error_already_set();
}

}  // namespace embedded_python::detail
