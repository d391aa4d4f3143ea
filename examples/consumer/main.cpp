// Builds the question-answering graph over a SQLite file and prints its diagram and tables: proof
// that the installed headers, libraries and package config are complete.
#include <iostream>

#include "answer_graph/answer_graph.hpp"
#include "sql_database/sql_tools.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: askdb_consumer sqlite:///path.db\n";
    return 2;
  }
  auto db = sql_database::CustomSQLDatabase::from_uri(argv[1]);
  // No model is called: drawing the graph only needs settings that name one.
  const state_graph::Value settings{
      {"provider", "openai_compatible"}, {"base_url", "http://127.0.0.1:9/v1"}, {"model", "m"}};
  answer_graph::AnswerGraph graph(db, chat_model::AzureOpenAIChat35(settings),
                                  chat_model::AzureOpenAIChat4(settings));
  std::cout << graph.draw_mermaid();
  std::cout << "tables: " << sql_database::ListSQLDatabaseTool(db)._run() << "\n";
  return 0;
}
