#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "state_graph/export.hpp"
#include "state_graph/state.hpp"
#include "state_graph/value.hpp"

namespace state_graph {

// The end marker: an edge to END names no node.
inline constexpr const char* END = "__end__";

// A run took more steps than its configuration allows.
class STATE_GRAPH_EXPORT GraphRecursionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A graph that cannot be compiled or run as built: unknown node names, no entry point, a router
// label missing from its map. Derives from std::invalid_argument, the caller built it wrongly.
class STATE_GRAPH_EXPORT GraphBuildError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Base of node classes. The graph calls invoke with the step's record and no options; options
// exist so hosts can pass run-specific extras, and node classes of askdb ignore them.
// Implementations must be safe to call from several threads at once if the graph is.
class STATE_GRAPH_EXPORT Runnable {
 public:
  virtual ~Runnable() = default;
  virtual Update invoke(const State& state, const Value& options = {}) = 0;
};

using NodeFn = std::function<Update(const State&)>;
using Router = std::function<std::string(const State&)>;

struct STATE_GRAPH_EXPORT RunnableConfig {
  std::optional<Value> metadata;  // a map, or absent
  std::vector<std::string> tags;
  std::optional<int> max_concurrency;  // absent: no bound on the nodes of one step
  int recursion_limit = 50;            // most steps one run may take
};

// Callbacks of one run, for progress display and tracing. The engine serialises the calls of
// one run, so an observer needs no locking of its own unless it is shared between runs.
class STATE_GRAPH_EXPORT RunObserver {
 public:
  virtual ~RunObserver() = default;
  virtual void on_node_start(int /*step*/, const std::string& /*node*/) {}
  virtual void on_node_end(int /*step*/, const std::string& /*node*/,
                           std::chrono::nanoseconds /*elapsed*/, const Update& /*update*/) {}
  virtual void on_step_end(int /*step*/, const State& /*state*/) {}
};

// What the calling thread is running, while it runs a node of a compiled graph: the node's name,
// its step and the observer the run was started with (null when it has none). Lets code below a
// node (a model client's call hook, say) attribute its work to the run and node it belongs to,
// also when the node runs on one of the engine's worker threads.
struct STATE_GRAPH_EXPORT NodeScope {
  const std::string* node = nullptr;
  int step = 0;
  RunObserver* observer = nullptr;
};
// The scope of the node the calling thread runs, or null outside any node.
STATE_GRAPH_EXPORT const NodeScope* current_node_scope() noexcept;

// The registered topology, as the compiled graph keeps it (also for drawing the graph).
struct STATE_GRAPH_EXPORT Topology {
  struct ConditionalEdges {
    std::string source;
    std::vector<std::pair<std::string, std::string>> labels;  // label -> target, as registered
  };
  std::vector<std::string> nodes;  // registration order
  std::string entry_point;
  std::vector<std::pair<std::string, std::string>> edges;  // source -> target (or END)
  std::vector<ConditionalEdges> conditional_edges;
};

// A compiled graph. Immutable: invoke may be called from several threads at once, each call
// being an independent run (the nodes themselves must then be thread-safe).
class STATE_GRAPH_EXPORT CompiledGraph {
 public:
  // Runs the graph. `input` must be an object whose keys all name fields of the record; it is
  // merged into an empty record by the fields' rules. Returns the record the run ended with.
  // Every node and router exception leaves invoke unchanged; std::invalid_argument for a bad
  // input, GraphRecursionError past config.recursion_limit, GraphBuildError for a router label
  // missing from its map.
  State invoke(const Value& input, const RunnableConfig& config = {},
               RunObserver* observer = nullptr) const;

  const Topology& topology() const;
  const RecordSchema& schema() const;

  struct Impl;
  explicit CompiledGraph(std::shared_ptr<const Impl> impl);

 private:
  std::shared_ptr<const Impl> impl_;
};

// Builder of a state graph over one record declaration. Not thread-safe; build it on one thread,
// then compile. Registration errors (duplicate or reserved node names) throw GraphBuildError at
// once; references to unknown nodes are reported by compile.
class STATE_GRAPH_EXPORT StateGraph {
 public:
  explicit StateGraph(RecordSchema schema);
  explicit StateGraph(std::shared_ptr<const RecordSchema> schema);
  ~StateGraph();
  StateGraph(StateGraph&&) noexcept;
  StateGraph& operator=(StateGraph&&) noexcept;

  StateGraph& add_node(const std::string& name, NodeFn node);
  // The graph keeps the object alive for as long as any graph compiled from it.
  StateGraph& add_node(const std::string& name, std::shared_ptr<Runnable> node);
  StateGraph& set_entry_point(const std::string& name);
  StateGraph& add_edge(const std::string& source, const std::string& target);
  StateGraph& add_conditional_edges(const std::string& source, Router router,
                                    std::vector<std::pair<std::string, std::string>> label_map);

  // Checks the topology and returns an immutable compiled graph. The builder stays usable.
  CompiledGraph compile() const;

 private:
  struct Builder;
  std::unique_ptr<Builder> builder_;
};

}  // namespace state_graph
