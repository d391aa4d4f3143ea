// The guard of analysis code: hostile code is refused and leaves no trace outside (no file, no
// process, no connection, the process alive with its signal dispositions), honest analysis runs as
// it would unguarded, host code stays untouched.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "embedded_python/embedded_python.hpp"
#include "stdout_capture.hpp"

extern char** environ;

namespace embedded_python {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void write_file(const fs::path& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

// A directory removed with everything in it; under the system temporary directory or next to the
// test program (a place guarded code may not write).
class Directory {
 public:
  explicit Directory(const fs::path& parent) {
    std::string pattern = (parent / "askdb-guard-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~Directory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  const fs::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

fs::path program_directory() { return fs::read_symlink("/proc/self/exe").parent_path(); }

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::vector<std::string> entries(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Re-runs the current test alone in a new process of this binary (with extra environment); in
// that process returns true and the test body runs.
bool in_fresh_process(const std::vector<std::string>& extra_environment = {}) {
  constexpr const char* kMarker = "ASKDB_GUARD_FRESH_TEST";
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string test = std::string(info->test_suite_name()) + "." + info->name();
  if (const char* running = std::getenv(kMarker); running != nullptr && test == running)
    return true;
  std::vector<std::string> env_text = {std::string(kMarker) + "=" + test};
  for (const auto& entry : extra_environment) env_text.push_back(entry);
  for (char** entry = environ; *entry != nullptr; ++entry) env_text.emplace_back(*entry);
  std::vector<char*> env;
  for (auto& entry : env_text) env.push_back(entry.data());
  env.push_back(nullptr);
  std::string filter = "--gtest_filter=" + test;
  std::string program = "/proc/self/exe";
  char* argv[] = {program.data(), filter.data(), nullptr};
  pid_t pid = 0;
  EXPECT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, env.data()), 0);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << test << " failed in its own process";
  return false;
}

// A loopback port that listens and is never accepted from: a connection attempt that got through
// would wait in its queue.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(fd_, 16);
    socklen_t size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ = ntohs(address.sin_port);
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    address.sin_port = 0;
    bind(udp_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    size = sizeof address;
    getsockname(udp_, reinterpret_cast<sockaddr*>(&address), &size);
    udp_port_ = ntohs(address.sin_port);
  }
  ~Listener() {
    close(fd_);
    close(udp_);
  }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  int port() const { return port_; }
  int udp_port() const { return udp_port_; }
  // Whether anything reached the port: a pending connection or a datagram.
  bool reached() const {
    const int connection = accept(fd_, nullptr, nullptr);
    if (connection >= 0) {
      close(connection);
      return true;
    }
    char byte = 0;
    return recv(udp_, &byte, 1, 0) >= 0;
  }

 private:
  int fd_ = -1;
  int udp_ = -1;
  int port_ = 0;
  int udp_port_ = 0;
};

RunResult guarded(const std::string& source, const std::string& save_path) {
  Namespace ns = Namespace::with_datetime();
  return run(ns, source, RunOptions{std::chrono::milliseconds(60000), Guard{save_path}});
}

struct HostileCase {
  const char* name;
  const char* source;   // {save} {out} {out_rel} {port} {udp} {fd} are filled in
  const char* refusal;  // what the message must say
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kProcesses = "analysis code may not start processes";
constexpr const char* kNetwork = "analysis code may not use the network";
constexpr const char* kNative = "analysis code may not load or call native code";
constexpr const char* kWrite = "analysis code may write files only under the save path";
constexpr const char* kEnd = "analysis code may not end the process";
constexpr const char* kSignals = "analysis code may not handle or send signals";

const HostileCase kHostile[] = {
    // Processes: each would leave a marker file in {out}.
    {"os_system", "import os\nos.system('touch {out}/p1')", kProcesses},
    {"dunder_import_system", "__import__('os').system('touch {out}/p2')", kProcesses},
    {"subprocess_run", "import subprocess\nsubprocess.run(['touch', '{out}/p3'])", kProcesses},
    {"importlib_popen",
     "import importlib\nimportlib.import_module('subprocess').Popen(['touch', '{out}/p4'])",
     kProcesses},
    {"os_popen", "import os\nos.popen('touch {out}/p5')", kProcesses},
    {"os_execv", "import os\nos.execv('/usr/bin/touch', ['touch', '{out}/p6'])", kProcesses},
    {"os_spawnv", "import os\nos.spawnv(os.P_WAIT, '/usr/bin/touch', ['touch', '{out}/p7'])",
     kProcesses},
    {"os_fork", "import os\nif os.fork() == 0:\n    open('{out}/p8', 'w').close()\n    os._exit(0)",
     kProcesses},
    {"posix_spawn", "import os\nos.posix_spawn('/usr/bin/touch', ['touch', '{out}/p9'], {})",
     kProcesses},
    {"pty_spawn", "import pty\npty.spawn(['touch', '{out}/p10'])", kProcesses},
    {"fork_exec_directly", "import _posixsubprocess\n_posixsubprocess.fork_exec()", kProcesses},
    {"multiprocessing",
     "import multiprocessing\np = multiprocessing.Process(target=print)\np.start()", kProcesses},
    {"in_a_thread",
     "import threading, os\nerrors = []\ndef work():\n    try:\n"
     "        os.system('touch {out}/p11')\n    except Exception as e:\n"
     "        errors.append(e)\nt = threading.Thread(target=work)\nt.start(); t.join()\n"
     "raise errors[0]",
     kProcesses},
    // The network: the listening port must see nothing.
    {"create_connection", "import socket\nsocket.create_connection(('127.0.0.1', {port}))",
     kNetwork},
    {"socket_connect", "import socket\ns = socket.socket()\ns.connect(('127.0.0.1', {port}))",
     kNetwork},
    {"urlopen", "import urllib.request\nurllib.request.urlopen('http://127.0.0.1:{port}/')",
     kNetwork},
    {"http_client",
     "import http.client\nc = http.client.HTTPConnection('127.0.0.1', {port})\n"
     "c.request('GET', '/')",
     kNetwork},
    {"udp_sendto",
     "import _socket\n_socket.socket(_socket.AF_INET, _socket.SOCK_DGRAM).sendto(b'x', "
     "('127.0.0.1', {udp}))",
     kNetwork},
    {"name_lookup", "import socket\nsocket.getaddrinfo('localhost', 80)", kNetwork},
    {"host_socket_descriptor", "import os\nos.write({fd}, b'smuggled')", kNetwork},
    // Native code.
    {"ctypes_libc_system", "import ctypes\nctypes.CDLL(None).system(b'touch {out}/n1')", kNative},
    {"ctypes_new_library",
     "import ctypes, shutil\nshutil.copy('/usr/lib/x86_64-linux-gnu/libz.so.1', '{save}/z.so')\n"
     "ctypes.CDLL('{save}/z.so')",
     kNative},
    {"ctypes_memory", "import ctypes\nctypes.string_at(id(1), 8)", kNative},
    {"extension_from_save_path",
     "import glob, shutil, importlib.util\n"
     "src = glob.glob('/usr/lib/python3.11/lib-dynload/_bz2.*.so')[0]\n"
     "shutil.copy(src, '{save}/_bz2.cpython-311-x86_64-linux-gnu.so')\n"
     "spec = importlib.util.spec_from_file_location('_bz2', "
     "'{save}/_bz2.cpython-311-x86_64-linux-gnu.so')\nimportlib.util.module_from_spec(spec)",
     "analysis code may not load native code from files it can write"},
    {"python_module_from_temp",
     "import sys\nopen('{save}/planted.py', 'w').write('import os\\n')\n"
     "sys.path.insert(0, '{save}')\ntry:\n    import planted\nfinally:\n    sys.path.pop(0)",
     "analysis code may not run code from files it can write"},
    {"test_c_api", "import _testcapi", "analysis code may not replace the modules"},
    // Files outside the save path and the temporary directory.
    {"open_write", "open('{out}/f1', 'w').write('x')", kWrite},
    {"dotdot_through_temp", "open('/tmp/../{out_rel}/f2', 'w').write('x')", kWrite},
    {"dotdot_out_of_save", "open('{save}/../../../../../../../../..{out}/f3', 'w')", kWrite},
    {"existing_link_in_save", "open('{save}/link/f4', 'w')", kWrite},
    {"new_link_out_of_save", "import os\nos.symlink('{out}', '{save}/mylink')", kWrite},
    {"pathlib_write", "import pathlib\npathlib.Path('{out}/f5').write_text('x')", kWrite},
    {"pandas_to_csv", "import pandas\npandas.DataFrame({'a': [1]}).to_csv('{out}/f6.csv')", kWrite},
    {"mkdir", "import os\nos.makedirs('{out}/d1/d2')", kWrite},
    {"path_object_telling_two_stories",
     "import os, pathlib\nclass Shifty(pathlib.PurePosixPath):\n    __module__ = 'pathlib'\n"
     "    def __fspath__(self):\n        return '{out}/d3'\n    def __str__(self):\n"
     "        return '{save}/d3'\nos.mkdir(Shifty('x'))",
     kWrite},
    {"pathlib_mkdir_outside", "import pathlib\npathlib.Path('{out}/d4').mkdir()", kWrite},
    {"remove", "import os\nos.remove('{out}/keep')", kWrite},
    {"rename_into_save", "import os\nos.rename('{out}/keep', '{save}/stolen')", kWrite},
    {"chmod", "import os\nos.chmod('{out}/keep', 0o777)", kWrite},
    {"rmtree", "import shutil\nshutil.rmtree('{out}')", kWrite},
    {"sqlite_outside",
     "import sqlite3\nsqlite3.connect('{out}/f8.db').execute('create table t(x)')", kWrite},
    {"sqlite_uri_outside",
     "import sqlite3\nsqlite3.connect('file:{out}/f%39.db?mode=rwc', uri=True)", kWrite},
    {"sqlite_extension", "import sqlite3\nsqlite3.connect(':memory:').enable_load_extension(True)",
     kNative},
    {"dir_fd_open",
     "import os\nfd = os.open('{out}', os.O_RDONLY)\n"
     "os.open('f7', os.O_WRONLY | os.O_CREAT, dir_fd=fd)",
     kWrite},
    // The process itself.
    {"os_exit", "import os\nos._exit(3)", kEnd},
    {"os_abort", "import os\nos.abort()", kEnd},
    {"kill_self", "import os, signal\nos.kill(os.getpid(), signal.SIGKILL)",
     "analysis code may not signal processes"},
    {"raise_signal", "import signal\nsignal.raise_signal(signal.SIGTERM)", kSignals},
    {"alarm", "import signal\nsignal.alarm(1)", kSignals},
    {"ignore_interrupts", "import signal\nsignal.signal(signal.SIGINT, signal.SIG_IGN)", kSignals},
    {"faulthandler_crash", "import faulthandler\nfaulthandler._sigsegv()", kEnd},
    {"exit_later", "import faulthandler\nfaulthandler.dump_traceback_later(0.1, exit=True)", kEnd},
    {"chdir", "import os\nos.chdir('/')", "analysis code may not change the process's working"},
    {"putenv", "import os\nos.environ['LD_PRELOAD'] = '{save}/z.so'",
     "analysis code may not change the process environment"},
    {"unsetenv", "import os\nos.unsetenv('PATH')",
     "analysis code may not change the process environment"},
    {"dup2", "import os\nos.dup2(0, 1)", "analysis code may not replace the process's file"},
    // Reaching past the guard.
    {"gc_objects", "import gc\ngc.get_objects()", "analysis code may not inspect objects"},
    {"fresh_posix",
     "import sys\nsaved = sys.modules.pop('posix')\ntry:\n    import posix\nfinally:\n"
     "    sys.modules['posix'] = saved",
     "analysis code may not replace the modules the guard checks"},
    {"terminal_input", "input()", "analysis code may not read from the terminal"},
    {"environ_file", "open('/proc/self/environ').read()",
     "analysis code may not read the process environment"},
};

class HostileCode : public ::testing::TestWithParam<HostileCase> {
 protected:
  static void SetUpTestSuite() {
    temp_ = new Directory(fs::temp_directory_path());
    outside_ = new Directory(program_directory());
    fs::create_directory(temp_->path() / "save");
    write_file(outside_->path() / "keep", "original");
    fs::permissions(outside_->path() / "keep", fs::perms(0640));
    fs::create_directory_symlink(outside_->path(), temp_->path() / "save" / "link");
    listener_ = new Listener();
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, host_pair_);
    struct sigaction action {};
    sigaction(SIGINT, nullptr, &action);
    sigint_before_ = action.sa_handler;
  }
  static void TearDownTestSuite() {
    // Checked from outside, after the whole battery: nothing took effect.
    EXPECT_EQ(entries(outside_->path()), std::vector<std::string>{"keep"});
    EXPECT_EQ(read_file(outside_->path() / "keep"), "original");
    EXPECT_EQ(fs::status(outside_->path() / "keep").permissions(), fs::perms(0640));
    EXPECT_FALSE(listener_->reached());
    char byte = 0;
    EXPECT_LT(recv(host_pair_[1], &byte, 1, 0), 0);
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no child was ever started
    EXPECT_EQ(errno, ECHILD);
    EXPECT_THAT(read_file("/proc/self/maps"), ::testing::Not(HasSubstr(temp_->str())));
    struct sigaction action {};
    sigaction(SIGINT, nullptr, &action);
    EXPECT_EQ(action.sa_handler, sigint_before_);
    EXPECT_EQ(std::getenv("LD_PRELOAD"), nullptr);
    close(host_pair_[0]);
    close(host_pair_[1]);
    delete listener_;
    delete outside_;
    delete temp_;
  }

  static std::string fill(const std::string& source) {
    std::string text = replace_all(source, "{save}", (temp_->path() / "save").string());
    text = replace_all(text, "{out_rel}", outside_->path().relative_path().string());
    text = replace_all(text, "{out}", outside_->str());
    text = replace_all(text, "{port}", std::to_string(listener_->port()));
    text = replace_all(text, "{udp}", std::to_string(listener_->udp_port()));
    return replace_all(text, "{fd}", std::to_string(host_pair_[0]));
  }

  static Directory* temp_;
  static Directory* outside_;
  static Listener* listener_;
  static int host_pair_[2];
  static void (*sigint_before_)(int);
};

Directory* HostileCode::temp_ = nullptr;
Directory* HostileCode::outside_ = nullptr;
Listener* HostileCode::listener_ = nullptr;
int HostileCode::host_pair_[2] = {-1, -1};
void (*HostileCode::sigint_before_)(int) = nullptr;

TEST_P(HostileCode, IsRefusedAsAnOrdinaryError) {
  const HostileCase& c = GetParam();
  const RunResult result = guarded(fill(c.source), (temp_->path() / "save").string());
  EXPECT_FALSE(result.success);
  EXPECT_EQ(result.error_type, "PermissionError") << result.error;
  EXPECT_THAT(result.error_message, HasSubstr(" refused: "));
  EXPECT_THAT(result.error_message, HasSubstr(c.refusal));
}

INSTANTIATE_TEST_SUITE_P(Battery, HostileCode, ::testing::ValuesIn(kHostile),
                         [](const ::testing::TestParamInfo<HostileCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// The runtime drops a refused hook silently; what counts is that it never runs.
TEST(Guard, AuditHooksOfGuardedCodeAreNeverAdded) {
  Directory temp(fs::temp_directory_path());
  const RunResult added = guarded(R"(
import sys
sys.askdb_hook_calls = []
sys.addaudithook(lambda event, args: sys.askdb_hook_calls.append(event))
)",
                                  temp.str());
  ASSERT_TRUE(added.success) << added.error;
  Namespace host;
  EXPECT_EQ(execute(host,
                    "import sys\nopen('/proc/self/status').close()\n"
                    "print(sys.askdb_hook_calls)\ndel sys.askdb_hook_calls"),
            "[]\n");
}

TEST(Guard, ThreadSettingsOfNumericLibrariesMayChangeAndHostCodeSeesThem) {
  Directory temp(fs::temp_directory_path());
  const RunResult changed = guarded(
      "import os\nos.environ['OMP_NUM_THREADS'] = '3'\nprint(os.environ['OMP_NUM_THREADS'])",
      temp.str());
  ASSERT_TRUE(changed.success) << changed.error;
  EXPECT_EQ(changed.output, "3\n");
  EXPECT_STREQ(std::getenv("OMP_NUM_THREADS"), "3");
  Namespace host;
  EXPECT_EQ(execute(host, "import os\nprint(os.environ['OMP_NUM_THREADS'])"), "3\n");
  ASSERT_TRUE(guarded("import os\ndel os.environ['OMP_NUM_THREADS']", temp.str()).success);
  EXPECT_EQ(std::getenv("OMP_NUM_THREADS"), nullptr);
  EXPECT_EQ(execute(host, "print('OMP_NUM_THREADS' in os.environ)"), "False\n");
}

TEST(Guard, RefusalMessagesNameWhatWasRefused) {
  Directory temp(fs::temp_directory_path());
  Directory outside(program_directory());
  const std::string save = (temp.path() / "charts").string();
  struct Case {
    std::string source;
    std::string error;
  };
  for (const Case& c : {
           Case{"import os\nos.system('true')",
                "PermissionError: os.system refused: analysis code may not start processes"},
           Case{"open('" + outside.str() + "/x', 'w')",
                "PermissionError: writing '" + outside.str() +
                    "/x' refused: analysis code may write files only under the save path '" +
                    fs::weakly_canonical(save).string() + "' and the temporary directory '" +
                    fs::canonical(fs::temp_directory_path()).string() + "'"},
           Case{"import os\nos._exit(0)",
                "PermissionError: os._exit refused: analysis code may not end the process"},
       }) {
    EXPECT_EQ(guarded(c.source, save).error, c.error);
  }
  EXPECT_FALSE(fs::exists(outside.path() / "x"));
}

TEST(Guard, WritesUnderTheSavePathAndTheTemporaryDirectoryWork) {
  Directory temp(fs::temp_directory_path());
  const std::string save = (temp.path() / "save").string();
  Namespace ns = Namespace::with_datetime();
  ns.set("save", save);
  const RunResult bound = run(ns, R"(
import os, pathlib, shutil, tempfile
os.makedirs(save + '/sub', exist_ok=True)
with open(save + '/sub/a.txt', 'w') as f:
    f.write('a')
os.rename(save + '/sub/a.txt', save + '/b.txt')
pathlib.Path(save, 'c.txt').write_text('c')
pathlib.Path(save, 'e').mkdir()
pathlib.Path(save, 'e').rmdir()
os.symlink(save + '/b.txt', save + '/link.txt')
with tempfile.NamedTemporaryFile('w', delete=False) as t:
    t.write('t')
os.remove(t.name)
with open(os.devnull, 'w') as sink:
    print('hidden', file=sink)
shutil.rmtree(save + '/sub')
import sqlite3
sqlite3.connect(save + '/d.db').execute('create table t(x)')
print(sqlite3.connect('file:' + save + '/d.db?mode=ro', uri=True).execute(
    'select count(*) from t').fetchone(), sqlite3.connect(':memory:').execute('select 1').fetchone())
print(sorted(os.listdir(save)), len(open('/proc/self/status').read()) > 0)
)",
                              RunOptions{std::nullopt, Guard{save}});
  ASSERT_TRUE(bound.success) << bound.error;
  EXPECT_EQ(bound.output, "(0,) (1,)\n['b.txt', 'c.txt', 'd.db', 'link.txt'] True\n");
  EXPECT_EQ(read_file(temp.path() / "save" / "b.txt"), "a");
}

TEST(Guard, SecretEnvironmentVariablesAreHiddenFromGuardedCodeOnly) {
  Namespace host;
  ASSERT_TRUE(
      run(host,
          "import os\nos.environ['ASKDB_PROBE_API_KEY'] = 'k1'\n"
          "os.environ['askdb_probe_password'] = 'k2'\nos.environ['ASKDB_PROBE_PLAIN'] = 'v'")
          .success);
  Directory temp(fs::temp_directory_path());
  const RunResult seen = guarded(R"(
import os
print(sorted(k for k in os.environ if 'PROBE' in k.upper()))
print(os.getenv('ASKDB_PROBE_API_KEY'), os.environ.get('askdb_probe_password'),
      'ASKDB_PROBE_API_KEY' in os.environ, os.getenvb(b'ASKDB_PROBE_PLAIN'))
print('k1' in repr(os.environ), 'k1' in str(os.environ.copy()), 'k2' in repr(os.environb))
try:
    os.environ._data = {}
except AttributeError:
    print('data cannot be replaced')
)",
                                 temp.str());
  ASSERT_TRUE(seen.success) << seen.error;
  EXPECT_EQ(seen.output,
            "['ASKDB_PROBE_PLAIN']\nNone None False b'v'\nFalse False False\n"
            "data cannot be replaced\n");
  // Host code and the process's environment keep them.
  EXPECT_EQ(
      execute(host, "print(os.environ['ASKDB_PROBE_API_KEY'], os.getenv('askdb_probe_password'))"),
      "k1 k2\n");
  EXPECT_STREQ(std::getenv("ASKDB_PROBE_API_KEY"), "k1");
  execute(host,
          "del os.environ['ASKDB_PROBE_API_KEY'], os.environ['askdb_probe_password'], "
          "os.environ['ASKDB_PROBE_PLAIN']");
}

TEST(Guard, ThreadsOfGuardedCodeStayGuardedAfterTheRun) {
  Directory temp(fs::temp_directory_path());
  Directory outside(program_directory());
  Namespace ns = Namespace::with_datetime();
  ns.set("target", outside.str() + "/late");
  ASSERT_TRUE(run(ns, R"(
import sys, threading
sys.askdb_gate = threading.Event()
sys.askdb_late_errors = []
def late():
    sys.askdb_gate.wait()
    try:
        open(target, 'w').close()
    except Exception as e:
        sys.askdb_late_errors.append(type(e).__name__)
sys.askdb_late = threading.Thread(target=late)
sys.askdb_late.start()
)",
                  RunOptions{std::nullopt, Guard{temp.str()}})
                  .success);
  Namespace host;
  const std::string after = execute(host, R"(
import sys
sys.askdb_gate.set()
sys.askdb_late.join()
print(sys.askdb_late_errors)
)");
  EXPECT_EQ(after, "['PermissionError']\n");
  EXPECT_FALSE(fs::exists(outside.path() / "late"));
}

TEST(Guard, FunctionsDefinedByGuardedCodeStayGuardedWhereverTheyRun) {
  Directory temp(fs::temp_directory_path());
  Directory outside(program_directory());
  Namespace ns = Namespace::with_datetime();
  ns.set("target", outside.str() + "/planted");
  ASSERT_TRUE(run(ns, R"(
import sys
sys.askdb_planted = lambda: open(target, 'w').close()
class Hook:
    def __call__(self):
        import os
        os.system('touch ' + target)
sys.askdb_planted_method = Hook()
)",
                  RunOptions{std::nullopt, Guard{temp.str()}})
                  .success);
  Namespace host;
  for (const char* call : {"sys.askdb_planted()", "sys.askdb_planted_method()"}) {
    const RunResult result = run(host, std::string("import sys\n") + call);
    EXPECT_EQ(result.error_type, "PermissionError") << call << ": " << result.error;
  }
  EXPECT_FALSE(fs::exists(outside.path() / "planted"));
  // Host code of its own is untouched by the guard.
  EXPECT_EQ(execute(host, "import os\nprint(os.system('true'))"), "0\n");
  execute(host, "import sys\ndel sys.askdb_planted, sys.askdb_planted_method");
}

