#pragma once

// Writing database values as the Python literals Python's repr() shows for them, so that the
// analysis code can paste a result into a program and get the same values back.

#include <cstdint>
#include <string>
#include <string_view>

namespace sql_database::literal {

// How many characters (code points) of a text or bytes value to write before cutting it; a cut
// value ends, inside its literal, with a note saying how much was left out.
struct ValueLimit {
  std::size_t max_chars = 0;  // 0: no limit
};

// Appends repr(str) of UTF-8 text. Bytes that are not UTF-8 are written as the lone surrogates
// Python's "surrogateescape" decoding gives them ('\udcff'). Returns true when the value was cut.
bool append_str(std::string& out, std::string_view utf8, ValueLimit limit = {});
// Appends repr(bytes). Returns true when the value was cut.
bool append_bytes(std::string& out, std::string_view data, ValueLimit limit = {});
// Appends repr(float), or float('nan') / float('inf') / -float('inf'), which read back.
void append_float(std::string& out, double value);
void append_int(std::string& out, std::int64_t value);
void append_uint(std::string& out, std::uint64_t value);

// The following take the database's text form of a value and append the Python literal, or
// return false (appending nothing) when the text is not of the expected form; callers then
// write the text as a str.

// Decimal digits with an optional sign: written as an int.
bool append_int_text(std::string& out, std::string_view text);
// A float's text ("1.5", "1e+20", "NaN", "Infinity", "-inf"): written as repr(float).
bool append_float_text(std::string& out, std::string_view text);
// A decimal number ("9.50", "-0.001", "NaN", "Infinity"): Decimal('9.50').
bool append_decimal_text(std::string& out, std::string_view text);
// "YYYY-MM-DD": datetime.date(2024, 1, 31).
bool append_date_text(std::string& out, std::string_view text);
// "YYYY-MM-DD HH:MM[:SS[.ffffff]]" with an optional "T" separator and an optional UTC offset
// ("+00", "-05:30", "Z"): datetime.datetime(...) with tzinfo when an offset is given.
bool append_datetime_text(std::string& out, std::string_view text);
// "HH:MM[:SS[.ffffff]]" within a day: datetime.time(...).
bool append_time_text(std::string& out, std::string_view text);
// A duration "[-]H...H:MM:SS[.ffffff]" (MySQL TIME): datetime.timedelta(...).
bool append_duration_text(std::string& out, std::string_view text);

// repr(datetime.timedelta(days, seconds, microseconds)) after Python's normalisation.
void append_timedelta(std::string& out, std::int64_t total_microseconds);

// Code points in UTF-8 text (invalid bytes count one each).
std::size_t count_chars(std::string_view utf8) noexcept;

}  // namespace sql_database::literal
