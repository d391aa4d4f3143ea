#include "python_literal.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace sql_database::literal {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += kHex[(value >> shift) & 0xF];
}

void append_number(std::string& out, std::int64_t value) {
  std::array<char, 24> buf{};
  auto [end, ec] = std::to_chars(buf.data(), buf.data() + buf.size(), value);
  (void)ec;
  out.append(buf.data(), end);
}

// Decodes one code point of strict UTF-8 at `pos`. On an invalid or truncated sequence returns
// the lone surrogate U+DC80+byte for the first byte and advances by one, as Python's
// surrogateescape error handler does.
char32_t decode(std::string_view s, std::size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    if (pos + i >= s.size()) return false;
    const auto b = static_cast<unsigned char>(s[pos + i]);
    return b >= lo && b <= hi;
  };
  auto byte = [&](std::size_t i) { return static_cast<char32_t>(s[pos + i] & 0x3F); };
  if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
    char32_t cp = (static_cast<char32_t>(b0 & 0x1F) << 6) | byte(1);
    pos += 2;
    return cp;
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80;
    const unsigned char hi = b0 == 0xED ? 0x9F : 0xBF;
    if (cont(1, lo, hi) && cont(2)) {
      char32_t cp = (static_cast<char32_t>(b0 & 0x0F) << 12) | (byte(1) << 6) | byte(2);
      pos += 3;
      return cp;
    }
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned char lo = b0 == 0xF0 ? 0x90 : 0x80;
    const unsigned char hi = b0 == 0xF4 ? 0x8F : 0xBF;
    if (cont(1, lo, hi) && cont(2) && cont(3)) {
      char32_t cp =
          (static_cast<char32_t>(b0 & 0x07) << 18) | (byte(1) << 12) | (byte(2) << 6) | byte(3);
      pos += 4;
      return cp;
    }
  }
  ++pos;
  return 0xDC00 + b0;
}

void encode(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Python's str.isprintable() for non-ASCII code points, without the Unicode database: the
// control, format, separator (other than space), surrogate and private-use characters, and
// the noncharacters. Unassigned code points elsewhere are taken as printable.
bool printable(char32_t cp) {
  if (cp <= 0xA0) return false;  // C1 controls and NO-BREAK SPACE
  if (cp == 0xAD) return false;
  if ((cp >= 0x600 && cp <= 0x605) || cp == 0x61C || cp == 0x6DD || cp == 0x70F) return false;
  if (cp == 0x890 || cp == 0x891 || cp == 0x8E2 || cp == 0x180E || cp == 0x1680) return false;
  if (cp >= 0x2000 && cp <= 0x200F) return false;
  if (cp >= 0x2028 && cp <= 0x202F) return false;
  if (cp >= 0x205F && cp <= 0x206F) return false;
  if (cp == 0x3000) return false;
  if (cp >= 0xD800 && cp <= 0xF8FF) return false;  // surrogates, private use
  if (cp == 0xFEFF || (cp >= 0xFFF0 && cp <= 0xFFFB)) return false;
  if ((cp & 0xFFFE) == 0xFFFE) return false;  // U+xFFFE, U+xFFFF
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return false;
  if (cp == 0x110BD || cp == 0x110CD || (cp >= 0x13430 && cp <= 0x1343F)) return false;
  if ((cp >= 0x1BCA0 && cp <= 0x1BCA3) || (cp >= 0x1D173 && cp <= 0x1D17A)) return false;
  if (cp == 0xE0001 || (cp >= 0xE0020 && cp <= 0xE007F)) return false;
  if (cp >= 0xF0000) return false;  // supplementary private use
  return true;
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
  // Python's rule: single quotes, unless the text holds ' and no ".
  const bool has_single = utf8.find('\'') != std::string_view::npos;
  const bool has_double = utf8.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out += quote;
  std::size_t pos = 0, written = 0;
  bool cut = false;
  while (pos < utf8.size()) {
    if (limit.max_chars != 0 && written == limit.max_chars) {
      append_cut_note(out, count_chars(utf8.substr(pos)), "characters");
      cut = true;
      break;
    }
    const char32_t cp = decode(utf8, pos);
    ++written;
    if (cp == static_cast<char32_t>(quote) || cp == '\\') {
      out += '\\';
      out += static_cast<char>(cp);
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\r') {
      out += "\\r";
    } else if (cp < 0x20 || cp == 0x7F) {
      out += "\\x";
      append_hex(out, cp, 2);
    } else if (cp < 0x7F) {
      out += static_cast<char>(cp);
    } else if (printable(cp)) {
      encode(out, cp);
    } else if (cp <= 0xFF) {
      out += "\\x";
      append_hex(out, cp, 2);
    } else if (cp <= 0xFFFF) {
      out += "\\u";
      append_hex(out, cp, 4);
    } else {
      out += "\\U";
      append_hex(out, cp, 8);
    }
  }
  out += quote;
  return cut;
}

bool append_bytes(std::string& out, std::string_view data, ValueLimit limit) {
  const bool has_single = data.find('\'') != std::string_view::npos;
  const bool has_double = data.find('"') != std::string_view::npos;
  const char quote = has_single && !has_double ? '"' : '\'';
  out += 'b';
  out += quote;
  bool cut = false;
  std::size_t n = data.size();
  if (limit.max_chars != 0 && n > limit.max_chars) {
    n = limit.max_chars;
    cut = true;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(data[i]);
    if (c == static_cast<unsigned char>(quote) || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\x";
      append_hex(out, c, 2);
    } else {
      out += static_cast<char>(c);
    }
  }
  if (cut) append_cut_note(out, data.size() - n, "bytes");
  out += quote;
  return cut;
}

void append_float(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "float('nan')";
    return;
  }
  if (std::isinf(value)) {
    out += value > 0 ? "float('inf')" : "-float('inf')";
    return;
  }
  // Shortest digits that read back as the same double, laid out as repr() does: positional
  // notation for decimal exponents from -4 to 15, scientific otherwise.
  std::array<char, 40> buf{};
  auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific);
  (void)ec;
  std::string_view sci(buf.data(), static_cast<std::size_t>(end - buf.data()));
  bool negative = false;
  if (sci.front() == '-') {
    negative = true;
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits += c;
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (negative) out += '-';
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      const auto int_len = static_cast<std::size_t>(exponent + 1);
      if (digits.size() <= int_len) {
        out += digits;
        out.append(int_len - digits.size(), '0');
        out += ".0";
      } else {
        out += digits.substr(0, int_len);
        out += '.';
        out += digits.substr(int_len);
      }
    }
  } else {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out += digits.substr(1);
    }
    out += 'e';
    out += exponent < 0 ? '-' : '+';
    const int mag = exponent < 0 ? -exponent : exponent;
    if (mag < 10) out += '0';
    append_number(out, mag);
  }
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
