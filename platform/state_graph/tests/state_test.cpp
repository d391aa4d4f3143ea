#include "state_graph/state.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace state_graph {
namespace {

std::shared_ptr<const RecordSchema> small_schema() {
  return std::make_shared<const RecordSchema>(
      "Small", std::vector<FieldSpec>{{"question", MergeRule::replace},
                                      {"queries", MergeRule::append},
                                      {"count", MergeRule::add},
                                      {"path", MergeRule::replace}});
}

TEST(State, StartingValuesAndMissingFields) {
  State s(small_schema());
  EXPECT_EQ(s.get("queries"), Value::array());
  EXPECT_EQ(s.get("count"), 0);
  EXPECT_FALSE(s.has("question"));
  try {
    (void)s.get("question");
    FAIL() << "expected MissingFieldError";
  } catch (const MissingFieldError& e) {
    EXPECT_EQ(e.field(), "question");
    EXPECT_NE(std::string(e.what()).find("'question'"), std::string::npos);
  }
  EXPECT_THROW((void)s.get("not_declared"), MissingFieldError);
  // Holding null is holding a value.
  s.merge(Value{{"path", nullptr}});
  EXPECT_TRUE(s.get("path").is_null());
  EXPECT_EQ(s.values(), (Value{{"queries", Value::array()}, {"count", 0}, {"path", nullptr}}));
}

TEST(State, MergeRules) {
  State s(small_schema());
  s.merge(Value{{"queries", {"q1"}}, {"count", 4}, {"question", "a"}});
  s.merge(Value{{"queries", {"q2"}}, {"count", 1}, {"question", "b"}});
  EXPECT_EQ(s.get("queries"), (Value{"q1", "q2"}));
  EXPECT_EQ(s.get("count"), 5);
  EXPECT_EQ(s.get("question"), "b");

  s.merge(Value::object());
  s.merge(Value{{"count", 0}, {"queries", Value::array()}});
  EXPECT_EQ(s.get("count"), 5) << "adding 0 changes nothing";
  EXPECT_EQ(s.get("queries").size(), 2u) << "appending [] changes nothing";

  // The same list carried back is appended again; the same counter is added to itself.
  s.merge(Value{{"queries", s.get("queries")}, {"count", s.get("count")}});
  EXPECT_EQ(s.get("queries"), (Value{"q1", "q2", "q1", "q2"}));
  EXPECT_EQ(s.get("count"), 10);
}

TEST(State, OverwriteReplacesAListWholesale) {
  State s(small_schema());
  s.merge(Value{{"queries", {"q1", "q2", "q3"}}, {"count", 2}});
  Update u;
  Value replaced = s.get("queries");
  replaced.back() = "checked";
  u.overwrite("queries", replaced);
  s.merge(u);
  EXPECT_EQ(s.get("queries"), (Value{"q1", "q2", "checked"}));
  EXPECT_EQ(s.get("count"), 2);
}

TEST(State, RejectedUpdatesChangeNothing) {
  struct Case {
    const char* what;
    Update update;
    const char* message_part;
  };
  std::vector<Case> cases = {
      {"unknown keys", Value{{"count", 1}, {"bogus", 1}, {"other", 2}}, "'bogus', 'other'"},
      {"append needs a list", Value{{"count", 1}, {"queries", "q"}}, "needs a list"},
      {"add needs an integer", Value{{"queries", {"q"}}, {"count", 1.5}}, "needs an integer"},
      {"add rejects text", Value{{"count", "1"}}, "needs an integer"},
  };
  for (auto& c : cases) {
    State s(small_schema());
    s.merge(Value{{"count", 3}});
    try {
      s.merge(c.update);
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
          << c.what << ": " << e.what();
    }
    EXPECT_EQ(s.get("count"), 3) << c.what;
    EXPECT_TRUE(s.get("queries").empty()) << c.what;
  }
  EXPECT_THROW(Update(Value::array()), std::invalid_argument);
}

TEST(RecordSchema, RejectsDuplicateFields) {
  EXPECT_THROW(RecordSchema("R", {{"a", MergeRule::add}, {"a", MergeRule::replace}}),
               std::invalid_argument);
}

}  // namespace
}  // namespace state_graph
