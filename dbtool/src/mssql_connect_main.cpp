// dbtool-mssql-connect: one SQL Server connection test through ODBC, run by libdbtool.
//
// Reads from standard input the login timeout in seconds (first line) and the ODBC connection text
// (the rest), connects, disconnects, and writes "OK\n" or "ERROR\n" followed by the driver's
// diagnostics to standard output. The parent kills it when it takes too long.

#include <sql.h>
#include <sqlext.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct HandleFreer {
  SQLSMALLINT type;
  void operator()(void* handle) const noexcept { SQLFreeHandle(type, handle); }
};
using Handle = std::unique_ptr<void, HandleFreer>;

// "[SQLSTATE] message" of every diagnostic record, repeated records once, joined by "; ".
std::string diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<std::string> records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, message,
                                       static_cast<SQLSMALLINT>(sizeof message), &length);
    if (rc != SQL_SUCCESS && rc != SQL_SUCCESS_WITH_INFO) break;
    std::string record = "[" + std::string(reinterpret_cast<char*>(state)) + "] " +
                         std::string(reinterpret_cast<char*>(message));
    bool seen = false;
    for (const std::string& earlier : records) seen = seen || earlier == record;
    if (!seen) records.push_back(record);
  }
  std::string text;
  for (const std::string& record : records) text += (text.empty() ? "" : "; ") + record;
  return text.empty() ? "the ODBC driver manager reported a failure without diagnostics" : text;
}

int answer(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main() {
  std::string request((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  const std::size_t newline = request.find('\n');
  if (newline == std::string::npos) return answer("ERROR\nmalformed request to the helper\n");
  const long timeout = std::strtol(request.substr(0, newline).c_str(), nullptr, 10);
  const std::string connection_text = request.substr(newline + 1);

  SQLHANDLE env_raw = SQL_NULL_HANDLE;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env_raw))) {
    return answer("ERROR\ncannot allocate an ODBC environment handle\n");
  }
  Handle env(env_raw, HandleFreer{SQL_HANDLE_ENV});
  SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLHANDLE dbc_raw = SQL_NULL_HANDLE;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env.get(), &dbc_raw))) {
    return answer("ERROR\n" + diagnostics(SQL_HANDLE_ENV, env.get()) + "\n");
  }
  Handle dbc(dbc_raw, HandleFreer{SQL_HANDLE_DBC});
  SQLSetConnectAttr(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<std::intptr_t>(timeout)), 0);

  std::vector<SQLCHAR> text(connection_text.begin(), connection_text.end());
  text.push_back(0);
  const SQLRETURN rc = SQLDriverConnect(dbc.get(), nullptr, text.data(), SQL_NTS, nullptr, 0,
                                        nullptr, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) return answer("ERROR\n" + diagnostics(SQL_HANDLE_DBC, dbc.get()) + "\n");
  SQLDisconnect(dbc.get());
  return answer("OK\n");
}
