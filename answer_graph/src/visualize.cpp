// Drawings of the compiled topology: ASCII for a terminal, Mermaid text, and a PNG rendered by
// Graphviz inside the process (no network), all from the one node and edge list the compiled
// graph keeps.
#include <graphviz/cgraph.h>
#include <graphviz/gvc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "answer_graph/answer_graph.hpp"

namespace answer_graph {
namespace {

constexpr const char* kStart = "__start__";

struct GvcDeleter {
  void operator()(GVC_t* gvc) const { gvFreeContext(gvc); }
};
struct GraphDeleter {
  void operator()(Agraph_t* graph) const { agclose(graph); }
};
struct RenderDataDeleter {
  void operator()(char* data) const { gvFreeRenderData(data); }
};
using GvcPtr = std::unique_ptr<GVC_t, GvcDeleter>;
using GraphPtr = std::unique_ptr<Agraph_t, GraphDeleter>;
using RenderDataPtr = std::unique_ptr<char, RenderDataDeleter>;

std::string box(const std::string& name) {
  const std::string rule = "+" + std::string(name.size() + 2, '-') + "+";
  return rule + "\n| " + name + " |\n" + rule + "\n";
}

std::string dot_quote(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string target_name(const std::string& target) {
  return target == state_graph::END ? std::string("__end__") : target;
}

std::string dot_text(const state_graph::Topology& t) {
  std::string dot =
      "digraph answer_graph {\n"
      "  graph [rankdir=TB, fontname=\"Helvetica\", nodesep=0.4, ranksep=0.45];\n"
      "  node [shape=box, style=\"rounded,filled\", fillcolor=\"#eef2ff\", color=\"#4f5d95\", "
      "fontname=\"Helvetica\", fontsize=11];\n"
      "  edge [color=\"#4f5d95\", fontname=\"Helvetica\", fontsize=9];\n";
  dot += "  " + dot_quote(kStart) + " [shape=oval, fillcolor=\"#d9f2d9\", label=\"start\"];\n";
  dot += "  \"__end__\" [shape=oval, fillcolor=\"#f2d9d9\", label=\"end\"];\n";
  for (const auto& node : t.nodes) dot += "  " + dot_quote(node) + ";\n";
  dot += "  " + dot_quote(kStart) + " -> " + dot_quote(t.entry_point) + ";\n";
  for (const auto& [source, target] : t.edges) {
    dot += "  " + dot_quote(source) + " -> " + dot_quote(target_name(target)) + ";\n";
  }
  for (const auto& c : t.conditional_edges) {
    for (const auto& [label, target] : c.labels) {
      dot += "  " + dot_quote(c.source) + " -> " + dot_quote(target_name(target)) +
             " [style=dashed, label=" + dot_quote(label) + "];\n";
    }
  }
  return dot + "}\n";
}

// Graphviz keeps global state (its error reporting, plugin loading); one render at a time.
std::mutex& graphviz_mutex() {
  static std::mutex mutex;
  return mutex;
}

}  // namespace

std::string AnswerGraph::draw_ascii() const {
  const auto& t = compiled_graph_->topology();
  std::string out = box("start");
  out += "  |--> " + t.entry_point + "\n\n";
  for (const auto& node : t.nodes) {
    out += box(node);
    for (const auto& [source, target] : t.edges) {
      if (source == node) out += "  |--> " + target_name(target) + "\n";
    }
    for (const auto& c : t.conditional_edges) {
      if (c.source != node) continue;
      for (const auto& [label, target] : c.labels) {
        out += "  |.. " + label + " ..> " + target_name(target) + "\n";
      }
    }
    out += "\n";
  }
  out += box("__end__");
  return out;
}

std::string AnswerGraph::draw_mermaid() const {
  const auto& t = compiled_graph_->topology();
  std::string out = "flowchart TD\n";
  out += "    __start__([start])\n";
  for (const auto& node : t.nodes) out += "    " + node + "[" + node + "]\n";
  out += "    __end__([end])\n";
  out += "    __start__ --> " + t.entry_point + "\n";
  for (const auto& [source, target] : t.edges) {
    out += "    " + source + " --> " + target_name(target) + "\n";
  }
  for (const auto& c : t.conditional_edges) {
    for (const auto& [label, target] : c.labels) {
      out += "    " + c.source + " -. " + label + " .-> " + target_name(target) + "\n";
    }
  }
  return out;
}

std::string AnswerGraph::draw_png() const {
  const std::string dot = dot_text(compiled_graph_->topology());
  std::lock_guard lock(graphviz_mutex());
  GvcPtr gvc(gvContext());
  if (!gvc) throw std::runtime_error("graph drawing: Graphviz could not start");
  GraphPtr graph(agmemread(dot.c_str()));
  if (!graph) throw std::runtime_error("graph drawing: Graphviz could not read the diagram");
  if (gvLayout(gvc.get(), graph.get(), "dot") != 0) {
    throw std::runtime_error(
        "graph drawing: Graphviz layout 'dot' failed (is its plugin installed?)");
  }
  char* raw = nullptr;
  unsigned int length = 0;
  const int rc = gvRenderData(gvc.get(), graph.get(), "png", &raw, &length);
  RenderDataPtr data(raw);
  gvFreeLayout(gvc.get(), graph.get());
  if (rc != 0 || !raw || length == 0) {
    throw std::runtime_error(
        "graph drawing: Graphviz could not render PNG (its cairo or gd plugin may be missing)");
  }
  return std::string(raw, length);
}

void AnswerGraph::visualize_graph(const Value& visualization_type,
                                  const Value& save_graph_path) const {
  if (!visualization_type.is_string()) {
    throw std::invalid_argument(std::string("visualize_graph: visualization_type must be a text, "
                                            "got ") +
                                visualization_type.type_name());
  }
  if (!save_graph_path.is_string()) {
    throw std::invalid_argument(
        std::string("visualize_graph: save_graph_path must be a text, got ") +
        save_graph_path.type_name());
  }
  if (visualization_type.get<std::string>() == "ascii") {
    std::cout << draw_ascii() << std::flush;
    return;
  }
  const std::string png = draw_png();
  const auto path = save_graph_path.get<std::string>();
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) {
    throw std::runtime_error("visualize_graph: cannot write '" + path +
                             "': " + std::strerror(errno));
  }
  out.write(png.data(), static_cast<std::streamsize>(png.size()));
  out.close();
  if (!out) throw std::runtime_error("visualize_graph: writing '" + path + "' failed");
}

}  // namespace answer_graph
