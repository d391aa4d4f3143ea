#pragma once

#include <string>
#include <string_view>
#include <vector>

// The word forms the picker compares: lower case, plurals folded to the singular.

namespace table_picker::detail {

// "orders" -> "order", "categories" -> "category", "boxes" -> "box", "status" stays.
std::string fold_word(std::string_view lower_word);

// The folded words of an identifier, split at non-alphanumeric characters, lower-to-upper case
// changes ("OrderItems") and letter/digit boundaries; words of digits only are left out.
std::vector<std::string> identifier_words(std::string_view identifier);

// The folded words of a question, as identifier_words, without common function words ("how",
// "many", "the", ...). In question order, repeats kept.
std::vector<std::string> question_words(std::string_view question);

}  // namespace table_picker::detail
