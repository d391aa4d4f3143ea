// PostgreSQL through libpq.

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>

#include "internal.hpp"

namespace dbtool {
namespace {

struct PgConnCloser {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
using PgConnPtr = std::unique_ptr<PGconn, PgConnCloser>;

struct PgResultFreer {
  void operator()(PGresult* result) const noexcept { PQclear(result); }
};
using PgResultPtr = std::unique_ptr<PGresult, PgResultFreer>;

struct PgFreer {
  void operator()(void* memory) const noexcept { PQfreemem(memory); }
};

// Type OIDs of the built-in types that map to non-text values.
constexpr Oid kBool = 16, kBytea = 17, kInt8 = 20, kInt2 = 21, kInt4 = 23, kOid = 26, kFloat4 = 700,
              kFloat8 = 701;

Value column_value(Oid type, const char* data, int length) {
  switch (type) {
    case kBool:
      return length == 1 && data[0] == 't';
    case kInt2:
    case kInt4:
    case kInt8:
    case kOid: {
      std::int64_t number = 0;
      auto [end, error] = std::from_chars(data, data + length, number);
      if (error == std::errc() && end == data + length) return number;
      return std::string(data, static_cast<std::size_t>(length));
    }
    case kFloat4:
    case kFloat8:
      return detail::parse_double(data, static_cast<std::size_t>(length));
    case kBytea: {
      std::size_t size = 0;
      std::unique_ptr<unsigned char, PgFreer> bytes(
          PQunescapeBytea(reinterpret_cast<const unsigned char*>(data), &size));
      if (!bytes) throw DatabaseError("out of memory while decoding a bytea value");
      return Value::binary(std::vector<std::uint8_t>(bytes.get(), bytes.get() + size));
    }
    default:  // numeric, dates and times, text, json, arrays, ...: the server's text
      return std::string(data, static_cast<std::size_t>(length));
  }
}

StatementResult convert_result(PGresult* result, RowKind kind) {
  StatementResult out;
  out.has_result_set = true;
  const int columns = PQnfields(result);
  const int rows = PQntuples(result);
  for (int c = 0; c < columns; ++c) out.columns.emplace_back(PQfname(result, c));
  for (int r = 0; r < rows; ++r) {
    Value record = kind == RowKind::by_name ? Value::object() : Value::array();
    for (int c = 0; c < columns; ++c) {
      Value value = PQgetisnull(result, r, c)
                        ? Value(nullptr)
                        : column_value(PQftype(result, c), PQgetvalue(result, r, c),
                                       PQgetlength(result, r, c));
      if (kind == RowKind::by_name) {
        record[out.columns[static_cast<std::size_t>(c)]] = std::move(value);
      } else {
        record.push_back(std::move(value));
      }
    }
    out.rows.push_back(std::move(record));
  }
  out.rowcount = rows;
  return out;
}

// Notices (for example of DROP ... IF EXISTS) are not failures and must not reach stderr.
void ignore_notice(void*, const char*) {}

class PgConnection final : public Connection::Impl {
 public:
  explicit PgConnection(PgConnPtr conn) : Impl(RowKind::positional), conn_(std::move(conn)) {}

  StatementResult run(const std::string& sql, RowKind kind) override {
    check_statement(sql);
    begin_if_idle();
    return finish(PgResultPtr(PQexec(open_conn(), sql.c_str())), kind);
  }

  StatementResult run_params(const std::string& sql, const std::vector<std::string>& params,
                             RowKind kind) override {
    check_statement(sql);
    for (const std::string& param : params) check_statement(param);
    begin_if_idle();
    std::vector<const char*> values;
    for (const std::string& param : params) values.push_back(param.c_str());
    return finish(
        PgResultPtr(PQexecParams(open_conn(), sql.c_str(), static_cast<int>(params.size()), nullptr,
                                 values.data(), nullptr, nullptr, 0)),
        kind);
  }

  void commit() override {
    PGconn* conn = open_conn();
    const PGTransactionStatusType status = PQtransactionStatus(conn);
    if (status == PQTRANS_IDLE) return;
    if (status == PQTRANS_INERROR) {
      // The server would answer COMMIT with a rollback and no error: say so instead.
      simple(conn, "ROLLBACK");
      throw DatabaseError(
          "cannot commit: an earlier statement failed, so the transaction was rolled back");
    }
    simple(conn, "COMMIT");
  }

  void rollback() override {
    PGconn* conn = open_conn();
    if (PQtransactionStatus(conn) != PQTRANS_IDLE) simple(conn, "ROLLBACK");
  }

  void set_autocommit(bool on) override {
    if (PQtransactionStatus(open_conn()) != PQTRANS_IDLE) {
      throw DatabaseError(
          "cannot switch autocommit inside a transaction; commit or roll back first");
    }
    autocommit_ = on;
  }

  void close() noexcept override { conn_.reset(); }
  bool closed() const noexcept override { return !conn_; }

