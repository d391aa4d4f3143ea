#pragma once

// The low-level pieces of writing values the way Python shows them: float repr, the printable
// characters, UTF-8 decoding, string and bytes quoting, list display. Prompt formatting and the
// database result literals build on these, so the model, the analysis code and Python itself all
// read the same text.
//
// Every function is pure (or appends to the caller's string only) and safe to call from several
// threads at once.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "python_text/export.hpp"

namespace python_text {

// ---- Numbers -------------------------------------------------------------------------------

// How NaN and the infinities are spelled.
enum class NonFinite {
  repr,     // nan, inf, -inf: what repr(float) shows
  literal,  // float('nan'), float('inf'), -float('inf'): expressions that read back as the value
};

// Appends repr(float): the shortest digits that read back as the same double, in positional
// notation while the decimal exponent lies in [-4, 16) ("0.0001", "1000000000000000.0", "-0.0"),
// scientific otherwise ("1e-05", "1e+16", "1.5e-07", "5e-324").
PYTHON_TEXT_EXPORT void append_float(std::string& out, double value,
                                     NonFinite spelling = NonFinite::repr);
PYTHON_TEXT_EXPORT std::string float_repr(double value, NonFinite spelling = NonFinite::repr);

// ---- Characters ----------------------------------------------------------------------------

// Python's str.isprintable() for one code point, exactly as the embedded interpreter (Debian's
// python3) answers it: false for control, format, surrogate, private-use and unassigned
// characters and for separators other than the blank.
PYTHON_TEXT_EXPORT bool is_printable(char32_t code_point) noexcept;

// Decodes one code point of strict UTF-8 (no overlong forms, no surrogates, nothing above
// U+10FFFF) starting at text[pos]. Returns the sequence's length in bytes, or 0 when the bytes at
// pos are not valid UTF-8 (code_point is then unspecified). pos must be < text.size().
PYTHON_TEXT_EXPORT std::size_t decode_utf8(std::string_view text, std::size_t pos,
                                           char32_t& code_point) noexcept;

// Appends the UTF-8 encoding of a code point (surrogates included, as Python's surrogatepass).
PYTHON_TEXT_EXPORT void append_utf8(std::string& out, char32_t code_point);

// ---- Strings -------------------------------------------------------------------------------

// What to do with bytes of a str's text that are not UTF-8.
enum class InvalidUtf8 {
  // Copied into the literal unchanged, one byte at a time: the text was not text to begin with.
  pass_through,
  // Each byte becomes the lone surrogate U+DC80..U+DCFF, as Python's "surrogateescape" decoding
  // gives it, and is written as the escape "\udcff".
  surrogate_escape,
};

// The quote repr() chooses for a str or bytes value: '"' when the text holds a single quote and
// no double quote, '\'' otherwise.
PYTHON_TEXT_EXPORT char quote_for(std::string_view text) noexcept;

// Appends one code point as it stands inside a str literal quoted with `quote`: the quote and the
// backslash preceded by a backslash; \n, \r, \t; other non-printable characters as \xhh, \uhhhh
// or \Uhhhhhhhh; printable characters as themselves (UTF-8).
PYTHON_TEXT_EXPORT void append_str_char(std::string& out, char32_t code_point, char quote);

// Appends the inside of a str literal (no quotes) for the UTF-8 text, writing at most max_chars
// characters (0: all; an invalid byte counts as one). Returns how many bytes of text were
// written, text.size() when nothing was left out.
PYTHON_TEXT_EXPORT std::size_t append_str_body(std::string& out, std::string_view text, char quote,
                                               InvalidUtf8 invalid, std::size_t max_chars = 0);

// Appends repr(str): the quote of quote_for, the body, the quote.
PYTHON_TEXT_EXPORT void append_str_repr(std::string& out, std::string_view text,
                                        InvalidUtf8 invalid = InvalidUtf8::pass_through);
PYTHON_TEXT_EXPORT std::string str_repr(std::string_view text,
                                        InvalidUtf8 invalid = InvalidUtf8::pass_through);

// ---- Bytes ---------------------------------------------------------------------------------

// Appends the inside of a bytes literal quoted with `quote`: the quote and the backslash
// preceded by a backslash; \n, \r, \t; other bytes outside 0x20..0x7E as \xhh.
PYTHON_TEXT_EXPORT void append_bytes_body(std::string& out, std::string_view data, char quote);
// Appends repr(bytes): b, the quote of quote_for, the body, the quote.
PYTHON_TEXT_EXPORT void append_bytes_repr(std::string& out, std::string_view data);

// ---- Lists ---------------------------------------------------------------------------------

// Appends Python's list display: "[", the items separated by ", ", "]" ("[]" when empty); each
// item is written by append_item(out, item).
template <typename Range, typename AppendItem>
void append_list(std::string& out, const Range& items, AppendItem&& append_item) {
  out.push_back('[');
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.append(", ");
    first = false;
    append_item(out, item);
  }
  out.push_back(']');
}

// repr() of a list of str: ['SELECT 1', "it's"].
PYTHON_TEXT_EXPORT std::string str_list_repr(std::span<const std::string> items,
                                             InvalidUtf8 invalid = InvalidUtf8::pass_through);

}  // namespace python_text
