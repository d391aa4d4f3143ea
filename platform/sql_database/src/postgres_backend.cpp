#include <libpq-fe.h>

#include <string>
#include <vector>

#include "backend.hpp"
#include "statement_guard.hpp"
#include "text/text.hpp"

namespace sql_database {
namespace {

struct PgConnCloser {
  void operator()(PGconn* conn) const noexcept { PQfinish(conn); }
};
struct PgResultClearer {
  void operator()(PGresult* res) const noexcept { PQclear(res); }
};
using PgConn = std::unique_ptr<PGconn, PgConnCloser>;
using PgResult = std::unique_ptr<PGresult, PgResultClearer>;

// Server type oids (pg_type.oid, fixed for the built-in types).
enum : Oid {
  kBool = 16,
  kBytea = 17,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kOid = 26,
  kFloat4 = 700,
  kFloat8 = 701,
  kDate = 1082,
  kTime = 1083,
  kTimestamp = 1114,
  kTimestamptz = 1184,
  kNumeric = 1700,
};

// libpq's messages end in a line break.
std::string trimmed(const char* message) {
  return std::string(text::trim_end(message != nullptr ? message : "", " \n"));
}

void ignore_notice(void*, const char*) {}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// bytea in hex output: "\x0a1b...".
bool decode_bytea(std::string_view text, std::string& out) {
  if (text.size() < 2 || text[0] != '\\' || text[1] != 'x' || text.size() % 2 != 0) return false;
  out.clear();
  for (std::size_t i = 2; i < text.size(); i += 2) {
    const int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out += static_cast<char>(hi * 16 + lo);
  }
  return true;
}

class PostgresBackend final : public Backend {
 public:
  PostgresBackend(ParsedUri uri, const DatabaseOptions& options)
      : uri_(std::move(uri)),
        options_(options),
        pool_([this] { return open(); }, options.pool_size) {
    auto lease = pool_.acquire();  // reports an unreachable server or a bad login now
    privileges_ = read_privileges(lease->get());
  }

  const std::string& dialect() const noexcept override { return dialect_; }

  void run(std::string_view sql, ResultText& out) const override {
    if (std::string why = refused_statement(sql, ServerDialect::postgresql); !why.empty())
      throw DatabaseError(why);
    auto lease = pool_.acquire();
    PGconn* conn = lease->get();
    try {
      exec_command(conn, "BEGIN READ ONLY");
    } catch (const DatabaseError&) {
      lease.mark_broken();
      throw;
    }
    const std::string text(sql);
    std::string error;
    // The extended-query protocol carries exactly one statement; a second one is refused by the
    // server before anything runs.
    if (PQsendQueryParams(conn, text.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 0) == 0) {
      lease.mark_broken();
      throw DatabaseError(trimmed(PQerrorMessage(conn)));
    }
    PQsetSingleRowMode(conn);
    std::vector<Oid> types;
    bool have_columns = false;
    std::string scratch;
    while (PGresult* raw = PQgetResult(conn)) {
      PgResult res(raw);
      const ExecStatusType status = PQresultStatus(raw);
      if (status == PGRES_SINGLE_TUPLE || status == PGRES_TUPLES_OK) {
        if (!have_columns) {
          have_columns = true;
          std::vector<std::string> names;
          for (int i = 0; i < PQnfields(raw); ++i) {
            names.emplace_back(PQfname(raw, i));
            types.push_back(PQftype(raw, i));
          }
          out.set_columns(std::move(names));
        }
        for (int r = 0; r < PQntuples(raw); ++r) {
          if (out.done()) continue;
          if (!out.wants_values()) {
            out.skip_row();
            continue;
          }
          write_row(raw, r, types, out, scratch);
        }
      } else if (status == PGRES_COPY_OUT) {
        // The copy data must be read off before the connection can go on; it is not shown.
        char* buffer = nullptr;
        while (PQgetCopyData(conn, &buffer, 0) > 0) PQfreemem(buffer);
        if (error.empty()) error = "COPY TO STDOUT is not supported here; use a SELECT query";
      } else if (status == PGRES_COPY_IN || status == PGRES_COPY_BOTH) {
        PQputCopyEnd(conn, "COPY FROM STDIN is not supported here");
        if (error.empty()) error = "COPY FROM STDIN is not supported here";
      } else if (status == PGRES_EMPTY_QUERY) {
        error = "the SQL text holds no statement";
      } else if (status != PGRES_COMMAND_OK) {
        if (error.empty()) error = trimmed(PQresultErrorMessage(raw));
      }
    }
    try {
      // Session-level advisory locks survive the rollback; a statement must not leave one behind
      // on a pooled connection, where it would block other clients of the database.
      exec_command(conn, may_take_session_lock(text)
                             ? "ROLLBACK; SELECT pg_catalog.pg_advisory_unlock_all()"
                             : "ROLLBACK");
    } catch (const DatabaseError&) {
      lease.mark_broken();
      if (error.empty()) throw;
    }
    if (PQstatus(conn) != CONNECTION_OK) lease.mark_broken();
    if (!error.empty()) throw DatabaseError(error);
  }

