#include "python_literal.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string>

#include "python_text/python_text.hpp"

namespace sql_database::literal {
namespace {

void append_number(std::string& out, std::int64_t value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;
  out.append(buf.data(), end);
}

void append_cut_note(std::string& out, std::size_t left, const char* unit) {
  out += "...[";
  append_number(out, static_cast<std::int64_t>(left));
  out += " more ";
  out += unit;
  out += " not shown]";
}

bool digits_only(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Parses exactly `n` digits at `pos`.
bool take_digits(std::string_view s, std::size_t& pos, std::size_t n, int& value) {
  if (pos + n > s.size()) return false;
  value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  pos += n;
  return true;
}

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int days_in_month(int y, int m) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

struct Date {
  int year = 0, month = 0, day = 0;
};
struct Time {
  int hour = 0, minute = 0, second = 0, micro = 0;
};

bool parse_date(std::string_view s, std::size_t& pos, Date& d) {
  if (!take_digits(s, pos, 4, d.year) || pos >= s.size() || s[pos++] != '-' ||
      !take_digits(s, pos, 2, d.month) || pos >= s.size() || s[pos++] != '-' ||
      !take_digits(s, pos, 2, d.day))
    return false;
  return d.year >= 1 && d.month >= 1 && d.month <= 12 && d.day >= 1 &&
         d.day <= days_in_month(d.year, d.month);
}

bool parse_fraction(std::string_view s, std::size_t& pos, int& micro) {
  micro = 0;
  if (pos >= s.size() || s[pos] != '.') return true;
  ++pos;
  std::size_t n = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
    if (++n > 6) return false;
    micro = micro * 10 + (s[pos++] - '0');
  }
  if (n == 0) return false;
  for (; n < 6; ++n) micro *= 10;
  return true;
}

bool parse_time(std::string_view s, std::size_t& pos, Time& t) {
  if (!take_digits(s, pos, 2, t.hour) || pos >= s.size() || s[pos++] != ':' ||
      !take_digits(s, pos, 2, t.minute))
    return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!take_digits(s, pos, 2, t.second) || !parse_fraction(s, pos, t.micro)) return false;
  }
  return t.hour < 24 && t.minute < 60 && t.second < 60;
}

// "Z", "+HH", "+HH:MM", "+HHMM", "+HH:MM:SS" -> offset in seconds.
bool parse_offset(std::string_view s, std::size_t& pos, int& seconds) {
  if (s[pos] == 'Z') {
    ++pos;
    seconds = 0;
    return true;
  }
  const int sign = s[pos] == '-' ? -1 : 1;
  if (s[pos] != '+' && s[pos] != '-') return false;
  ++pos;
  int h = 0, m = 0, sec = 0;
  if (!take_digits(s, pos, 2, h)) return false;
  if (pos < s.size() && s[pos] == ':') ++pos;
  if (pos < s.size() && !take_digits(s, pos, 2, m)) return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!take_digits(s, pos, 2, sec)) return false;
  }
  if (h > 23 || m > 59 || sec > 59) return false;
  seconds = sign * (h * 3600 + m * 60 + sec);
  return true;
}

void append_fields(std::string& out, std::initializer_list<int> fields) {
  bool first = true;
  for (int f : fields) {
    if (!first) out += ", ";
    first = false;
    append_number(out, f);
  }
}

// Python drops a zero microsecond, and then a zero second, from the repr of times.
void append_clock(std::string& out, const Time& t) {
  append_fields(out, {t.hour, t.minute});
  if (t.second != 0 || t.micro != 0) {
    out += ", ";
    append_number(out, t.second);
  }
  if (t.micro != 0) {
    out += ", ";
    append_number(out, t.micro);
  }
}

void append_timezone(std::string& out, int offset_seconds) {
  if (offset_seconds == 0) {
    out += "datetime.timezone.utc";
    return;
  }
  out += "datetime.timezone(";
  append_timedelta(out, static_cast<std::int64_t>(offset_seconds) * 1000000);
  out += ')';
}

}  // namespace