 private:
  // libpq takes C strings: a NUL would silently cut the statement short.
  static void check_statement(const std::string& text) {
    if (text.find('\0') != std::string::npos) {
      throw DatabaseError("the statement holds a NUL character, which PostgreSQL cannot take");
    }
  }

  PGconn* open_conn() const {
    if (!conn_) throw DatabaseError("connection already closed");
    return conn_.get();
  }

  [[noreturn]] void throw_error(const PGresult* result) const {
    std::string text = detail::trim_trailing_space(result != nullptr ? PQresultErrorMessage(result)
                                                                     : PQerrorMessage(conn_.get()));
    if (text.empty()) text = detail::trim_trailing_space(PQerrorMessage(conn_.get()));
    if (PQstatus(conn_.get()) == CONNECTION_BAD) throw OperationalError(text);
    throw DatabaseError(text);
  }

  void simple(PGconn* conn, const char* command) {
    PgResultPtr result(PQexec(conn, command));
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) throw_error(result.get());
  }

  // Work is transactional, as on MySQL: the first statement opens a transaction.
  void begin_if_idle() {
    PGconn* conn = open_conn();
    if (!autocommit_ && PQtransactionStatus(conn) == PQTRANS_IDLE) simple(conn, "BEGIN");
  }

  // COPY with the client side would leave the connection waiting for data; end it cleanly.
  void abandon_copy(PGconn* conn, ExecStatusType status) {
    if (status == PGRES_COPY_IN || status == PGRES_COPY_BOTH) {
      PQputCopyEnd(conn, "COPY with the client is not supported");
    } else {
      char* buffer = nullptr;
      while (PQgetCopyData(conn, &buffer, 0) > 0) PQfreemem(buffer);
    }
    while (PgResultPtr rest{PQgetResult(conn)}) {
    }
  }

  StatementResult finish(PgResultPtr result, RowKind kind) {
    if (!result) throw_error(nullptr);
    const ExecStatusType status = PQresultStatus(result.get());
    switch (status) {
      case PGRES_TUPLES_OK:
        return convert_result(result.get(), kind);
      case PGRES_COMMAND_OK:
      case PGRES_EMPTY_QUERY: {
        StatementResult out;
        const char* affected = PQcmdTuples(result.get());
        out.rowcount = (affected != nullptr && *affected != '\0') ? std::atoll(affected) : 0;
        return out;
      }
      case PGRES_COPY_IN:
      case PGRES_COPY_OUT:
      case PGRES_COPY_BOTH:
        abandon_copy(conn_.get(), status);
        throw DatabaseError("COPY to or from the client is not supported");
      default:
        throw_error(result.get());
    }
  }

  PgConnPtr conn_;
  bool autocommit_ = false;
};

}  // namespace

namespace detail {

std::shared_ptr<Connection::Impl> connect_postgres(const std::optional<std::string>& user,
                                                   const std::optional<std::string>& password,
                                                   const std::optional<std::string>& host,
                                                   const Value& port,
                                                   const std::optional<std::string>& name) {
  check_no_nul(user, "the user");
  check_no_nul(password, "the password");
  check_no_nul(host, "the host");
  check_no_nul(name, "the database name");
  const std::chrono::seconds timeout = connect_timeout();
  // libpq judges the port text itself.
  const std::string port_text = port.dump();
  const std::string timeout_text = std::to_string(timeout.count());

  std::vector<const char*> keys;
  std::vector<const char*> values;
  auto add = [&](const char* key, const std::optional<std::string>& value) {
    if (value) {
      keys.push_back(key);
      values.push_back(value->c_str());
    }
  };
  add("user", user);
  add("password", password);
  add("host", host);
  keys.push_back("port");
  values.push_back(port_text.c_str());
  add("dbname", name);
  keys.push_back("connect_timeout");
  values.push_back(timeout_text.c_str());
  // Texts arrive as UTF-8 and dates in ISO form whatever the server's defaults are.
  keys.push_back("client_encoding");
  values.push_back("UTF8");
  keys.push_back("options");
  values.push_back("-c DateStyle=ISO");
  keys.push_back("fallback_application_name");
  values.push_back("dbtool");
  keys.push_back(nullptr);
  values.push_back(nullptr);

  const auto started = std::chrono::steady_clock::now();
  PgConnPtr conn(PQconnectdbParams(keys.data(), values.data(), 0));
  if (!conn) throw OperationalError("out of memory while connecting to PostgreSQL");
  if (PQstatus(conn.get()) != CONNECTION_OK) {
    std::string text = trim_trailing_space(PQerrorMessage(conn.get()));
    if (std::chrono::steady_clock::now() - started >= timeout ||
        text.find("timeout expired") != std::string::npos) {
      text += timeout_note(timeout);
    }
    throw OperationalError(text);
  }
  PQsetNoticeProcessor(conn.get(), ignore_notice, nullptr);
  return std::make_shared<PgConnection>(std::move(conn));
}

}  // namespace detail
}  // namespace dbtool
