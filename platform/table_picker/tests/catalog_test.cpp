#include "table_picker/catalog.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sql_database/custom_sql_database.hpp"
#include "test_support/test_database.hpp"

namespace table_picker {

// For failure messages.
std::ostream& operator<<(std::ostream& out, const TableDescription& t) {
  out << (t.is_view ? "view " : "table ") << t.name << " (";
  for (const auto& c : t.columns) out << c.name << " [" << c.type << "] ";
  out << ")";
  for (const auto& fk : t.foreign_keys) {
    out << " fk(";
    for (const auto& c : fk.columns) out << c << " ";
    out << "-> " << fk.referenced_table << " ";
    for (const auto& c : fk.referenced_columns) out << c << " ";
    out << ")";
  }
  return out;
}

namespace {

void expect_tables(const std::vector<TableDescription>& got,
                   const std::vector<TableDescription>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "table " << i << ": " << got[i]);
    EXPECT_EQ(got[i].name, want[i].name);
    EXPECT_EQ(got[i].is_view, want[i].is_view);
    EXPECT_EQ(got[i].columns, want[i].columns);
    EXPECT_EQ(got[i].foreign_keys, want[i].foreign_keys);
  }
}

TEST(ParseTableDescriptions, StatementFormsOfEachDialect) {
  struct Case {
    const char* what;
    std::string text;
    std::vector<TableDescription> want;
  };
  const std::vector<Case> cases = {
      {"SQLite text as written, with its sample rows",
       "CREATE TABLE orders (\n"
       "  order_id INTEGER PRIMARY KEY,\n"
       "  customer_id INTEGER NOT NULL REFERENCES customers (customer_id),\n"
       "  status TEXT NOT NULL CHECK (status IN ('a', 'b')), -- a comment, (with parens\n"
       "  cost NUMERIC(8, 2) NOT NULL DEFAULT 0,\n"
       "  note\n"
       ")\n\n/*\n2 sample rows from orders (order_id, customer_id, status, cost, note):\n"
       "1\t3\t'a'\t2.50\tNone\n2\t3\t'b*/'\t1\t'CREATE TABLE fake (x INT)'\n*/",
       {{"orders",
         false,
         {{"order_id", "INTEGER"},
          {"customer_id", "INTEGER"},
          {"status", "TEXT"},
          {"cost", "NUMERIC(8, 2)"},
          {"note", ""}},
         {{{"customer_id"}, "customers", {"customer_id"}}}}}},
      {"quoted names with blanks, commas and doubled quotes; composite key",
       "CREATE TABLE IF NOT EXISTS \"order \"\"items\"\", 2024\" (\n"
       "  [line no] INTEGER, `product id` INTEGER, 'qty' REAL,\n"
       "  FOREIGN KEY (\"line no\", `product id`) REFERENCES main.\"lines\" (a, b),\n"
       "  CONSTRAINT pk PRIMARY KEY (\"line no\")\n)",
       {{"order \"items\", 2024",
         false,
         {{"line no", "INTEGER"}, {"product id", "INTEGER"}, {"qty", "REAL"}},
         {{{"line no", "product id"}, "lines", {"a", "b"}}}}}},
      {"PostgreSQL: types in words, identity, constraints after the columns",
       "CREATE TABLE orders (\n"
       "  id integer GENERATED ALWAYS AS IDENTITY NOT NULL,\n"
       "  placed timestamp without time zone DEFAULT now(),\n"
       "  label character varying(20),\n"
       "  customer integer NOT NULL,\n"
       "  CONSTRAINT orders_pkey PRIMARY KEY (id),\n"
       "  CONSTRAINT orders_customer_fkey FOREIGN KEY (customer) REFERENCES "
       "sales.customers(id) ON DELETE CASCADE\n)",
       {{"orders",
         false,
         {{"id", "integer"},
          {"placed", "timestamp without time zone"},
          {"label", "character varying(20)"},
          {"customer", "integer"}},
         {{{"customer"}, "customers", {"id"}}}}}},
      {"MySQL: backquotes, index lines, table options",
       "CREATE TABLE `order_items` (\n"
       "  `id` int NOT NULL AUTO_INCREMENT,\n"
       "  `order_id` int unsigned NOT NULL,\n"
       "  `note` varchar(20) CHARACTER SET utf8mb4 COLLATE utf8mb4_bin DEFAULT NULL,\n"
       "  PRIMARY KEY (`id`),\n"
       "  KEY `order_id` (`order_id`),\n"
       "  CONSTRAINT `order_items_ibfk_1` FOREIGN KEY (`order_id`) REFERENCES `orders` (`id`)\n"
       ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4",
       {{"order_items",
         false,
         {{"id", "int"}, {"order_id", "int unsigned"}, {"note", "varchar(20)"}},
         {{{"order_id"}, "orders", {"id"}}}}}},
      {"views take their columns from the sample rows; indexes and notes are skipped",
       "Unknown table: ordres. Valid table names: orders, totals.\n\n"
       "CREATE INDEX orders_customer ON orders (customer_id);\n"
       "CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`%` SQL SECURITY DEFINER VIEW `totals` AS "
       "select `o`.`id` AS `id`, (1 + 2) AS `t` from `orders` `o`\n\n"
       "/*\n3 sample rows from totals (id, t):\n1\t3\n*/\n\n"
       "CREATE VIEW empty_view AS SELECT 1 AS one\n\n"
       "/*\n0 sample rows from empty_view (one)\n*/\n\n"
       "CREATE VIEW broken AS SELECT x FROM gone\n\n"
       "/*\nNo sample rows from broken: no such table: gone\n*/",
       {{"totals", true, {{"id", ""}, {"t", ""}}, {}},
        {"empty_view", true, {{"one", ""}}, {}},
        {"broken", true, {}, {}}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    expect_tables(parse_table_descriptions(c.text), c.want);
  }
  EXPECT_TRUE(parse_table_descriptions("").empty());
  EXPECT_TRUE(parse_table_descriptions("CREATE TABLE").empty());
  expect_tables(parse_table_descriptions("CREATE TABLE t (a INT, b"),
                {{"t", false, {{"a", "INT"}, {"b", ""}}, {}}});
}

// What the wrapper really writes for each database it speaks.
class RealDescriptions : public testing::TestWithParam<const char*> {};

TEST_P(RealDescriptions, ColumnsTypesAndForeignKeys) {
  std::string skip;
  auto test_db = test_support::make_test_database(GetParam(), skip);
  if (!test_db) GTEST_SKIP() << skip;
  test_db->exec_all({
      "CREATE TABLE customers (customer_id INTEGER PRIMARY KEY, name VARCHAR(50) NOT NULL)",
      "CREATE TABLE orders (order_id INTEGER PRIMARY KEY, customer_id INTEGER NOT NULL, "
      "total NUMERIC(10, 2), FOREIGN KEY (customer_id) REFERENCES customers (customer_id))",
      "CREATE VIEW big_orders AS SELECT order_id, total FROM orders WHERE total > 100",
      "INSERT INTO customers VALUES (1, 'Ann')",
      "INSERT INTO orders VALUES (1, 1, 250.00)",
  });
  const auto db = test_db->open();
  const auto tables = parse_table_descriptions(db.get_table_info());
  const std::string dialect = GetParam();
  // Type names as each database reports them back.
  const std::vector<std::string> types =
      dialect == "postgresql" ? std::vector<std::string>{"integer", "character varying(50)",
                                                         "integer", "integer", "numeric(10,2)"}
      : dialect == "mysql"    ? std::vector<std::string>{"int(11)", "varchar(50)", "int(11)",
                                                         "int(11)", "decimal(10,2)"}
                              : std::vector<std::string>{"INTEGER", "VARCHAR(50)", "INTEGER",
                                                         "INTEGER", "NUMERIC(10, 2)"};
  std::vector<TableDescription> want = {
      {"big_orders", true, {{"order_id", ""}, {"total", ""}}, {}},
      {"customers", false, {{"customer_id", types[0]}, {"name", types[1]}}, {}},
      {"orders",
       false,
       {{"order_id", types[2]}, {"customer_id", types[3]}, {"total", types[4]}},
       {{{"customer_id"}, "customers", {"customer_id"}}}},
  };
  if (dialect == "mysql") {
    // MariaDB and MySQL differ in whether they show display widths; compare without them.
    for (auto& t : want)
      for (auto& c : t.columns)
        if (c.type == "int(11)") c.type = "";
    auto got = tables;
    for (auto& t : got)
      for (auto& c : t.columns)
        if (c.type == "int(11)" || c.type == "int") c.type = "";
    expect_tables(got, want);
  } else {
    expect_tables(tables, want);
  }
}

INSTANTIATE_TEST_SUITE_P(Dialects, RealDescriptions,
                         testing::Values("sqlite", "postgresql", "mysql"));

TEST(CompactSchemaText, WithinAndBeyondTheBudget) {
  TableDescription wide{"wide", false, {}, {}};
  std::string wide_line = "Table wide";
  for (int i = 0; i < 20; ++i) {
    const std::string name = "measurement_" + std::to_string(i);
    wide.columns.push_back({name, "REAL"});
    wide_line += (i == 0 ? ": " : ", ") + name + " REAL";
  }
  const std::vector<TableDescription> tables = {
      {"customers", false, {{"customer_id", "INTEGER"}, {"name", "TEXT"}}, {}},
      {"orders", false, {{"order_id", "INTEGER"}, {"customer_id", "INTEGER"}}, {}},
      {"totals", true, {{"order_id", ""}}, {}},
      wide,
  };
  const std::string first = "Table customers: customer_id INTEGER, name TEXT";
  const std::string three = first +
                            "\nTable orders: order_id INTEGER, customer_id INTEGER"
                            "\nView totals: order_id";
  const std::string whole = three + "\n" + wide_line;
  auto left_out = [](int n) {
    return "... " + std::to_string(n) + (n == 1 ? " more table" : " more tables") +
           " left out to keep this description within the prompt budget.";
  };
  struct Case {
    std::size_t budget;
    std::string want;
  };
  const std::vector<Case> cases = {
      {0, whole},  // no limit
      {whole.size(), whole},
      {whole.size() - 1, three + "\n" + left_out(1)},
      // Room for the first table and the closing line, exactly.
      {first.size() + 1 + left_out(3).size(), first + "\n" + left_out(3)},
      {first.size() + left_out(3).size(), left_out(4)},
      // Not even the closing line fits: as much of it as does.
      {20, left_out(4).substr(0, 20)},
      {1, "."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.budget);
    const std::string text = compact_schema_text(tables, c.budget);
    if (c.budget != 0) {
      EXPECT_LE(text.size(), c.budget);
    }
    EXPECT_EQ(text, c.want);
  }
  EXPECT_EQ(compact_schema_text({}, 10), "");
}

}  // namespace
}  // namespace table_picker
