// SQL Server connection test: ODBC in a child process that the caller can always stop.
//
// The driver's login timeout bounds only reaching the server, not a server that accepts and then
// stays silent; an ODBC call cannot be abandoned safely inside this process (its thread and
// handles would stay stuck for the process lifetime). The attempt therefore runs in the helper
// dbtool-mssql-connect, which is killed and reaped when the connect timeout passes.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "internal.hpp"

extern char** environ;

namespace dbtool {
namespace {

struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  explicit FileDescriptor(int descriptor) : fd(descriptor) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { reset(); }
  void reset() noexcept {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
  posix_spawnattr_t attributes;
  SpawnAttributes() { posix_spawnattr_init(&attributes); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

bool needs_braces(const std::string& value) {
  return value.find_first_of(";{}") != std::string::npos;
}

std::string attribute_value(const std::optional<std::string>& value) {
  if (!value) return {};
  if (!needs_braces(*value)) return *value;
  std::string quoted = "{";
  for (char c : *value) {
    quoted += c;
    if (c == '}') quoted += '}';
  }
  quoted += '}';
  return quoted;
}

std::string errno_text(int error) { return std::strerror(error); }

// The child's environment: the host's, plus ODBCSYSINI pointing at the shipped odbcinst.ini when
// the host has not chosen one.
std::vector<std::string> child_environment(const std::string& ini_directory) {
  std::vector<std::string> entries;
  bool has_ini = false;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "ODBCSYSINI=", 11) == 0) has_ini = true;
    entries.emplace_back(*entry);
  }
  if (!has_ini && !ini_directory.empty()) entries.push_back("ODBCSYSINI=" + ini_directory);
  return entries;
}

void reap(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

std::string sql_server_connection_text(const std::optional<std::string>& db_user,
                                       const std::optional<std::string>& db_password,
                                       const std::optional<std::string>& db_host,
                                       std::int64_t db_port,
                                       const std::optional<std::string>& db_name) {
  return "DRIVER={SQL Server};SERVER=" + attribute_value(db_host) + "," + std::to_string(db_port) +
         ";DATABASE=" + attribute_value(db_name) + ";UID=" + attribute_value(db_user) +
         ";PWD=" + attribute_value(db_password);
}

namespace detail {

void test_sql_server_connection(const std::string& connection_text) {
  if (connection_text.find('\0') != std::string::npos) {
    throw std::invalid_argument("the connection text holds a NUL character");
  }
  const std::filesystem::path lib_dir = library_directory();
  const std::filesystem::path helper = lib_dir / ".." / "libexec" / "dbtool-mssql-connect";
  const std::filesystem::path ini_dir = lib_dir / ".." / "etc" / "odbc";
  std::error_code error;
  if (lib_dir.empty() || !std::filesystem::exists(helper, error)) {
    throw OperationalError("the SQL Server connection helper is missing: " + helper.string());
  }
  const std::chrono::seconds timeout = connect_timeout();

  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    throw OperationalError("cannot start the SQL Server connection helper: " + errno_text(errno));
  }
  FileDescriptor parent_end(pair[0]);
  FileDescriptor child_end(pair[1]);

  SpawnActions actions;
  posix_spawn_file_actions_adddup2(&actions.actions, child_end.fd, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions.actions, child_end.fd, STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions.actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  SpawnAttributes attributes;
  sigset_t no_signals;
  sigemptyset(&no_signals);
  sigset_t default_signals;
  sigemptyset(&default_signals);
  sigaddset(&default_signals, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes.attributes, &no_signals);
  posix_spawnattr_setsigdefault(&attributes.attributes, &default_signals);
  posix_spawnattr_setflags(&attributes.attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const std::string helper_path = helper.lexically_normal().string();
  std::vector<std::string> env_entries = child_environment(
      std::filesystem::exists(ini_dir / "odbcinst.ini", error) ? ini_dir.lexically_normal().string()
                                                               : std::string());
  std::vector<char*> env;
  for (std::string& entry : env_entries) env.push_back(entry.data());
  env.push_back(nullptr);
  std::string arg0 = helper_path;
  char* argv[] = {arg0.data(), nullptr};

  pid_t pid = -1;
  const int spawn_error = posix_spawn(&pid, helper_path.c_str(), &actions.actions,
                                      &attributes.attributes, argv, env.data());
  if (spawn_error != 0) {
    throw OperationalError("cannot start the SQL Server connection helper " + helper_path + ": " +
                           errno_text(spawn_error));
  }
  child_end.reset();

  // The request: the login timeout on the first line, then the connection text. The password
  // travels through the socket, never through the command line.
  const std::string request = std::to_string(timeout.count()) + "\n" + connection_text;
  std::size_t sent = 0;
  while (sent < request.size()) {
    const ssize_t n =
        send(parent_end.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // the helper ended early; its answer (or its absence) tells why
    sent += static_cast<std::size_t>(n);
  }
  shutdown(parent_end.fd, SHUT_WR);

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::string answer;
  bool finished = false;
  while (!finished) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd wait{parent_end.fd, POLLIN, 0};
    const int ready = poll(&wait, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    char buffer[4096];
    const ssize_t n = read(parent_end.fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      finished = true;
    } else {
      answer.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (!finished) {
    kill(pid, SIGKILL);
    reap(pid);
    throw OperationalError("no answer from the server within the connect timeout of " +
                           std::to_string(timeout.count()) +
                           " s; the connection attempt was stopped");
  }
  reap(pid);
  if (answer.rfind("OK\n", 0) == 0) return;
  if (answer.rfind("ERROR\n", 0) == 0)
    throw OperationalError(trim_trailing_space(answer.substr(6)));
  throw OperationalError("the SQL Server connection helper ended without an answer");
}

}  // namespace detail
}  // namespace dbtool
