#include "state_graph/graph.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>

namespace state_graph {
namespace {

RecordSchema schema() {
  return RecordSchema("Trace", {{"visits", MergeRule::append},
                                {"count", MergeRule::add},
                                {"flag", MergeRule::replace},
                                {"a_out", MergeRule::replace},
                                {"b_out", MergeRule::replace}});
}

NodeFn visit(const std::string& name) {
  return [name](const State&) { return Update(Value{{"visits", {name}}}); };
}

TEST(Graph, RunsLinearAndConditionalRoutes) {
  StateGraph g(schema());
  g.add_node("start", visit("start"));
  g.add_node("loop", [](const State&) {
    return Update(Value{{"visits", {"loop"}}, {"count", 1}});
  });
  g.add_node("done", visit("done"));
  g.set_entry_point("start");
  g.add_edge("start", "loop");
  g.add_conditional_edges(
      "loop", [](const State& s) { return s.get("count").get<int>() < 3 ? "again" : "stop"; },
      {{"again", "loop"}, {"stop", "done"}});
  g.add_edge("done", END);
  auto compiled = g.compile();
  State result = compiled.invoke(Value::object());
  EXPECT_EQ(result.get("visits"), (Value{"start", "loop", "loop", "loop", "done"}));
  EXPECT_EQ(result.get("count"), 3);

  // Runs are independent: a second run does not see the first one's record.
  State again = compiled.invoke(Value{{"count", 1}});
  EXPECT_EQ(again.get("visits"), (Value{"start", "loop", "loop", "done"}));
}

TEST(Graph, CompileErrorsNameTheProblem) {
  struct Case {
    const char* what;
    std::function<void(StateGraph&)> build;
    const char* message_part;
  };
  std::vector<Case> cases = {
      {"no entry point", [](StateGraph&) {}, "no entry point"},
      {"unknown entry", [](StateGraph& g) { g.set_entry_point("nope"); }, "'nope'"},
      {"unknown edge target",
       [](StateGraph& g) {
         g.set_entry_point("a");
         g.add_edge("a", "ghost");
       },
       "'ghost'"},
      {"unknown edge source",
       [](StateGraph& g) {
         g.set_entry_point("a");
         g.add_edge("phantom", "a");
       },
       "'phantom'"},
      {"unknown label target",
       [](StateGraph& g) {
         g.set_entry_point("a");
         g.add_conditional_edges("a", [](const State&) { return "x"; }, {{"x", "missing"}});
       },
       "'missing'"},
  };
  for (auto& c : cases) {
    StateGraph g(schema());
    g.add_node("a", visit("a"));
    c.build(g);
    try {
      (void)g.compile();
      ADD_FAILURE() << c.what << ": compiled";
    } catch (const GraphBuildError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
  StateGraph g(schema());
  g.add_node("a", visit("a"));
  EXPECT_THROW(g.add_node("a", visit("a")), GraphBuildError);
  EXPECT_THROW(g.add_node(END, visit("x")), GraphBuildError);
}

TEST(Graph, RouterLabelOutsideItsMapFailsTheRun) {
  StateGraph g(schema());
  g.add_node("a", visit("a"));
  g.set_entry_point("a");
  g.add_conditional_edges("a", [](const State&) { return "elsewhere"; }, {{"here", END}});
  try {
    g.compile().invoke(Value::object());
    FAIL();
  } catch (const GraphBuildError& e) {
    EXPECT_NE(std::string(e.what()).find("'elsewhere'"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("'here'"), std::string::npos) << e.what();
  }
}

TEST(Graph, RejectsBadInput) {
  StateGraph g(schema());
  g.add_node("a", visit("a"));
  g.set_entry_point("a");
  auto compiled = g.compile();
  EXPECT_THROW(compiled.invoke(Value::array()), std::invalid_argument);
  try {
    compiled.invoke(Value{{"count", 1}, {"colour", "red"}, {"size", 2}});
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("'colour', 'size'"), std::string::npos) << e.what();
  }
}

TEST(Graph, RecursionLimitCountsSteps) {
  StateGraph g(schema());
  g.add_node("spin", [](const State&) { return Update(Value{{"count", 1}}); });
  g.set_entry_point("spin");
  g.add_conditional_edges(
      "spin", [](const State& s) { return s.get("count").get<int>() < 10 ? "more" : "stop"; },
      {{"more", "spin"}, {"stop", END}});
  auto compiled = g.compile();
  RunnableConfig config;
  config.recursion_limit = 10;
  EXPECT_EQ(compiled.invoke(Value::object(), config).get("count"), 10);  // exactly 10 steps
  config.recursion_limit = 9;
  try {
    compiled.invoke(Value::object(), config);
    FAIL();
  } catch (const GraphRecursionError& e) {
    const std::string msg = e.what();
    EXPECT_NE(msg.find("recursion limit of 9"), std::string::npos) << msg;
    EXPECT_NE(msg.find("recursion_limit"), std::string::npos) << msg;
  }
}

TEST(Graph, NodeErrorsPropagateUnchanged) {
  struct Custom : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  StateGraph g(schema());
  g.add_node("a", [](const State&) -> Update { throw Custom("boom"); });
  g.add_node("r", visit("r"));
  g.set_entry_point("r");
  g.add_edge("r", "a");
  EXPECT_THROW(g.compile().invoke(Value::object()), Custom);
}

// Two nodes named by one step run at the same time, merge in registration order, and the node
// they both lead to runs once.
TEST(Graph, TwoNodeStepRunsConcurrently) {
  std::mutex m;
  std::condition_variable cv;
  int arrived = 0;
  std::set<std::thread::id> threads;
  auto rendezvous = [&](const std::string& name, const std::string& field) {
    return [&, name, field](const State&) {
      std::unique_lock lock(m);
      threads.insert(std::this_thread::get_id());
      ++arrived;
      cv.notify_all();
      // Only returns when both are inside at once; a sequential engine would time out here.
      const bool both = cv.wait_for(lock, std::chrono::seconds(10), [&] { return arrived == 2; });
      return Update(Value{{"visits", {name}}, {field, both}});
    };
  };
  StateGraph g(schema());
  g.add_node("fork", visit("fork"));
  g.add_node("left", rendezvous("left", "a_out"));
  g.add_node("right", rendezvous("right", "b_out"));
  g.add_node("join", visit("join"));
  g.set_entry_point("fork");
  g.add_edge("fork", "right");
  g.add_edge("fork", "left");
  g.add_edge("left", "join");
  g.add_edge("right", "join");
  State result = g.compile().invoke(Value::object());
  EXPECT_TRUE(result.get("a_out").get<bool>());
  EXPECT_TRUE(result.get("b_out").get<bool>());
  EXPECT_EQ(result.get("visits"), (Value{"fork", "left", "right", "join"}));
  EXPECT_EQ(threads.size(), 2u);
}

TEST(Graph, MaxConcurrencyOneRunsAStepOnTheCallingThread) {
  std::atomic<int> inside{0}, peak{0};
  std::set<std::thread::id> threads;
  std::mutex m;
  auto node = [&](const std::string& name) {
    return [&, name](const State&) {
      peak = std::max(peak.load(), ++inside);
      {
        std::lock_guard lock(m);
        threads.insert(std::this_thread::get_id());
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      --inside;
      return Update(Value{{"visits", {name}}});
    };
  };
  StateGraph g(schema());
  g.add_node("fork", node("fork"));
  for (const char* n : {"n1", "n2", "n3"}) {
    g.add_node(n, node(n));
    g.add_edge("fork", n);
  }
  g.set_entry_point("fork");
  RunnableConfig config;
  config.max_concurrency = 1;
  State result = g.compile().invoke(Value::object(), config);
  EXPECT_EQ(peak.load(), 1);
  EXPECT_EQ(threads, std::set<std::thread::id>{std::this_thread::get_id()});
  EXPECT_EQ(result.get("visits"), (Value{"fork", "n1", "n2", "n3"}));
}

TEST(Graph, ObserverSeesNodesAndSteps) {
  struct Recorder : RunObserver {
    std::vector<std::string> events;
    void on_node_start(int step, const std::string& node) override {
      events.push_back(std::to_string(step) + " start " + node);
    }
    void on_node_end(int step, const std::string& node, std::chrono::nanoseconds elapsed,
                     const Update& update) override {
      EXPECT_GE(elapsed.count(), 0);
      events.push_back(std::to_string(step) + " end " + node + " " + update.values.dump());
    }
    void on_step_end(int step, const State& state) override {
      events.push_back(std::to_string(step) + " step " + state.get("visits").dump());
    }
  } recorder;
  StateGraph g(schema());
  g.add_node("a", visit("a"));
  g.add_node("b", visit("b"));
  g.set_entry_point("a");
  g.add_edge("a", "b");
  g.add_edge("b", END);
  g.compile().invoke(Value::object(), {}, &recorder);
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"1 start a", R"(1 end a {"visits":["a"]})", R"(1 step ["a"])",
                                      "2 start b", R"(2 end b {"visits":["b"]})",
                                      R"(2 step ["a","b"])"}));
}

TEST(Graph, NodeScopeNamesTheNodeAndRunOnEveryThread) {
  RunObserver observer;
  std::mutex m;
  std::vector<std::string> seen;
  auto node = [&](const std::string& name) {
    return [&, name](const State&) {
      const NodeScope* scope = current_node_scope();
      std::lock_guard lock(m);
      if (!scope) {
        seen.push_back(name + ": no scope");
      } else {
        seen.push_back(*scope->node + " step " + std::to_string(scope->step) +
                       (scope->observer == &observer ? " observed" : " other"));
      }
      return Update(Value{{"visits", {name}}});
    };
  };
  StateGraph g(schema());
  g.add_node("fork", node("fork"));
  g.add_node("left", node("left"));
  g.add_node("right", node("right"));
  g.set_entry_point("fork");
  g.add_edge("fork", "left");
  g.add_edge("fork", "right");
  EXPECT_EQ(current_node_scope(), nullptr);
  g.compile().invoke(Value::object(), {}, &observer);
  EXPECT_EQ(current_node_scope(), nullptr);
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"fork step 1 observed", "left step 2 observed",
                                            "right step 2 observed"}));
}

TEST(Graph, CompiledGraphServesSeveralThreads) {
  StateGraph g(schema());
  g.add_node("inc", [](const State&) { return Update(Value{{"count", 1}}); });
  g.set_entry_point("inc");
  g.add_conditional_edges(
      "inc", [](const State& s) { return s.get("count").get<int>() < 20 ? "more" : "stop"; },
      {{"more", "inc"}, {"stop", END}});
  const auto compiled = g.compile();
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i)
        if (compiled.invoke(Value::object()).get("count") == 20) ++good;
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(good.load(), 400);
}

}  // namespace
}  // namespace state_graph
