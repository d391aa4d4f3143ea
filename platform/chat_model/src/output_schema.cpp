#include "chat_model/output_schema.hpp"

#include <set>
#include <stdexcept>

#include "chat_model/errors.hpp"

namespace chat_model {

const char* to_string(FieldType type) noexcept {
  switch (type) {
    case FieldType::text:
      return "text";
    case FieldType::boolean:
      return "boolean";
    case FieldType::integer:
      return "integer";
    case FieldType::number:
      return "number";
    case FieldType::text_list:
      return "list of text";
  }
  return "unknown";
}

namespace {

bool fits_type(const Value& value, FieldType type) {
  switch (type) {
    case FieldType::text:
      return value.is_string();
    case FieldType::boolean:
      return value.is_boolean();
    case FieldType::integer:
      return value.is_number_integer();
    case FieldType::number:
      return value.is_number();
    case FieldType::text_list:
      if (!value.is_array()) return false;
      for (const auto& item : value) {
        if (!item.is_string()) return false;
      }
      return true;
  }
  return false;
}

const char* json_kind(const Value& value) {
  switch (value.type()) {
    case Value::value_t::null:
      return "null";
    case Value::value_t::boolean:
      return "a boolean";
    case Value::value_t::number_integer:
    case Value::value_t::number_unsigned:
      return "an integer";
    case Value::value_t::number_float:
      return "a number";
    case Value::value_t::string:
      return "a text";
    case Value::value_t::array:
      return "a list";
    case Value::value_t::object:
      return "an object";
    default:
      return "an unsupported value";
  }
}

const char* json_type_name(FieldType type) {
  switch (type) {
    case FieldType::text:
      return "string";
    case FieldType::boolean:
      return "boolean";
    case FieldType::integer:
      return "integer";
    case FieldType::number:
      return "number";
    case FieldType::text_list:
      return "array";
  }
  return "string";
}

// A short rendering of an offending value for error messages.
std::string excerpt(const Value& value) {
  std::string text = value.dump();
  constexpr std::size_t kMax = 200;
  if (text.size() > kMax) text = text.substr(0, kMax) + "...";
  return text;
}

}  // namespace

OutputSchema::OutputSchema(std::string name, std::string description,
                           std::vector<SchemaField> fields)
    : name_(std::move(name)), description_(std::move(description)), fields_(std::move(fields)) {
  if (name_.empty()) throw std::invalid_argument("OutputSchema: the schema name is empty");
  std::set<std::string> seen;
  for (const auto& f : fields_) {
    if (f.name.empty()) {
      throw std::invalid_argument("OutputSchema " + name_ + ": a field has an empty name");
    }
    if (!seen.insert(f.name).second) {
      throw std::invalid_argument("OutputSchema " + name_ + ": the field '" + f.name +
                                  "' is declared twice");
    }
    if (f.default_value && !(f.default_value->is_null() && f.nullable) &&
        !fits_type(*f.default_value, f.type)) {
      throw std::invalid_argument("OutputSchema " + name_ + ": the default of the field '" +
                                  f.name + "' is " + json_kind(*f.default_value) + ", not " +
                                  to_string(f.type));
    }
  }
}

const SchemaField* OutputSchema::field(const std::string& field_name) const noexcept {
  for (const auto& f : fields_) {
    if (f.name == field_name) return &f;
  }
  return nullptr;
}

Value OutputSchema::json_schema() const {
  Value properties = Value::object();
  Value required = Value::array();
  for (const auto& f : fields_) {
    Value property = Value::object();
    const bool may_be_null = f.nullable || !f.required();
    if (may_be_null) {
      property["type"] = Value::array({json_type_name(f.type), "null"});
    } else {
      property["type"] = json_type_name(f.type);
    }
    if (f.type == FieldType::text_list) property["items"] = Value{{"type", "string"}};
    if (!f.description.empty()) property["description"] = f.description;
    properties[f.name] = std::move(property);
    required.push_back(f.name);
  }
  Value schema = Value::object();
  schema["type"] = "object";
  if (!description_.empty()) schema["description"] = description_;
  schema["properties"] = std::move(properties);
  schema["required"] = std::move(required);
  schema["additionalProperties"] = false;
  return schema;
}

Value OutputSchema::response_format() const {
  Value json_schema_entry = Value::object();
  json_schema_entry["name"] = name_;
  if (!description_.empty()) json_schema_entry["description"] = description_;
  json_schema_entry["strict"] = true;
  json_schema_entry["schema"] = json_schema();
  return Value{{"type", "json_schema"}, {"json_schema", std::move(json_schema_entry)}};
}

Value OutputSchema::validate(const Value& answer) const {
  const std::string where = "the answer does not fit the schema " + name_ + ": ";
  if (!answer.is_object()) {
    throw ModelError(
        ModelErrorKind::schema_mismatch,
        where + "expected a JSON object, got " + json_kind(answer) + " " + excerpt(answer));
  }
  Value record = Value::object();
  for (const auto& f : fields_) {
    auto it = answer.find(f.name);
    const bool absent = it == answer.end();
    if (absent || (it->is_null() && !f.nullable)) {
      if (f.default_value) {
        record[f.name] = *f.default_value;
        continue;
      }
      throw ModelError(ModelErrorKind::schema_mismatch, where + "the required field '" + f.name +
                                                            "' (" + to_string(f.type) + ") is " +
                                                            (absent ? "missing" : "null"));
    }
    if (it->is_null()) {  // nullable: null is the answer "no value"
      record[f.name] = nullptr;
      continue;
    }
    if (!fits_type(*it, f.type)) {
      throw ModelError(ModelErrorKind::schema_mismatch,
                       where + "the field '" + f.name + "' must be " + to_string(f.type) +
                           (f.nullable ? " or null" : "") + ", got " + json_kind(*it) + " " +
                           excerpt(*it));
    }
    record[f.name] = *it;
  }
  return record;
}

}  // namespace chat_model
