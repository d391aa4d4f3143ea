// The page of askdb serve in headless Chromium, driven through Selenium: a question asked with
// the keyboard, answered by the real server and graph against the scripted model.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include "serve_fixture.hpp"

namespace serve_test {
namespace {

constexpr const char* kRevenueSql =
    "SELECT c.name, ROUND(SUM(oi.quantity * oi.unit_price), 2) AS revenue FROM order_items oi "
    "JOIN products p ON p.product_id = oi.product_id JOIN categories c ON c.category_id = "
    "p.category_id GROUP BY c.name ORDER BY revenue DESC LIMIT 3";

class ServeBrowser : public ServeFixture {};

TEST_F(ServeBrowser, AsksAQuestionAndShowsTheAnswerSqlRowsAndChart) {
  for (const char* needed : {"/usr/bin/chromium", "/usr/bin/chromedriver"}) {
    if (!fs::exists(needed)) {
      GTEST_SKIP() << needed << " is missing: scripts/setup installs chromium, chromium-driver "
                   << "and python3-selenium";
    }
  }
  // What the page must show, from the database itself: the top category's name. The analysis
  // code charts the rows the query gives, as a model's code would.
  auto db = sql_database::CustomSQLDatabase::from_uri("sqlite:///" + db_path_.string());
  const std::string rows = db.run(kRevenueSql);
  const auto open = rows.find("('");
  ASSERT_NE(open, std::string::npos) << rows;
  const std::string top_category = rows.substr(open + 2, rows.find('\'', open + 2) - open - 2);

  ScriptedModel::Script script;
  script.sql = {kRevenueSql};
  script.code = {plot_code(top_category + " earned the most", rows)};
  model_.set_default(script);
  auto server = serve();

  const Value expectations{{"question", "Which product category earned the most?"},
                           {"answer", "Answer: " + top_category + " earned the most"},
                           {"sql", kRevenueSql},
                           {"row_cell", top_category},
                           {"row_count", 3},
                           {"code_contains", "plt.savefig(path)"}};
  test_support::ProcessOptions options;
  options.env = {{"HOME", dir_.string()}};
  options.timeout = std::chrono::seconds(300);
  const auto r =
      test_support::run_process({"/usr/bin/python3", ASKDB_SERVE_BROWSER_SCRIPT, server->url(),
                                 expectations.dump(), ASKDB_TEST_ARTIFACTS},
                                options);
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_THAT(r.out, testing::HasSubstr("browser checks passed"));
  EXPECT_TRUE(fs::exists(fs::path(ASKDB_TEST_ARTIFACTS) / "serve-page.png"));

  // The page asked through the API exactly once.
  EXPECT_EQ(model_.calls_by_schema()["SQLQueryInput"], 1);

  server->process().signal(SIGTERM);
  EXPECT_EQ(server->process().wait().exit_code, 0);
}

}  // namespace
}  // namespace serve_test
