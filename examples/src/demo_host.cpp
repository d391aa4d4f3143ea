// A minimal host: builds the demo shop database when it is missing, lists its tables and runs one
// read-only query through the same wrapper the answer graph uses.
//
//   askdb-demo [--db PATH] [--describe TABLE[,TABLE...]] [SQL]
#include <filesystem>
#include <iostream>
#include <string>
#include <string_view>

#include "sql_database/custom_sql_database.hpp"
#include "sql_database/sql_tools.hpp"

std::string_view askdb_demo_seed();

namespace {

constexpr const char* kUsage =
    "usage: askdb-demo [--db PATH] [--describe TABLE[,TABLE...]] [SQL]\n"
    "  --db PATH        the demo database file (default: demo.db); built when missing\n"
    "  --describe LIST  print the CREATE statement and sample rows of these tables\n"
    "  SQL              one read-only statement to run (default: revenue per category)\n";

constexpr const char* kDefaultQuery =
    "SELECT c.name AS category, ROUND(SUM(oi.quantity * oi.unit_price), 2) AS revenue "
    "FROM order_items oi JOIN products p ON p.product_id = oi.product_id "
    "JOIN categories c ON c.category_id = p.category_id "
    "GROUP BY c.name ORDER BY revenue DESC LIMIT 5";

}  // namespace

int main(int argc, char** argv) {
  std::string db_path = "demo.db";
  std::string describe;
  std::string query = kDefaultQuery;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if ((arg == "--db" || arg == "--describe") && i + 1 < argc) {
      (arg == "--db" ? db_path : describe) = argv[++i];
    } else if (arg == "-h" || arg == "--help") {
      std::cout << kUsage;
      return 0;
    } else if (arg.starts_with("-")) {
      std::cerr << "askdb-demo: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else {
      query = arg;
    }
  }
  try {
    if (!std::filesystem::exists(db_path)) {
      std::cerr << "askdb-demo: building the demo database at " << db_path << "\n";
      sql_database::create_database_from_sql(db_path, askdb_demo_seed());
    }
    const auto uri = "sqlite:///" + std::filesystem::absolute(db_path).string();
    auto db = sql_database::CustomSQLDatabase::from_uri(uri);
    std::cout << "tables: " << sql_database::ListSQLDatabaseTool(db)._run() << "\n";
    if (!describe.empty())
      std::cout << "\n" << sql_database::InfoSQLDatabaseTool(db)._run(describe) << "\n";
    std::cout << "\n" << query << "\n" << db.run(query) << "\n";
  } catch (const sql_database::DatabaseError& e) {
    std::cerr << "askdb-demo: the database refused the statement: " << e.what() << "\n";
    return 1;
  } catch (const std::exception& e) {
    std::cerr << "askdb-demo: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
