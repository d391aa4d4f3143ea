#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "python_literal.hpp"

namespace sql_database {

// Builds the text of one result from the rows a backend streams into it, and keeps that text
// bounded: rows are written while they fit into `max_chars`, the rest are only counted, and the
// text then ends with a comment line saying how many rows were left out. The first row is always
// written; its values are cut so that it normally fits.
//
// Layouts: `list` is a Python list of tuples (or of dicts with column names); `lines` writes one
// tuple per line with no brackets around them (the sample rows of the table information).
//
// Not thread-safe; one per statement.
class ResultText {
 public:
  enum class Layout { list, lines };

  struct Limits {
    std::size_t max_chars = 20000;       // 0: no limit
    std::size_t max_value_chars = 1000;  // 0: no limit
    std::size_t max_rows = 0;            // 0: no limit; rows beyond it are not counted either
  };

  ResultText(Limits limits, bool include_columns, Layout layout = Layout::list);

  // Called once before the first row.
  void set_columns(std::vector<std::string> names);
  const std::vector<std::string>& columns() const noexcept { return columns_; }

  // True while the next row will be written; when false the backend calls skip_row() instead
  // of writing the values (they would be thrown away).
  bool wants_values() const noexcept { return !full_; }
  // True once `max_rows` rows have been taken: the backend may stop reading.
  bool done() const noexcept { return limits_.max_rows != 0 && rows_ >= limits_.max_rows; }

  void begin_row();
  void null();
  void boolean(bool v);
  void integer(std::int64_t v);
  void unsigned_integer(std::uint64_t v);
  void floating(double v);
  void text(std::string_view utf8);
  void bytes(std::string_view data);
  // A literal the caller has already written (one of the literal::append_* forms).
  void literal(std::string_view python_text);
  // Typed values from their text form; each falls back to a str when the text does not parse.
  void int_text(std::string_view t);
  void float_text(std::string_view t);
  void decimal_text(std::string_view t);
  void date_text(std::string_view t);
  void datetime_text(std::string_view t);
  void time_text(std::string_view t);
  void duration_text(std::string_view t);
  void end_row();
  void skip_row() { ++rows_left_out_, ++rows_; }

  std::size_t row_count() const noexcept { return rows_; }
  std::size_t rows_written() const noexcept { return rows_written_; }
  std::size_t rows_left_out() const noexcept { return rows_left_out_; }

  // The finished text; the empty text when no row came.
  std::string finish();

 private:
  void begin_value();
  void cut_if(bool cut) { values_cut_ = values_cut_ || cut; }

  Limits limits_;
  bool include_columns_;
  Layout layout_;
  std::vector<std::string> columns_;
  literal::ValueLimit value_limit_;

  std::string text_;
  std::size_t text_chars_ = 0;
  std::string row_;
  std::size_t column_ = 0;
  std::size_t rows_ = 0;
  std::size_t rows_written_ = 0;
  std::size_t rows_left_out_ = 0;
  bool full_ = false;
  bool values_cut_ = false;
};

}  // namespace sql_database