TEST(Guard, ATimeLimitStillStopsGuardedCodeAndItsThreads) {
  Directory temp(fs::temp_directory_path());
  Namespace ns = Namespace::with_datetime();
  const RunResult result = run(ns, R"(
import threading
def spin():
    while True:
        pass
threading.Thread(target=spin, daemon=True).start()
spin()
)",
                               RunOptions{std::chrono::milliseconds(300), Guard{temp.str()}});
  EXPECT_EQ(result.error, "TimeoutError: the code ran longer than its time limit of 300 ms");
}

// A fresh process, so that the analysis packages are imported for the first time under the guard,
// with a matplotlib configuration directory that holds no font cache yet and that guarded code
// could not write.
TEST(Guard, HonestAnalysisRunsOnAFreshRuntime) {
  if (std::getenv("ASKDB_GUARD_FRESH_TEST") == nullptr) {
    Directory fresh_config(program_directory());
    in_fresh_process({"MPLCONFIGDIR=" + fresh_config.str()});
    return;
  }
  const char* config_dir = std::getenv("MPLCONFIGDIR");
  ASSERT_NE(config_dir, nullptr);
  Directory temp(fs::temp_directory_path());
  const std::string save = (temp.path() / "images").string();
  fs::create_directory(save);
  constexpr const char* kAnalysis = R"(
import pandas as pd
import numpy as np
import scipy.stats as stats
import statsmodels.api as sm
from sklearn.linear_model import LinearRegression
from sklearn.cluster import KMeans
import matplotlib.pyplot as plt
rows = [(i, 2.0 * i + (i % 3), ['north', 'south'][i % 2]) for i in range(40)]
df = pd.DataFrame(rows, columns=['units', 'amount', 'region'])
print(df.groupby('region')['amount'].sum().to_dict())
print(round(float(np.corrcoef(df.units, df.amount)[0, 1]), 4))
print(round(float(stats.pearsonr(df.units, df.amount)[0]), 4))
print(round(float(sm.OLS(df.amount, sm.add_constant(df.units)).fit().params['units']), 4))
print(round(float(LinearRegression().fit(df[['units']], df.amount).coef_[0]), 4))
print(sorted(np.bincount(KMeans(n_clusters=2, n_init=3, random_state=0).fit_predict(df[['units', 'amount']]))))
fig, ax = plt.subplots()
df.groupby('region')['amount'].sum().plot(kind='bar', ax=ax)
fig.savefig(save_path + '/' + name)
plt.close(fig)
print('saved', name)
)";
  Namespace first = Namespace::with_datetime();
  first.set("save_path", save);
  first.set("name", std::string("guarded.png"));
  const RunResult result =
      run(first, kAnalysis, RunOptions{std::chrono::milliseconds(120000), Guard{save}});
  ASSERT_TRUE(result.success) << result.error;
  EXPECT_THAT(read_file(fs::path(save) / "guarded.png"), StartsWith("\x89PNG"));
  EXPECT_FALSE(fs::is_empty(config_dir));  // the font cache was built, before the guard applied

  // The same code unguarded prints the same.
  Namespace second = Namespace::with_datetime();
  second.set("save_path", save);
  second.set("name", std::string("unguarded.png"));
  const RunResult unguarded = run(second, kAnalysis);
  ASSERT_TRUE(unguarded.success) << unguarded.error;
  EXPECT_EQ(replace_all(result.output, "guarded.png", "X"),
            replace_all(unguarded.output, "unguarded.png", "X"));
  EXPECT_THAT(result.output, HasSubstr("saved guarded.png"));
}

// Each test runs in a process of its own under ctest, so these are the process's first guarded
// runs: they start together, while the guard prepares itself once.
TEST(Guard, FirstGuardedRunsMayStartOnSeveralThreadsAtOnce) {
  constexpr int kThreads = 6;
  std::vector<std::string> errors(kThreads);
  std::vector<std::string> outputs(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      Namespace ns = Namespace::with_datetime();
      RunOptions options;
      options.guard = Guard{fs::temp_directory_path().string()};
      const RunResult r = run(ns, "print('question', " + std::to_string(i) + ")", options);
      errors[i] = r.error;
      outputs[i] = r.output;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(errors[i], "") << i;
    EXPECT_EQ(outputs[i], "question " + std::to_string(i) + "\n") << i;
  }
}

}  // namespace
}  // namespace embedded_python
