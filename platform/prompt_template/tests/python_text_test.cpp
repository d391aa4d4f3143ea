// Record values reach prompts as Python shows them, so the expectations here are computed by the
// interpreter the system embeds (/usr/bin/python3), run as a child process.

#include "prompt_template/python_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "python_text/python_text.hpp"
#include "test_support/python.hpp"

namespace {

using prompt_template::python_repr;
using prompt_template::python_str;
using state_graph::Value;

using test_support::from_hex;
using test_support::to_hex;

std::vector<std::string> hex_lines(const std::string& output) {
  std::vector<std::string> lines;
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);) lines.push_back(from_hex(line));
  return lines;
}

std::string utf8(char32_t cp) {
  std::string out;
  python_text::append_utf8(out, cp);
  return out;
}

// Values as JSON can carry them: Python reads each with json.loads and shows its str() and repr().
TEST(PythonText, StrAndReprMatchPython) {
  const std::vector<Value> values = {
      nullptr,
      true,
      false,
      0,
      -7,
      std::numeric_limits<std::int64_t>::min(),
      std::numeric_limits<std::uint64_t>::max(),
      2.5,
      1.0,
      -0.0,
      0.1,
      1e16,
      1e15,
      9999999999999998.0,
      1e-05,
      0.0001,
      0.000123,
      1.5e-7,
      123456789.123,
      123456789012345678.0,
      1.7976931348623157e308,
      5e-324,
      1e100,
      -2.75e-10,
      "",
      "a",
      "it's",
      "say \"hi\"",
      "both ' and \"",
      "back\\slash",
      "nl\ntab\tcr\r",
      std::string("\x01\x1f\x7f\0", 4),
      "\xc3\xa9 \xe4\xb8\xad\xe6\x96\x87 \xf0\x9f\x98\x80",  // é 中文 emoji
      "e\xcc\x81",                                           // combining accent
      "\xc2\xa0\xc2\x85\xc2\xad",                            // no-break space, C1, soft hyphen
      "\xe2\x80\x8b\xe2\x80\x8e\xe2\x80\xa8\xe2\x80\xa9",    // format characters, separators
      "\xe2\x81\xa5",                                        // U+2065, unassigned
      "\xef\xbf\xb0",                                        // U+FFF0, unassigned
      "\xcd\xb8",                                            // U+0378, unassigned
      "\xef\xbb\xbf\xef\xbf\xbe\xef\xbf\xbf",                // BOM, noncharacters
      "\xe3\x80\x80",                                        // ideographic space
      "\xee\x80\x80\xf3\xb0\x80\x80",                        // private use
      "\xf3\xa0\x80\x81\xf0\x9d\x85\xb3",                    // tag and musical format characters
      "\xf0\xb1\x8d\x90",                                    // U+31350, newer than Python's tables
      "\xf4\x8f\xbf\xbf",                                    // U+10FFFF
      Value::array(),
      Value::object(),
      Value::parse(R"([1, "a", null, true, [2.0], {"k": "v"}])"),
      Value::parse(R"({"b": 1, "a": ["x'y"], "\u2065": "\ufff0"})"),
      Value::parse(R"([["q1", "e1"], ["q2", null]])"),
  };
  std::string input;
  for (const auto& v : values) input += v.dump(-1, ' ', true) + "\n";
  const auto lines =
      hex_lines(test_support::run_python("import json, sys\n"
                                         "for line in sys.stdin.read().split('\\n')[:-1]:\n"
                                         "    v = json.loads(line)\n"
                                         "    print(str(v).encode().hex())\n"
                                         "    print(repr(v).encode().hex())\n",
                                         input));
  ASSERT_EQ(lines.size(), 2 * values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    EXPECT_EQ(python_str(values[i]), lines[2 * i]) << "value " << values[i].dump();
    EXPECT_EQ(python_repr(values[i]), lines[2 * i + 1]) << "value " << values[i].dump();
  }
}

// Every code point as a one-character string (surrogates have no UTF-8 form).
TEST(PythonText, EveryCharacterIsQuotedAsPythonQuotesIt) {
  const auto expected =
      hex_lines(test_support::run_python("for c in range(0x110000):\n"
                                         "    if not 0xD800 <= c <= 0xDFFF:\n"
                                         "        print(repr(chr(c)).encode().hex())\n"));
  std::size_t line = 0, mismatches = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    ASSERT_LT(line, expected.size());
    const std::string ours = python_repr(utf8(cp));
    if (ours != expected[line++] && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << std::uppercase << static_cast<unsigned>(cp) << ": ours "
                    << to_hex(ours) << ", Python's " << to_hex(expected[line - 1]);
    }
  }
  EXPECT_EQ(line, expected.size());
  EXPECT_EQ(mismatches, 0u);
}

// What JSON cannot carry to Python: non-finite floats, bytes, text that is not UTF-8.
TEST(PythonText, ValuesOutsideJson) {
  const std::pair<Value, std::string> cases[] = {
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {Value::array({1.0, std::numeric_limits<double>::quiet_NaN()}), "[1.0, nan]"},
      {Value::binary({'a', '\'', 'b', 0x00, 0xff}), "b\"a'b\\x00\\xff\""},
  };
  for (const auto& [value, repr] : cases) {
    EXPECT_EQ(python_repr(value), repr);
    EXPECT_EQ(python_str(value), repr);
  }
  // Bytes that are not UTF-8 were never text: they pass through rather than become escapes.
  EXPECT_EQ(python_repr(std::string("a\xff\xc3z")), "'a\xff\xc3z'");
  EXPECT_EQ(python_str(std::string("a\xff\xc3z")), "a\xff\xc3z");
}

}  // namespace
