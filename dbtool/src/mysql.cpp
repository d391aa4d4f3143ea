// MySQL / MariaDB through MariaDB Connector/C.

#include <errmsg.h>
#include <mysql.h>

#include <algorithm>
#include <charconv>
#include <mutex>

#include "internal.hpp"

namespace dbtool {
namespace {

struct MysqlCloser {
  void operator()(MYSQL* handle) const noexcept { mysql_close(handle); }
};
using MysqlPtr = std::unique_ptr<MYSQL, MysqlCloser>;

struct ResultFreer {
  void operator()(MYSQL_RES* result) const noexcept { mysql_free_result(result); }
};
using ResultPtr = std::unique_ptr<MYSQL_RES, ResultFreer>;

// The client library must be initialised once before handles are made on several threads.
void init_client_library() {
  static std::once_flag once;
  std::call_once(once, [] { mysql_library_init(0, nullptr, nullptr); });
}

bool is_connection_failure(unsigned int code) {
  return code == CR_SERVER_GONE_ERROR || code == CR_SERVER_LOST || code == CR_CONNECTION_ERROR ||
         code == CR_CONN_HOST_ERROR || code == CR_UNKNOWN_HOST;
}

[[noreturn]] void throw_client_error(MYSQL* handle) {
  std::string text = detail::trim_trailing_space(mysql_error(handle));
  if (is_connection_failure(mysql_errno(handle))) throw OperationalError(text);
  throw DatabaseError(text);
}

bool is_binary(const MYSQL_FIELD& field) { return field.charsetnr == 63; }

Value integer_value(const char* data, std::size_t length, bool is_unsigned) {
  if (is_unsigned) {
    std::uint64_t number = 0;
    auto [end, error] = std::from_chars(data, data + length, number);
    if (error == std::errc() && end == data + length) return number;
  } else {
    std::int64_t number = 0;
    auto [end, error] = std::from_chars(data, data + length, number);
    if (error == std::errc() && end == data + length) return number;
  }
  return std::string(data, length);  // never expected; keeps the server's text rather than lose it
}

Value column_value(const MYSQL_FIELD& field, const char* data, unsigned long length) {
  if (data == nullptr) return nullptr;
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_LONGLONG:
    case MYSQL_TYPE_YEAR:
      return integer_value(data, length, (field.flags & UNSIGNED_FLAG) != 0);
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
      return detail::parse_double(data, length);
    case MYSQL_TYPE_BIT: {
      std::uint64_t bits = 0;
      for (unsigned long i = 0; i < length; ++i) {
        bits = (bits << 8) | static_cast<unsigned char>(data[i]);
      }
      return bits;
    }
    case MYSQL_TYPE_NULL:
      return nullptr;
    case MYSQL_TYPE_GEOMETRY:
      return Value::binary(std::vector<std::uint8_t>(data, data + length));
    case MYSQL_TYPE_STRING:
    case MYSQL_TYPE_VAR_STRING:
    case MYSQL_TYPE_VARCHAR:
    case MYSQL_TYPE_TINY_BLOB:
    case MYSQL_TYPE_MEDIUM_BLOB:
    case MYSQL_TYPE_LONG_BLOB:
    case MYSQL_TYPE_BLOB:
      if (is_binary(field)) return Value::binary(std::vector<std::uint8_t>(data, data + length));
      return std::string(data, length);
    default:  // decimals, dates and times, enum, set, json: the server's text
      return std::string(data, length);
  }
}

StatementResult convert_result(MYSQL_RES* result, RowKind kind) {
  StatementResult out;
  out.has_result_set = true;
  const unsigned int count = mysql_num_fields(result);
  MYSQL_FIELD* fields = mysql_fetch_fields(result);
  for (unsigned int i = 0; i < count; ++i) out.columns.emplace_back(fields[i].name);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    Value record = kind == RowKind::by_name ? Value::object() : Value::array();
    for (unsigned int i = 0; i < count; ++i) {
      Value value = column_value(fields[i], row[i], lengths[i]);
      if (kind == RowKind::by_name) {
        record[out.columns[i]] = std::move(value);
      } else {
        record.push_back(std::move(value));
      }
    }
    out.rows.push_back(std::move(record));
  }
  out.rowcount = static_cast<std::int64_t>(out.rows.size());
  return out;
}

