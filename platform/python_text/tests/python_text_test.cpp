// The texts written here must be exactly what Python shows, so most expectations are computed by
// the interpreter the system embeds (/usr/bin/python3), run as a child process.

#include "python_text/python_text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "test_support/python.hpp"

namespace {

using python_text::InvalidUtf8;
using python_text::NonFinite;

using test_support::from_hex;
using test_support::to_hex;

// Runs a Python program on `input` and returns the lines it writes. Input and output are ASCII
// (texts travel as hex) except where a program writes UTF-8 to sys.stdout.buffer itself.
std::vector<std::string> run_python(const std::string& program, const std::string& input) {
  std::vector<std::string> lines;
  std::istringstream out(test_support::run_python(program, input));
  for (std::string line; std::getline(out, line);) lines.push_back(line);
  return lines;
}

// repr() of each text as Python computes it, the text's bytes decoded as UTF-8 with
// surrogateescape (so invalid bytes become the lone surrogates Python would hold).
std::vector<std::string> python_str_reprs(const std::vector<std::string>& texts) {
  std::string input;
  for (const auto& t : texts) input += to_hex(t) + "\n";
  const auto lines = run_python(
      "import sys\n"
      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
      "    t = bytes.fromhex(line).decode('utf-8', 'surrogateescape')\n"
      "    print(repr(t).encode('utf-8', 'surrogateescape').hex())\n",
      input);
  std::vector<std::string> reprs;
  for (const auto& l : lines) reprs.push_back(from_hex(l));
  return reprs;
}

TEST(PythonText, FloatReprMatchesPython) {
  const std::vector<double> values = {0.0,
                                      -0.0,
                                      1.0,
                                      2.5,
                                      0.1,
                                      -7.25,
                                      100.0,
                                      1e15,
                                      9999999999999998.0,
                                      1e16,
                                      1e22,
                                      1e-05,
                                      1.5e-07,
                                      0.0001,
                                      0.000123,
                                      2.0 / 3.0,
                                      123456789.123,
                                      123456789012345678.0,
                                      1.7976931348623157e308,
                                      5e-324,
                                      -2.75e-10,
                                      1e100};
  std::string input;
  for (double v : values) input += python_text::float_repr(v) + "\n";
  // Python reads each text as a float and shows its repr: equal means the digits are the
  // shortest that read back and the layout is Python's.
  const auto reprs = run_python(
      "import sys\n"
      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
      "    print(repr(float(line)))\n",
      input);
  ASSERT_EQ(reprs.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::string ours = python_text::float_repr(values[i]);
    EXPECT_EQ(ours, reprs[i]);
    EXPECT_EQ(std::strtod(ours.c_str(), nullptr), values[i]) << ours;
  }
}

TEST(PythonText, NonFiniteFloatsInBothSpellings) {
  struct Case {
    double value;
    const char* repr;
    const char* literal;
  };
  const Case cases[] = {
      {std::numeric_limits<double>::quiet_NaN(), "nan", "float('nan')"},
      {-std::numeric_limits<double>::quiet_NaN(), "nan", "float('nan')"},
      {std::numeric_limits<double>::infinity(), "inf", "float('inf')"},
      {-std::numeric_limits<double>::infinity(), "-inf", "-float('inf')"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(python_text::float_repr(c.value), c.repr);
    EXPECT_EQ(python_text::float_repr(c.value, NonFinite::literal), c.literal);
  }
}

// Every code point, against the interpreter's own answer.
TEST(PythonText, PrintableTableIsTheInterpretersForEveryCodePoint) {
  const auto lines = run_python(
      "print(''.join('1' if chr(c).isprintable() else '0' for c in range(0x110000)))\n", "");
  ASSERT_EQ(lines.size(), 1u);
  const std::string& expected = lines[0];
  ASSERT_EQ(expected.size(), 0x110000u);
  std::size_t mismatches = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (python_text::is_printable(cp) != (expected[cp] == '1')) {
      if (++mismatches <= 10)
        ADD_FAILURE() << "code point U+" << std::hex << std::uppercase << static_cast<unsigned>(cp);
    }
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST(PythonText, StrReprMatchesPython) {
  std::vector<std::string> texts = {"",
                                    "plain",
                                    "it's",
                                    "say \"hi\"",
                                    "both ' and \"",
                                    "back\\slash",
                                    "nl\ntab\tcr\r",
                                    std::string("\x00\x01\x1f\x7f", 4),
                                    "Müller\xc2\xa0€",
                                    "中文",
                                    "\xf0\x9f\x98\x80",
                                    "e\xcc\x81",
                                    "\xc2\xad\xe2\x80\x8b\xe2\x80\xa8\xef\xbb\xbf\xe3\x80\x80",
                                    "\xee\x80\x80\xf3\xa0\x80\x81\xf4\x8f\xbf\xbf",
                                    "\xcd\xb8",      // unassigned U+0378
                                    "\xef\xbf\xbe",  // noncharacter U+FFFE
                                    "\xc2\x85"};
  // Invalid UTF-8: a lone byte, a cut sequence, an encoded surrogate, an overlong form, a
  // code point past U+10FFFF.
  const std::vector<std::string> invalid = {
      "a\xff"
      "b",
      "\xe2\x82", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80"};
  texts.insert(texts.end(), invalid.begin(), invalid.end());
  const auto expected = python_str_reprs(texts);
  ASSERT_EQ(expected.size(), texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(python_text::str_repr(texts[i], InvalidUtf8::surrogate_escape), expected[i])
        << "text " << to_hex(texts[i]);
  }
  // Passed through, invalid bytes stay as they are; valid text is written the same either way.
  EXPECT_EQ(python_text::str_repr("a\xff"
                                  "b"),
            "'a\xff"
            "b'");
  EXPECT_EQ(python_text::str_repr("\xed\xa0\x80'"), "\"\xed\xa0\x80'\"");
  for (std::size_t i = 0; i + invalid.size() < texts.size(); ++i)
    EXPECT_EQ(python_text::str_repr(texts[i]), expected[i]);
}

TEST(PythonText, StrBodyStopsAfterTheGivenNumberOfCharacters) {
  struct Case {
    std::string text;
    std::size_t max_chars;
    std::string body;
    std::size_t consumed;
  };
  const Case cases[] = {
      {"abcdef", 3, "abc", 3},
      {"abcdef", 0, "abcdef", 6},
      {"abc", 3, "abc", 3},
      {"abc", 10, "abc", 3},
      {"äöüß", 2, "äö", 4},
      {"\xff\xfe"
       "x",
       2, "\\udcff\\udcfe", 2},
      {"a\nb", 2, "a\\n", 2},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(
        python_text::append_str_body(out, c.text, '\'', InvalidUtf8::surrogate_escape, c.max_chars),
        c.consumed)
        << c.text;
    EXPECT_EQ(out, c.body) << c.text;
  }
}

TEST(PythonText, BytesReprMatchesPython) {
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>(b));
  const std::vector<std::string> values = {all_bytes, "it's", "'\"", "", "\"", "a\\b"};
  std::string input;
  for (const auto& v : values) input += to_hex(v) + "\n";
  const auto expected = run_python(
      "import sys\n"
      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
      "    print(repr(bytes.fromhex(line)))\n",
      input);
  ASSERT_EQ(expected.size(), values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::string ours;
    python_text::append_bytes_repr(ours, values[i]);
    EXPECT_EQ(ours, expected[i]);
  }
}

TEST(PythonText, ListDisplayMatchesPython) {
  const std::vector<std::vector<std::string>> lists = {
      {},
      {"SELECT COUNT(*) FROM orders"},
      {"SELECT 1", "SELECT 2"},
      {"SELECT * FROM t WHERE name = 'x'", "SELECT\n  1\tFROM \"t\"", "Ölçü ✓ \xe2\x80\x8b"},
  };
  std::string input;
  for (const auto& list : lists) {
    std::string line;
    for (const auto& item : list) line += (line.empty() ? "" : ",") + to_hex(item);
    input += line + "\n";
  }
  const auto expected = run_python(
      "import sys\n"
      "for line in sys.stdin.read().split('\\n')[:-1]:\n"
      "    items = [bytes.fromhex(h).decode() for h in line.split(',')] if line else []\n"
      "    sys.stdout.buffer.write(repr(items).encode('utf-8') + b'\\n')\n",
      input);
  ASSERT_EQ(expected.size(), lists.size());
  for (std::size_t i = 0; i < lists.size(); ++i)
    EXPECT_EQ(python_text::str_list_repr(lists[i]), expected[i]);

  // Any item writer: the separators and brackets are the list's.
  std::string out;
  const std::vector<int> numbers = {1, 2, 3};
  python_text::append_list(out, numbers,
                           [](std::string& o, int n) { o += std::to_string(n * 10); });
  EXPECT_EQ(out, "[10, 20, 30]");
}

}  // namespace
