#pragma once

// Small text helpers shared by the libraries: trimming, ASCII case, splitting on one character,
// joining, and markdown code fences in model answers. Header-only and stateless: every function
// is pure and safe to call from several threads at once. Case and blank handling is ASCII only,
// whatever the process locale, so results never depend on what a host (or the embedded
// interpreter) set with setlocale.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace text {

// The blanks of the C locale's isspace: space, tab, line feed, vertical tab, form feed, return.
inline constexpr std::string_view kAsciiSpace = " \t\n\v\f\r";

// `s` without the leading / trailing / leading and trailing characters that occur in `chars`.
constexpr std::string_view trim_start(std::string_view s,
                                      std::string_view chars = kAsciiSpace) noexcept {
  const std::size_t first = s.find_first_not_of(chars);
  return first == std::string_view::npos ? std::string_view() : s.substr(first);
}
constexpr std::string_view trim_end(std::string_view s,
                                    std::string_view chars = kAsciiSpace) noexcept {
  const std::size_t last = s.find_last_not_of(chars);
  return last == std::string_view::npos ? std::string_view() : s.substr(0, last + 1);
}
constexpr std::string_view trim(std::string_view s, std::string_view chars = kAsciiSpace) noexcept {
  return trim_end(trim_start(s, chars), chars);
}

// A copy with A-Z lowered / a-z raised; every other byte (UTF-8 included) is kept.
inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}
inline std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The pieces of `s` between the separators, empty pieces included: "a,,b" -> {"a", "", "b"},
// "" -> {""}. The views point into `s`.
inline std::vector<std::string_view> split(std::string_view s, char separator) {
  std::vector<std::string_view> pieces;
  while (true) {
    const std::size_t at = s.find(separator);
    pieces.push_back(s.substr(0, at));
    if (at == std::string_view::npos) return pieces;
    s.remove_prefix(at + 1);
  }
}

// The items (anything a std::string can be appended from) with `separator` between them.
template <typename Range>
std::string join(const Range& items, std::string_view separator) {
  std::string out;
  bool first = true;
  for (const auto& item : items) {
    if (!first) out.append(separator);
    first = false;
    out.append(item);
  }
  return out;
}

// ---- Markdown code fences ------------------------------------------------------------------
//
// Models asked for plain text sometimes wrap it in a fence ("```sql\nSELECT 1\n```"). Two
// readings serve two kinds of answer, and they differ on purpose:
// - a document (JSON) is unwrapped only when the whole answer is one fenced block, so a "```"
//   inside one of its strings never cuts it;
// - a query is taken from the first fenced block wherever it stands, so chatty text around the
//   block ("Here is the query: ...") is dropped.

// When the text, trimmed of `blanks`, opens with "```", closes with "```" and holds a line
// break, the part between the end of the opening line and the closing fence (unchanged, line
// breaks included); otherwise the trimmed text.
constexpr std::string_view unwrap_fenced_document(std::string_view s,
                                                  std::string_view blanks = kAsciiSpace) noexcept {
  const std::string_view t = trim(s, blanks);
  if (t.size() < 6 || !t.starts_with("```") || !t.ends_with("```")) return t;
  const std::size_t newline = t.find('\n');
  if (newline == std::string_view::npos) return t;
  return t.substr(newline + 1, t.size() - 3 - newline - 1);
}

// The first fenced block of a text.
struct FencedBlock {
  // What follows the opening fence on its line ("sql", "json", ""), as it stands; empty when the
  // block has no line break after its opening fence (then the whole block is `body`).
  std::string_view info;
  bool has_info_line = false;  // whether the opening fence ended its line
  // From after the opening line (or fence) up to the closing fence, or to the end of the text
  // when the block is never closed.
  std::string_view body;
  bool closed = false;
};

// The first block opened by "```" anywhere in the text; nullopt when there is no fence.
constexpr std::optional<FencedBlock> first_fenced_block(std::string_view s) noexcept {
  const std::size_t open = s.find("```");
  if (open == std::string_view::npos) return std::nullopt;
  FencedBlock block;
  std::string_view rest = s.substr(open + 3);
  if (const std::size_t line_end = rest.find('\n'); line_end != std::string_view::npos) {
    block.info = rest.substr(0, line_end);
    block.has_info_line = true;
    rest.remove_prefix(line_end + 1);
  }
  if (const std::size_t close = rest.find("```"); close != std::string_view::npos) {
    rest = rest.substr(0, close);
    block.closed = true;
  }
  block.body = rest;
  return block;
}

}  // namespace text