class MysqlConnection final : public Connection::Impl {
 public:
  MysqlConnection(MysqlPtr handle, RowKind kind) : Impl(kind), handle_(std::move(handle)) {}

  StatementResult run(const std::string& sql, RowKind kind) override {
    MYSQL* h = open_handle();
    if (mysql_real_query(h, sql.data(), sql.size()) != 0) throw_client_error(h);
    StatementResult out;
    ResultPtr result(mysql_store_result(h));
    if (result) {
      out = convert_result(result.get(), kind);
    } else if (mysql_field_count(h) != 0) {
      throw_client_error(h);
    } else {
      out.rowcount = static_cast<std::int64_t>(mysql_affected_rows(h));
    }
    // Procedures may send further result sets; they must be read before the next statement.
    while (mysql_more_results(h)) {
      const int status = mysql_next_result(h);
      if (status > 0) throw_client_error(h);
      if (status < 0) break;
      ResultPtr extra(mysql_store_result(h));
    }
    return out;
  }

  void commit() override {
    MYSQL* h = open_handle();
    if (mysql_commit(h) != 0) throw_client_error(h);
  }

  void rollback() override {
    MYSQL* h = open_handle();
    if (mysql_rollback(h) != 0) throw_client_error(h);
  }

  void set_autocommit(bool on) override {
    MYSQL* h = open_handle();
    if (mysql_autocommit(h, on ? 1 : 0) != 0) throw_client_error(h);
  }

  void close() noexcept override { handle_.reset(); }
  bool closed() const noexcept override { return !handle_; }

 private:
  MYSQL* open_handle() const {
    if (!handle_) throw DatabaseError("connection already closed");
    return handle_.get();
  }

  MysqlPtr handle_;
};

const char* c_text(const std::optional<std::string>& text) {
  return text ? text->c_str() : nullptr;
}

}  // namespace

namespace detail {

std::shared_ptr<Connection::Impl> connect_mysql(const std::optional<std::string>& user,
                                                const std::optional<std::string>& password,
                                                const std::optional<std::string>& host,
                                                const Value& port,
                                                const std::optional<std::string>& name,
                                                RowKind kind) {
  check_no_nul(user, "the user");
  check_no_nul(password, "the password");
  check_no_nul(host, "the host");
  check_no_nul(name, "the database name");
  const bool port_in_range = port.is_number_unsigned()
                                 ? port.get<std::uint64_t>() <= 65535
                                 : port.is_number_integer() && port.get<std::int64_t>() >= 0 &&
                                       port.get<std::int64_t>() <= 65535;
  if (!port_in_range) {
    throw std::invalid_argument("invalid port number " + port.dump() +
                                " (a port is between 0 and 65535)");
  }
  init_client_library();
  MysqlPtr handle(mysql_init(nullptr));
  if (!handle) throw DatabaseError("out of memory while creating a MySQL client handle");

  const std::chrono::seconds timeout = connect_timeout();
  const unsigned int connect_seconds = static_cast<unsigned int>(timeout.count());
  // Reads and writes of a statement may last much longer than a connect; the bound only keeps a
  // dead server from holding a call forever.
  const unsigned int io_seconds = std::max(600u, connect_seconds);
  const unsigned int local_infile = 0;
  mysql_options(handle.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect_seconds);
  mysql_options(handle.get(), MYSQL_OPT_READ_TIMEOUT, &io_seconds);
  mysql_options(handle.get(), MYSQL_OPT_WRITE_TIMEOUT, &io_seconds);
  mysql_options(handle.get(), MYSQL_OPT_LOCAL_INFILE, &local_infile);
  mysql_options(handle.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");

  const auto started = std::chrono::steady_clock::now();
  if (mysql_real_connect(handle.get(), c_text(host), c_text(user), c_text(password), c_text(name),
                         static_cast<unsigned int>(port.get<std::uint64_t>()), nullptr,
                         0) == nullptr) {
    std::string text = trim_trailing_space(mysql_error(handle.get()));
    if (std::chrono::steady_clock::now() - started >= timeout) text += timeout_note(timeout);
    throw OperationalError(text);
  }
  // Statements run in transactions that commit() ends, as on PostgreSQL.
  if (mysql_autocommit(handle.get(), 0) != 0) throw_client_error(handle.get());
  return std::make_shared<MysqlConnection>(std::move(handle), kind);
}

}  // namespace detail
}  // namespace dbtool
