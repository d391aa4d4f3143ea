#include "test_support/scripted_model.hpp"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <string_view>
#include <thread>

#include "text/text.hpp"

namespace test_support {
namespace {

std::string between(const std::string& text, const std::string& open, const std::string& close) {
  const auto start = text.find(open);
  if (start == std::string::npos) return "";
  const auto from = start + open.size();
  const auto end = text.find(close, from);
  return end == std::string::npos ? "" : text.substr(from, end - from);
}

std::string trim(std::string_view s) { return std::string(text::trim(s, " \n\t")); }

std::string all_content(const RecordedRequest& request) {
  std::string text;
  for (const auto& m : request.messages()) {
    if (m.contains("content") && m["content"].is_string()) text += m["content"].get<std::string>();
    text += "\n";
  }
  return text;
}

Value default_final_answer(const RecordedRequest& request) {
  const std::string prompt = request.last_message_content();
  std::string output = between(prompt, "Python executed result: ", "\nUse the above result");
  while (!output.empty() && output.back() == '\n') output.pop_back();
  // A chart is named by an absolute path in what the code printed.
  std::string image;
  const auto png = output.find(".png");
  if (png != std::string::npos) {
    auto start = output.rfind(' ', png);
    start = start == std::string::npos ? 0 : start + 1;
    const auto line = output.rfind('\n', png);
    if (line != std::string::npos && line + 1 > start) start = line + 1;
    if (output[start] == '/') image = output.substr(start, png + 4 - start);
  }
  return Value{{"final_response", "Answer: " + output}, {"image_path", image}};
}

}  // namespace

ScriptedModel::ScriptedModel(FakeChatServer& server) {
  server.set_responder([this](const RecordedRequest& request) { return answer(request); });
}

void ScriptedModel::set_default(Script script) {
  std::lock_guard lock(mutex_);
  default_script_ = std::move(script);
}

void ScriptedModel::set_script(const std::string& question, Script script) {
  std::lock_guard lock(mutex_);
  scripts_[question] = std::move(script);
}

void ScriptedModel::set_delay(std::chrono::milliseconds delay) {
  std::lock_guard lock(mutex_);
  delay_ = delay;
}

std::map<std::string, int> ScriptedModel::calls_by_schema() const {
  std::lock_guard lock(mutex_);
  return calls_;
}

int ScriptedModel::total_calls() const {
  std::lock_guard lock(mutex_);
  int total = 0;
  for (const auto& [schema, n] : calls_) total += n;
  return total;
}

std::string ScriptedModel::question_of(const RecordedRequest& request) {
  const std::string text = all_content(request);
  for (const auto& [open, close] : std::vector<std::pair<std::string, std::string>>{
           {"<user_question>", "</user_question>"},
           {"<original_question>", "</original_question>"},
           {"User question: ", "\nSQL query: "},
           {"The user asked the following question:\n", "\n\n"}}) {
    const std::string q = trim(between(text, open, close));
    if (!q.empty()) return q;
  }
  // The first SQL prompt: the question, then "\n Schemas_from_relevant_tables: ".
  const auto messages = request.messages();
  for (const auto& m : messages) {
    if (!m.contains("content") || !m["content"].is_string()) continue;
    const std::string content = m["content"];
    const auto pos = content.find("\n Schemas_from_relevant_tables: ");
    if (pos != std::string::npos) return trim(content.substr(0, pos));
  }
  return "";
}

Reply ScriptedModel::answer(const RecordedRequest& request) {
  const std::string schema = request.schema_name();
  const std::string question = question_of(request);
  Script script;
  int attempt = 0;
  std::chrono::milliseconds delay{0};
  {
    std::lock_guard lock(mutex_);
    auto it = scripts_.find(question);
    script = it != scripts_.end() ? it->second : default_script_;
    attempt = attempts_[question + "\x1f" + schema]++;
    ++calls_[schema];
    delay = delay_;
  }
  if (delay.count() > 0) std::this_thread::sleep_for(delay);
  auto pick = [&](const std::vector<std::string>& answers) {
    if (answers.empty()) return std::string();
    return answers[std::min<std::size_t>(static_cast<std::size_t>(attempt), answers.size() - 1)];
  };
  Value value;
  if (schema == "SQLQueryInput") {
    value = Value{{"sql_query", pick(script.sql)}};
  } else if (schema == "CheckedSQLQuery") {
    // The reviewer gives the query back unchanged: it follows the last "Query:\n".
    const std::string prompt = request.last_message_content();
    const auto pos = prompt.rfind("Query:\n");
    value = Value{{"sql_query", pos == std::string::npos ? "" : prompt.substr(pos + 7)}};
  } else if (schema == "PythonCodeInput") {
    value = Value{{"code", pick(script.code)}};
  } else if (schema == "GenerationOutput") {
    value = script.final_answer ? script.final_answer(request) : default_final_answer(request);
  } else if (schema == "RewriteQueryOutput") {
    value = Value{{"rewritten_question", script.rewritten_question}};
  } else if (schema.find("RelevantTables") != std::string::npos ||
             schema.find("relevant_tables") != std::string::npos) {
    value = Value{{"relevant_tables", script.relevant_tables}};
  } else if (schema == "askdb_doctor_check") {
    value = Value{{"ok", true}};
  } else {
    return Reply::error(400, "unscripted_schema",
                        "the scripted model has no answer for '" + schema + "'");
  }
  return Reply::json_answer(value);
}

}  // namespace test_support
