#include "prompt_template/python_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace {

using prompt_template::python_repr;
using prompt_template::python_str;
using state_graph::Value;

struct ReprCase {
  Value value;
  std::string repr;  // what Python 3.11's repr() shows for the same value
};

TEST(PythonText, ReprMatchesPython) {
  const std::vector<ReprCase> cases = {
      {nullptr, "None"},
      {true, "True"},
      {false, "False"},
      {0, "0"},
      {-7, "-7"},
      {std::numeric_limits<std::int64_t>::min(), "-9223372036854775808"},
      {std::numeric_limits<std::uint64_t>::max(), "18446744073709551615"},
      {2.5, "2.5"},
      {1.0, "1.0"},
      {-0.0, "-0.0"},
      {0.1, "0.1"},
      {1e16, "1e+16"},
      {1e15, "1000000000000000.0"},
      {9999999999999998.0, "9999999999999998.0"},
      {1e-05, "1e-05"},
      {0.0001, "0.0001"},
      {0.000123, "0.000123"},
      {1.5e-7, "1.5e-07"},
      {123456789.123, "123456789.123"},
      {123456789012345678.0, "1.2345678901234568e+17"},
      {1.7976931348623157e308, "1.7976931348623157e+308"},
      {5e-324, "5e-324"},
      {1e100, "1e+100"},
      {-2.75e-10, "-2.75e-10"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {"a", "'a'"},
      {"it's", "\"it's\""},
      {"say \"hi\"", "'say \"hi\"'"},
      {"both ' and \"", "'both \\' and \"'"},
      {"back\\slash", "'back\\\\slash'"},
      {"nl\ntab\tcr\r", "'nl\\ntab\\tcr\\r'"},
      {std::string("\x01\x7f\0", 3), "'\\x01\\x7f\\x00'"},
      {"\xc3\xa9", "'\xc3\xa9'"},                  // é stays
      {"\xc2\xa0", "'\\xa0'"},                     // no-break space is escaped
      {"\xc2\x85", "'\\x85'"},                     // C1 control
      {"\xe2\x80\x8b", "'\\u200b'"},               // zero-width space (format character)
      {"\xe2\x80\xa8", "'\\u2028'"},               // line separator
      {"\xf0\x9f\x98\x80", "'\xf0\x9f\x98\x80'"},  // emoji stays
      {Value::array(), "[]"},
      {Value::object(), "{}"},
      {Value::parse(R"([1, "a", null, true, [2.0], {"k": "v"}])"),
       "[1, 'a', None, True, [2.0], {'k': 'v'}]"},
      {Value::parse(R"({"b": 1, "a": ["x'y"]})"), "{'b': 1, 'a': [\"x'y\"]}"},
      {Value::binary({'a', '\'', 'b', 0x00, 0xff}), "b\"a'b\\x00\\xff\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(python_repr(c.value), c.repr) << "value " << c.value.dump();
  }
}

TEST(PythonText, StrShowsTopLevelStringsBareAndEverythingElseAsRepr) {
  EXPECT_EQ(python_str("it's \"x\"\n"), "it's \"x\"\n");
  EXPECT_EQ(python_str(""), "");
  EXPECT_EQ(python_str(nullptr), "None");
  EXPECT_EQ(python_str(3.0), "3.0");
  // Strings inside containers are quoted as Python quotes them.
  EXPECT_EQ(python_str(Value::parse(R"([["q1", "e1"], ["q2", null]])")),
            "[['q1', 'e1'], ['q2', None]]");
}

TEST(PythonText, InvalidUtf8BytesPassThrough) {
  EXPECT_EQ(python_repr(std::string("a\xff\xc3z")), "'a\xff\xc3z'");
}

}  // namespace