std::size_t count_chars(std::string_view utf8) noexcept {
  std::size_t n = 0;
  for (char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

bool append_str(std::string& out, std::string_view utf8, ValueLimit limit) {
  // Database text that is not UTF-8 reads back in Python exactly as surrogateescape decoding
  // gives it.
  const char quote = python_text::quote_for(utf8);
  out += quote;
  const std::size_t written = python_text::append_str_body(
      out, utf8, quote, python_text::InvalidUtf8::surrogate_escape, limit.max_chars);
  const bool cut = written < utf8.size();
  if (cut) append_cut_note(out, count_chars(utf8.substr(written)), "characters");
  out += quote;
  return cut;
}

bool append_bytes(std::string& out, std::string_view data, ValueLimit limit) {
  const char quote = python_text::quote_for(data);
  out += 'b';
  out += quote;
  std::size_t n = data.size();
  const bool cut = limit.max_chars != 0 && n > limit.max_chars;
  if (cut) n = limit.max_chars;
  python_text::append_bytes_body(out, data.substr(0, n), quote);
  if (cut) append_cut_note(out, data.size() - n, "bytes");
  out += quote;
  return cut;
}

void append_float(std::string& out, double value) {
  python_text::append_float(out, value, python_text::NonFinite::literal);
}

void append_int(std::string& out, std::int64_t value) { append_number(out, value); }

void append_uint(std::string& out, std::uint64_t value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;
  out.append(buf.data(), end);
}

bool append_int_text(std::string& out, std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (!digits_only(text)) return false;
  // A literal with leading zeros does not parse in Python 3.
  while (text.size() > 1 && text.front() == '0') text.remove_prefix(1);
  if (negative && text != "0") out += '-';
  out += text;
  return true;
}

bool append_float_text(std::string& out, std::string_view text) {
  std::string lower;
  for (char c : text) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (lower == "nan" || lower == "-nan") {
    append_float(out, std::nan(""));
    return true;
  }
  if (lower == "infinity" || lower == "inf" || lower == "+infinity" || lower == "+inf") {
    append_float(out, HUGE_VAL);
    return true;
  }
  if (lower == "-infinity" || lower == "-inf") {
    append_float(out, -HUGE_VAL);
    return true;
  }
  std::string_view t = text;
  if (!t.empty() && t.front() == '+') t.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size()) return false;
  append_float(out, value);
  return true;
}

bool append_decimal_text(std::string& out, std::string_view text) {
  if (text == "NaN" || text == "Infinity" || text == "-Infinity") {
    out += "Decimal('";
    out += text;
    out += "')";
    return true;
  }
  std::string_view t = text;
  bool negative = false;
  if (!t.empty() && (t.front() == '-' || t.front() == '+')) {
    negative = t.front() == '-';
    t.remove_prefix(1);
  }
  const std::size_t dot = t.find('.');
  std::string_view int_part = t.substr(0, dot);
  std::string_view frac_part = dot == std::string_view::npos ? "" : t.substr(dot + 1);
  if ((int_part.empty() && frac_part.empty()) || (!int_part.empty() && !digits_only(int_part)) ||
      (!frac_part.empty() && !digits_only(frac_part)))
    return false;
  while (int_part.size() > 1 && int_part.front() == '0') int_part.remove_prefix(1);
  out += "Decimal('";
  if (negative) out += '-';
  out += int_part.empty() ? "0" : int_part;
  if (dot != std::string_view::npos && !frac_part.empty()) {
    out += '.';
    out += frac_part;
  }
  out += "')";
  return true;
}

bool append_date_text(std::string& out, std::string_view text) {
  std::size_t pos = 0;
  Date d;
  if (!parse_date(text, pos, d) || pos != text.size()) return false;
  out += "datetime.date(";
  append_fields(out, {d.year, d.month, d.day});
  out += ')';
  return true;
}

bool append_datetime_text(std::string& out, std::string_view text) {
  std::size_t pos = 0;
  Date d;
  Time t;
  if (!parse_date(text, pos, d) || pos >= text.size() || (text[pos] != ' ' && text[pos] != 'T'))
    return false;
  ++pos;
  if (!parse_time(text, pos, t)) return false;
  bool has_offset = false;
  int offset = 0;
  if (pos < text.size()) {
    if (!parse_offset(text, pos, offset) || pos != text.size()) return false;
    has_offset = true;
  }
  out += "datetime.datetime(";
  append_fields(out, {d.year, d.month, d.day});
  out += ", ";
  append_clock(out, t);
  if (has_offset) {
    out += ", tzinfo=";
    append_timezone(out, offset);
  }
  out += ')';
  return true;
}

bool append_time_text(std::string& out, std::string_view text) {
  std::size_t pos = 0;
  Time t;
  if (!parse_time(text, pos, t) || pos != text.size()) return false;
  out += "datetime.time(";
  append_clock(out, t);
  out += ')';
  return true;
}

bool append_duration_text(std::string& out, std::string_view text) {
  std::string_view t = text;
  bool negative = false;
  if (!t.empty() && t.front() == '-') {
    negative = true;
    t.remove_prefix(1);
  }
  const std::size_t colon = t.find(':');
  if (colon == std::string_view::npos || colon == 0 || colon > 6 ||
      !digits_only(t.substr(0, colon)))
    return false;
  std::int64_t hours = 0;
  for (char c : t.substr(0, colon)) hours = hours * 10 + (c - '0');
  std::size_t pos = colon + 1;
  int minutes = 0, seconds = 0, micro = 0;
  if (!take_digits(t, pos, 2, minutes) || pos >= t.size() || t[pos++] != ':' ||
      !take_digits(t, pos, 2, seconds) || !parse_fraction(t, pos, micro) || pos != t.size() ||
      minutes > 59 || seconds > 59)
    return false;
  std::int64_t total = ((hours * 60 + minutes) * 60 + seconds) * 1000000 + micro;
  append_timedelta(out, negative ? -total : total);
  return true;
}

void append_timedelta(std::string& out, std::int64_t total_microseconds) {
  constexpr std::int64_t kDay = 86400LL * 1000000;
  std::int64_t days = total_microseconds / kDay;
  std::int64_t rest = total_microseconds % kDay;
  if (rest < 0) {
    rest += kDay;
    --days;
  }
  const std::int64_t seconds = rest / 1000000;
  const std::int64_t micro = rest % 1000000;
  out += "datetime.timedelta(";
  if (days == 0 && seconds == 0 && micro == 0) {
    out += "0)";
    return;
  }
  bool first = true;
  auto field = [&](const char* name, std::int64_t v) {
    if (v == 0) return;
    if (!first) out += ", ";
    first = false;
    out += name;
    out += '=';
    append_number(out, v);
  };
  field("days", days);
  field("seconds", seconds);
  field("microseconds", micro);
  out += ')';
}

}  // namespace sql_database::literal
