#include "state_graph/state.hpp"

#include <nlohmann/json.hpp>
#include <unordered_set>

namespace state_graph {

MissingFieldError::MissingFieldError(std::string field)
    : std::runtime_error("state field '" + field +
                         "' holds no value: pass it in the run's input or have an earlier node "
                         "write it"),
      field_(std::move(field)) {}

RecordSchema::RecordSchema(std::string name, std::vector<FieldSpec> fields)
    : name_(std::move(name)), fields_(std::move(fields)) {
  std::unordered_set<std::string> seen;
  for (const auto& f : fields_) {
    if (f.name.empty()) throw std::invalid_argument("record '" + name_ + "': empty field name");
    if (!seen.insert(f.name).second)
      throw std::invalid_argument("record '" + name_ + "': field '" + f.name +
                                  "' is declared twice");
  }
}

int RecordSchema::index_of(std::string_view field) const noexcept {
  for (size_t i = 0; i < fields_.size(); ++i)
    if (fields_[i].name == field) return static_cast<int>(i);
  return -1;
}

Update::Update(Value update_values) : values(std::move(update_values)) {
  if (values.is_null()) values = Value::object();
  if (!values.is_object())
    throw std::invalid_argument("an update must be a map from field names to values, got " +
                                std::string(values.type_name()));
}

Update& Update::set(std::string field, Value value) {
  values[std::move(field)] = std::move(value);
  return *this;
}

Update& Update::overwrite(std::string field, Value value) {
  overwrites[std::move(field)] = std::move(value);
  return *this;
}

State::State(std::shared_ptr<const RecordSchema> schema) : schema_(std::move(schema)) {
  if (!schema_) throw std::invalid_argument("State needs a record declaration");
  slots_.resize(schema_->fields().size());
  for (size_t i = 0; i < slots_.size(); ++i) {
    switch (schema_->fields()[i].rule) {
      case MergeRule::append:
        slots_[i] = Value::array();
        break;
      case MergeRule::add:
        slots_[i] = Value(0);
        break;
      case MergeRule::replace:
        break;
    }
  }
}

const Value& State::get(std::string_view field) const {
  const int i = schema_->index_of(field);
  if (i < 0 || !slots_[i]) throw MissingFieldError(std::string(field));
  return *slots_[i];
}

bool State::has(std::string_view field) const noexcept {
  const int i = schema_->index_of(field);
  return i >= 0 && slots_[i].has_value();
}

Value State::values() const {
  Value out = Value::object();
  for (size_t i = 0; i < slots_.size(); ++i)
    if (slots_[i]) out[schema_->fields()[i].name] = *slots_[i];
  return out;
}

namespace {

std::string unknown_fields_message(const RecordSchema& schema,
                                   const std::vector<std::string>& keys) {
  std::string msg = "record '" + schema.name() + "' has no field";
  msg += keys.size() == 1 ? " " : "s ";
  for (size_t i = 0; i < keys.size(); ++i) msg += (i ? ", '" : "'") + keys[i] + "'";
  msg += "; its fields are: ";
  for (size_t i = 0; i < schema.fields().size(); ++i)
    msg += (i ? ", " : "") + schema.fields()[i].name;
  return msg;
}

}  // namespace

void State::merge(const Update& update) {
  if (!update.values.is_object() || !update.overwrites.is_object())
    throw std::invalid_argument("an update must be a map from field names to values");
  // Validate everything first so that a rejected update changes nothing.
  std::vector<std::string> unknown;
  std::vector<std::pair<int, const Value*>> merges, overwrites;
  auto check_kind = [](const FieldSpec& spec, const Value& value) {
    if (spec.rule == MergeRule::append && !value.is_array())
      throw std::invalid_argument("field '" + spec.name +
                                  "' is merged by appending and needs a list, got " +
                                  value.type_name());
    if (spec.rule == MergeRule::add && !value.is_number_integer())
      throw std::invalid_argument("field '" + spec.name +
                                  "' is merged by adding and needs an integer, got " +
                                  value.type_name());
  };
  for (const auto& [key, value] : update.values.items()) {
    const int i = schema_->index_of(key);
    if (i < 0) {
      unknown.push_back(key);
      continue;
    }
    check_kind(schema_->fields()[i], value);
    if (update.overwrites.contains(key))
      throw std::invalid_argument("field '" + key +
                                  "' is both merged and overwritten by one update");
    merges.emplace_back(i, &value);
  }
  for (const auto& [key, value] : update.overwrites.items()) {
    const int i = schema_->index_of(key);
    if (i < 0) {
      unknown.push_back(key);
      continue;
    }
    check_kind(schema_->fields()[i], value);
    overwrites.emplace_back(i, &value);
  }
  if (!unknown.empty()) throw std::invalid_argument(unknown_fields_message(*schema_, unknown));

  for (auto [i, value] : merges) {
    auto& slot = slots_[i];
    switch (schema_->fields()[i].rule) {
      case MergeRule::replace:
        slot = *value;
        break;
      case MergeRule::append:
        for (const auto& item : *value) slot->push_back(item);
        break;
      case MergeRule::add:
        *slot = slot->get<std::int64_t>() + value->get<std::int64_t>();
        break;
    }
  }
  for (auto [i, value] : overwrites) slots_[i] = *value;
}

}  // namespace state_graph
