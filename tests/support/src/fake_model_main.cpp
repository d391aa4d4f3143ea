// A scripted model as a program, for trying askdb by hand and for measurements without a model
// service: answers every question with the script given as a JSON file
//   {"sql": ["SELECT ..."], "code": ["print(...)"], "rewritten_question": "..."}
// prints the OpenAI-compatible base URL on its first line and serves until it is killed.
//
//   build/bin/askdb-fake-model script.json [delay_ms]
#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_support/fake_chat_server.hpp"
#include "test_support/scripted_model.hpp"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: askdb-fake-model SCRIPT.json [DELAY_MS]\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  const auto script_json = state_graph::Value::parse(in, nullptr, false);
  if (script_json.is_discarded() || !script_json.is_object()) {
    std::cerr << "askdb-fake-model: " << argv[1] << " is not a JSON object\n";
    return 2;
  }
  test_support::FakeChatServer server;
  test_support::ScriptedModel model(server);
  test_support::ScriptedModel::Script script;
  if (script_json.contains("sql")) script.sql = script_json["sql"].get<std::vector<std::string>>();
  if (script_json.contains("code"))
    script.code = script_json["code"].get<std::vector<std::string>>();
  if (script_json.contains("rewritten_question"))
    script.rewritten_question = script_json["rewritten_question"];
  model.set_default(script);
  if (argc > 2) model.set_delay(std::chrono::milliseconds(std::stoi(argv[2])));
  std::cout << server.openai_base_url() << std::endl;
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  int signal_number = 0;
  sigwait(&set, &signal_number);
  return 0;
}
