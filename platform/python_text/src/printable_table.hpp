#pragma once

#include <cstddef>

namespace python_text::detail {

// A closed range of code points.
struct CodePointRange {
  char32_t lo;
  char32_t hi;
};

// The code points Python's str.isprintable() rejects, as sorted, disjoint ranges
// (printable_table.cpp, generated from the embedded interpreter's own Unicode database).
extern const CodePointRange kNotPrintable[];
extern const std::size_t kNotPrintableCount;
// The interpreter and Unicode versions the table was generated with.
extern const char kPrintableTableSource[];

}  // namespace python_text::detail
