// The result text is meant to be pasted into Python: these tests hand it to the real Python
// interpreter and require that Python reads it back and shows it exactly as we wrote it.

#include "python_literal.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "result_text.hpp"
#include "test_support/python.hpp"

namespace sql_database {
namespace {

using ::testing::HasSubstr;

// repr(eval(text)) as /usr/bin/python3 computes it, or "ERROR: ..." when it fails. Bytes that
// are not UTF-8 travel as the lone surrogates of surrogateescape, both ways.
std::string python_repr_of(const std::string& text) {
  try {
    return test_support::run_python(
        "import sys, datetime\n"
        "from decimal import Decimal\n"
        "t = sys.stdin.buffer.read().decode('utf-8', 'surrogateescape')\n"
        "sys.stdout.buffer.write(repr(eval(t)).encode('utf-8', 'surrogateescape'))\n",
        text);
  } catch (const std::runtime_error& error) {
    return std::string("ERROR: ") + error.what();
  }
}

std::string str(std::string_view s, std::size_t limit = 0) {
  std::string out;
  literal::append_str(out, s, {limit});
  return out;
}

std::string bytes(std::string_view s) {
  std::string out;
  literal::append_bytes(out, s);
  return out;
}

std::string flt(double v) {
  std::string out;
  literal::append_float(out, v);
  return out;
}

TEST(PythonLiteral, HandWrittenCases) {
  struct Case {
    std::string got, expected;
  };
  const Case cases[] = {
      {str("plain"), "'plain'"},
      {str("it's"), "\"it's\""},
      {str("say \"hi\""), "'say \"hi\"'"},
      {str("it's \"x\""), "'it\\'s \"x\"'"},
      {str("a\\b\n\t\r\x01\x7f"), "'a\\\\b\\n\\t\\r\\x01\\x7f'"},
      {str("Müller\xc2\xa0€"), "'Müller\\xa0€'"},
      {str("\xff"), "'\\udcff'"},
      {str("abcdef", 3), "'abc...[3 more characters not shown]'"},
      {str("äöüß", 2), "'äö...[2 more characters not shown]'"},
      {bytes(std::string("\x00\xff'A\"", 5)), "b'\\x00\\xff\\'A\"'"},
      {bytes("it's"), "b\"it's\""},
      {flt(1.0), "1.0"},
      {flt(-0.0), "-0.0"},
      {flt(0.1), "0.1"},
      {flt(1e16), "1e+16"},
      {flt(1e15), "1000000000000000.0"},
      {flt(1.5e-5), "1.5e-05"},
      {flt(0.0001), "0.0001"},
      {flt(std::nan("")), "float('nan')"},
      {flt(-HUGE_VAL), "-float('inf')"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);

  struct TextCase {
    bool (*append)(std::string&, std::string_view);
    std::string input, expected;  // expected "" when the text must be refused
  };
  const TextCase texts[] = {
      {literal::append_int_text, "-0042", "-42"},
      {literal::append_int_text, "12a", ""},
      {literal::append_decimal_text, "9.50", "Decimal('9.50')"},
      {literal::append_decimal_text, "-.5", "Decimal('-0.5')"},
      {literal::append_decimal_text, "1.2.3", ""},
      {literal::append_date_text, "2024-02-29", "datetime.date(2024, 2, 29)"},
      {literal::append_date_text, "2023-02-29", ""},
      {literal::append_date_text, "0000-00-00", ""},
      {literal::append_datetime_text, "2024-01-31 12:00:00",
       "datetime.datetime(2024, 1, 31, 12, 0)"},
      {literal::append_datetime_text, "2024-01-31 12:00:00.000250",
       "datetime.datetime(2024, 1, 31, 12, 0, 0, 250)"},
      {literal::append_datetime_text, "2024-01-31T12:00:07+05:30",
       "datetime.datetime(2024, 1, 31, 12, 0, 7, "
       "tzinfo=datetime.timezone(datetime.timedelta(seconds=19800)))"},
      {literal::append_datetime_text, "2024-01-31 12:00:00-08",
       "datetime.datetime(2024, 1, 31, 12, 0, "
       "tzinfo=datetime.timezone(datetime.timedelta(days=-1, seconds=57600)))"},
      {literal::append_datetime_text, "2024-01-31 25:00:00", ""},
      {literal::append_time_text, "23:59:59.5", "datetime.time(23, 59, 59, 500000)"},
      {literal::append_duration_text, "838:59:59", "datetime.timedelta(days=34, seconds=82799)"},
      {literal::append_duration_text, "00:00:00", "datetime.timedelta(0)"},
      {literal::append_float_text, "Infinity", "float('inf')"},
      {literal::append_float_text, "1.1", "1.1"},
  };
  for (const auto& t : texts) {
    std::string out;
    const bool ok = t.append(out, t.input);
    EXPECT_EQ(ok, !t.expected.empty()) << t.input;
    EXPECT_EQ(out, t.expected) << t.input;
  }
}

TEST(PythonLiteral, PythonReadsTheTextBackAsTheSameValues) {
  ResultText text({0, 0, 0}, false);
  text.set_columns({"v"});
  const std::vector<std::string> strings = {"",
                                            "plain",
                                            "it's",
                                            "say \"hi\"",
                                            "it's \"both\"",
                                            "back\\slash",
                                            "\n\r\t\x01\x1f\x7f",
                                            "Müller",
                                            "中文",
                                            "😀",
                                            "e\xcc\x81",
                                            "\xc2\xa0",
                                            "\xc2\xad",
                                            "\xe2\x80\x8b",
                                            "\xe2\x80\xa8",
                                            "\xef\xbb\xbf",
                                            "\xee\x80\x80",
                                            "\xc2\x85",
                                            "\xff\xfe",
                                            "\xe2\x82",
                                            "\xed\xa0\x80",
                                            "\xf3\xa0\x80\x81",
                                            "\xe3\x80\x80"};
  for (const auto& s : strings) {
    text.begin_row();
    text.text(s);
    text.end_row();
  }
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes += static_cast<char>(b);
  for (const std::string& b : {all_bytes, std::string("'"), std::string("'\""), std::string()}) {
    text.begin_row();
    text.bytes(b);
    text.end_row();
  }
  for (double d :
       {0.0, -0.0, 1.0, 0.1, 1e16, 1e15, 123456789.123, 1e-5, 0.0001, 5e-324,
        1.7976931348623157e308, -2.5e-10, 100.0, 1e22, 2.0 / 3.0, 1234567890123456789.0}) {
    text.begin_row();
    text.floating(d);
    text.end_row();
  }
  text.begin_row();
  text.integer(std::numeric_limits<std::int64_t>::min());
  text.unsigned_integer(std::numeric_limits<std::uint64_t>::max());
  text.int_text("-0");
  text.boolean(true);
  text.null();
  text.end_row();
  text.begin_row();
  for (const char* d : {"9.50", "-0.001", "NaN", "00012.30", "0"}) text.decimal_text(d);
  text.end_row();
  text.begin_row();
  for (const char* d :
       {"2024-01-31 12:34:56.5", "2024-01-31 00:00:00.000001", "2024-02-29T23:59",
        "2024-01-31 12:00:00+05:30", "2024-01-31 12:00:00-08", "2024-01-31 01:02:03Z"})
    text.datetime_text(d);
  text.date_text("0001-01-01");
  text.time_text("00:00:00");
  text.time_text("23:59:59.999999");
  for (const char* d : {"-838:59:59", "00:00:00", "-00:00:01.5", "00:00:00.000001"})
    text.duration_text(d);
  text.end_row();
  const std::string result = text.finish();
  EXPECT_EQ(python_repr_of(result), result);
}

TEST(PythonLiteral, DictRowsAndCutResultsStillReadBack) {
  ResultText dicts({0, 0, 0}, true);
  dicts.set_columns({"id", "it's", "when"});
  dicts.begin_row();
  dicts.integer(1);
  dicts.text("a");
  dicts.date_text("2024-01-31");
  dicts.end_row();
  const std::string d = dicts.finish();
  EXPECT_EQ(d, "[{'id': 1, \"it's\": 'a', 'when': datetime.date(2024, 1, 31)}]");
  EXPECT_EQ(python_repr_of(d), d);

  // A cut result: the rows are still a literal, the notes are comments.
  ResultText cut({60, 8, 0}, false);
  cut.set_columns({"n", "s"});
  for (int i = 0; i < 10; ++i) {
    if (!cut.wants_values()) {
      cut.skip_row();
      continue;
    }
    cut.begin_row();
    cut.integer(i);
    cut.text("a long text value");
    cut.end_row();
  }
  const std::string c = cut.finish();
  EXPECT_THAT(c, HasSubstr("\n# Result cut: showing 1 of 10 rows (9 rows left out) to stay within "
                           "60 characters.\n# Values longer than 8 characters were cut."))
      << c;
  EXPECT_EQ(cut.rows_written() + cut.rows_left_out(), 10u);
  EXPECT_EQ(python_repr_of(c), c.substr(0, c.find('\n')));
}

TEST(ResultText, EveryRowThatFitsIsWrittenAndTheRestCounted) {
  for (std::size_t limit : {20u, 50u, 200u, 5000u}) {
    ResultText text({limit, 0, 0}, false);
    text.set_columns({"n"});
    for (int i = 0; i < 300; ++i) {
      if (!text.wants_values()) {
        text.skip_row();
        continue;
      }
      text.begin_row();
      text.integer(i);
      text.end_row();
    }
    const std::string out = text.finish();
    const std::string rows = out.substr(0, out.find('\n'));
    EXPECT_GE(text.rows_written(), 1u);
    EXPECT_EQ(text.rows_written() + text.rows_left_out(), 300u);
    if (text.rows_written() > 1) {
      EXPECT_LE(literal::count_chars(rows), limit) << limit;
    }
    // One more row would not have fitted.
    if (text.rows_left_out() > 0) {
      const std::string next = ", (" + std::to_string(text.rows_written()) + ",)";
      EXPECT_GT(rows.size() + next.size(), limit) << limit;
    }
  }
  ResultText empty({100, 0, 0}, false);
  empty.set_columns({"n"});
  EXPECT_EQ(empty.finish(), "");
}

}  // namespace
}  // namespace sql_database
