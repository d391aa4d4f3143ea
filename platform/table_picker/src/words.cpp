#include "words.hpp"

#include <algorithm>
#include <cctype>

namespace table_picker::detail {
namespace {

bool is_alnum(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80;
}
bool is_upper(char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; }
bool is_lower(char c) { return std::islower(static_cast<unsigned char>(c)) != 0; }
bool is_digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

bool is_function_word(std::string_view w) {
  static const char* const kWords[] = {
      "a",     "an",    "the",    "of",    "in",    "on",    "for",    "to",    "by",    "with",
      "from",  "and",   "or",     "is",    "are",   "was",   "were",   "be",    "been",  "what",
      "which", "who",   "whom",   "whose", "how",   "many",  "much",   "show",  "list",  "give",
      "me",    "my",    "our",    "we",    "you",   "i",     "all",    "each",  "every", "per",
      "do",    "does",  "did",    "has",   "have",  "had",   "there",  "their", "that",  "this",
      "these", "those", "it",     "its",   "as",    "at",    "than",   "into",  "about", "get",
      "find",  "tell",  "please", "can",   "could", "would", "should", "any",   "some",  "where",
      "when",  "why",   "not",    "no",    "one",   "more",  "most",   "less",  "least", "between"};
  return std::any_of(std::begin(kWords), std::end(kWords), [&](const char* k) { return w == k; });
}

}  // namespace

std::string fold_word(std::string_view w) {
  std::string s(w);
  if (s.size() <= 3) return s;
  if (s.ends_with("ies")) return s.substr(0, s.size() - 3) + "y";
  if (s.ends_with("sses") || s.ends_with("xes") || s.ends_with("ches") || s.ends_with("shes") ||
      s.ends_with("zzes"))
    return s.substr(0, s.size() - 2);
  if (s.ends_with("ss") || s.ends_with("us") || s.ends_with("is")) return s;
  if (s.ends_with("s")) return s.substr(0, s.size() - 1);
  return s;
}

namespace {

// Lower-case words of an identifier or a text, not yet folded.
std::vector<std::string> split_words(std::string_view id) {
  std::vector<std::string> words;
  std::string current;
  auto flush = [&] {
    const bool digits_only = std::all_of(current.begin(), current.end(), is_digit);
    if (!current.empty() && !digits_only) words.push_back(current);
    current.clear();
  };
  for (std::size_t i = 0; i < id.size(); ++i) {
    const char c = id[i];
    if (!is_alnum(c)) {
      flush();
      continue;
    }
    if (!current.empty()) {
      const char prev = id[i - 1];
      const bool next_lower = i + 1 < id.size() && is_lower(id[i + 1]);
      const bool case_change =
          is_upper(c) &&
          (is_lower(prev) || (is_upper(prev) && next_lower));  // "orderItems", "SQLTable"
      const bool digit_change = is_digit(c) != is_digit(prev);
      if (case_change || digit_change) flush();
    }
    current += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  flush();
  return words;
}

}  // namespace

std::vector<std::string> identifier_words(std::string_view identifier) {
  std::vector<std::string> words = split_words(identifier);
  for (auto& w : words) w = fold_word(w);
  return words;
}

std::vector<std::string> question_words(std::string_view question) {
  std::vector<std::string> words;
  for (auto& w : split_words(question))
    if (!is_function_word(w)) words.push_back(fold_word(w));
  return words;
}

}  // namespace table_picker::detail
