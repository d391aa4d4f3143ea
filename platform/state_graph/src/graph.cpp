#include "state_graph/graph.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <unordered_map>

#include "text/text.hpp"

namespace state_graph {

namespace {

constexpr int kEnd = -1;

thread_local const NodeScope* t_node_scope = nullptr;

// Publishes the node a thread runs for the length of the call, restoring the outer scope after.
class ScopeGuard {
 public:
  explicit ScopeGuard(const NodeScope* scope) : saved_(t_node_scope) { t_node_scope = scope; }
  ~ScopeGuard() { t_node_scope = saved_; }
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;

 private:
  const NodeScope* saved_;
};

std::string join_names(const std::vector<std::string>& names) { return text::join(names, ", "); }

}  // namespace

const NodeScope* current_node_scope() noexcept { return t_node_scope; }

struct CompiledGraph::Impl {
  struct Conditional {
    Router router;
    std::vector<std::pair<std::string, int>> labels;
  };
  std::shared_ptr<const RecordSchema> schema;
  Topology topology;
  std::vector<NodeFn> nodes;  // by registration index
  int entry = 0;
  std::vector<std::vector<int>> plain;                 // per node: targets, kEnd for END
  std::vector<std::vector<Conditional>> conditionals;  // per node
};

struct StateGraph::Builder {
  std::shared_ptr<const RecordSchema> schema;
  std::vector<std::string> names;
  std::vector<NodeFn> nodes;
  std::unordered_map<std::string, int> index;
  std::optional<std::string> entry;
  std::vector<std::pair<std::string, std::string>> edges;
  struct Conditional {
    std::string source;
    Router router;
    std::vector<std::pair<std::string, std::string>> labels;
  };
  std::vector<Conditional> conditionals;
};

StateGraph::StateGraph(RecordSchema schema)
    : StateGraph(std::make_shared<const RecordSchema>(std::move(schema))) {}

StateGraph::StateGraph(std::shared_ptr<const RecordSchema> schema)
    : builder_(std::make_unique<Builder>()) {
  if (!schema) throw GraphBuildError("StateGraph needs a record declaration");
  builder_->schema = std::move(schema);
}

StateGraph::~StateGraph() = default;
StateGraph::StateGraph(StateGraph&&) noexcept = default;
StateGraph& StateGraph::operator=(StateGraph&&) noexcept = default;

StateGraph& StateGraph::add_node(const std::string& name, NodeFn node) {
  if (name.empty() || name == END)
    throw GraphBuildError("a node needs a name other than the empty text and '" + std::string(END) +
                          "'");
  if (!node) throw GraphBuildError("node '" + name + "' has no callable");
  if (builder_->index.count(name)) throw GraphBuildError("node '" + name + "' is already added");
  builder_->index.emplace(name, static_cast<int>(builder_->names.size()));
  builder_->names.push_back(name);
  builder_->nodes.push_back(std::move(node));
  return *this;
}

StateGraph& StateGraph::add_node(const std::string& name, std::shared_ptr<Runnable> node) {
  if (!node) throw GraphBuildError("node '" + name + "' has no object");
  return add_node(name, NodeFn([node](const State& state) { return node->invoke(state); }));
}

StateGraph& StateGraph::set_entry_point(const std::string& name) {
  builder_->entry = name;
  return *this;
}

StateGraph& StateGraph::add_edge(const std::string& source, const std::string& target) {
  builder_->edges.emplace_back(source, target);
  return *this;
}

StateGraph& StateGraph::add_conditional_edges(
    const std::string& source, Router router,
    std::vector<std::pair<std::string, std::string>> label_map) {
  if (!router) throw GraphBuildError("conditional edges of '" + source + "' have no router");
  builder_->conditionals.push_back({source, std::move(router), std::move(label_map)});
  return *this;
}

CompiledGraph StateGraph::compile() const {
  const Builder& b = *builder_;
  auto impl = std::make_shared<CompiledGraph::Impl>();
  impl->schema = b.schema;
  impl->nodes = b.nodes;
  impl->plain.resize(b.nodes.size());
  impl->conditionals.resize(b.nodes.size());

  auto known = join_names(b.names);
  auto node_index = [&](const std::string& name, const std::string& role) {
    auto it = b.index.find(name);
    if (it == b.index.end())
      throw GraphBuildError(role + " names unknown node '" + name +
                            "'; known nodes: " + (known.empty() ? "(none)" : known));
    return it->second;
  };
  auto target_index = [&](const std::string& name, const std::string& role) {
    return name == END ? kEnd : node_index(name, role);
  };

  if (!b.entry) throw GraphBuildError("the graph has no entry point: call set_entry_point");
  impl->entry = node_index(*b.entry, "the entry point");
  for (const auto& [source, target] : b.edges) {
    const int s = node_index(source, "an edge source");
    impl->plain[s].push_back(target_index(target, "the edge from '" + source + "'"));
  }
  for (const auto& c : b.conditionals) {
    const int s = node_index(c.source, "a conditional edge source");
    CompiledGraph::Impl::Conditional out{c.router, {}};
    for (const auto& [label, target] : c.labels)
      out.labels.emplace_back(label,
                              target_index(target, "label '" + label + "' of '" + c.source + "'"));
    impl->conditionals[s].push_back(std::move(out));
  }

  impl->topology.nodes = b.names;
  impl->topology.entry_point = *b.entry;
  impl->topology.edges = b.edges;
  for (const auto& c : b.conditionals)
    impl->topology.conditional_edges.push_back({c.source, c.labels});
  return CompiledGraph(std::move(impl));
}

CompiledGraph::CompiledGraph(std::shared_ptr<const Impl> impl) : impl_(std::move(impl)) {}

const Topology& CompiledGraph::topology() const { return impl_->topology; }
const RecordSchema& CompiledGraph::schema() const { return *impl_->schema; }

State CompiledGraph::invoke(const Value& input, const RunnableConfig& config,
                            RunObserver* observer) const {
  const Impl& g = *impl_;
  if (config.recursion_limit < 1)
    throw std::invalid_argument("recursion_limit must be at least 1, got " +
                                std::to_string(config.recursion_limit));
  if (config.max_concurrency && *config.max_concurrency < 1)
    throw std::invalid_argument("max_concurrency must be at least 1 or absent, got " +
                                std::to_string(*config.max_concurrency));
  if (!input.is_object())
    throw std::invalid_argument(std::string("the run's input must be a map from field names to "
                                            "values, got ") +
                                input.type_name());

  State state(g.schema);
  state.merge(Update(input));

  std::mutex observer_mutex;
  auto notify = [&](auto&& fn) {
    if (!observer) return;
    std::lock_guard lock(observer_mutex);
    fn();
  };

  std::vector<int> current{g.entry};
  int step = 0;
  while (!current.empty()) {
    if (step >= config.recursion_limit) {
      std::vector<std::string> pending;
      for (int i : current) pending.push_back(g.topology.nodes[i]);
      throw GraphRecursionError("graph run reached the recursion limit of " +
                                std::to_string(config.recursion_limit) +
                                " steps with nodes still to run (" + join_names(pending) +
                                "); raise RunnableConfig::recursion_limit if the run needs more "
                                "steps, or check the graph for a loop that never ends");
    }
    ++step;

    std::vector<Update> updates(current.size());
    std::vector<std::exception_ptr> errors(current.size());
    auto run_one = [&](size_t k) {
      const std::string& name = g.topology.nodes[current[k]];
      notify([&] { observer->on_node_start(step, name); });
      const auto start = std::chrono::steady_clock::now();
      const NodeScope scope{&name, step, observer};
      ScopeGuard guard(&scope);
      try {
        updates[k] = g.nodes[current[k]](state);
      } catch (...) {
        errors[k] = std::current_exception();
        return;
      }
      const auto elapsed = std::chrono::steady_clock::now() - start;
      notify([&] { observer->on_node_end(step, name, elapsed, updates[k]); });
    };

    if (current.size() == 1) {
      run_one(0);
    } else {
      const size_t workers = std::min(
          current.size(),
          config.max_concurrency ? static_cast<size_t>(*config.max_concurrency) : current.size());
      std::atomic<size_t> next{0};
      auto drain = [&] {
        for (size_t k = next++; k < current.size(); k = next++) run_one(k);
      };
      std::vector<std::thread> threads;
      threads.reserve(workers - 1);
      for (size_t w = 1; w < workers; ++w) threads.emplace_back(drain);
      drain();
      for (auto& t : threads) t.join();
    }
    for (auto& e : errors)
      if (e) std::rethrow_exception(e);

    // Updates merge in registration order of their nodes, whatever order they finished in.
    for (auto& u : updates) state.merge(u);

    std::vector<char> named(g.nodes.size(), 0);
    for (int i : current) {
      for (int t : g.plain[i])
        if (t != kEnd) named[t] = 1;
      for (const auto& c : g.conditionals[i]) {
        const std::string label = c.router(state);
        auto it = std::find_if(c.labels.begin(), c.labels.end(),
                               [&](const auto& l) { return l.first == label; });
        if (it == c.labels.end()) {
          std::vector<std::string> labels;
          for (const auto& l : c.labels) labels.push_back("'" + l.first + "'");
          throw GraphBuildError("router of node '" + g.topology.nodes[i] + "' returned label '" +
                                label + "', which its label map does not hold; its labels are " +
                                join_names(labels));
        }
        if (it->second != kEnd) named[it->second] = 1;
      }
    }
    notify([&] { observer->on_step_end(step, state); });
    current.clear();
    for (size_t i = 0; i < named.size(); ++i)
      if (named[i]) current.push_back(static_cast<int>(i));
  }
  return state;
}

}  // namespace state_graph
