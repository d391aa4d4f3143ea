#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "chat_model/export.hpp"
#include "state_graph/value.hpp"

namespace chat_model {

using state_graph::Value;

// The value kinds a field of a model answer can hold.
enum class FieldType {
  text,       // JSON string
  boolean,    // JSON true / false
  integer,    // JSON integer
  number,     // any JSON number
  text_list,  // JSON array of strings
};

CHAT_MODEL_EXPORT const char* to_string(FieldType type) noexcept;

// One named field of an output schema.
//
// A field without a default is required: an answer that omits it does not fit. A field with a
// default may be omitted (or answered with null when it is not nullable) and then takes the
// default. A nullable field keeps an answered null as "no value".
struct CHAT_MODEL_EXPORT SchemaField {
  std::string name;
  FieldType type = FieldType::text;
  std::string description;
  bool nullable = false;
  std::optional<Value> default_value;

  bool required() const noexcept { return !default_value.has_value(); }
};

// A declared record type that the model is asked to answer with: the name travels to the
// service as the schema name, every field description as the property's description.
//
// Immutable once built; safe to share between threads.
class CHAT_MODEL_EXPORT OutputSchema {
 public:
  // Throws std::invalid_argument for an empty or repeated field name, an empty schema name, or a
  // default that is not of the field's type.
  OutputSchema(std::string name, std::string description, std::vector<SchemaField> fields);

  const std::string& name() const noexcept { return name_; }
  const std::string& description() const noexcept { return description_; }
  const std::vector<SchemaField>& fields() const noexcept { return fields_; }
  const SchemaField* field(const std::string& name) const noexcept;

  // The strict JSON Schema of the record: an object whose properties are the fields in order,
  // every one listed in "required", fields that may be left out typed as a union with null,
  // "additionalProperties": false and no "default" keyword (strict structured output accepts
  // none of the optional-field forms).
  Value json_schema() const;

  // The chat-completions `response_format` asking for this schema:
  // {"type": "json_schema", "json_schema": {"name", "description"?, "strict": true, "schema"}}.
  Value response_format() const;

  // Checks an answer against the schema and returns it as the record: the fields in declared
  // order, defaults filled in, keys the schema does not declare left out. Throws ModelError
  // (schema_mismatch) naming the schema and the field for an answer that is not an object, a
  // missing required field, or a value of the wrong type.
  Value validate(const Value& answer) const;

 private:
  std::string name_;
  std::string description_;
  std::vector<SchemaField> fields_;
};

}  // namespace chat_model
