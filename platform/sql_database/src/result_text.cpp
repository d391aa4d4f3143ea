#include "result_text.hpp"

#include <algorithm>

namespace sql_database {
namespace {

// 12345 -> "12,345": the notes are read by people and models.
std::string grouped(std::size_t n) {
  std::string digits = std::to_string(n);
  std::string out;
  const std::size_t first = digits.size() % 3 == 0 ? 3 : digits.size() % 3;
  out += digits.substr(0, first);
  for (std::size_t i = first; i < digits.size(); i += 3) {
    out += ',';
    out += digits.substr(i, 3);
  }
  return out;
}

}  // namespace

ResultText::ResultText(Limits limits, bool include_columns, Layout layout)
    : limits_(limits), include_columns_(include_columns), layout_(layout) {
  value_limit_.max_chars = limits_.max_value_chars;
}

void ResultText::set_columns(std::vector<std::string> names) {
  columns_ = std::move(names);
  // Keep one row of many long values within the text limit: each value gets at most half of
  // its share of the limit (but never less than 32 characters).
  if (limits_.max_chars != 0 && !columns_.empty()) {
    const std::size_t share = std::max<std::size_t>(32, limits_.max_chars / (2 * columns_.size()));
    if (value_limit_.max_chars == 0 || share < value_limit_.max_chars)
      value_limit_.max_chars = share;
  }
}

void ResultText::begin_row() {
  row_.clear();
  column_ = 0;
  row_ += layout_ == Layout::list && include_columns_ ? '{' : '(';
}

void ResultText::begin_value() {
  if (column_ > 0) row_ += ", ";
  if (include_columns_ && layout_ == Layout::list) {
    literal::append_str(row_, column_ < columns_.size() ? columns_[column_] : std::string("?"));
    row_ += ": ";
  }
  ++column_;
}

void ResultText::null() {
  begin_value();
  row_ += "None";
}

void ResultText::boolean(bool v) {
  begin_value();
  row_ += v ? "True" : "False";
}

void ResultText::integer(std::int64_t v) {
  begin_value();
  literal::append_int(row_, v);
}

void ResultText::unsigned_integer(std::uint64_t v) {
  begin_value();
  literal::append_uint(row_, v);
}

void ResultText::floating(double v) {
  begin_value();
  literal::append_float(row_, v);
}

void ResultText::text(std::string_view utf8) {
  begin_value();
  cut_if(literal::append_str(row_, utf8, value_limit_));
}

void ResultText::bytes(std::string_view data) {
  begin_value();
  cut_if(literal::append_bytes(row_, data, value_limit_));
}

void ResultText::literal(std::string_view python_text) {
  begin_value();
  row_ += python_text;
}

#define ASKDB_TYPED_TEXT(method, parser)                                               \
  void ResultText::method(std::string_view t) {                                        \
    begin_value();                                                                     \
    if (!literal::parser(row_, t)) cut_if(literal::append_str(row_, t, value_limit_)); \
  }
ASKDB_TYPED_TEXT(int_text, append_int_text)
ASKDB_TYPED_TEXT(float_text, append_float_text)
ASKDB_TYPED_TEXT(decimal_text, append_decimal_text)
ASKDB_TYPED_TEXT(date_text, append_date_text)
ASKDB_TYPED_TEXT(datetime_text, append_datetime_text)
ASKDB_TYPED_TEXT(time_text, append_time_text)
ASKDB_TYPED_TEXT(duration_text, append_duration_text)
#undef ASKDB_TYPED_TEXT

void ResultText::end_row() {
  if (layout_ == Layout::list && include_columns_) {
    row_ += '}';
  } else {
    if (column_ == 1) row_ += ',';  // a one-element tuple
    row_ += ')';
  }
  ++rows_;
  const std::size_t row_chars = literal::count_chars(row_) + (rows_written_ > 0 ? 2 : 0);
  if (rows_written_ > 0 && limits_.max_chars != 0 &&
      text_chars_ + row_chars + 2 > limits_.max_chars) {
    full_ = true;
    ++rows_left_out_;
    return;
  }
  if (rows_written_ > 0) text_ += layout_ == Layout::list ? ", " : "\n";
  text_ += row_;
  text_chars_ += row_chars;
  ++rows_written_;
}

std::string ResultText::finish() {
  if (rows_ == 0) return {};
  std::string out;
  out.reserve(text_.size() + 200);
  if (layout_ == Layout::list) out += '[';
  out += text_;
  if (layout_ == Layout::list) out += ']';
  if (rows_left_out_ > 0) {
    out += "\n# Result cut: showing ";
    out += grouped(rows_written_);
    out += " of ";
    out += grouped(rows_);
    out += " rows (";
    out += grouped(rows_left_out_);
    out += rows_left_out_ == 1 ? " row" : " rows";
    out += " left out) to stay within ";
    out += grouped(limits_.max_chars);
    out += " characters.";
  }
  if (values_cut_) {
    out += "\n# Values longer than ";
    out += grouped(value_limit_.max_chars);
    out += " characters were cut.";
  }
  return out;
}

}  // namespace sql_database
