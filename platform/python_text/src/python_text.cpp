#include "python_text/python_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <system_error>

#include "printable_table.hpp"

namespace python_text {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_hex(std::string& out, std::uint32_t value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    out.push_back(kHex[(value >> shift) & 0xF]);
}

void append_decimal(std::string& out, int value) {
  char buf[16];
  const auto res = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, res.ptr);
}

}  // namespace

// ---- Numbers -------------------------------------------------------------------------------

void append_float(std::string& out, double value, NonFinite spelling) {
  const bool literal = spelling == NonFinite::literal;
  if (std::isnan(value)) {
    out.append(literal ? "float('nan')" : "nan");
    return;
  }
  if (std::isinf(value)) {
    if (value < 0) out.push_back('-');
    out.append(literal ? "float('inf')" : "inf");
    return;
  }
  // The shortest round-trip digits, as to_chars gives them: [-]d[.ddd]e(+|-)XX.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  int exponent = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  const int ndigits = static_cast<int>(digits.size());
  if (exponent >= -4 && exponent < 16) {
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-point), '0');
      out.append(digits);
    } else if (point >= ndigits) {
      out.append(digits);
      out.append(static_cast<std::size_t>(point - ndigits), '0');
      out.append(".0");
    } else {
      out.append(digits, 0, static_cast<std::size_t>(point));
      out.push_back('.');
      out.append(digits, static_cast<std::size_t>(point));
    }
    return;
  }
  out.push_back(digits[0]);
  if (ndigits > 1) {
    out.push_back('.');
    out.append(digits, 1);
  }
  out.push_back('e');
  out.push_back(exponent < 0 ? '-' : '+');
  const int magnitude = exponent < 0 ? -exponent : exponent;
  if (magnitude < 10) out.push_back('0');
  append_decimal(out, magnitude);
}

std::string float_repr(double value, NonFinite spelling) {
  std::string out;
  append_float(out, value, spelling);
  return out;
}

// ---- Characters ----------------------------------------------------------------------------

bool is_printable(char32_t code_point) noexcept {
  if (code_point >= 0x20 && code_point < 0x7F) return true;
  const detail::CodePointRange* begin = detail::kNotPrintable;
  const detail::CodePointRange* end = begin + detail::kNotPrintableCount;
  // The first range that does not end before the code point.
  const auto* range =
      std::lower_bound(begin, end, code_point,
                       [](const detail::CodePointRange& r, char32_t cp) { return r.hi < cp; });
  return range == end || code_point < range->lo;
}

std::size_t decode_utf8(std::string_view text, std::size_t pos, char32_t& code_point) noexcept {
  const auto b0 = static_cast<unsigned char>(text[pos]);
  if (b0 < 0x80) {
    code_point = b0;
    return 1;
  }
  // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
  std::size_t length = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
    code_point = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    code_point = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    code_point = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (pos + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    const auto b = static_cast<unsigned char>(text[pos + k]);
    if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF)) return 0;
    code_point = (code_point << 6) | (b & 0x3Fu);
  }
  return length;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// ---- Strings -------------------------------------------------------------------------------

char quote_for(std::string_view text) noexcept {
  return text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos
             ? '"'
             : '\'';
}

void append_str_char(std::string& out, char32_t cp, char quote) {
  if (cp == static_cast<unsigned char>(quote) || cp == '\\') {
    out.push_back('\\');
    out.push_back(static_cast<char>(cp));
  } else if (cp == '\n') {
    out.append("\\n");
  } else if (cp == '\r') {
    out.append("\\r");
  } else if (cp == '\t') {
    out.append("\\t");
  } else if (is_printable(cp)) {
    append_utf8(out, cp);
  } else if (cp < 0x100) {
    out.append("\\x");
    append_hex(out, cp, 2);
  } else if (cp < 0x10000) {
    out.append("\\u");
    append_hex(out, cp, 4);
  } else {
    out.append("\\U");
    append_hex(out, cp, 8);
  }
}

std::size_t append_str_body(std::string& out, std::string_view text, char quote,
                            InvalidUtf8 invalid, std::size_t max_chars) {
  std::size_t pos = 0;
  std::size_t written = 0;
  while (pos < text.size()) {
    if (max_chars != 0 && written == max_chars) break;
    char32_t cp = 0;
    const std::size_t length = decode_utf8(text, pos, cp);
    ++written;
    if (length == 0) {
      const auto byte = static_cast<unsigned char>(text[pos]);
      ++pos;
      if (invalid == InvalidUtf8::pass_through) {
        out.push_back(static_cast<char>(byte));
      } else {
        append_str_char(out, 0xDC00 + byte, quote);
      }
      continue;
    }
    pos += length;
    append_str_char(out, cp, quote);
  }
  return pos;
}

void append_str_repr(std::string& out, std::string_view text, InvalidUtf8 invalid) {
  const char quote = quote_for(text);
  out.push_back(quote);
  append_str_body(out, text, quote, invalid);
  out.push_back(quote);
}

std::string str_repr(std::string_view text, InvalidUtf8 invalid) {
  std::string out;
  append_str_repr(out, text, invalid);
  return out;
}

// ---- Bytes ---------------------------------------------------------------------------------

void append_bytes_body(std::string& out, std::string_view data, char quote) {
  for (char c : data) {
    const auto b = static_cast<unsigned char>(c);
    if (c == quote || c == '\\') {
      out.push_back('\\');
      out.push_back(c);
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (b < 0x20 || b >= 0x7F) {
      out.append("\\x");
      append_hex(out, b, 2);
    } else {
      out.push_back(c);
    }
  }
}

void append_bytes_repr(std::string& out, std::string_view data) {
  const char quote = quote_for(data);
  out.push_back('b');
  out.push_back(quote);
  append_bytes_body(out, data, quote);
  out.push_back(quote);
}

// ---- Lists ---------------------------------------------------------------------------------

std::string str_list_repr(std::span<const std::string> items, InvalidUtf8 invalid) {
  std::string out;
  append_list(out, items, [invalid](std::string& o, const std::string& item) {
    append_str_repr(o, item, invalid);
  });
  return out;
}

}  // namespace python_text
