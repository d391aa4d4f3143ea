// The demo database is built from the committed seed text by the library.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "sql_database/custom_sql_database.hpp"
#include "sql_database/sql_tools.hpp"
#include "test_support/environment.hpp"
#include "test_support/process.hpp"
#include "test_support/python.hpp"

namespace sql_database {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

std::string read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class DemoDatabase : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    path_ =
        new fs::path(fs::path(::testing::TempDir()) / (test_support::unique_name("demo_") + ".db"));
    create_database_from_sql(path_->string(), read(ASKDB_DEMO_SEED));
  }
  static void TearDownTestSuite() {
    fs::remove(*path_);
    delete path_;
  }
  static CustomSQLDatabase open() {
    return CustomSQLDatabase::from_uri("sqlite:///" + path_->string());
  }
  static fs::path* path_;
};
fs::path* DemoDatabase::path_ = nullptr;

TEST_F(DemoDatabase, HasTheShopTablesAndAView) {
  const auto db = open();
  EXPECT_EQ(ListSQLDatabaseTool(db)._run(),
            "categories, customers, order_items, order_totals, orders, products");
  const std::string info = InfoSQLDatabaseTool(db)._run("orders,order_items");
  EXPECT_THAT(info, HasSubstr("REFERENCES customers (customer_id)"));
  EXPECT_THAT(info, HasSubstr("3 sample rows from order_items"));
}

TEST_F(DemoDatabase, HoldsAFewHundredOrdersOverTwoYearsWithNullsAndDecimals) {
  const auto db = open();
  EXPECT_EQ(
      db.run("SELECT COUNT(*), MIN(order_date) >= '2023-01-01', MAX(order_date) <= '2024-12-31', "
             "COUNT(DISTINCT substr(order_date, 1, 4)) FROM orders"),
      "[(420, 1, 1, 2)]");
  // NULLs where a shop has them, and prices with cents.
  const std::string nulls = db.run(
      "SELECT (SELECT COUNT(*) FROM customers WHERE email IS NULL) > 0, "
      "(SELECT COUNT(*) FROM orders WHERE shipped_date IS NULL) > 0, "
      "(SELECT COUNT(*) FROM products WHERE weight_kg IS NULL) > 0, "
      "(SELECT COUNT(*) FROM categories WHERE parent_id IS NULL) > 0, "
      "(SELECT COUNT(*) FROM products WHERE unit_price != CAST(unit_price AS INTEGER)) > 0");
  EXPECT_EQ(nulls, "[(1, 1, 1, 1, 1)]");
  // Every foreign key points at a row.
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM order_items i LEFT JOIN orders o USING (order_id) "
                   "LEFT JOIN products p USING (product_id) "
                   "WHERE o.order_id IS NULL OR p.product_id IS NULL"),
            "[(0,)]");
  EXPECT_EQ(db.run("SELECT COUNT(*) FROM orders WHERE order_id NOT IN "
                   "(SELECT order_id FROM order_items)"),
            "[(0,)]");
  EXPECT_EQ(db.run("SELECT COUNT(*) = (SELECT COUNT(*) FROM orders) FROM order_totals"), "[(1,)]");
}

TEST_F(DemoDatabase, TheSeedIsWhatTheGeneratorWrites) {
  const fs::path seed(ASKDB_DEMO_SEED);
  EXPECT_LT(fs::file_size(seed), 1000000u);
  const test_support::ProcessResult generated = test_support::run_process(
      {test_support::kSystemPython, "-I", (seed.parent_path() / "make_seed.py").string()});
  ASSERT_EQ(generated.exit_code, 0) << generated.err;
  EXPECT_TRUE(generated.out == read(seed)) << "seed.sql differs from what make_seed.py writes";
}

}  // namespace
}  // namespace sql_database