  std::vector<TableEntry> list_tables() const override {
    auto lease = pool_.acquire();
    PgResult res = query(lease->get(),
                         "SELECT c.oid::text, c.relname, c.relkind IN ('v', 'm') "
                         "FROM pg_catalog.pg_class c "
                         "JOIN pg_catalog.pg_namespace n ON n.oid = c.relnamespace "
                         "WHERE n.nspname = COALESCE(NULLIF($1, ''), current_schema()) "
                         "AND c.relkind IN ('r', 'p', 'v', 'm', 'f') AND NOT c.relispartition "
                         "AND pg_catalog.has_table_privilege(c.oid, 'SELECT')",
                         {options_.schema});
    std::vector<TableEntry> tables;
    for (int r = 0; r < PQntuples(res.get()); ++r) {
      TableEntry entry;
      entry.key = PQgetvalue(res.get(), r, 0);
      entry.name = PQgetvalue(res.get(), r, 1);
      entry.is_view = std::string_view(PQgetvalue(res.get(), r, 2)) == "t";
      tables.push_back(std::move(entry));
    }
    return tables;
  }

  std::string create_statement(const TableEntry& table) const override {
    auto lease = pool_.acquire();
    PgResult rel = query(lease->get(),
                         "SELECT c.relkind, pg_catalog.quote_ident(c.relname), "
                         "pg_catalog.pg_get_viewdef(c.oid, true) "
                         "FROM pg_catalog.pg_class c WHERE c.oid = $1::oid",
                         {table.key});
    if (PQntuples(rel.get()) == 0) return {};
    const std::string kind = PQgetvalue(rel.get(), 0, 0);
    const std::string name = PQgetvalue(rel.get(), 0, 1);
    if (kind == "v" || kind == "m") {
      std::string definition = trimmed(PQgetvalue(rel.get(), 0, 2));
      if (!definition.empty() && definition.back() == ';') definition.pop_back();
      return std::string(kind == "m" ? "CREATE MATERIALIZED VIEW " : "CREATE VIEW ") + name +
             " AS\n" + definition;
    }
    PgResult cols = query(lease->get(),
                          "SELECT pg_catalog.quote_ident(a.attname), "
                          "pg_catalog.format_type(a.atttypid, a.atttypmod), a.attnotnull, "
                          "pg_catalog.pg_get_expr(d.adbin, d.adrelid), a.attidentity, "
                          "a.attgenerated "
                          "FROM pg_catalog.pg_attribute a LEFT JOIN pg_catalog.pg_attrdef d "
                          "ON d.adrelid = a.attrelid AND d.adnum = a.attnum "
                          "WHERE a.attrelid = $1::oid AND a.attnum > 0 AND NOT a.attisdropped "
                          "ORDER BY a.attnum",
                          {table.key});
    PgResult cons = query(lease->get(),
                          "SELECT pg_catalog.quote_ident(conname), "
                          "pg_catalog.pg_get_constraintdef(oid, true) "
                          "FROM pg_catalog.pg_constraint "
                          "WHERE conrelid = $1::oid AND contype IN ('p', 'u', 'f', 'c') "
                          "ORDER BY CASE contype WHEN 'p' THEN 0 WHEN 'u' THEN 1 "
                          "WHEN 'f' THEN 2 ELSE 3 END, conname",
                          {table.key});
    std::vector<std::string> lines;
    for (int r = 0; r < PQntuples(cols.get()); ++r) {
      std::string line =
          std::string(PQgetvalue(cols.get(), r, 0)) + " " + PQgetvalue(cols.get(), r, 1);
      const std::string_view identity = PQgetvalue(cols.get(), r, 4);
      const std::string_view generated = PQgetvalue(cols.get(), r, 5);
      const bool has_default = PQgetisnull(cols.get(), r, 3) == 0;
      if (identity == "a") line += " GENERATED ALWAYS AS IDENTITY";
      if (identity == "d") line += " GENERATED BY DEFAULT AS IDENTITY";
      if (generated == "s" && has_default) {
        line += " GENERATED ALWAYS AS (" + std::string(PQgetvalue(cols.get(), r, 3)) + ") STORED";
      } else if (has_default) {
        line += " DEFAULT " + std::string(PQgetvalue(cols.get(), r, 3));
      }
      if (std::string_view(PQgetvalue(cols.get(), r, 2)) == "t") line += " NOT NULL";
      lines.push_back(std::move(line));
    }
    for (int r = 0; r < PQntuples(cons.get()); ++r)
      lines.push_back("CONSTRAINT " + std::string(PQgetvalue(cons.get(), r, 0)) + " " +
                      PQgetvalue(cons.get(), r, 1));
    std::string out = "CREATE TABLE " + name + " (";
    for (std::size_t i = 0; i < lines.size(); ++i) {
      out += i == 0 ? "\n  " : ",\n  ";
      out += lines[i];
    }
    return out + "\n)";
  }

