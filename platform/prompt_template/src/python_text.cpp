#include "prompt_template/python_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace prompt_template {

namespace {

using state_graph::Value;

// Python's float repr: the shortest digits that read back as the same double, in fixed notation
// while the decimal exponent lies in [-4, 16), in scientific notation otherwise.
void append_float(double d, std::string& out) {
  if (std::isnan(d)) {
    out.append("nan");
    return;
  }
  if (std::isinf(d)) {
    out.append(d < 0 ? "-inf" : "inf");
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));  // [-]d[.ddd]e(+|-)XX
  if (!sci.empty() && sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos))
    if (c != '.') digits.push_back(c);
  int exponent = 0;
  const std::string_view exp_text = sci.substr(e_pos + 1);
  std::from_chars(exp_text.data() + (exp_text.front() == '+' ? 1 : 0),
                  exp_text.data() + exp_text.size(), exponent);
  const int point = exponent + 1;  // digits before the decimal point
  const int ndigits = static_cast<int>(digits.size());
  if (point > -4 && point <= 16) {
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
  const int shown = point - 1;
  char exp_buf[16];
  std::snprintf(exp_buf, sizeof exp_buf, "e%c%02d", shown < 0 ? '-' : '+', std::abs(shown));
  out.append(exp_buf);
}

// Code points that Python's str.isprintable() rejects, as far as a fixed table can tell: control
// characters, separators other than the blank, format characters, surrogates, private use and
// the noncharacters U+FFFE/U+FFFF. Unassigned code points are treated as printable.
bool is_printable(std::uint32_t cp) {
  struct Range {
    std::uint32_t lo, hi;
  };
  static constexpr Range kNotPrintable[] = {
      {0x0000, 0x001F},   {0x007F, 0x00A0},   {0x00AD, 0x00AD},   {0x0600, 0x0605},
      {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},
      {0x08E2, 0x08E2},   {0x1680, 0x1680},   {0x180E, 0x180E},   {0x2000, 0x200F},
      {0x2028, 0x202F},   {0x205F, 0x2064},   {0x2066, 0x206F},   {0x3000, 0x3000},
      {0xD800, 0xF8FF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},
      {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3},
      {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
  };
  for (const Range& r : kNotPrintable)
    if (cp >= r.lo && cp <= r.hi) return false;
  return true;
}

void append_escape(std::uint32_t cp, std::string& out) {
  char buf[16];
  if (cp < 0x100) {
    std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
  } else if (cp < 0x10000) {
    std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
  } else {
    std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(cp));
  }
  out.append(buf);
}

// Length of the UTF-8 sequence at s[i] and its code point; 0 when the bytes are not valid UTF-8.
std::size_t decode_utf8(std::string_view s, std::size_t i, std::uint32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07u;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  const std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
  if (cp < min_for_len[len] || cp > 0x10FFFF) return 0;
  return len;
}

char quote_for(std::string_view s) {
  return (s.find('\'') != std::string_view::npos && s.find('"') == std::string_view::npos) ? '"'
                                                                                           : '\'';
}

void append_string_repr(std::string_view s, std::string& out) {
  const char quote = quote_for(s);
  out.push_back(quote);
  for (std::size_t i = 0; i < s.size();) {
    const char c = s[i];
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x80) {
      if (c == quote || c == '\\') {
        out.push_back('\\');
        out.push_back(c);
      } else if (c == '\n') {
        out.append("\\n");
      } else if (c == '\r') {
        out.append("\\r");
      } else if (c == '\t') {
        out.append("\\t");
      } else if (u < 0x20 || u == 0x7F) {
        append_escape(u, out);
      } else {
        out.push_back(c);
      }
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t len = decode_utf8(s, i, cp);
    if (len == 0) {
      out.push_back(c);  // not text to begin with: passed through as it is
      ++i;
    } else {
      if (is_printable(cp)) {
        out.append(s.substr(i, len));
      } else {
        append_escape(cp, out);
      }
      i += len;
    }
  }
  out.push_back(quote);
}

void append_bytes_repr(const Value::binary_t& bytes, std::string& out) {
  const std::string_view as_text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const char quote = quote_for(as_text);
  out.push_back('b');
  out.push_back(quote);
  for (unsigned char b : bytes) {
    if (b == static_cast<unsigned char>(quote) || b == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(b));
    } else if (b == '\n') {
      out.append("\\n");
    } else if (b == '\r') {
      out.append("\\r");
    } else if (b == '\t') {
      out.append("\\t");
    } else if (b < 0x20 || b >= 0x7F) {
      append_escape(b, out);
    } else {
      out.push_back(static_cast<char>(b));
    }
  }
  out.push_back(quote);
}

void append_repr(const Value& v, std::string& out) {
  switch (v.type()) {
    case Value::value_t::null:
    case Value::value_t::discarded:
      out.append("None");
      break;
    case Value::value_t::boolean:
      out.append(v.get<bool>() ? "True" : "False");
      break;
    case Value::value_t::number_integer:
      out.append(std::to_string(v.get<std::int64_t>()));
      break;
    case Value::value_t::number_unsigned:
      out.append(std::to_string(v.get<std::uint64_t>()));
      break;
    case Value::value_t::number_float:
      append_float(v.get<double>(), out);
      break;
    case Value::value_t::string:
      append_string_repr(v.get_ref<const std::string&>(), out);
      break;
    case Value::value_t::binary:
      append_bytes_repr(v.get_binary(), out);
      break;
    case Value::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : v) {
        if (!first) out.append(", ");
        first = false;
        append_repr(item, out);
      }
      out.push_back(']');
      break;
    }
    case Value::value_t::object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, item] : v.items()) {
        if (!first) out.append(", ");
        first = false;
        append_string_repr(key, out);
        out.append(": ");
        append_repr(item, out);
      }
      out.push_back('}');
      break;
    }
  }
}

}  // namespace

std::string python_str(const Value& value) {
  if (value.is_string()) return value.get<std::string>();
  std::string out;
  append_repr(value, out);
  return out;
}

std::string python_repr(const Value& value) {
  std::string out;
  append_repr(value, out);
  return out;
}

}  // namespace prompt_template
