// askdb graph [--mermaid | --png FILE]: the question-answering graph, drawn.
#include <CLI/CLI.hpp>
#include <iostream>

#include "answer_graph/answer_graph.hpp"
#include "cli.hpp"

namespace askdb_cli {
namespace {

struct GraphOptions {
  bool mermaid = false;
  std::string png;
  std::string db;
};

}  // namespace

void add_graph_command(CLI::App& app, int& exit_code) {
  auto options = std::make_shared<GraphOptions>();
  CLI::App* graph = app.add_subcommand("graph", "Draw the question-answering graph");
  auto* mermaid = graph->add_flag("--mermaid", options->mermaid, "Print the Mermaid diagram");
  graph->add_option("--png", options->png, "Render the diagram to a PNG file")->excludes(mermaid);
  graph->add_option("--db", options->db, "Database the graph is built for (default: the demo)");
  graph->callback([options, &exit_code] {
    // Drawing never calls a model: placeholder settings are enough to build the graph.
    const state_graph::Value unused{{"provider", "openai_compatible"},
                                    {"base_url", "http://127.0.0.1:9/v1"},
                                    {"model", "unused"}};
    auto db = open_database(options->db);
    answer_graph::AnswerGraph g(db, chat_model::AzureOpenAIChat35(unused),
                                chat_model::AzureOpenAIChat4(unused));
    if (options->mermaid) {
      std::cout << g.draw_mermaid();
    } else if (!options->png.empty()) {
      try {
        g.visualize_graph("png", options->png);
      } catch (const std::exception& e) {
        throw CommandError(kServiceFailure, e.what());
      }
      std::cerr << "askdb: wrote " << options->png << "\n";
    } else {
      g.visualize_graph("ascii");
    }
    exit_code = kAnswered;
  });
}

}  // namespace askdb_cli
