#include <dlfcn.h>

#include <charconv>
#include <filesystem>
#include <iostream>

#include "internal.hpp"
#include "text/text.hpp"

namespace dbtool {

// ---------------------------------------------------------------------------------------------
// Connection

StatementResult Connection::Impl::run_params(const std::string&, const std::vector<std::string>&,
                                             RowKind) {
  throw DatabaseError("statement parameters are supported on PostgreSQL connections only");
}

Connection::Connection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
Connection::Connection(Connection&&) noexcept = default;
Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    close();
    impl_ = std::move(other.impl_);
  }
  return *this;
}
Connection::~Connection() { close(); }

Cursor Connection::cursor() {
  if (!impl_) throw DatabaseError("connection already closed");
  return cursor(impl_->default_kind);
}

Cursor Connection::cursor(RowKind kind) {
  if (!impl_ || impl_->closed()) throw DatabaseError("connection already closed");
  return Cursor(std::make_unique<Cursor::Impl>(impl_, kind));
}

void Connection::commit() {
  if (!impl_) throw DatabaseError("connection already closed");
  impl_->commit();
}

void Connection::rollback() {
  if (!impl_) throw DatabaseError("connection already closed");
  impl_->rollback();
}

void Connection::set_autocommit(bool on) {
  if (!impl_) throw DatabaseError("connection already closed");
  impl_->set_autocommit(on);
}

void Connection::close() noexcept {
  if (impl_) impl_->close();
}

bool Connection::closed() const noexcept { return !impl_ || impl_->closed(); }

// ---------------------------------------------------------------------------------------------
// Cursor

void Cursor::Impl::check_open() const {
  if (is_closed) throw DatabaseError("cursor already closed");
  if (conn->closed()) throw DatabaseError("connection already closed");
}

Cursor::Cursor(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Cursor::Cursor(Cursor&&) noexcept = default;
Cursor& Cursor::operator=(Cursor&&) noexcept = default;
Cursor::~Cursor() = default;

void Cursor::execute(const std::string& sql) {
  if (!impl_) throw DatabaseError("cursor already closed");
  impl_->check_open();
  impl_->result = StatementResult{};
  impl_->next_row = 0;
  impl_->result = impl_->conn->run(sql, impl_->kind);
}

void Cursor::execute(const std::string& sql, const std::vector<std::string>& params) {
  if (!impl_) throw DatabaseError("cursor already closed");
  impl_->check_open();
  impl_->result = StatementResult{};
  impl_->next_row = 0;
  impl_->result = impl_->conn->run_params(sql, params, impl_->kind);
}

bool Cursor::has_result_set() const { return impl_ && impl_->result.has_result_set; }

std::vector<std::string> Cursor::columns() const {
  return impl_ ? impl_->result.columns : std::vector<std::string>{};
}

std::int64_t Cursor::rowcount() const { return impl_ ? impl_->result.rowcount : -1; }

Value Cursor::fetchall() {
  if (!impl_ || impl_->is_closed) throw DatabaseError("cursor already closed");
  Value rows = Value::array();
  Value& all = impl_->result.rows;
  for (std::size_t i = impl_->next_row; i < all.size(); ++i) rows.push_back(std::move(all[i]));
  impl_->next_row = all.size();
  return rows;
}

void Cursor::close() noexcept {
  if (!impl_) return;
  impl_->is_closed = true;
  impl_->result = StatementResult{};
}

bool Cursor::closed() const noexcept { return !impl_ || impl_->is_closed; }

// ---------------------------------------------------------------------------------------------
// Helpers

namespace detail {

void check_no_nul(const std::optional<std::string>& text, std::string_view what) {
  if (text && text->find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(what) +
                                " holds a NUL character, which the database clients cannot pass");
  }
}

std::string trim_trailing_space(std::string message) {
  message.resize(text::trim_end(message, " \t\n\r").size());
  return message;
}

std::string timeout_note(std::chrono::seconds timeout) {
  return " (connection attempt ended by the " + std::to_string(timeout.count()) +
         " s connect timeout)";
}

Value parse_double(const char* data, std::size_t length) {
  double number = 0;
  auto [end, error] = std::from_chars(data, data + length, number);
  if (error == std::errc() && end == data + length) return number;
  return std::string(data, length);
}

void print_line(const std::string& line) { std::cout << line << '\n' << std::flush; }

std::string library_directory() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&library_directory), &info) == 0 ||
      info.dli_fname == nullptr) {
    return {};
  }
  std::error_code error;
  std::filesystem::path path = std::filesystem::weakly_canonical(info.dli_fname, error);
  if (error) path = info.dli_fname;
  return path.parent_path().string();
}

}  // namespace detail
}  // namespace dbtool
