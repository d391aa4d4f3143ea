#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "test_support/fake_chat_server.hpp"

namespace test_support {

// Plays the model's side of whole questions on a FakeChatServer: each request is answered by the
// output schema it asks for (SQL generation, the SQL checker, analysis code, the answer, the
// rewrite, table selection), so a test scripts behaviour, not the order of HTTP calls. Answers may
// depend on the question the request is about, which keeps concurrent questions apart.
//
// Thread-safe: the server calls it from several threads.
class ScriptedModel {
 public:
  // What the model writes for one question; `attempt` counts from 0 per question and schema.
  struct Script {
    // SQLQueryInput answers by attempt; the last one repeats.
    std::vector<std::string> sql = {"SELECT 1"};
    // PythonCodeInput answers by attempt; the last one repeats.
    std::vector<std::string> code = {"print('ok')"};
    std::string rewritten_question = "the question, rewritten";
    std::vector<std::string> relevant_tables;
    // The answer: by default "Answer: " followed by the analysis output shown in the prompt,
    // and the first path under the prompt's text that ends in ".png".
    std::function<Value(const RecordedRequest&)> final_answer;
  };

  explicit ScriptedModel(FakeChatServer& server);

  // The script for requests whose question is not scripted on its own.
  void set_default(Script script);
  void set_script(const std::string& question, Script script);
  // Every answer waits this long first (a model's latency).
  void set_delay(std::chrono::milliseconds delay);

  // Requests answered per schema name ("SQLQueryInput", "CheckedSQLQuery", ...).
  std::map<std::string, int> calls_by_schema() const;
  int total_calls() const;

  // The question a request is about, as the prompts of the graph show it ("" when none is found).
  static std::string question_of(const RecordedRequest& request);

 private:
  Reply answer(const RecordedRequest& request);

  mutable std::mutex mutex_;
  Script default_script_;
  std::map<std::string, Script> scripts_;
  std::map<std::string, int> attempts_;  // question + schema -> answers given
  std::map<std::string, int> calls_;
  std::chrono::milliseconds delay_{0};
};

}  // namespace test_support
