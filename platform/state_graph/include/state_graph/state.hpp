#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "state_graph/export.hpp"
#include "state_graph/value.hpp"

namespace state_graph {

// How an update's value for a field is combined with the stored value.
enum class MergeRule {
  replace,  // the update's value takes the stored value's place
  append,   // list concatenation: stored list, then the update's list
  add,      // integer addition
};

struct STATE_GRAPH_EXPORT FieldSpec {
  std::string name;
  MergeRule rule = MergeRule::replace;
};

// Reading a field that holds no value (or that the record does not declare).
class STATE_GRAPH_EXPORT MissingFieldError : public std::runtime_error {
 public:
  explicit MissingFieldError(std::string field);
  const std::string& field() const noexcept { return field_; }

 private:
  std::string field_;
};

// An ordered list of named fields with their merge rules. Immutable once built; safe to share
// between threads.
class STATE_GRAPH_EXPORT RecordSchema {
 public:
  // Throws std::invalid_argument on an empty or duplicate field name.
  RecordSchema(std::string name, std::vector<FieldSpec> fields);

  const std::string& name() const noexcept { return name_; }
  const std::vector<FieldSpec>& fields() const noexcept { return fields_; }
  // Position of the field in declaration order, or -1 when the record does not declare it.
  int index_of(std::string_view field) const noexcept;
  bool declares(std::string_view field) const noexcept { return index_of(field) >= 0; }

 private:
  std::string name_;
  std::vector<FieldSpec> fields_;
};

// A partial update returned by a node. `values` is merged field by field by each field's rule.
// `overwrites` replaces a field wholesale, bypassing its rule: it is the explicit way for a node
// to change a list it was given (for example to replace the last entry of an append list while
// keeping its length). A field may not appear in both.
//
// An Update converts implicitly from a Value object, so nodes can `return Value{{"f", 1}}`;
// a Value that is not an object is rejected with std::invalid_argument.
struct STATE_GRAPH_EXPORT Update {
  Value values = Value::object();
  Value overwrites = Value::object();

  Update() = default;
  Update(Value update_values);  // NOLINT(google-explicit-constructor): an update is a map

  Update& set(std::string field, Value value);
  Update& overwrite(std::string field, Value value);
  bool empty() const noexcept { return values.empty() && overwrites.empty(); }
};

// The record a run carries: one value per declared field that holds a value. Append fields start
// as [], add fields as 0, the rest hold no value until written.
//
// Not synchronised: a State is read by the nodes of one step at the same time, and merged only
// between steps, by the one thread driving the run.
class STATE_GRAPH_EXPORT State {
 public:
  explicit State(std::shared_ptr<const RecordSchema> schema);

  const RecordSchema& schema() const noexcept { return *schema_; }

  // Throws MissingFieldError when the field holds no value or is not declared.
  const Value& get(std::string_view field) const;
  const Value& operator[](std::string_view field) const { return get(field); }
  bool has(std::string_view field) const noexcept;

  // Every field holding a value, in declaration order.
  Value values() const;

  // Merges an update by the fields' rules. Throws std::invalid_argument, changing nothing, when
  // a key names no field, when an append field's value is not a list, or when an add field's
  // value is not an integer.
  void merge(const Update& update);

 private:
  std::shared_ptr<const RecordSchema> schema_;
  // By field index; an empty optional is "holds no value", which differs from holding null.
  std::vector<std::optional<Value>> slots_;
};

}  // namespace state_graph