  std::string quote_identifier(std::string_view name) const override {
    return quote_name(name, '"');
  }

  const AccountPrivileges& account_privileges() const noexcept override { return privileges_; }

 private:
  // A superuser, or a member of one of the roles that reach the server's files and programs
  // (roles that do not exist on older servers are simply not found).
  AccountPrivileges read_privileges(PGconn* conn) const {
    AccountPrivileges found;
    try {
      PgResult res =
          query(conn,
                "SELECT r.rolsuper, "
                "(SELECT pg_catalog.string_agg(g.rolname, ',' ORDER BY g.rolname) "
                "FROM pg_catalog.pg_roles g WHERE g.rolname IN ('pg_execute_server_program', "
                "'pg_read_server_files', 'pg_write_server_files') "
                "AND pg_catalog.pg_has_role(r.oid, g.oid, 'MEMBER')), "
                "pg_catalog.quote_ident(current_user), "
                "pg_catalog.quote_ident(pg_catalog.current_database()), "
                "pg_catalog.quote_ident(COALESCE(NULLIF($1, ''), current_schema(), 'public')) "
                "FROM pg_catalog.pg_roles r WHERE r.rolname = current_user",
                {options_.schema});
      if (PQntuples(res.get()) != 1) throw DatabaseError("the account is not in pg_roles");
      if (std::string_view(PQgetvalue(res.get(), 0, 0)) == "t") {
        found.reasons.push_back("superuser");
      } else if (PQgetisnull(res.get(), 0, 1) == 0) {
        for (const std::string_view role : text::split(PQgetvalue(res.get(), 0, 1), ',')) {
          if (!role.empty()) found.reasons.push_back("member of " + std::string(role));
        }
      }
      const std::string database = PQgetvalue(res.get(), 0, 3);
      const std::string schema = PQgetvalue(res.get(), 0, 4);
      found.read_only_grants =
          "CREATE ROLE askdb_reader LOGIN PASSWORD 'choose-a-password';\n"
          "GRANT CONNECT ON DATABASE " +
          database +
          " TO askdb_reader;\n"
          "GRANT USAGE ON SCHEMA " +
          schema +
          " TO askdb_reader;\n"
          "GRANT SELECT ON ALL TABLES IN SCHEMA " +
          schema +
          " TO askdb_reader;\n"
          "ALTER DEFAULT PRIVILEGES IN SCHEMA " +
          schema + " GRANT SELECT ON TABLES TO askdb_reader;";
    } catch (const DatabaseError& e) {
      found.reasons.push_back(std::string("the account's privileges could not be read: ") +
                              e.what());
    }
    found.privileged = !found.reasons.empty();
    return found;
  }

