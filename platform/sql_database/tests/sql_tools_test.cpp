#include "sql_database/sql_tools.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_support/test_database.hpp"

namespace sql_database {
namespace {

using ::testing::StartsWith;

TEST(SqlTools, InfoResolvesQuotedAndCasedNames) {
  std::string skip;
  auto db = test_support::make_test_database("sqlite", skip);
  db->exec_all({"CREATE TABLE Orders (id INTEGER)", "CREATE TABLE orders_archive (id INTEGER)",
                "CREATE TABLE \"Mixed\" (x)", "CREATE TABLE mixed2 (x)"});
  const InfoSQLDatabaseTool info(db->open());
  const std::string orders = info._run("Orders");
  EXPECT_THAT(orders, StartsWith("CREATE TABLE Orders"));
  EXPECT_EQ(info._run("orders"), orders);
  EXPECT_EQ(info._run("\"Orders\""), orders);
  EXPECT_EQ(info._run("`orders`"), orders);
  EXPECT_EQ(info._run("[Orders]"), orders);
  EXPECT_THAT(info._run("order"), StartsWith("Unknown table: order. Valid table names: Mixed, "
                                             "Orders, mixed2, orders_archive."));
}

}  // namespace
}  // namespace sql_database
