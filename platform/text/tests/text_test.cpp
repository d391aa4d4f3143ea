#include "text/text.hpp"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace std::string_view_literals;

TEST(Text, TrimRemovesOnlyTheGivenCharactersAtTheEnds) {
  struct Case {
    std::string_view in;
    std::string_view chars;
    std::string_view both, start, end;
  };
  const Case cases[] = {
      {"  a b  ", text::kAsciiSpace, "a b", "a b  ", "  a b"},
      {"\t\n\v\f\r x \r\f\v\n\t", text::kAsciiSpace, "x", "x \r\f\v\n\t", "\t\n\v\f\r x"},
      {"", text::kAsciiSpace, "", "", ""},
      {" \n\t ", text::kAsciiSpace, "", "", ""},
      {"\xc2\xa0x\xc2\xa0", text::kAsciiSpace, "\xc2\xa0x\xc2\xa0", "\xc2\xa0x\xc2\xa0",
       "\xc2\xa0x\xc2\xa0"},  // no-break space is not ASCII blank
      {"\fx\f", " \t\n\r", "\fx\f", "\fx\f", "\fx\f"},
      {"SELECT 1;; ", " ;", "SELECT 1", "SELECT 1;; ", "SELECT 1"},
      {"https://h//", "/", "https://h", "https://h//", "https://h"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::trim(c.in, c.chars), c.both) << "[" << c.in << "]";
    EXPECT_EQ(text::trim_start(c.in, c.chars), c.start) << "[" << c.in << "]";
    EXPECT_EQ(text::trim_end(c.in, c.chars), c.end) << "[" << c.in << "]";
  }
}

TEST(Text, AsciiCaseLeavesOtherBytesAlone) {
  EXPECT_EQ(text::ascii_lower("SeLeCt Ä_1@[`{"), "select Ä_1@[`{");
  EXPECT_EQ(text::ascii_upper("SeLeCt ä_1@[`{"), "SELECT ä_1@[`{");
  EXPECT_EQ(text::ascii_lower(""), "");
  // Every byte outside the letters keeps its value.
  for (int b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    const bool upper = c >= 'A' && c <= 'Z', lower = c >= 'a' && c <= 'z';
    EXPECT_EQ(text::ascii_lower(std::string(1, c))[0], upper ? c + 32 : c) << b;
    EXPECT_EQ(text::ascii_upper(std::string(1, c))[0], lower ? c - 32 : c) << b;
  }
}

TEST(Text, SplitKeepsEveryPieceAndJoinRebuildsTheText) {
  struct Case {
    std::string_view in;
    std::vector<std::string_view> pieces;
  };
  const Case cases[] = {
      {"a,b,c", {"a", "b", "c"}},
      {"a,,b", {"a", "", "b"}},
      {",a,", {"", "a", ""}},
      {"", {""}},
      {",", {"", ""}},
      {"no separator", {"no separator"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(text::split(c.in, ','), c.pieces) << c.in;
    EXPECT_EQ(text::join(text::split(c.in, ','), ","), c.in);
  }
  EXPECT_EQ(text::join(std::vector<std::string>{"orders", "customers"}, ", "), "orders, customers");
  EXPECT_EQ(text::join(std::vector<std::string>{}, ", "), "");
  EXPECT_EQ(text::join(std::array<const char*, 3>{"a", "b", "c"}, " | "), "a | b | c");
}

TEST(Text, AFencedDocumentIsUnwrappedOnlyWhenTheWholeTextIsTheBlock) {
  struct Case {
    std::string_view in;
    std::string_view out;
  };
  const Case cases[] = {
      {"```json\n{\"a\": 1}\n```", "{\"a\": 1}\n"},
      {"  \n```\n{}\n```\n ", "{}\n"},
      {"```json\n{\"s\": \"```\"}\n```", "{\"s\": \"```\"}\n"},  // a fence inside a string
      {"{\"s\": \"```x```\"}", "{\"s\": \"```x```\"}"},          // not fenced at all
      {"Here: ```json\n{}\n```", "Here: ```json\n{}\n```"},      // text before the block
      {"```json\n{}\n``` done", "```json\n{}\n``` done"},        // text after the block
      {"```{}```", "```{}```"},                                  // no line break
      {"``````", "``````"},
      {"```\n```", ""},
      {" {} ", "{}"},
  };
  for (const auto& c : cases) EXPECT_EQ(text::unwrap_fenced_document(c.in), c.out) << c.in;
  // The blanks trimmed first are the caller's.
  EXPECT_EQ(text::unwrap_fenced_document("\f```\n{}\n```", " \t\r\n"), "\f```\n{}\n```");
}

TEST(Text, TheFirstFencedBlockIsFoundAnywhere) {
  struct Case {
    std::string_view in;
    bool found;
    std::string_view info;
    bool has_info_line;
    std::string_view body;
    bool closed;
  };
  const Case cases[] = {
      {"```sql\nSELECT 1\n```", true, "sql", true, "SELECT 1\n", true},
      {"Use this:\n```\nSELECT 2\n```\nand ```sql\nSELECT 3\n```", true, "", true, "SELECT 2\n",
       true},
      {"```sql SELECT 1```", true, "", false, "sql SELECT 1", true},
      {"```sql\nSELECT 1", true, "sql", true, "SELECT 1", false},
      {"```", true, "", false, "", false},
      {"SELECT 1", false, "", false, "", false},
  };
  for (const auto& c : cases) {
    const auto block = text::first_fenced_block(c.in);
    ASSERT_EQ(block.has_value(), c.found) << c.in;
    if (!block) continue;
    EXPECT_EQ(block->info, c.info) << c.in;
    EXPECT_EQ(block->has_info_line, c.has_info_line) << c.in;
    EXPECT_EQ(block->body, c.body) << c.in;
    EXPECT_EQ(block->closed, c.closed) << c.in;
  }
}

}  // namespace