  std::unique_ptr<PgConn> open() const {
    std::vector<std::pair<std::string, std::string>> params = {
        {"host", uri_.host},
        {"port", std::to_string(uri_.port != 0 ? uri_.port : 5432)},
        {"dbname", uri_.database},
        {"connect_timeout", std::to_string(options_.connect_timeout.count())},
        {"application_name", "askdb"},
        {"client_encoding", "UTF8"},
    };
    if (!uri_.user.empty()) params.emplace_back("user", uri_.user);
    if (!uri_.password.empty()) params.emplace_back("password", uri_.password);
    for (const auto& p : uri_.parameters) params.push_back(p);
    std::vector<const char*> keys, values;
    for (const auto& [k, v] : params) {
      keys.push_back(k.c_str());
      values.push_back(v.c_str());
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);
    auto conn = std::make_unique<PgConn>(PQconnectdbParams(keys.data(), values.data(), 0));
    if (*conn == nullptr) throw DatabaseError("out of memory while connecting to PostgreSQL");
    if (PQstatus(conn->get()) != CONNECTION_OK)
      throw DatabaseError(trimmed(PQerrorMessage(conn->get())));
    PQsetNoticeProcessor(conn->get(), ignore_notice, nullptr);
    // Session settings the result text relies on. Model-written statements run inside a
    // transaction that is always rolled back, and SET is transactional here, so they cannot
    // change these for later statements.
    exec_command(conn->get(),
                 "SET statement_timeout = " + std::to_string(options_.statement_timeout.count()) +
                     "; SET TimeZone = 'UTC'; SET DateStyle = 'ISO, MDY'; "
                     "SET IntervalStyle = 'postgres'; SET bytea_output = 'hex'; "
                     "SET extra_float_digits = 1; SET default_transaction_read_only = on");
    if (!options_.schema.empty()) {
      query(conn->get(),
            "SELECT pg_catalog.set_config('search_path', pg_catalog.quote_ident($1), false)",
            {options_.schema});
    }
    return conn;
  }

  static void exec_command(PGconn* conn, const std::string& sql) {
    PgResult res(PQexec(conn, sql.c_str()));
    const ExecStatusType status = res ? PQresultStatus(res.get()) : PGRES_FATAL_ERROR;
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
      throw DatabaseError(trimmed(res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn)));
  }

  static PgResult query(PGconn* conn, const char* sql, const std::vector<std::string>& params) {
    std::vector<const char*> values;
    for (const auto& p : params) values.push_back(p.c_str());
    PgResult res(PQexecParams(conn, sql, static_cast<int>(values.size()), nullptr, values.data(),
                              nullptr, nullptr, 0));
    if (!res || PQresultStatus(res.get()) != PGRES_TUPLES_OK)
      throw DatabaseError(trimmed(res ? PQresultErrorMessage(res.get()) : PQerrorMessage(conn)));
    return res;
  }

  static void write_row(PGresult* res, int r, const std::vector<Oid>& types, ResultText& out,
                        std::string& scratch) {
    out.begin_row();
    for (int c = 0; c < static_cast<int>(types.size()); ++c) {
      if (PQgetisnull(res, r, c)) {
        out.null();
        continue;
      }
      const std::string_view v(PQgetvalue(res, r, c),
                               static_cast<std::size_t>(PQgetlength(res, r, c)));
      switch (types[c]) {
        case kBool:
          out.boolean(v == "t");
          break;
        case kInt2:
        case kInt4:
        case kInt8:
        case kOid:
          out.int_text(v);
          break;
        case kFloat4:
        case kFloat8:
          out.float_text(v);
          break;
        case kNumeric:
          out.decimal_text(v);
          break;
        case kDate:
          out.date_text(v);
          break;
        case kTimestamp:
        case kTimestamptz:
          out.datetime_text(v);
          break;
        case kTime:
          out.time_text(v);
          break;
        case kBytea:
          if (decode_bytea(v, scratch)) {
            out.bytes(scratch);
          } else {
            out.text(v);
          }
          break;
        default:
          out.text(v);
      }
    }
    out.end_row();
  }

  std::string dialect_ = "postgresql";
  ParsedUri uri_;
  DatabaseOptions options_;
  AccountPrivileges privileges_;
  mutable ConnectionPool<PgConn> pool_;
};

}  // namespace

std::unique_ptr<Backend> make_postgres_backend(const ParsedUri& uri,
                                               const DatabaseOptions& options) {
  return std::make_unique<PostgresBackend>(uri, options);
}

}  // namespace sql_database
